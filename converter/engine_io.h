// What the engines share: their settings, the index and block buffers, the input's
// measure, the header and index writes, the progress line, and the one stream Z1.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "cso_format.h"
#include "image_source.h"
#include "init.h"

constexpr int DEFAULT_THRESHOLD = BLOCK;   // threshold without -tnn: a whole block

struct zbest_state;
struct zbest_pool;

extern int threshold;          // compressed size from which a block is stored plain
extern int level;              // deflate level
extern int pas_estimation;     // estimate samples every n-th block

extern uint32_t* index_buf;    // block index being built
extern unsigned char* block_buf1; // input block (or chunk); the decoders' output spans
extern unsigned char* block_buf2; // deflate output
extern uint32_t write_pos;     // bytes written (or counted) so far
extern z_stream Z1;            // the one-thread engines' zlib stream
extern int Z1_mode;            // what Z1 holds open: 0 nothing, 1 deflate, 2 inflate
extern zbest_state* Z1_best;   // -best's encoders beside Z1, or nullptr
extern img_source* image;      // the image the compressors and estimates read, or nullptr
extern image_cursor* image_main; // the main thread's cursor into it

// Frees the index and block buffers and puts threshold, level, pas_estimation and
// write_pos back to their start values (the tests' runs in one process).
void reset_engine_state();
// Returns the threshold in bytes of a threshold percentage (0 to 99): (pct + 1)% of a
// block, rounding down.
int threshold_bytes(int pct);
// Returns a threshold in bytes as the summary shows it: a percentage of a block, rounded up.
int threshold_percent(int bytes);
// Opens f as the engines' image (a plain image, or a compressed file decoded block by
// block) with the main thread's cursor; returns 0, or 1 after the reader's line.
int open_image(FILE* f);
// Closes the engines' image and its main cursor.
void close_image();
// Reads `count` blocks, one every `step` blocks from block `first`, of the engines' image
// through cursor c into dst; returns -1, or the number of the block whose read failed
// with its fault in *fault.
int64_t read_image_blocks(image_cursor* c, unsigned char* dst, uint32_t count, uint32_t first,
                          uint32_t step, img_fault* fault);
// Prints the line of a failed read of the engines' image: "block=%d : read error" naming
// `block` for a plain image (the block the engine's own read names), the decoder's own
// line for a compressed one.
void report_image_fault(const img_fault* fault, uint32_t block);
// Returns the size of the engines' image (of fin when none is open: the tests' in-process
// runs), ending the process over the input limit; negative when it can't be taken.
long long image_bytes();
// Measures the image and fills the header; returns 0, or 1 after "Can't get file size".
int measure_input();
// Returns how many blocks (or samples) of n one progress line stands for: n / 100, at least 1.
uint32_t progress_period(uint32_t n);
// Prints the optimised engines' progress line (percent shown, average rate) and flushes.
void print_progress(int shown, int rate);

// Returns the zlib level the engines' deflate streams open at for a compression level.
int zlib_level(int lvl);
// Makes the encoders of -best or -better into *best when `lvl` asks for them (else
// nullptr); returns 0, or 1 after "Can't allocate memory".
int open_best(int lvl, zbest_state** best);
// Makes a pool of those encoders for `slots` threads at once into *pool, as open_best does.
int open_best_pool(int lvl, int slots, zbest_pool** pool);
// Deflates the BLOCK bytes at `in` as one raw stream into out (2 * BLOCK bytes) with z,
// or with -best's encoders when `best` is set; returns deflate's code (Z_STREAM_END on
// success) and sets *len to the stream's bytes.
int encode_block(z_stream* z, zbest_state* best, const unsigned char* in, unsigned char* out,
                 unsigned* len);

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
// Opens Z1 for deflate at `lvl` (and Z1_best for -best); prints "deflateInit : ..." or
// "Can't allocate memory" and returns 1 on failure.
int open_deflate(int lvl);
// Opens Z1 for inflate; prints the failed initialisation and returns 1 on failure.
int open_inflate();
// Ends whatever Z1 holds; prints "deflateEnd/inflateEnd : ..." and returns 1 on failure.
int close_z1();
// Flushes the decoded image of n blocks; prints the last block's write error and returns 1 on failure.
int flush_output(uint32_t n);
