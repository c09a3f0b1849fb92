// POSIX and C++ standard library implementation of the platform layer.
#include "platform.h"

#include <sys/stat.h>

#include <system_error>
#include <thread>

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
