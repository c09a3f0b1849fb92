// Driver globals, shared buffers and the optimised, threaded and estimating engines.
#pragma once
#include <cstddef>
#include <cstdint>
#include <zlib.h>

constexpr int BLOCK = 2048;           // ISO sector and CSO block size
constexpr int CHUNK_BLOCKS = 320;     // blocks per chunk of the two-thread engines
constexpr int HALF_BLOCKS = 160;      // blocks per worker in a chunk

// Job record of one worker of the two-thread engines.
struct worker_job {
    uint32_t first_block; // first block (or sample) of the chunk
    int32_t out_size;     // bytes the worker produced (or summed)
};

extern int threshold;          // compressed size from which a block is stored plain
extern int level;              // deflate level
extern int pas_estimation;     // estimate samples every n-th block
extern int media;              // 1 audio, 2 video, 3 both
extern uint32_t* index_buf;    // block index being built or read
extern unsigned char* block_buf1; // input block (or chunk)
extern unsigned char* block_buf2; // deflate output or stored payload
extern uint32_t write_pos;     // bytes written (or counted) so far
extern z_stream Z1;            // the one-thread engines' zlib stream
extern int Z1_mode;            // what Z1 holds open: 0 nothing, 1 deflate, 2 inflate

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
// Prints the optimised engines' summary and runs the area search.
void Information(int compress_mode, int threads);
// Optimised one-thread compressor; returns 0 or 1.
int comp_ciso_no_thread_fast();
// Two-thread compressor; returns 0 or 1.
int comp_ciso_MT();
// One-thread estimate; returns 0 or 1.
int comp_ciso_in_memory();
// Two-thread estimate; returns 0 or 1.
int comp_ciso_in_memory_MT();
// Optimised decompressor (block size 2048, contiguous payloads); returns 0 or 1.
int MY_decomp_ciso();
// Runs the converter for one command line; returns the exit status.
int converter_main(int argc, char** argv);
// Frees buffers, closes streams and puts every global back to its start value (for tests).
void converter_reset_state();
