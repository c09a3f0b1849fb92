// What the engines share: their settings, the index and block buffers, the input's
// measure, the header and index writes, the progress line, and the one stream Z1.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "cso_format.h"
#include "init.h"

constexpr int DEFAULT_THRESHOLD = BLOCK;   // threshold without -tnn: a whole block

extern int threshold;          // compressed size from which a block is stored plain
extern int level;              // deflate level
extern int pas_estimation;     // estimate samples every n-th block

extern uint32_t* index_buf;    // block index being built
extern unsigned char* block_buf1; // input block (or chunk); the decoders' output spans
extern unsigned char* block_buf2; // deflate output
extern uint32_t write_pos;     // bytes written (or counted) so far
extern z_stream Z1;            // the one-thread engines' zlib stream
extern int Z1_mode;            // what Z1 holds open: 0 nothing, 1 deflate, 2 inflate

// Puts threshold, level and pas_estimation back to their defaults.
void reset_engine_settings();
// Returns the threshold in bytes of a threshold percentage (0 to 99): (pct + 1)% of a
// block, rounding down.
int threshold_bytes(int pct);
// Returns a threshold in bytes as the summary shows it: a percentage of a block, rounded up.
int threshold_percent(int bytes);
// Measures the input and fills the header; returns 0, or 1 after "Can't get file size".
int measure_input();
// Returns how many blocks (or samples) of n one progress line stands for: n / 100, at least 1.
uint32_t progress_period(uint32_t n);
// Prints the optimised engines' progress line (percent shown, average rate) and flushes.
void print_progress(int shown, int rate);

// Allocates a zeroed index of `entries` entries and the two block buffers; on failure
// prints "Can't allocate memory" and returns 1, else 0.
int alloc_index_and_buffers(uint32_t entries, size_t size1, size_t size2);
// Frees the index and the two block buffers.
void free_index_and_buffers();
// Writes the header and a zeroed index of `entries` entries at offset 0; returns bytes written.
uint32_t write_header_and_placeholder(uint32_t entries);
// Seeks back to offset 24, writes the finished index and flushes the output;
// prints a message and returns 1 when any of that fails, else 0.
int write_final_index(uint32_t entries);
// Opens Z1 for deflate at `lvl`; prints "deflateInit : ..." and returns 1 on failure.
int open_deflate(int lvl);
// Opens Z1 for inflate; prints the failed initialisation and returns 1 on failure.
int open_inflate();
// Ends whatever Z1 holds; prints "deflateEnd/inflateEnd : ..." and returns 1 on failure.
int close_z1();
// Flushes the decoded image of n blocks; prints the last block's write error and returns 1 on failure.
int flush_output(uint32_t n);
