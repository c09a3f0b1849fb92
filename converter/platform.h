// Thin layer over the operating system: file identity, 64-bit sizes, threads.
// Everything platform-specific the converter needs goes through here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Names are UTF-8 everywhere in the converter; the platform turns them into its own.

// Prepares the console for UTF-8 text (names in any script stay legible) and may buffer
// stdout fully, so flush it where a line must show at once; call once, before any output
// and before any file is opened (a closed standard stream gets a harmless stand-in, so
// that no file the run opens takes its place).
void plat_console_init();
// Keeps the memory the program frees for its next use: -best's encoder takes and frees
// about a megabyte a block, which the C library would otherwise give back to the system
// and fault in again, block after block. Call once, at the start.
void plat_heap_init();
// Returns the program's arguments as UTF-8 (on Windows from the UTF-16 command line, as
// the C runtime's argv holds only the ANSI code page); argc is updated to match.
char** plat_utf8_args(int* argc, char** argv);
// Opens a file by its UTF-8 name with an fopen mode; returns the stream or nullptr.
FILE* plat_fopen(const char* name, const char* mode);

// A file being written that replaces the named one only once it is whole: a temporary
// file beside it, renamed over the name by plat_output_commit. A name that is no regular
// file (a pipe, a device) is written directly.
struct plat_output;
// Returns 0 when `name` could be written by this user (an existing file writable, not
// read-only, and on Windows not held open by a program that does not share its removal,
// which would refuse the replacement), else -1; creates nothing.
int plat_output_check(const char* name);
// Checks `name` as plat_output_check does and opens the file that will become it, as
// text (`text` 1: line feeds as the system writes them) or binary; returns the output, or
// nullptr when it can't be created.
plat_output* plat_output_open(const char* name, int text);
// Returns the stream to write the output through.
FILE* plat_output_stream(plat_output* out);
// Flushes, syncs and closes the output, then puts it in place under its name and frees
// it; returns 0, PLAT_OUTPUT_WRITE_FAILED (nothing replaced) or PLAT_OUTPUT_RENAME_FAILED.
int plat_output_commit(plat_output* out);
// Closes the output, removes the temporary file and frees it; the named file is untouched.
void plat_output_discard(plat_output* out);
// Returns the malloc'd name of the file an output named `name` becomes: a symbolic
// link's target where outputs are written through links (the link stays), else the name
// itself (for a dangling link, the file it would create); nullptr when out of memory or
// when a link can't be followed. The dialog finds a stopped run's temporary file by it.
char* plat_output_target(const char* name);
constexpr int PLAT_OUTPUT_WRITE_FAILED = -1;   // a write, flush, sync or close failed
constexpr int PLAT_OUTPUT_RENAME_FAILED = -2;  // the whole file could not take the name
// The temporary file beside a target is named "." + the target's name (cut to at most
// PLAT_TEMP_BASE_MOST bytes, and UTF-16 units on Windows) + PLAT_TEMP_MARK + the process
// id, then "-<n>" for the n-th of PLAT_TEMP_ATTEMPTS tries when that name is taken.
#define PLAT_TEMP_MARK ".vellicor-tmp-"
constexpr size_t PLAT_TEMP_BASE_MOST = 200;  // a name's 255 bytes hold the rest
constexpr int PLAT_TEMP_ATTEMPTS = 10;

// Returns 1 when both names refer to one existing file (same device and inode), else 0.
int plat_same_file(const char* a, const char* b);
// Returns 1 when outputs named a and b would be one file: one existing file, or one file
// yet to be made (the same full name once links, "." and ".." are resolved), else 0.
int plat_same_output(const char* a, const char* b);
// Returns 1 when the open stream and the named file are one file, else 0.
int plat_stream_is_file(FILE* f, const char* name);
// Returns 1 when the open stream is a folder (which POSIX lets fopen open for reading), else 0.
int plat_stream_is_folder(FILE* f);
// Returns the size of an open stream in bytes as a 64-bit value, or -1; leaves the position at the end.
long long plat_stream_size(FILE* f);
// Seeks an open stream to a 64-bit offset from the start; returns 0 on success.
int plat_seek(FILE* f, long long offset);
// Returns the position of an open stream as a 64-bit value, or -1.
long long plat_tell(FILE* f);
// Reads up to len bytes at `offset` of an open stream without going through its buffer
// when the stream has a file behind it (the caller seeks before using the stream again);
// returns the bytes read. Several threads may read one stream so at once.
size_t plat_read_at(FILE* f, long long offset, void* buf, size_t len);

// Writes len bytes to the file behind a stream that has nothing buffered, past the
// stream's buffer when it has a file behind it (where the system allows, it starts putting
// them on disk, so that the sync before the rename has little left to wait for); returns
// the bytes written (fewer on a failure).
size_t plat_write_span(FILE* f, const void* buf, size_t len);

// Entry point of a worker thread: takes its job record, returns 0.
typedef int (*plat_thread_proc)(void* job);

// Returns the number of logical processors this process may run on (at least 1).
int plat_processor_count();

// A started thread.
struct plat_thread;
// Starts proc(job) on a new thread; returns it, or nullptr when it could not be started.
plat_thread* plat_thread_start(plat_thread_proc proc, void* job);
// Waits for the thread to end and frees it; returns 0, or -1 when the join failed.
int plat_thread_join(plat_thread* t);

// A count that only grows, which threads can wait on. Whatever a thread wrote before
// adding to it is visible to a thread whose wait has seen the new value.
struct plat_count;
// Returns a new count at 0, or nullptr when there is no memory for it.
plat_count* plat_count_new();
// Frees a count nobody waits on any more (nullptr is ignored).
void plat_count_free(plat_count* c);
// Adds n; returns the value before the addition.
uint32_t plat_count_add(plat_count* c, uint32_t n);
// Waits until the count is at least `value`; returns 0, or -1 once the count is closed.
int plat_count_wait(plat_count* c, uint32_t value);
// Closes the count: every wait, present and future, returns -1 at once.
void plat_count_close(plat_count* c);

// A running message digest from the system's own hashing services (never our own code).
struct plat_hash;
constexpr int PLAT_HASH_MD5 = 1;   // 16-byte digest
constexpr int PLAT_HASH_SHA1 = 2;  // 20-byte digest
// Returns a new digest of that kind, or nullptr when the system cannot provide one.
plat_hash* plat_hash_new(int kind);
// Adds len bytes to the digest; returns 0, or -1 on failure.
int plat_hash_add(plat_hash* h, const void* data, size_t len);
// Finishes the digest into out (room for 20 bytes); returns its length, or -1.
int plat_hash_finish(plat_hash* h, unsigned char* out);
// Frees a digest (nullptr is ignored).
void plat_hash_free(plat_hash* h);
