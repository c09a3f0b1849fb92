// The threaded engines' ring: the workers, the chunk slots they read blocks into, and the
// order in which the main thread uses the chunks they finish.
//
// The blocks of a run (or the sampled blocks of an estimate) are cut into chunks of
// CHUNK_BLOCKS. The workers live for the whole run: they take the blocks CLAIM_BLOCKS at a
// time in order from one shared count, read them into their chunk's slot once it is free
// and hand each to the engine's slot_proc with their own deflate stream and buffer; the
// main thread uses (writes or adds up) a chunk in block order once all of its blocks are
// done, naming a failed read where reading the chunk at once would, then frees the slot
// for the chunk after the ring. A block's bytes do not depend on which worker made them,
// so every count of workers gives the same result. Nothing else is shared while the
// workers run but the ring slots and their sizes, the entries of the blocks each worker
// took, the input (read at given offsets) and the read-only settings and area table.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "cso_format.h"
#include "init.h"
#include "platform.h"

struct zbest_state;
struct image_cursor;

constexpr int CHUNK_BLOCKS = 320;  // blocks (or samples) per chunk

// Job record of one worker, kept for a whole run.
struct worker_job {
    uint32_t blocks;            // blocks (or samples) this worker has done
    int32_t out_size;           // bytes it stored (or counted) for them
    int32_t fail_block;         // block whose deflate failed, or -1
    int fail_code;              // deflate's return code for that block
    z_stream* z;                // its deflate stream, reset per block
    unsigned char* deflate_out; // its deflate output, two blocks long
    zbest_state* best;          // -best's encoders lent for the blocks at hand, or nullptr
    image_cursor* cursor;       // its own cursor into the image
};

// One worker: its job record and what that points at.
struct worker_rec {
    worker_job job;
    z_stream z;
    unsigned char deflate_out[2 * BLOCK];
};

extern worker_rec workers[MT_MAX_WORKERS]; // the workers; the first worker_count take part
extern worker_job& ST1;        // worker A's job (also notes the head's deflate failure)
extern worker_job& ST2;        // worker B's job
extern int worker_count;       // workers of a run: 2 for -MT, n for -MTn
extern unsigned char* block_buf_write_cpu1; // stored blocks: the head's packed, else one per slot
extern plat_thread* (*start_worker)(plat_thread_proc, void*); // starts a worker (tests swap it)

// An engine's handling of ring slot `slot` holding block b with a worker's job; returns
// the stored size, or -1 after noting a deflate failure in the job.
typedef int (*slot_proc)(worker_job* job, size_t slot, uint32_t b);

// The main thread's part of a run.
struct chunk_ops {
    plat_thread_proc worker;                       // every worker's entry point
    int (*use)(uint32_t k);                        // writes or adds up done chunk k; 0 or 1
    void (*progress)(uint32_t s, uint32_t period); // the progress line before chunk at block s
};

// A worker's body: takes blocks until the run ends or a deflate fails (which stops the
// run), handing each to `one`; returns 0.
int ring_worker(worker_job* job, slot_proc one);
// Allocates the input ring, the workers' cursors into the image and, for a compressor
// (`results`), the ring of stored blocks; returns 0, or 1 after "Can't allocate memory".
int ring_alloc(int results);
// Opens the first worker_count workers' deflate streams (and -best's encoders) for level
// `lvl`; returns 0, or 1 after "deflateInit : ..." or "Can't allocate memory" (the
// streams opened before it are ended again).
int ring_open_streams(int lvl);
// Ends the workers' open streams; returns 0, or 1 after "deflateEnd : ..." for the first
// one that failed.
int ring_end_streams();
// Runs `chunks` chunks, whose blocks are first, first + step, ..., through the workers,
// printing progress every `period` blocks of *countdown; returns 0, or 1 after a message
// (a failed read or decode of the image, a failed write or deflate, or workers that could
// not start or be joined).
int ring_run(const chunk_ops* ops, uint32_t chunks, uint32_t first, uint32_t step,
             uint32_t period, int* countdown);
// Returns the ring slot of the first block of chunk k of the running run.
size_t ring_slot(uint32_t k);
// Returns the block number of the first block (or sample) of chunk k of the running run.
uint32_t chunk_start(uint32_t k);
// Returns the stored size the workers left in ring slot `slot`.
int32_t ring_stored(size_t slot);
// Prints the deflate failure a job noted, with its stream's message; returns 1.
int report_worker_failure(const worker_job* job);
// Frees the ring's buffers and ends the workers' streams.
void ring_free();
// Frees the ring and puts the job records, the worker count and the start hook back.
void reset_worker_state();
