// POSIX and C++ standard library implementation of the platform layer.
#include "platform.h"
#include "platform_posix.h"

#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

void plat_keep_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (open("/dev/null", O_RDONLY) != fd) exit(1);  // nowhere safe to print the reason
    }
}

// POSIX consoles take UTF-8 as it is. A standard stream closed at the start would hand
// its number to the first file the run opens: the console text would go into it.
void plat_console_init() {
    plat_keep_standard_streams();
}

// glibc serves blocks from 128 KiB up with their own mappings and trims the heap's top
// from 128 KiB: both are raised past what one block's encoding takes (-opt -best of a
// 0.7 MB text image took 1.8 s with 78,000 page faults, 0.9 s with 1,000).
void plat_heap_init() {
#ifdef M_MMAP_THRESHOLD
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

// POSIX hands the program its arguments as bytes already; returns them unchanged.
char** plat_utf8_args(int*, char** argv) {
    return argv;
}

// A file to read is opened without waiting: a FIFO no one writes to would block the open
// for ever, where now it reads as empty and the caller's own check refuses it.
FILE* plat_fopen(const char* name, const char* mode) {
    if (mode[0] != 'r' || strchr(mode, '+')) return fopen(name, mode);
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    int flags = fcntl(fd, F_GETFL);
    FILE* f = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, mode) : nullptr;
    if (!f) close(fd);
    return f;
}

// ---------------------------------------------------------------- outputs

// A data sync of an output running on a thread of its own.
struct background_sync {
    std::thread thread;
    std::atomic<bool> done{false};  // set as the sync returns
};

struct plat_output {
    FILE* f;
    char* temp;    // the temporary file, or nullptr when the named file is written directly
    char* target;  // the name it takes when it is whole (a link's target for a link)
    background_sync* syncing;     // the sync of the temporary file under way, or nullptr
    unsigned long long unsynced;  // bytes written since that sync began
};

// Temporary files not yet renamed: removed by a fatal signal or an exit on the way.
static const int MAX_PENDING = 4;
static char* volatile pending[MAX_PENDING];

// Outputs with a temporary file that are open, for the span writer to find by stream.
static plat_output* open_outputs[MAX_PENDING];

// Removes every pending temporary file (only async-signal-safe calls).
static void remove_pending() {
    for (int i = 0; i < MAX_PENDING; i++)
        if (pending[i]) unlink(pending[i]);
}

// Removes the pending files, then lets the signal end the process as it would have.
static void on_fatal_signal(int sig) {
    remove_pending();
    signal(sig, SIG_DFL);
    raise(sig);
}

// Installs the clean-up for exit() and for the signals that end a run by default and may
// be caught: Ctrl-C, a hang-up, a termination, a quit, a console pipe whose reader has
// gone ("| head"), a file size or processor time limit, timers and the user signals; once.
static void install_cleanup() {
    static bool done = false;
    if (done) return;
    done = true;
    atexit(remove_pending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU, SIGALRM, SIGVTALRM, SIGPROF,
                    SIGUSR1, SIGUSR2}) {
        // Only where the signal still ends the process: one ignored (nohup) stays ignored,
        // and a handler the host program set (a fuzzer's timer) stays its own.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL) continue;
        signal(sig, on_fatal_signal);
    }
}

// Adds (or with `add` false, drops) a temporary file of the pending list.
static void set_pending(char* path, bool add) {
    for (int i = 0; i < MAX_PENDING; i++) {
        if (add && !pending[i]) {
            pending[i] = path;
            return;
        }
        if (!add && pending[i] == path) pending[i] = nullptr;
    }
}

// Waits for the output's background sync, if one runs, and forgets it.
static void end_background_sync(plat_output* out) {
    if (!out->syncing) return;
    out->syncing->thread.join();
    delete out->syncing;
    out->syncing = nullptr;
}

// Adds (or with `add` false, drops) an output of the open list.
static void set_open(plat_output* out, bool add) {
    for (plat_output*& slot : open_outputs) {
        if (add && !slot) {
            slot = out;
            return;
        }
        if (!add && slot == out) slot = nullptr;
    }
}

// Returns a malloc'd copy of the folder part of `path` ("." when it has none).
static char* folder_of(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!slash) return strdup(".");
    if (slash == path) return strdup("/");
    return strndup(path, static_cast<size_t>(slash - path));
}

// Returns 1 when the folder that would hold `path` exists and lets us add files, else 0.
static int folder_writable(const char* path) {
    char* dir = folder_of(path);
    struct stat st;
    int ok = dir && stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && access(dir, W_OK | X_OK) == 0;
    free(dir);
    return ok;
}

// Returns 1 when a new file can be made where an output named `name` goes (beside it, or
// where the dangling link of that name points), else 0.
static int creatable(const char* name) {
    char* target = plat_output_target(name);
    int ok = target && folder_writable(target);
    free(target);
    return ok;
}

int plat_output_check(const char* name) {
    struct stat st;
    if (!*name) return -1;  // no file has it, though its "folder" (here) may be writable
    if (stat(name, &st) != 0) return errno == ENOENT && creatable(name) ? 0 : -1;
    if (S_ISDIR(st.st_mode)) return -1;
    return access(name, W_OK) == 0 ? 0 : -1;
}

char* plat_resolved_name(const char* path) {
    char* dir = folder_of(path);
    char* real = dir ? realpath(dir, nullptr) : nullptr;
    const char* slash = strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    char* full = nullptr;
    if (!real) full = strdup(path);
    else if (asprintf(&full, "%s/%s", strcmp(real, "/") ? real : "", base) < 0) full = nullptr;
    free(dir);
    free(real);
    return full;
}

// The file a dangling link names, as opening it for writing would create it: the link's
// text (taken from the link's folder when relative), followed through further links, its
// folder resolved; nullptr when a link can't be read or the chain is too long.
static char* dangling_target(const char* name) {
    std::string path = name;
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return plat_resolved_name(path.c_str());
        char text[PATH_MAX];
        ssize_t n = readlink(path.c_str(), text, sizeof text);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof text)) return nullptr;
        std::string link(text, static_cast<size_t>(n));
        if (link[0] != '/') {
            char* dir = folder_of(path.c_str());
            if (!dir) return nullptr;
            link = std::string(dir) + "/" + link;
            free(dir);
        }
        path = link;
    }
    return nullptr;
}

// A link's target, resolved as realpath does, or the file a dangling link would create.
char* plat_output_target(const char* name) {
    struct stat st;
    if (lstat(name, &st) == 0 && S_ISLNK(st.st_mode)) {
        char* real = realpath(name, nullptr);
        if (real) return real;
        if (errno == ENOENT) return dangling_target(name);
    }
    return strdup(name);
}

// Returns how many bytes of a file name the temporary name keeps: all, or at most
// PLAT_TEMP_BASE_MOST cut at a character's start.
static size_t temp_base_length(const char* base) {
    size_t n = strlen(base);
    if (n <= PLAT_TEMP_BASE_MOST) return n;
    n = PLAT_TEMP_BASE_MOST;
    while (n > 0 && (static_cast<unsigned char>(base[n]) & 0xC0) == 0x80) n--;
    return n;
}

// Creates the temporary file beside `target` with the mode (and, where it may,
// the owner) of the file it will replace (a new file gets the usual ones); returns its
// descriptor (its malloc'd name in *temp, on the clean-up list), or -1.
static int create_temp(const char* target, char** temp) {
    char* dir = folder_of(target);
    const char* slash = strrchr(target, '/');
    const char* base = slash ? slash + 1 : target;
    int keep = static_cast<int>(temp_base_length(base));
    struct stat st;
    bool exists = stat(target, &st) == 0;
    int fd = -1;
    for (int attempt = 0; dir && fd < 0 && attempt < PLAT_TEMP_ATTEMPTS; attempt++) {
        free(*temp);
        *temp = nullptr;
        if (asprintf(temp, "%s/.%.*s" PLAT_TEMP_MARK "%ld%s%.0d", dir, keep, base, static_cast<long>(getpid()),
                     attempt ? "-" : "", attempt) < 0) {
            *temp = nullptr;
            break;
        }
        fd = open(*temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) set_pending(*temp, true);  // from its first moment, for a signal
    free(dir);
    // The owner stays where this user may set it (root replacing another user's file).
    if (fd >= 0 && exists && fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
    if (fd >= 0 && (!exists || fchmod(fd, st.st_mode & 07777) == 0)) return fd;
    if (fd >= 0) {
        unlink(*temp);
        set_pending(*temp, false);
        close(fd);
    }
    free(*temp);
    *temp = nullptr;
    return -1;
}

plat_output* plat_output_open(const char* name, int) {
    if (plat_output_check(name) != 0) return nullptr;
    plat_output* out = static_cast<plat_output*>(calloc(1, sizeof(plat_output)));
    if (!out) return nullptr;
    struct stat st;
    if (stat(name, &st) == 0 && !S_ISREG(st.st_mode)) {  // a pipe or a device: as it is
        out->f = fopen(name, "wb");
        if (out->f) return out;
        free(out);
        return nullptr;
    }
    install_cleanup();
    out->target = plat_output_target(name);
    int fd = out->target ? create_temp(out->target, &out->temp) : -1;
    out->f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out->f) set_open(out, true);
    if (out->f) return out;
    if (fd >= 0) close(fd);
    plat_output_discard(out);
    return nullptr;
}

FILE* plat_output_stream(plat_output* out) {
    return out->f;
}

// Makes a rename in the folder of `path` durable; failures only cost durability.
static void sync_folder(const char* path) {
    char* dir = folder_of(path);
    int fd = dir ? open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    free(dir);
}

// Renames the written temporary file over the target and makes the rename durable;
// returns 0, or PLAT_OUTPUT_RENAME_FAILED (the temporary file is then still pending).
static int put_in_place(plat_output* out) {
    if (rename(out->temp, out->target) != 0) return PLAT_OUTPUT_RENAME_FAILED;
    set_pending(out->temp, false);
    free(out->temp);
    out->temp = nullptr;
    sync_folder(out->target);
    return 0;
}

int plat_output_commit(plat_output* out) {
    end_background_sync(out);
    bool written = fflush(out->f) == 0 && !ferror(out->f);
    if (out->temp) written = written && fsync(fileno(out->f)) == 0;
    written = fclose(out->f) == 0 && written;
    out->f = nullptr;
    int status = written ? 0 : PLAT_OUTPUT_WRITE_FAILED;
    if (written && out->temp) status = put_in_place(out);
    plat_output_discard(out);
    return status;
}

void plat_output_discard(plat_output* out) {
    end_background_sync(out);  // its thread syncs the descriptor fclose ends
    if (out->f) fclose(out->f);
    set_open(out, false);
    if (out->temp) {  // removed before it leaves the list, so a signal between finds it
        unlink(out->temp);
        set_pending(out->temp, false);
    }
    free(out->temp);
    free(out->target);
    free(out);
}

int plat_same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int plat_same_output(const char* a, const char* b) {
    if (plat_same_file(a, b)) return 1;
    char* ta = plat_output_target(a);
    char* tb = plat_output_target(b);
    char* ra = ta ? plat_resolved_name(ta) : nullptr;
    char* rb = tb ? plat_resolved_name(tb) : nullptr;
    int same = ra && rb && strcmp(ra, rb) == 0;
    free(ta);
    free(tb);
    free(ra);
    free(rb);
    return same;
}

int plat_stream_is_file(FILE* f, const char* name) {
    struct stat sa, sb;
    if (fstat(fileno(f), &sa) != 0 || stat(name, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int plat_stream_is_folder(FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
}

long long plat_stream_size(FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    off_t pos = ftello(f);
    return pos < 0 ? -1 : static_cast<long long>(pos);
}

int plat_seek(FILE* f, long long offset) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

long long plat_tell(FILE* f) {
    off_t pos = ftello(f);
    return pos < 0 ? -1 : static_cast<long long>(pos);
}

size_t plat_read_at(FILE* f, long long offset, void* buf, size_t len) {
    int fd = fileno(f);
    if (fd < 0) {  // a stream of the program's own (tests): a seek and a read, kept together
        static std::mutex one_at_a_time;
        std::lock_guard<std::mutex> lock(one_at_a_time);
        if (plat_seek(f, offset) != 0) return 0;
        size_t n = fread(buf, 1, len, f);
        clearerr(f);
        return n;
    }
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, static_cast<char*>(buf) + done, len - done,
                          static_cast<off_t>(offset + static_cast<long long>(done)));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// Returns the open output whose temporary file the stream writes, or nullptr.
static plat_output* open_output(FILE* f) {
    auto writes_f = [f](const plat_output* out) { return out && out->f == f; };
    plat_output* const* found = std::find_if(std::begin(open_outputs), std::end(open_outputs), writes_f);
    return found == std::end(open_outputs) ? nullptr : *found;
}

// Started write-back does not make the data durable: the sync before the rename still
// waits for the disk to take the whole file (on a virtual disk, 65 ms of a 0.45 s
// decompression of 134 MB). Once SYNC_EVERY bytes more are written, a thread of its own
// syncs the data while the writer goes on, so the last sync has little left; its result
// does not matter, the sync before the rename decides.
static void sync_in_background(plat_output* out, size_t written) {
    const unsigned long long SYNC_EVERY = 16ull << 20;
    out->unsynced += written;
    if (out->unsynced < SYNC_EVERY) return;
    if (out->syncing && !out->syncing->done) return;
    end_background_sync(out);
    background_sync* job = new (std::nothrow) background_sync;
    if (!job) return;
    int fd = fileno(out->f);
    try {
        job->thread = std::thread([job, fd] {
            fdatasync(fd);
            job->done = true;
        });
    } catch (const std::system_error&) {
        delete job;
        return;
    }
    out->syncing = job;
    out->unsynced = 0;
}

// Writes a span straight to the stream's file and starts its write-back; returns the
// bytes written. A stream with no file behind it goes through fwrite. A temporary file
// is also synced in the background as it grows.
size_t plat_write_span(FILE* f, const void* buf, size_t len) {
    int fd = fileno(f);
    if (fd < 0) return fwrite(buf, 1, len, f);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, static_cast<const char*>(buf) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    off_t end = lseek(fd, 0, SEEK_CUR);  // fails on a pipe or a device: nothing to start
    if (done > 0 && end >= static_cast<off_t>(done))
        sync_file_range(fd, end - static_cast<off_t>(done), static_cast<off_t>(done),
                        SYNC_FILE_RANGE_WRITE);
    plat_output* out = open_output(f);
    if (out) sync_in_background(out, done);  // only outputs with a temporary file are listed
    return done;
}

// Counts the processors of the process's affinity mask, which a user may narrow (taskset,
// a container's CPU set); the machine's count when the mask can't be read.
int plat_processor_count() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

struct plat_thread {
    std::thread t;
};

plat_thread* plat_thread_start(plat_thread_proc proc, void* job) {
    plat_thread* p = new (std::nothrow) plat_thread;
    if (!p) return nullptr;
    try {
        p->t = std::thread(proc, job);
    } catch (const std::system_error&) {
        delete p;
        return nullptr;
    }
    return p;
}

int plat_thread_join(plat_thread* p) {
    int status = 0;
    try {
        p->t.join();
    } catch (const std::system_error&) {
        p->t.detach();  // a joinable std::thread may not be destroyed
        status = -1;
    }
    delete p;
    return status;
}

struct plat_count {
    std::mutex m;
    std::condition_variable cv;
    uint32_t value = 0;
    uint32_t wake_at = UINT32_MAX;  // lowest value a waiter waits for: no wake-up before it
    bool closed = false;
};

plat_count* plat_count_new() {
    return new (std::nothrow) plat_count;
}

void plat_count_free(plat_count* c) {
    delete c;
}

// Adds n and wakes the waiters once the lowest value one waits for is reached; returns
// the value before the addition.
uint32_t plat_count_add(plat_count* c, uint32_t n) {
    std::lock_guard<std::mutex> lock(c->m);
    uint32_t before = c->value;
    c->value += n;
    if (c->value >= c->wake_at) {
        c->wake_at = UINT32_MAX;  // waiters still short of their value register again
        c->cv.notify_all();
    }
    return before;
}

int plat_count_wait(plat_count* c, uint32_t value) {
    std::unique_lock<std::mutex> lock(c->m);
    while (!c->closed && c->value < value) {
        if (value < c->wake_at) c->wake_at = value;
        c->cv.wait(lock);
    }
    return c->closed ? -1 : 0;
}

void plat_count_close(plat_count* c) {
    std::lock_guard<std::mutex> lock(c->m);
    c->closed = true;
    c->cv.notify_all();
}

// ---------------------------------------------------------------- digests (libcrypto)

struct plat_hash {
    EVP_MD_CTX* ctx;
};

// Returns a new MD5 or SHA-1 digest through OpenSSL's EVP interface, or nullptr.
plat_hash* plat_hash_new(int kind) {
    const EVP_MD* md = kind == PLAT_HASH_MD5 ? EVP_md5() : kind == PLAT_HASH_SHA1 ? EVP_sha1() : nullptr;
    EVP_MD_CTX* ctx = md ? EVP_MD_CTX_new() : nullptr;
    if (!ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return nullptr;
    }
    plat_hash* h = new (std::nothrow) plat_hash{ctx};
    if (!h) EVP_MD_CTX_free(ctx);
    return h;
}

int plat_hash_add(plat_hash* h, const void* data, size_t len) {
    return EVP_DigestUpdate(h->ctx, data, len) == 1 ? 0 : -1;
}

int plat_hash_finish(plat_hash* h, unsigned char* out) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(h->ctx, md, &len) != 1 || len > 20) return -1;
    memcpy(out, md, len);
    return static_cast<int>(len);
}

void plat_hash_free(plat_hash* h) {
    if (!h) return;
    EVP_MD_CTX_free(h->ctx);
    delete h;
}
