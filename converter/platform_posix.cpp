// POSIX and C++ standard library implementation of the platform layer.
#include "platform.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

// POSIX consoles take UTF-8 as it is.
void plat_console_init() {}

// POSIX hands the program its arguments as bytes already; returns them unchanged.
char** plat_utf8_args(int*, char** argv) {
    return argv;
}

// Opens a file by name; returns the stream or nullptr.
FILE* plat_fopen(const char* name, const char* mode) {
    return fopen(name, mode);
}

// Returns 1 when both names refer to one existing file (same device and inode), else 0.
int plat_same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Returns 1 when the open stream and the named file are one file, else 0.
int plat_stream_is_file(FILE* f, const char* name) {
    struct stat sa, sb;
    if (fstat(fileno(f), &sa) != 0 || stat(name, &sb) != 0) return 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Returns 1 when the open stream is a folder, else 0.
int plat_stream_is_folder(FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
}

// Returns the size of an open stream in bytes as a 64-bit value, or -1; leaves the position at the end.
long long plat_stream_size(FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    off_t pos = ftello(f);
    return pos < 0 ? -1 : static_cast<long long>(pos);
}

// Seeks an open stream to a 64-bit offset from the start; returns 0 on success.
int plat_seek(FILE* f, long long offset) {
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

// Reads up to len bytes at `offset`: pread on the descriptor, or seek and read for a
// stream without one (an in-memory stream). Returns the bytes read.
size_t plat_read_at(FILE* f, long long offset, void* buf, size_t len) {
    int fd = fileno(f);
    if (fd < 0) {
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

// Starts a() and b() on two new threads and waits for both; returns 0, or -1 on failure.
int plat_run_pair(plat_thread_proc a, void* job_a, plat_thread_proc b, void* job_b) {
    std::thread ta, tb;
    try {
        ta = std::thread(a, job_a);
    } catch (const std::system_error&) {
        return -1;
    }
    int status = 0;
    try {
        tb = std::thread(b, job_b);
    } catch (const std::system_error&) {
        status = -1;  // A still runs on the shared buffers: join it before returning
    }
    try {
        ta.join();
        if (tb.joinable()) tb.join();
    } catch (const std::system_error&) {
        return -1;
    }
    return status;
}

struct plat_thread {
    std::thread t;
};

// Starts proc(job) on a new thread; returns it, or nullptr when it could not be started.
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

// Waits for the thread to end and frees it; returns 0, or -1 when the join failed.
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

// Returns a new count at 0, or nullptr when there is no memory for it.
plat_count* plat_count_new() {
    return new (std::nothrow) plat_count;
}

// Frees a count nobody waits on any more.
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

// Waits until the count is at least `value`; returns 0, or -1 once the count is closed.
int plat_count_wait(plat_count* c, uint32_t value) {
    std::unique_lock<std::mutex> lock(c->m);
    while (!c->closed && c->value < value) {
        if (value < c->wake_at) c->wake_at = value;
        c->cv.wait(lock);
    }
    return c->closed ? -1 : 0;
}

// Closes the count and wakes every waiter.
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

// Adds len bytes to the digest; returns 0, or -1 on failure.
int plat_hash_add(plat_hash* h, const void* data, size_t len) {
    return EVP_DigestUpdate(h->ctx, data, len) == 1 ? 0 : -1;
}

// Finishes the digest into out; returns its length, or -1.
int plat_hash_finish(plat_hash* h, unsigned char* out) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(h->ctx, md, &len) != 1 || len > 20) return -1;
    memcpy(out, md, len);
    return static_cast<int>(len);
}

// Frees a digest (nullptr is ignored).
void plat_hash_free(plat_hash* h) {
    if (!h) return;
    EVP_MD_CTX_free(h->ctx);
    delete h;
}
