// Windows implementation of the platform layer: UTF-16 names and command line, file
// identity from the open handle, 64-bit sizes and positioned reads, native threads.
#include "platform.h"
#include "platform_win32.h"
#include "utf16_text.h"

#include <windows.h>
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

// Returns true when UTF-8 text holds an encoded UTF-16 surrogate: what plat_utf8_args
// makes of an unpaired surrogate, which names no file.
static bool has_encoded_surrogate(const char* s) {
    std::string text = s;
    for (size_t at = 0; at < text.size(); at++)
        if (encoded_surrogate_at(text, at)) return true;
    return false;
}

// Returns the UTF-16 form of a UTF-8 text ("" when it is not valid UTF-8).
static std::wstring widen(const char* s) {
    if (has_encoded_surrogate(s)) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, &w[0], n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// Returns true when a name is in extended-length form, which the system takes literally.
static bool is_extended(const std::wstring& w) {
    return w.compare(0, 4, L"\\\\?\\") == 0;
}

// Returns true when a full name is in the device namespace ("\\.\NUL", "\\.\C:\a.cso").
static bool in_device_namespace(const std::wstring& w) {
    return w.compare(0, 4, L"\\\\.\\") == 0;
}

// The full name, with the prefix that lifts the 260-character limit: a name through the
// device namespace ("\\.\C:\a.cso"), once made full, is that prefix's name of the same
// file; a device itself ("\\.\NUL") stays as it is.
std::wstring plat_long_name(const char* name) {
    std::wstring w = widen(name);
    if (w.empty() || is_extended(w)) return w;
    DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0) return std::wstring();
    std::wstring full(n, L'\0');
    DWORD got = GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
    if (got == 0 || got >= n) return std::wstring();
    full.resize(got);
    if (is_extended(full)) return full;
    if (in_device_namespace(full))
        return full.find(L'\\', 4) == std::wstring::npos ? full : L"\\\\?\\" + full.substr(4);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Returns a malloc'd UTF-8 copy of a UTF-16 text, or nullptr when there is no memory. An
// unpaired surrogate is kept as its 3-byte form, not replaced by U+FFFD (which could name
// another file): widen refuses it, so such a name opens nothing.
static char* narrow(const wchar_t* w) {
    std::string s = utf16_to_utf8(w, wcslen(w));
    char* copy = static_cast<char*>(malloc(s.size() + 1));
    if (copy) memcpy(copy, s.c_str(), s.size() + 1);
    return copy;
}

static UINT saved_output_cp = 0;  // the console's code page before ours, put back at exit

// Puts the console's own code page back when the program ends.
static void restore_console_cp() {
    if (saved_output_cp) SetConsoleOutputCP(saved_output_cp);
}

// Ctrl-C or Ctrl-Break ends the process in the default handler, which need not run
// atexit: the code page goes back here first, and that handler then ends the run as before.
static BOOL WINAPI restore_console_cp_on_break(DWORD) {
    restore_console_cp();
    return FALSE;
}

// -best's encoder takes and frees about 1.7 MB a block, in arrays of 64 to 256 KiB. The
// heap decommits such freed memory and commits it again, zero-filled, for the next block:
// page faults that made -best three times slower than on Linux. So the link wraps malloc
// and free (-Wl,--wrap), and once plat_heap_init has run, a freed block of KEPT_MIN bytes
// or more is kept for the next allocation it fits with at most a quarter to spare; when
// KEPT_COUNT blocks or KEPT_BYTES are kept, the oldest goes back to the heap. Kept blocks
// are the C runtime's own, so realloc and the real free take them as any other.
extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* p);

constexpr size_t KEPT_MIN = 64 * 1024;
constexpr int KEPT_COUNT = 64;
constexpr size_t KEPT_BYTES = 16 * 1024 * 1024;

struct kept_block {
    void* p;
    size_t size;
};
static SRWLOCK kept_lock = SRWLOCK_INIT;
static kept_block kept[KEPT_COUNT];  // kept_count of them, oldest first, under kept_lock
static int kept_count = 0;
static size_t kept_bytes = 0;
static std::atomic<bool> keeping{false};  // set by plat_heap_init

// Removes entry i from the kept blocks (kept_lock held); returns its block.
static void* unkeep(int i) {
    void* p = kept[i].p;
    kept_bytes -= kept[i].size;
    memmove(&kept[i], &kept[i + 1], sizeof kept[0] * static_cast<size_t>(kept_count - i - 1));
    kept_count--;
    return p;
}

// Takes the smallest kept block of `size` to size + size / 4 bytes; nullptr when none is.
static void* take_kept(size_t size) {
    AcquireSRWLockExclusive(&kept_lock);
    int best = -1;
    for (int i = 0; i < kept_count; i++)
        if (kept[i].size >= size && kept[i].size - size <= size / 4 && (best < 0 || kept[i].size < kept[best].size))
            best = i;
    void* p = best >= 0 ? unkeep(best) : nullptr;
    ReleaseSRWLockExclusive(&kept_lock);
    return p;
}

// Keeps a freed block, handing the oldest kept ones back to the heap to make room.
static void keep(void* p, size_t size) {
    void* old[KEPT_COUNT];
    int n = 0;
    AcquireSRWLockExclusive(&kept_lock);
    while (kept_count > 0 && (kept_count == KEPT_COUNT || kept_bytes + size > KEPT_BYTES))
        old[n++] = unkeep(0);
    kept[kept_count++] = {p, size};
    kept_bytes += size;
    ReleaseSRWLockExclusive(&kept_lock);
    for (int i = 0; i < n; i++) __real_free(old[i]);
}

extern "C" void* __wrap_malloc(size_t size) {
    void* p = size >= KEPT_MIN && keeping.load(std::memory_order_relaxed) ? take_kept(size) : nullptr;
    return p ? p : __real_malloc(size);
}

extern "C" void __wrap_free(void* p) {
    size_t size = p && keeping.load(std::memory_order_relaxed) ? _msize(p) : 0;
    if (size >= KEPT_MIN && size <= KEPT_BYTES && size != static_cast<size_t>(-1))
        keep(p, size);
    else
        __real_free(p);
}

void plat_heap_init() {
    keeping = true;
}

static char stdout_buffer[4096];  // stdout's buffer, alive until the exit flush

// Buffers stdout fully (the C runtime would write a console's output one character at a
// time; the engines flush after each progress line and before writing to stderr), and
// switches an attached console to UTF-8 output for as long as the program runs, so names
// in any script print legibly; a pipe or file receives the same UTF-8 bytes.
void plat_console_init() {
    setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    DWORD mode;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return;
    saved_output_cp = GetConsoleOutputCP();
    if (saved_output_cp == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) {
        saved_output_cp = 0;
        return;
    }
    atexit(restore_console_cp);
    SetConsoleCtrlHandler(restore_console_cp_on_break, TRUE);
}

// The C runtime's split of the UTF-16 command line, by the rules its ANSI argv follows.
// msvcrt.dll exports it without a public declaration. Taken instead of shell32's
// CommandLineToArgvW: loading shell32 and the libraries it pulls in doubled the start-up
// time of every run.
struct crt_startupinfo {
    int newmode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                      int expand_wildcards, crt_startupinfo* info);

// Falls back to the C runtime's argv when the wide arguments can't be had.
char** plat_utf8_args(int* argc, char** argv) {
    int n = 0;
    wchar_t** wide = nullptr;
    wchar_t** env = nullptr;
    crt_startupinfo info = {0};
    if (__wgetmainargs(&n, &wide, &env, 0, &info) < 0 || !wide) return argv;
    char** args = static_cast<char**>(calloc(static_cast<size_t>(n) + 1, sizeof(char*)));
    for (int i = 0; args && i < n; i++) {
        args[i] = narrow(wide[i]);
        if (!args[i]) args = nullptr;  // out of memory at start-up: keep the ANSI form
    }
    if (!args) return argv;
    *argc = n;
    return args;
}

// Returns true when `mode` writes and the named file exists with the read-only attribute.
static bool writes_read_only(const std::wstring& name, const char* mode) {
    if (!strpbrk(mode, "wa+")) return false;
    DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// Opens a file by its UTF-8 name through the wide-character call; returns the stream.
// A read-only file is never opened for writing, even where the file system would let an
// administrator do it (Wine run as root): the user marked it to be kept.
FILE* plat_fopen(const char* name, const char* mode) {
    std::wstring wname = plat_long_name(name), wmode = widen(mode);
    if (wname.empty() || wmode.empty()) return nullptr;
    if (writes_read_only(wname, mode)) {
        errno = EACCES;
        return nullptr;
    }
    return _wfopen(wname.c_str(), wmode.c_str());
}

// Returns the handle behind an open stream, or INVALID_HANDLE_VALUE.
static HANDLE stream_handle(FILE* f) {
    int fd = _fileno(f);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Fills info for an open handle; returns true on success.
static bool handle_info(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
    return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, info);
}

// Returns true when w has `prefix` at `at`, ignoring case.
static bool has_at(const std::wstring& w, size_t at, const wchar_t* prefix) {
    size_t n = wcslen(prefix);
    return w.size() >= at + n &&
           CompareStringOrdinal(w.c_str() + at, static_cast<int>(n), prefix, static_cast<int>(n), TRUE) == CSTR_EQUAL;
}

// Returns true when a long name is a named pipe, here, through the object namespace or on
// a server: opening one to look would connect to it as a client and may take the only
// instance its server offers.
static bool is_pipe(const std::wstring& w) {
    size_t at = 4;  // past "\\?\", and past any "Global\" steps, which lead to the same names
    while (has_at(w, at, L"Global\\")) at += 7;
    if (has_at(w, 0, L"\\\\?\\") && (has_at(w, at, L"pipe\\") || has_at(w, at, L"GLOBALROOT\\Device\\NamedPipe\\")))
        return true;
    size_t server_end = has_at(w, 0, L"\\\\?\\UNC\\") ? w.find(L'\\', 8) : std::wstring::npos;
    return server_end != std::wstring::npos && has_at(w, server_end, L"\\pipe\\");
}

// Fills info for a file or folder, by its long name, without opening its contents (a pipe
// is not looked at); true on success.
static bool long_name_info(const std::wstring& w, BY_HANDLE_FILE_INFORMATION* info) {
    if (w.empty() || is_pipe(w)) return false;
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool ok = handle_info(h, info);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
}

// long_name_info by a name as given.
static bool name_info(const char* name, BY_HANDLE_FILE_INFORMATION* info) {
    return long_name_info(plat_long_name(name), info);
}

// Returns true when two records describe one file: same volume, same file index. Case,
// short 8.3 aliases and links all lead to the same pair.
static bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// ---------------------------------------------------------------- outputs

struct plat_output {
    FILE* f;
    std::wstring temp;    // the temporary file, or "" when the named file is written directly
    std::wstring target;  // the extended-length name it takes when it is whole
    bool marked;          // the temporary file goes when closed, unless unmarked first
    HANDLE flushing;      // the thread flushing it in the background, or nullptr
    unsigned long long unflushed;  // bytes written since that flush began
};

// Outputs whose temporary file is not yet renamed: removed by an exit on the way.
static const int MAX_PENDING = 4;
static plat_output* pending[MAX_PENDING];

// Waits for the output's background flush, if one runs, and forgets it.
static void end_background_flush(plat_output* out) {
    if (!out->flushing) return;
    WaitForSingleObject(out->flushing, INFINITE);
    CloseHandle(out->flushing);
    out->flushing = nullptr;
}

// Closes and removes every pending temporary file (it is open without delete sharing).
static void remove_pending() {
    for (plat_output*& out : pending) {
        if (!out) continue;
        end_background_flush(out);
        if (out->f) fclose(out->f);
        out->f = nullptr;
        DeleteFileW(out->temp.c_str());
        out = nullptr;
    }
}

// Adds (or with `add` false, drops) an output of the pending list; registers the
// clean-up at exit the first time.
static void set_pending(plat_output* out, bool add) {
    static bool registered = false;
    if (add && !registered) registered = atexit(remove_pending) == 0;
    for (plat_output*& p : pending) {
        if (add && !p) {
            p = out;
            return;
        }
        if (!add && p == out) p = nullptr;
    }
}

// Returns the folder part of an extended-length name, with its backslash after a drive.
static std::wstring folder_of(const std::wstring& w) {
    size_t at = w.find_last_of(L'\\');
    if (at == std::wstring::npos) return std::wstring();
    std::wstring dir = w.substr(0, at);
    if (!dir.empty() && dir.back() == L':') dir += L'\\';
    return dir;
}

// Returns true when the long name is a device itself ("\\.\NUL", "\\.\COM1": long names
// keep that prefix for devices only), a named pipe, or an existing file that is no disk
// file (a character device): those are written directly.
static bool is_device(const std::wstring& w) {
    if (in_device_namespace(w) || is_pipe(w)) return true;
    HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool device = GetFileType(h) != FILE_TYPE_DISK;
    CloseHandle(h);
    return device;
}

// How long an operation refused because another program holds a file is tried again, and
// how often: a virus scanner, an indexer or a second run checking the same name may hold
// the old file or the new one open for a moment.
constexpr DWORD HELD_WAIT_MS = 2000;
constexpr DWORD HELD_STEP_MS = 50;

// Returns true for the refusals Windows gives while another program holds a file open.
static bool refused_as_held(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Calls `attempt` (true on success, else with the system's error set) until it succeeds,
// fails otherwise than for a held file, or HELD_WAIT_MS have passed; true on success.
template <class Attempt>
static bool waiting_out_holds(Attempt attempt) {
    for (DWORD waited = 0;; waited += HELD_STEP_MS) {
        if (attempt()) return true;
        if (!refused_as_held(GetLastError()) || waited >= HELD_WAIT_MS) return false;
        Sleep(HELD_STEP_MS);
    }
}

// Opens the existing file w as replacing it will need it, for writing and for removing
// its name, waiting out a momentary hold as the replacement does: a program that keeps
// the old file open without sharing its removal (an emulator playing it) would
// otherwise refuse the replacement only after the whole run.
static HANDLE open_to_replace(const std::wstring& w) {
    HANDLE h = INVALID_HANDLE_VALUE;
    waiting_out_holds([&] {
        h = CreateFileW(w.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        return h != INVALID_HANDLE_VALUE;
    });
    return h;
}

// Returns 0 when the extended-length name w could be written by this user, else -1.
static int check_long_name(const std::wstring& w) {
    if (w.empty()) return -1;
    if (is_device(w)) return 0;
    DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return -1;
        DWORD d = GetFileAttributesW(folder_of(w).c_str());
        return d != INVALID_FILE_ATTRIBUTES && (d & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
    }
    if (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) return -1;
    HANDLE h = open_to_replace(w);
    if (h == INVALID_HANDLE_VALUE) return -1;
    CloseHandle(h);
    return 0;
}

int plat_output_check(const char* name) {
    return check_long_name(plat_long_name(name));
}

// Marks an open file to be deleted when its last handle closes (`on`), or clears the
// mark; returns true when the system did it.
static bool delete_on_close(HANDLE h, bool on) {
    FILE_DISPOSITION_INFO info = {};
    info.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Returns how much of a name a temporary name beside it keeps: at most
// PLAT_TEMP_BASE_MOST UTF-16 units and as many bytes in UTF-8, and whole pairs. The name
// must stay within 255 characters, and within 255 bytes where a share's file system
// counts bytes.
static size_t temp_base_units(const std::wstring& base) {
    const size_t most = PLAT_TEMP_BASE_MOST;
    size_t units = 0, bytes = 0;
    while (units < base.size()) {
        wchar_t c = base[units];
        bool pair = c >= 0xD800 && c < 0xDC00 && units + 1 < base.size();
        size_t n = pair ? 2 : 1, utf8 = pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        if (units + n > most || bytes + utf8 > most) break;
        units += n;
        bytes += utf8;
    }
    return units;
}

// Creates the temporary file beside the target, shared for reading only and
// marked for deletion on close, so that a run ended any way at all (Ctrl-C, killed)
// leaves nothing behind; returns its stream, or nullptr.
static FILE* create_temp(plat_output* out, int text) {
    size_t at = out->target.find_last_of(L'\\');
    std::wstring base = out->target.substr(at + 1);
    base.resize(temp_base_units(base));
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE && attempt < PLAT_TEMP_ATTEMPTS; attempt++) {
        out->temp = out->target.substr(0, at + 1) + L"." + base + L"" PLAT_TEMP_MARK +
                    std::to_wstring(GetCurrentProcessId()) +
                    (attempt ? L"-" + std::to_wstring(attempt) : std::wstring());
        h = CreateFileW(out->temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    out->marked = delete_on_close(h, true);  // without it, only an orderly exit cleans up
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), text ? _O_TEXT : 0);
    FILE* f = fd < 0 ? nullptr : _fdopen(fd, text ? "wt" : "wb");
    if (f) return f;
    if (fd >= 0) _close(fd);
    else CloseHandle(h);
    DeleteFileW(out->temp.c_str());
    return nullptr;
}

// The name itself: a replacement through MoveFileEx takes the place of a link too.
char* plat_output_target(const char* name) {
    return _strdup(name);
}

plat_output* plat_output_open(const char* name, int text) {
    plat_output* out =
        new (std::nothrow) plat_output{nullptr, std::wstring(), plat_long_name(name), false, nullptr, 0};
    if (!out) return nullptr;
    if (check_long_name(out->target) != 0) {
        delete out;
        return nullptr;
    }
    if (is_device(out->target))
        out->f = _wfopen(out->target.c_str(), text ? L"wt" : L"wb");
    else if ((out->f = create_temp(out, text)) != nullptr)
        set_pending(out, true);
    if (out->f) return out;
    delete out;
    return nullptr;
}

FILE* plat_output_stream(plat_output* out) {
    return out->f;
}

// Gives the finished temporary file the target's name, waiting out a momentary hold of
// either; true when it has the name.
static bool rename_over_target(const plat_output* out) {
    return waiting_out_holds([out] {
        return MoveFileExW(out->temp.c_str(), out->target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
}

int plat_output_commit(plat_output* out) {
    end_background_flush(out);
    bool written = fflush(out->f) == 0 && !ferror(out->f);
    if (!out->temp.empty()) written = written && FlushFileBuffers(stream_handle(out->f));
    if (written && out->marked) written = delete_on_close(stream_handle(out->f), false);
    written = fclose(out->f) == 0 && written;
    out->f = nullptr;
    int status = written ? 0 : PLAT_OUTPUT_WRITE_FAILED;
    if (written && !out->temp.empty()) {
        if (rename_over_target(out)) {
            set_pending(out, false);
            out->temp.clear();
        } else {
            status = PLAT_OUTPUT_RENAME_FAILED;
        }
    }
    plat_output_discard(out);
    return status;
}

void plat_output_discard(plat_output* out) {
    end_background_flush(out);
    set_pending(out, false);
    if (out->f) fclose(out->f);
    if (!out->temp.empty()) DeleteFileW(out->temp.c_str());
    delete out;
}

int plat_same_file(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return name_info(a, &ia) && name_info(b, &ib) && same_identity(ia, ib);
}

// Names yet to be made compared as the file system would: the same base name, ignoring
// letter case, in one folder however it is spelt (a short 8.3 alias, a link, another drive
// letter for it).
int plat_same_output(const char* a, const char* b) {
    if (plat_same_file(a, b)) return 1;
    std::wstring la = plat_long_name(a), lb = plat_long_name(b);
    if (la.empty() || lb.empty()) return 0;
    if (CompareStringOrdinal(la.c_str(), -1, lb.c_str(), -1, TRUE) == CSTR_EQUAL) return 1;
    size_t sa = la.find_last_of(L'\\'), sb = lb.find_last_of(L'\\');
    if (sa == std::wstring::npos || sb == std::wstring::npos ||
        CompareStringOrdinal(la.c_str() + sa, -1, lb.c_str() + sb, -1, TRUE) != CSTR_EQUAL)
        return 0;
    BY_HANDLE_FILE_INFORMATION fa, fb;
    return long_name_info(folder_of(la), &fa) && long_name_info(folder_of(lb), &fb) &&
           same_identity(fa, fb);
}

int plat_stream_is_file(FILE* f, const char* name) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return handle_info(stream_handle(f), &ia) && name_info(name, &ib) && same_identity(ia, ib);
}

int plat_stream_is_folder(FILE* f) {
    BY_HANDLE_FILE_INFORMATION info;
    return handle_info(stream_handle(f), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

long long plat_stream_size(FILE* f) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(stream_handle(f), &size)) return -1;
    if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
    return static_cast<long long>(size.QuadPart);
}

int plat_seek(FILE* f, long long offset) {
    return _fseeki64(f, offset, SEEK_SET) == 0 ? 0 : -1;
}

long long plat_tell(FILE* f) {
    return _ftelli64(f);
}

// Reads up to len bytes at `offset` of the stream's handle: its file pointer is moved
// there and plain ReadFile calls follow (the caller seeks the stream before using it
// again), under one lock, so that threads reading at once never share a position. Not a
// positioned read with an OVERLAPPED: Wine answers each of those on a synchronous handle
// with a round trip to its server. Returns the bytes read.
size_t plat_read_at(FILE* f, long long offset, void* buf, size_t len) {
    static SRWLOCK one_at_a_time = SRWLOCK_INIT;
    HANDLE h = stream_handle(f);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    AcquireSRWLockExclusive(&one_at_a_time);
    if (h == INVALID_HANDLE_VALUE || !SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) {
        ReleaseSRWLockExclusive(&one_at_a_time);
        return 0;
    }
    size_t done = 0;
    while (done < len) {
        DWORD want = len - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len - done);
        DWORD got = 0;
        if (!ReadFile(h, static_cast<char*>(buf) + done, want, &got, nullptr) || got == 0) break;
        done += got;
    }
    ReleaseSRWLockExclusive(&one_at_a_time);
    return done;
}

// Counts the processors of the process's affinity mask: the active processors of its
// group that it may run on (a user may narrow them, e.g. start /affinity).
int plat_processor_count() {
    DWORD_PTR process = 0, system = 0;
    int n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1) n++;
    if (n > 0) return n;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

struct plat_thread {
    HANDLE handle;
    plat_thread_proc proc;
    void* job;
};

// Thread entry of the C runtime's wrapper: runs the job; returns its result.
static unsigned __stdcall thread_entry(void* arg) {
    plat_thread* t = static_cast<plat_thread*>(arg);
    return static_cast<unsigned>(t->proc(t->job));
}

plat_thread* plat_thread_start(plat_thread_proc proc, void* job) {
    plat_thread* t = new (std::nothrow) plat_thread{nullptr, proc, job};
    if (!t) return nullptr;
    // _beginthreadex wraps CreateThread and sets up the C runtime for the new thread.
    t->handle = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, thread_entry, t, 0, nullptr));
    if (!t->handle) {
        delete t;
        return nullptr;
    }
    return t;
}

int plat_thread_join(plat_thread* t) {
    int status = WaitForSingleObject(t->handle, INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
    CloseHandle(t->handle);
    delete t;
    return status;
}

// Thread entry: flushes the duplicate handle it is given and closes it; returns 0.
static unsigned __stdcall flush_entry(void* copy) {
    FlushFileBuffers(static_cast<HANDLE>(copy));
    CloseHandle(static_cast<HANDLE>(copy));
    return 0;
}

// Returns the output whose temporary file the stream writes, or nullptr.
static plat_output* pending_output(FILE* f) {
    for (plat_output* out : pending)
        if (out && out->f == f) return out;
    return nullptr;
}

// Windows has no call that only starts write-back (as Linux's sync_file_range does), so
// the flush before the rename could be left the whole file to write: where nothing writes
// back early (Wine) that is a good part of a decompression. Once FLUSH_EVERY bytes more are
// written, a thread of its own flushes a duplicate of the handle while the writer goes on;
// its result does not matter, the flush before the rename decides. 16 MiB: the last one
// has little left, and a disk is asked to empty its cache once per 16 MiB at most.
static void flush_in_background(plat_output* out, size_t written) {
    const unsigned long long FLUSH_EVERY = 16ull << 20;
    out->unflushed += written;
    if (out->unflushed < FLUSH_EVERY) return;
    if (out->flushing && WaitForSingleObject(out->flushing, 0) != WAIT_OBJECT_0) return;
    end_background_flush(out);
    HANDLE copy;
    if (!DuplicateHandle(GetCurrentProcess(), stream_handle(out->f), GetCurrentProcess(), &copy,
                         0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    out->flushing = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, flush_entry, copy, 0, nullptr));
    if (!out->flushing) CloseHandle(copy);
    else out->unflushed = 0;
}

// Writes a span with WriteFile on the stream's handle, past its (empty) buffer; returns
// the bytes written. A stream with no handle behind it goes through fwrite. A temporary
// file is flushed in the background as it grows.
size_t plat_write_span(FILE* f, const void* buf, size_t len) {
    HANDLE h = stream_handle(f);
    if (h == INVALID_HANDLE_VALUE) return fwrite(buf, 1, len, f);
    size_t done = 0;
    while (done < len) {
        DWORD want = len - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len - done);
        DWORD put = 0;
        if (!WriteFile(h, static_cast<const char*>(buf) + done, want, &put, nullptr) || put == 0)
            break;
        done += put;
    }
    plat_output* out = pending_output(f);
    if (out) flush_in_background(out, done);
    return done;
}

struct plat_count {
    SRWLOCK lock;
    CONDITION_VARIABLE cv;
    uint32_t value;
    uint32_t wake_at;  // lowest value a waiter waits for: no wake-up before it
    bool closed;
};

plat_count* plat_count_new() {
    plat_count* c = new (std::nothrow) plat_count;
    if (!c) return nullptr;
    InitializeSRWLock(&c->lock);
    InitializeConditionVariable(&c->cv);
    c->value = 0;
    c->wake_at = UINT32_MAX;
    c->closed = false;
    return c;
}

void plat_count_free(plat_count* c) {
    delete c;
}

// Adds n and wakes the waiters once the lowest value one waits for is reached; returns
// the value before the addition.
uint32_t plat_count_add(plat_count* c, uint32_t n) {
    AcquireSRWLockExclusive(&c->lock);
    uint32_t before = c->value;
    c->value += n;
    bool wake = c->value >= c->wake_at;
    if (wake) c->wake_at = UINT32_MAX;  // waiters still short of their value register again
    ReleaseSRWLockExclusive(&c->lock);
    if (wake) WakeAllConditionVariable(&c->cv);
    return before;
}

int plat_count_wait(plat_count* c, uint32_t value) {
    AcquireSRWLockExclusive(&c->lock);
    while (!c->closed && c->value < value) {
        if (value < c->wake_at) c->wake_at = value;
        SleepConditionVariableSRW(&c->cv, &c->lock, INFINITE, 0);
    }
    int status = c->closed ? -1 : 0;
    ReleaseSRWLockExclusive(&c->lock);
    return status;
}

void plat_count_close(plat_count* c) {
    AcquireSRWLockExclusive(&c->lock);
    c->closed = true;
    ReleaseSRWLockExclusive(&c->lock);
    WakeAllConditionVariable(&c->cv);
}

// ---------------------------------------------------------------- digests (bcrypt.dll)

struct plat_hash {
    BCRYPT_ALG_HANDLE alg;
    BCRYPT_HASH_HANDLE hash;
    unsigned char* object;  // the hash object's memory, which Vista wants from the caller
    ULONG length;           // digest bytes
};

// Opens the algorithm and reads its object and digest sizes; returns true on success.
static bool open_hash_algorithm(plat_hash* h, int kind, ULONG* object_size) {
    LPCWSTR name = kind == PLAT_HASH_MD5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA1_ALGORITHM;
    ULONG got = 0;
    return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h->alg, name, nullptr, 0)) &&
           BCRYPT_SUCCESS(BCryptGetProperty(h->alg, BCRYPT_OBJECT_LENGTH,
                                            reinterpret_cast<PUCHAR>(object_size),
                                            sizeof *object_size, &got, 0)) &&
           BCRYPT_SUCCESS(BCryptGetProperty(h->alg, BCRYPT_HASH_LENGTH,
                                            reinterpret_cast<PUCHAR>(&h->length),
                                            sizeof h->length, &got, 0)) &&
           h->length <= 20;
}

// Returns a new MD5 or SHA-1 digest from the system's CNG provider, or nullptr.
plat_hash* plat_hash_new(int kind) {
    if (kind != PLAT_HASH_MD5 && kind != PLAT_HASH_SHA1) return nullptr;
    plat_hash* h = static_cast<plat_hash*>(calloc(1, sizeof(plat_hash)));
    if (!h) return nullptr;
    ULONG object_size = 0;
    bool ok = open_hash_algorithm(h, kind, &object_size) &&
              (h->object = static_cast<unsigned char*>(malloc(object_size ? object_size : 1))) &&
              BCRYPT_SUCCESS(BCryptCreateHash(h->alg, &h->hash, h->object, object_size, nullptr, 0, 0));
    if (ok) return h;
    plat_hash_free(h);
    return nullptr;
}

int plat_hash_add(plat_hash* h, const void* data, size_t len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        ULONG n = len > 0x40000000u ? 0x40000000u : static_cast<ULONG>(len);
        if (!BCRYPT_SUCCESS(BCryptHashData(h->hash, const_cast<PUCHAR>(p), n, 0))) return -1;
        p += n;
        len -= n;
    }
    return 0;
}

int plat_hash_finish(plat_hash* h, unsigned char* out) {
    if (!BCRYPT_SUCCESS(BCryptFinishHash(h->hash, out, h->length, 0))) return -1;
    return static_cast<int>(h->length);
}

void plat_hash_free(plat_hash* h) {
    if (!h) return;
    if (h->hash) BCryptDestroyHash(h->hash);
    if (h->alg) BCryptCloseAlgorithmProvider(h->alg, 0);
    free(h->object);
    free(h);
}
