// POSIX implementation of the conversion job's operating-system layer.
#include "job_platform_posix.h"

#include "platform_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

const char* const FOLDER_PREFIX = "wendrovix-";
const char* const LOCK_NAME = "wendrovix.lock";  // inside every job folder
const int UNKNOWN_STATUS = -1;  // a child whose exit status could not be had

// A spawned child whose standard output is the read end of a pipe. Its id stays
// reserved until it is reaped, so signals are only sent before the reaping, and the
// state below makes "signal" and "reap" exclude each other.
class PosixProcess : public ConverterProcess {
public:
    PosixProcess(pid_t pid, int out_fd) : pid_(pid), out_fd_(out_fd) {}
    // Closes the pipe; a child never waited for is ended and reaped.
    ~PosixProcess() override {
        if (out_fd_ >= 0) close(out_fd_);
        if (state_.load() != REAPED) {
            terminate();
            wait_exit();
        }
    }
    size_t read_output(char* buf, size_t size) override;
    int wait_exit() override;
    bool terminate() override;
    unsigned long id() const override { return static_cast<unsigned long>(pid_); }

private:
    enum { RUNNING, SIGNALLING, REAPED };
    pid_t pid_;
    int out_fd_;
    std::atomic<int> state_{RUNNING};
};

// Reads the next piece of output; 0 (and the pipe closed) at its end or on an error.
size_t PosixProcess::read_output(char* buf, size_t size) {
    if (out_fd_ < 0) return 0;
    ssize_t n;
    do n = read(out_fd_, buf, size);
    while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<size_t>(n);
    close(out_fd_);
    out_fd_ = -1;
    return 0;
}

// Waits for the end without reaping, claims the id from any signaller, then reaps.
int PosixProcess::wait_exit() {
    siginfo_t info;
    while (waitid(P_PID, pid_, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int expected = RUNNING;
    while (!state_.compare_exchange_weak(expected, REAPED)) {
        if (expected == REAPED) return 1;  // reaped before: nothing left to wait for
        expected = RUNNING;
        std::this_thread::yield();  // a signal is being sent to the zombie: harmless
    }
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped != pid_) return UNKNOWN_STATUS;  // never taken for a success
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

// Sends SIGKILL while the child is not reaped; returns true when sent.
bool PosixProcess::terminate() {
    int expected = RUNNING;
    if (!state_.compare_exchange_strong(expected, SIGNALLING)) return false;
    kill(pid_, SIGKILL);
    state_ = RUNNING;
    return true;
}

// A std::thread joined at most once.
class StdWorker : public WorkerThread {
public:
    explicit StdWorker(std::function<void()> fn) : thread_(std::move(fn)) {}
    ~StdWorker() override { join(); }
    void join() override {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// A regular file opened read-only, read with positioned reads.
class PosixFileReader : public FileReader {
public:
    PosixFileReader(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~PosixFileReader() override { close(fd_); }
    uint64_t size() override { return size_; }
    bool read_at(uint64_t offset, void* buf, size_t size) override;

private:
    int fd_;
    uint64_t size_;
};

// Reads until `size` bytes have come; false on an error or an early end of file.
bool PosixFileReader::read_at(uint64_t offset, void* buf, size_t size) {
    char* p = static_cast<char*>(buf);
    while (size > 0) {
        ssize_t n = pread(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The job folder's lock file, open and flock()ed (a lock that conflicts with every other
// open of the file, in this process too); the kernel lets go of it when the process ends.
class PosixFolderLock : public FolderLock {
public:
    PosixFolderLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~PosixFolderLock() override {
        if (fd_ >= 0) close(fd_);
    }
    // Unlinks while holding the lock, so no one can take it for a left-over meanwhile.
    void release() override {
        if (fd_ < 0) return;
        unlink(path_.c_str());
        close(fd_);
        fd_ = -1;
    }

private:
    std::string path_;
    int fd_;
};

// Opens and locks a lock file without waiting; -1 when it is missing or held. A file
// unlinked (by a releasing owner) between the open and the lock is not taken.
int take_lock(const std::string& path, int flags) {
    int fd = open(path.c_str(), flags | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat held, named;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &held) != 0 ||
        stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
        close(fd);
        return -1;
    }
    return fd;
}

// Empties and removes a left-over job folder whose lock (fd, on `lock`) is held here:
// its plain files go, the lock file last; a folder holding anything else stays.
void remove_locked_folder(const std::string& folder, const std::string& lock, int fd) {
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            struct stat st;
            if (name == LOCK_NAME || lstat((folder + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            unlink((folder + name).c_str());
        }
        closedir(dir);
    }
    unlink(lock.c_str());
    close(fd);
    rmdir(folder.c_str());
}

// Returns true when `name` in `parent` is a job folder of this user (no link).
bool is_job_folder(const std::string& parent, const std::string& name) {
    if (name.compare(0, strlen(FOLDER_PREFIX), FOLDER_PREFIX) != 0) return false;
    struct stat st;
    return lstat((parent + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// Replaces "%1" in a message with the file's name.
std::string with_name(const char* message, const std::string& path) {
    std::string text = message;
    return text.replace(text.find("%1"), 2, path);
}

}  // namespace

std::string file_error_text(int error, const std::string& path) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return with_name("%1 was not found.", path);
    case EACCES:
    case EPERM:
    case EROFS:
        return with_name("Access to %1 was denied.", path);
    case EBUSY:
    case ETXTBSY:
        return with_name("A sharing violation occurred while accessing %1.", path);
    default:
        return with_name("An unexpected error occurred while accessing %1.", path);
    }
}

std::string PosixJobPlatform::path_key(const std::string& path) const {
    return taken_name(plat_resolved_name(path.c_str()), path);
}

// Regular files, or links to them.
bool PosixJobPlatform::is_file(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).isFile();
}

// Folders, or links to them.
bool PosixJobPlatform::is_folder(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).isDir();
}

// True when a step of `path` is "..", which the kernel takes after following the link
// before it, where removing it as text could name another file.
static bool has_parent_step(const std::string& path) {
    for (size_t at = 0; (at = path.find("..", at)) != std::string::npos; at += 2)
        if ((at == 0 || path[at - 1] == '/') && (at + 2 == path.size() || path[at + 2] == '/')) return true;
    return false;
}

// Relative names are taken from the current folder; a name with a ".." step has its
// folder resolved first, so it names the file opening it would (a folder that can't be
// resolved leaves it to be cleaned as text: no file opens under it anyway).
bool PosixJobPlatform::full_path(const std::string& path, std::string& full) {
    std::string name = has_parent_step(path) ? taken_name(plat_resolved_name(path.c_str()), path) : path;
    full = QFileInfo(QString::fromStdString(name)).absoluteFilePath().toStdString();
    return true;
}

// Returns $TMPDIR (or /tmp) with a trailing slash.
std::string PosixJobPlatform::temp_path() {
    const char* dir = getenv("TMPDIR");
    std::string path = dir && *dir ? dir : "/tmp";
    if (path.back() != '/') path += '/';
    return path;
}

// Makes parent/wendrovix-XXXXXX with mode 0700; returns it with a slash, or "".
std::string PosixJobPlatform::make_private_folder(const std::string& parent) {
    std::string name = parent + "wendrovix-XXXXXX";
    if (!mkdtemp(name.data())) return "";
    chmod(name.c_str(), 0700);
    return name + "/";
}

// Creates the folder's lock file and locks it; nullptr on failure. The file is made and
// locked under another name and linked into place: under its own name, between the open
// and the lock, another dialog's start-up clean-up would take it for a left-over.
std::unique_ptr<FolderLock> PosixJobPlatform::lock_folder(const std::string& folder) {
    std::string path = folder + LOCK_NAME, fresh = path + ".new";
    int fd = take_lock(fresh, O_CREAT | O_EXCL);
    if (fd < 0) return nullptr;
    bool placed = link(fresh.c_str(), path.c_str()) == 0;
    unlink(fresh.c_str());
    if (placed) return std::make_unique<PosixFolderLock>(path, fd);
    close(fd);
    return nullptr;
}

// Removes every job folder of this user in parent whose lock file no one holds.
int PosixJobPlatform::remove_stale_folders(const std::string& parent) {
    std::vector<std::string> stale;
    if (DIR* dir = opendir(parent.c_str())) {
        while (dirent* entry = readdir(dir))
            if (is_job_folder(parent, entry->d_name)) stale.push_back(parent + entry->d_name + "/");
        closedir(dir);
    }
    int removed = 0;
    for (const std::string& folder : stale) {
        int fd = take_lock(folder + LOCK_NAME, 0);
        if (fd < 0) continue;
        remove_locked_folder(folder, folder + LOCK_NAME, fd);
        removed += access(folder.c_str(), F_OK) != 0 ? 1 : 0;
    }
    return removed;
}

// Reads the embedded converter from its Qt resource (named by the build).
bool PosixJobPlatform::converter_resource(std::string& bytes) {
    QFile file(QStringLiteral(CONVERTER_RESOURCE));
    if (!file.open(QIODevice::ReadOnly)) return false;
    QByteArray data = file.readAll();
    bytes.assign(data.constData(), static_cast<size_t>(data.size()));
    return !bytes.empty();
}

// Creates the file exclusively (no link followed), mode 0700, and writes all bytes.
bool PosixJobPlatform::write_program_file(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0700) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    return close(fd) == 0 && ok;
}

// Returns the size of a file; a folder has none (an output named by one is not asked
// about as a file to replace).
bool PosixJobPlatform::file_size(const std::string& path, uint64_t& size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Removes a file; "" or the error text.
std::string PosixJobPlatform::remove_file(const std::string& path) {
    return unlink(path.c_str()) == 0 ? "" : file_error_text(errno, path);
}

// Returns the names in a folder ("." and ".." left out).
std::vector<std::string> PosixJobPlatform::list_folder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Removes an empty folder; "" or the error text.
std::string PosixJobPlatform::remove_folder(const std::string& path) {
    return rmdir(path.c_str()) == 0 ? "" : file_error_text(errno, path);
}

namespace {

// In the child after fork (only async-signal-safe calls): ends with the parent, takes
// the pipe as its standard output and error, runs the program; reports a failed exec's
// errno on `report` (closed by a successful exec). The parent's end is a SIGTERM, which
// the converter catches to remove its temporary output; it is unblocked and not ignored,
// as an exec would otherwise pass either on.
[[noreturn]] void exec_child(pid_t parent, int out, int report, char* const* args) {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &term, nullptr);
    signal(SIGTERM, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the parent died before the line above
    if (dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
    execve(args[0], args, environ);
    int error = errno;
    ssize_t ignored = write(report, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// A program started with SIGCHLD ignored (a launcher's setting passes through exec) would
// have the kernel reap its children, and no exit status could be had: the default comes
// back before a child is started.
void keep_exit_statuses() {
    struct sigaction action;
    if (sigaction(SIGCHLD, nullptr, &action) != 0) return;
    if (action.sa_handler == SIG_IGN || (action.sa_flags & SA_NOCLDWAIT)) signal(SIGCHLD, SIG_DFL);
}

// Returns the errno a child reported before its exec failed, 0 when the exec succeeded.
int exec_error(int report) {
    int error = 0;
    ssize_t n;
    do n = read(report, &error, sizeof error);
    while (n < 0 && errno == EINTR);
    return n == sizeof error ? error : 0;
}

}  // namespace

// Starts argv[0] with its standard output and error on a new pipe, ended by the kernel
// should this process end first; nullptr when it cannot be started.
std::unique_ptr<ConverterProcess> PosixJobPlatform::start_process(
    const std::vector<std::string>& argv) {
    if (argv.empty()) return nullptr;
    keep_exit_statuses();
    int out[2], report[2];
    if (pipe2(out, O_CLOEXEC) != 0) return nullptr;
    if (pipe2(report, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) exec_child(parent, out[1], report[1], args.data());
    close(out[1]);
    close(report[1]);
    int error = pid < 0 ? errno : exec_error(report[0]);
    close(report[0]);
    if (pid > 0 && error != 0) waitpid(pid, nullptr, 0);
    if (pid < 0 || error != 0) {
        close(out[0]);
        return nullptr;
    }
    return std::make_unique<PosixProcess>(pid, out[0]);
}

// Opens a regular file for reading; nullptr for a missing file, a folder, a pipe or a
// device, or no access.
std::unique_ptr<FileReader> PosixJobPlatform::open_read(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a pipe would wait for a writer
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<PosixFileReader>(fd, static_cast<uint64_t>(st.st_size));
}

// Runs fn on a new std::thread; nullptr when none can be made.
std::unique_ptr<WorkerThread> PosixJobPlatform::start_worker(std::function<void()> fn) {
    try {
        return std::make_unique<StdWorker>(std::move(fn));
    } catch (const std::system_error&) {
        return nullptr;
    }
}

// Sleeps the calling thread.
void PosixJobPlatform::sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
