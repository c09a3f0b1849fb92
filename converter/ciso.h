// Driver globals and the optimised, threaded and estimating engines.
#pragma once
#include <cstddef>
#include <cstdint>
#include <zlib.h>

#include "cso_format.h"
#include "engine_io.h"
#include "platform.h"

constexpr int CHUNK_BLOCKS = 320;     // blocks per chunk of the threaded engines

// Job record of one worker of the threaded engines, kept for a whole run.
struct worker_job {
    uint32_t blocks;      // blocks (or samples) this worker has done
    int32_t out_size;     // bytes it stored (or counted) for them
    int32_t fail_block;   // block whose deflate failed, or -1
    int fail_code;        // deflate's return code for that block
    z_stream* z;          // its deflate stream, reset per block
    unsigned char* deflate_out; // its deflate output, two blocks long
};

// A worker after A and B (-MTn with n over 2): its job record and what that points at.
struct extra_worker {
    worker_job job;
    z_stream z;
    unsigned char deflate_out[2 * BLOCK];
};

// The chunks in flight between the main thread and the workers of a run.
struct chunk_pipe {
    plat_count* claimed;  // blocks (or samples) of the run handed to a worker so far
    plat_count* released; // chunks the workers may read into the ring so far
    plat_count** done;    // blocks finished in each ring slot over the run
    uint32_t ring;        // chunk slots in the ring
    uint32_t chunks;      // chunks in the run
    uint32_t first;       // block number of the run's first block (or sample)
    uint32_t step;        // blocks from one block (or sample) of a chunk to the next
    int32_t* sizes;       // stored size of the block in each slot of the ring
};

extern int threshold;          // compressed size from which a block is stored plain
extern int level;              // deflate level
extern int pas_estimation;     // estimate samples every n-th block
extern int media;              // 1 audio, 2 video, 3 both
extern int worker_count;       // workers of the threaded engines: 2, or n for -MTn
extern worker_job ST1;         // worker A's job (also notes the head's deflate failure)
extern worker_job ST2;         // worker B's job
extern extra_worker* extra_workers; // workers after B (worker_count - 2 of them), or nullptr
extern uint32_t* taille_temp_buf;  // [0]: offset of block 0; [b + 1]: stored size of block b
extern unsigned char* block_buf_write_cpu1; // stored blocks: the head's packed, else one per slot
extern unsigned char* block_temp_out_1;     // worker A's deflate output
extern unsigned char* block_temp_out_2;     // worker B's deflate output
extern z_stream ZA;            // worker A's deflate stream, reset per block
extern z_stream ZB;            // worker B's deflate stream, reset per block
extern int worker_streams_open; // workers whose streams are open, the first ones
extern chunk_pipe PIPE;        // the threaded engines' ring and its counts
extern plat_thread* (*start_worker)(plat_thread_proc, void*); // starts a worker (tests swap it)

// Prints the optimised engines' summary and runs the area search.
void Information(int compress_mode, int threads);
// Optimised one-thread compressor; returns 0 or 1.
int comp_ciso_no_thread_fast();
// Threaded compressor (worker_count workers); returns 0 or 1.
int comp_ciso_MT();
// Worker entry points of the threaded compressor and estimate: A's, and B's for every
// later worker too; each takes its job, returns 0.
int ThreadProcA(void* job);
int ThreadProcB(void* job);
int ThreadProcEstA(void* job);
int ThreadProcEstB(void* job);
// Stores block b (2048 bytes at `in`, zeroed first when Lost) at `out` by the optimised rule
// with worker A's stream (the head's too), sets its plain flag and size-table entry;
// returns the stored size, or -1 after noting a deflate failure in ST1.
int compresse1_1bloc(unsigned char* in, unsigned char* out, uint32_t b);
// Returns the stored size of sample block b by the optimised rule with worker A's stream,
// or -1 after noting a deflate failure in ST1.
int estimate1bloc_1(unsigned char* in, uint32_t b);
// Frees the threaded engines' buffers, ends their streams and resets their job records.
void reset_worker_state();
// One-thread estimate; returns 0 or 1.
int comp_ciso_in_memory();
// Threaded estimate (worker_count workers); returns 0 or 1.
int comp_ciso_in_memory_MT();
// Optimised decompressor (block size 2048, contiguous payloads); returns 0 or 1.
int MY_decomp_ciso();
// Runs the converter for one command line; returns the exit status.
int converter_main(int argc, char** argv);
// Frees buffers, closes streams and puts every global back to its start value (for tests).
void converter_reset_state();
