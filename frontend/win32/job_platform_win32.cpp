// Windows implementation of the conversion job's operating-system layer.
#include "job_platform_win32.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "platform_win32.h"
#include "dialog_ids.h"
#include "wide_text.h"

namespace {

const wchar_t* const CONVERTER_RESOURCE_TYPE = L"ComCore";
const UINT TERMINATED_EXIT_CODE = 1;  // a stopped converter must never read as success
const DWORD OUTPUT_POLL_MS = 20;  // how long a read waits on an empty pipe before looking again
const wchar_t* const FOLDER_PATTERN = L"wendrovix-*";
const wchar_t* const LOCK_NAME = L"wendrovix.lock";  // inside every job folder

// Turns every "\r\n" in buf[0..len) into "\n"; returns the new length.
size_t collapse_crlf(char* buf, size_t len) {
    size_t kept = 0;
    for (size_t i = 0; i < len; i++)
        if (!(buf[i] == '\r' && i + 1 < len && buf[i + 1] == '\n')) buf[kept++] = buf[i];
    return kept;
}

// A started child whose standard output is the read end of a pipe. The process handle
// stays open until this object goes, so TerminateProcess never meets a reused handle;
// the state makes "terminate" and "waited" exclude each other.
class Win32Process : public ConverterProcess {
public:
    Win32Process(HANDLE process, HANDLE out, HANDLE job) : process_(process), out_(out), job_(job) {}
    // Closes the pipe; a child never waited for is ended first.
    ~Win32Process() override {
        if (out_) CloseHandle(out_);
        if (state_.load() != WAITED) {
            terminate();
            wait_exit();
        }
        CloseHandle(process_);
        if (job_) CloseHandle(job_);
    }
    size_t read_output(char* buf, size_t size) override;
    int wait_exit() override;
    bool terminate() override;
    unsigned long id() const override { return GetProcessId(process_); }

private:
    DWORD wait_for_output();
    enum { RUNNING, TERMINATING, WAITED };
    HANDLE process_;
    HANDLE out_;
    HANDLE job_;  // the job object that ends the child with this program; may be null
    bool held_cr_ = false;  // a '\r' that ended the last piece: "\r\n" or a progress line?
    std::atomic<int> state_{RUNNING};
};

// Reads the next piece of output, as text: the child's C runtime writes each "\n" as
// "\r\n", which comes back as "\n" (a '\r' alone still ends a progress line; one at the
// end of a piece waits for the next piece to tell which it is). Returns 0 (and closes
// the pipe) at its end or on an error.
size_t Win32Process::read_output(char* buf, size_t size) {
    for (;;) {
        size_t start = held_cr_ ? 1 : 0;
        if (held_cr_) buf[0] = '\r';
        held_cr_ = false;
        DWORD n = 0, ready = out_ ? wait_for_output() : 0;
        DWORD want = static_cast<DWORD>(size - start) < ready ? static_cast<DWORD>(size - start) : ready;
        if (ready == 0 || !ReadFile(out_, buf + start, want, &n, nullptr) || n == 0) {
            if (out_) CloseHandle(out_);
            out_ = nullptr;
            return start;
        }
        size_t len = collapse_crlf(buf, start + n);
        held_cr_ = len > 0 && buf[len - 1] == '\r';
        if (held_cr_) len--;
        if (len > 0) return len;
    }
}

// Returns the bytes the pipe holds once it holds some, or 0 at its end: the pipe's own, or
// an empty pipe once the child has ended. Under Wine a console host may keep the pipe's
// write end after a child killed young is gone, and a plain ReadFile then waits for ever.
DWORD Win32Process::wait_for_output() {
    for (;;) {
        DWORD ready = 0;
        if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &ready, nullptr)) return 0;
        if (ready > 0) return ready;
        if (WaitForSingleObject(process_, OUTPUT_POLL_MS) == WAIT_OBJECT_0)
            return PeekNamedPipe(out_, nullptr, 0, nullptr, &ready, nullptr) ? ready : 0;
    }
}

// Waits for the end, claims the process from any terminating thread, returns its status.
int Win32Process::wait_exit() {
    WaitForSingleObject(process_, INFINITE);
    int expected = RUNNING;
    while (!state_.compare_exchange_weak(expected, WAITED)) {
        if (expected == WAITED) break;
        expected = RUNNING;
        Sleep(0);  // a TerminateProcess on the ended process is under way: harmless
    }
    DWORD code = 1;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
}

// Ends the process while it has not been waited for; returns true when it was asked to.
bool Win32Process::terminate() {
    int expected = RUNNING;
    if (!state_.compare_exchange_strong(expected, TERMINATING)) return false;
    TerminateProcess(process_, TERMINATED_EXIT_CODE);
    state_ = RUNNING;
    return true;
}

// A thread made with CreateThread, suspended, then resumed; joined at most once.
class Win32Worker : public WorkerThread {
public:
    explicit Win32Worker(HANDLE thread) : thread_(thread) {}
    ~Win32Worker() override { join(); }
    // Waits for the thread's end and releases its handle.
    void join() override {
        if (!thread_) return;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }

private:
    HANDLE thread_;
};

// The thread procedure: runs and frees the function it was given.
DWORD WINAPI run_function(LPVOID param) {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(param));
    (*fn)();
    return 0;
}

// A file opened for reading, shared with writers, read at explicit offsets.
class Win32FileReader : public FileReader {
public:
    Win32FileReader(HANDLE file, uint64_t size) : file_(file), size_(size) {}
    ~Win32FileReader() override { CloseHandle(file_); }
    uint64_t size() override { return size_; }
    bool read_at(uint64_t offset, void* buf, size_t size) override;

private:
    HANDLE file_;
    uint64_t size_;
};

// Reads until `size` bytes have come; false on an error or an early end of file.
bool Win32FileReader::read_at(uint64_t offset, void* buf, size_t size) {
    char* p = static_cast<char*>(buf);
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size), n = 0;
        if (!ReadFile(file_, p, want, &n, &at) || n == 0) return false;
        p += n;
        offset += n;
        size -= n;
    }
    return true;
}

// Marks an open file (opened with DELETE access) for removal when its handle closes.
bool delete_on_close(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// The job folder's lock file, open with no sharing: no one else can open it while this
// program lives; the system closes it when the program ends, however it ends.
class Win32FolderLock : public FolderLock {
public:
    explicit Win32FolderLock(HANDLE file) : file_(file) {}
    ~Win32FolderLock() override {
        if (file_) CloseHandle(file_);
    }
    // Marks the file for removal while holding it, then closes it: no one can take the
    // lock for a left-over meanwhile.
    void release() override {
        if (!file_) return;
        delete_on_close(file_);
        CloseHandle(file_);
        file_ = nullptr;
    }

private:
    HANDLE file_;
};

// Opens a lock file unshared, to hold or remove it; INVALID_HANDLE_VALUE when it is
// missing, held, or being removed.
HANDLE open_lock(const std::wstring& path, DWORD disposition) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Removes a left-over job folder whose lock file is open (unshared) here: its files go,
// the lock file as its handle closes, then the folder; one holding a folder stays.
void remove_locked_folder(const std::wstring& folder, HANDLE lock) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && _wcsicmp(found.cFileName, LOCK_NAME) != 0)
            DeleteFileW((folder + found.cFileName).c_str());
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    delete_on_close(lock);
    CloseHandle(lock);
    RemoveDirectoryW(folder.c_str());
}

// Puts a started (suspended) child into a new job object that ends it when the job's
// last handle closes, so it ends with this program; returns the job, or null when the
// system refuses (the child then runs without one).
HANDLE join_kill_on_close_job(HANDLE process) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job, process))
        return job;
    CloseHandle(job);
    return nullptr;
}

// Appends one argument in double quotes: backslashes are doubled before a quote and
// before the closing quote, a quote is escaped.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            slashes++;
            continue;
        }
        line.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        line += c;
    }
    line.append(2 * slashes, L'\\');
    line += L'"';
}

// Returns the system's message for an error code, without its closing line break.
std::string system_message(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring message = n ? std::wstring(text, n) : L"Error " + std::to_wstring(error) + L".";
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return to_utf8(message);
}

// Opens the null device for a child's standard input, so that a child that asks for
// input (the converter's screen without arguments waits for Enter) reads its end at once.
HANDLE open_null_input() {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                       0, nullptr);
}

// Makes an anonymous pipe whose write end (only) a child can inherit; false on failure.
bool make_output_pipe(HANDLE& read_end, HANDLE& write_end) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) return false;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

// Returns every argument quoted, so a blank in any of them, the program's path
// included, can never split it.
std::wstring windows_command_line(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& arg : argv) {
        if (!line.empty()) line += L' ';
        append_quoted(line, to_wide(arg));
    }
    return line;
}

// Returns the system's text for the error, with the file's full name: in place of "%1"
// where the text has one, else in front of it.
std::string file_error_text(unsigned long error, const std::string& path) {
    std::string message = system_message(error);
    size_t at = message.find("%1");
    if (at != std::string::npos) return message.replace(at, 2, path);
    return path + ": " + message;
}

// Returns the temporary folder the system gives (GetTempPathW), with its separator.
std::string Win32JobPlatform::temp_path() {
    wchar_t buf[512];
    DWORD n = GetTempPathW(512, buf);
    if (n == 0 || n >= 512) return "";
    std::wstring path(buf, n);
    if (path.back() != L'\\') path += L'\\';
    return to_utf8(path);
}

// Makes parent\wendrovix-XXXXXXXX, a name no one else holds (CreateDirectoryW fails on an
// existing one); it inherits the default ACL of the user's temporary folder, which lets
// only this user (and the system and administrators) in. Returns it with "\", or "".
std::string Win32JobPlatform::make_private_folder(const std::string& parent) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; attempt++) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        unsigned value = GetCurrentProcessId() * 2654435761u ^ static_cast<unsigned>(now.QuadPart) ^
                         (counter++ * 40503u);
        wchar_t name[32];  // "wendrovix-" and all eight digits, which 16 units cut short
        swprintf(name, sizeof name / sizeof name[0], L"wendrovix-%08x", value);
        std::wstring folder = to_wide(parent) + name;
        if (CreateDirectoryW(folder.c_str(), nullptr)) return to_utf8(folder) + "\\";
        if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

// Creates the folder's lock file, unshared, and keeps it open; nullptr on failure.
std::unique_ptr<FolderLock> Win32JobPlatform::lock_folder(const std::string& folder) {
    HANDLE file = open_lock(to_wide(folder) + LOCK_NAME, CREATE_NEW);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32FolderLock>(file);
}

// Removes every job folder in parent whose lock file exists and can be opened unshared
// (its owner has ended).
int Win32JobPlatform::remove_stale_folders(const std::string& parent) {
    std::wstring base = to_wide(parent);
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((base + FOLDER_PATTERN).c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            folders.push_back(base + found.cFileName + L"\\");
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    int removed = 0;
    for (const std::wstring& folder : folders) {
        HANDLE lock = open_lock(folder + LOCK_NAME, OPEN_EXISTING);
        if (lock == INVALID_HANDLE_VALUE) continue;
        remove_locked_folder(folder, lock);
        removed += GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
    }
    return removed;
}

// Reads resource "ComCore" IDR_CONVERTER of the running program; false when it is missing.
bool Win32JobPlatform::converter_resource(std::string& bytes) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_CONVERTER),
                                CONVERTER_RESOURCE_TYPE);
    if (!found) return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(nullptr, found);
    if (!data || size == 0) return false;
    bytes.assign(static_cast<const char*>(data), size);
    return true;
}

// Creates the file new (CREATE_NEW: an existing file or link is never written or used),
// unshared while it is written, and writes all bytes.
bool Win32JobPlatform::write_program_file(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        DWORD n = 0;
        ok = WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                       nullptr) && n > 0;
        done += n;
    }
    return CloseHandle(file) && ok;
}

// The name the file calls take: extended-length, so that a file whose full name has 260
// characters or more is found on every Windows; as given when that form can't be made.
static std::wstring file_name(const std::string& path) {
    std::wstring name = plat_long_name(path.c_str());
    return name.empty() ? to_wide(path) : name;
}

// Upper-cases with the invariant table, as the file system folds names, so "ä.cso" and
// "Ä.cso" give one key; its table covers the basic plane only, so surrogate pairs stay.
std::string Win32JobPlatform::path_key(const std::string& path) const {
    std::wstring wide = to_wide(path);
    if (wide.empty()) return path;
    int size = static_cast<int>(wide.size());
    std::wstring upper(wide.size(), L'\0');
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size, &upper[0], size, nullptr,
                      nullptr, 0) != size)
        return path;
    for (size_t i = 0; i < wide.size(); i++)
        if (IS_HIGH_SURROGATE(wide[i]) || IS_LOW_SURROGATE(wide[i])) upper[i] = wide[i];
    return to_utf8(upper);
}

// Anything that exists and is no folder.
bool Win32JobPlatform::is_file(const std::string& path) {
    DWORD attributes = GetFileAttributesW(file_name(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// An existing folder.
bool Win32JobPlatform::is_folder(const std::string& path) {
    DWORD attributes = GetFileAttributesW(file_name(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The system's full name (GetFullPathNameW), which the open dialog gives too.
bool Win32JobPlatform::full_path(const std::string& path, std::string& full) {
    std::vector<wchar_t> buf(LONGEST_PATH_CHARS);
    DWORD n = GetFullPathNameW(to_wide(path).c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
    if (n == 0 || n >= buf.size()) return false;
    full = to_utf8(buf.data());
    return true;
}

// Returns the 64-bit size of a file (not a folder).
bool Win32JobPlatform::file_size(const std::string& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file_name(path).c_str(), GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Removes a file; "" or the system's error text with the name.
std::string Win32JobPlatform::remove_file(const std::string& path) {
    if (DeleteFileW(file_name(path).c_str())) return "";
    return file_error_text(GetLastError(), path);
}

// Returns the names in a folder ("." and ".." left out).
std::vector<std::string> Win32JobPlatform::list_folder(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(file_name(folder + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(to_utf8(name));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// Removes an empty folder; "" or the system's error text with the name.
std::string Win32JobPlatform::remove_folder(const std::string& path) {
    if (RemoveDirectoryW(file_name(path).c_str())) return "";
    return file_error_text(GetLastError(), path);
}

// Starts exactly the file argv[0] (it is the application name, so no other program found
// along a path with blanks can run instead), every argument quoted, standard output and
// error on a pipe, input from the null device, no console window of its own, inside a
// job object that ends it when this program ends. Returns nullptr when it cannot be
// started.
std::unique_ptr<ConverterProcess> Win32JobPlatform::start_process(
    const std::vector<std::string>& argv) {
    if (argv.empty()) return nullptr;
    HANDLE read_end, write_end;
    if (!make_output_pipe(read_end, write_end)) return nullptr;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = write_end;
    si.hStdInput = open_null_input();
    std::wstring program = to_wide(argv[0]), line = windows_command_line(argv);
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    if (si.hStdInput != INVALID_HANDLE_VALUE) CloseHandle(si.hStdInput);
    if (!started) {
        CloseHandle(read_end);
        return nullptr;
    }
    HANDLE job = join_kill_on_close_job(pi.hProcess);  // before it runs a single instruction
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    return std::make_unique<Win32Process>(pi.hProcess, read_end, job);
}

// Runs fn on a thread created suspended and resumed at once; nullptr when none is made.
std::unique_ptr<WorkerThread> Win32JobPlatform::start_worker(std::function<void()> fn) {
    auto* param = new std::function<void()>(std::move(fn));
    HANDLE thread = CreateThread(nullptr, 0, run_function, param, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        delete param;
        return nullptr;
    }
    ResumeThread(thread);
    return std::make_unique<Win32Worker>(thread);
}

// Opens an existing file (not a folder) for reading, shared with readers, writers and
// deleters; nullptr when it cannot be opened.
std::unique_ptr<FileReader> Win32JobPlatform::open_read(const std::string& path) {
    HANDLE file = CreateFileW(file_name(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER size;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return nullptr;
    }
    return std::make_unique<Win32FileReader>(file, static_cast<uint64_t>(size.QuadPart));
}

// Sleeps the calling thread.
void Win32JobPlatform::sleep_ms(int ms) {
    Sleep(static_cast<DWORD>(ms));
}
