// Thin layer over the operating system: file identity, 64-bit sizes, threads.
// Everything platform-specific the converter needs goes through here.
#pragma once
#include <cstdio>

// Returns 1 when both names refer to one existing file (same device and inode), else 0.
int plat_same_file(const char* a, const char* b);
// Returns 1 when the open stream and the named file are one file, else 0.
int plat_stream_is_file(FILE* f, const char* name);
// Returns the size of an open stream in bytes as a 64-bit value, or -1; leaves the position at the end.
long long plat_stream_size(FILE* f);
// Seeks an open stream to a 64-bit offset from the start; returns 0 on success.
int plat_seek(FILE* f, long long offset);

// Entry point of a worker thread: takes its job record, returns 0.
typedef int (*plat_thread_proc)(void* job);
// Starts a() and b() on two new threads and waits for both; returns 0, or -1 if either
// could not be started or joined (then neither job's results may be used).
int plat_run_pair(plat_thread_proc a, void* job_a, plat_thread_proc b, void* job_b);
