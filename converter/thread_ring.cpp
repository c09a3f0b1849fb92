// The threaded engines' ring. Every hand-over between the threads goes through the counts
// of PIPE: `claimed` hands out blocks, `released` frees chunk slots, `done` counts the
// blocks finished in each slot.
#include "thread_ring.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine_io.h"
#include "messages.h"
#include "zbest.h"
#include "zblock.h"

alignas(64) worker_rec workers[MT_MAX_WORKERS];
worker_job& ST1 = workers[0].job;
worker_job& ST2 = workers[1].job;
int worker_count = MT_WORKERS;
unsigned char* block_buf_write_cpu1 = nullptr;
plat_thread* (*start_worker)(plat_thread_proc, void*) = plat_thread_start;

namespace {

// The chunks in flight between the main thread and the workers of a run.
struct chunk_pipe {
    plat_count* claimed;  // blocks (or samples) of the run handed to a worker so far
    plat_count* released; // chunks the workers may read into the ring so far
    plat_count** done;    // blocks finished in each ring slot over the run
    uint32_t ring;        // chunk slots in the ring
    uint32_t chunks;      // chunks in the run
    uint32_t first;       // block number of the run's first block (or sample)
    uint32_t step;        // blocks from one block (or sample) of a chunk to the next
    uint32_t used;        // chunks the main thread has used so far
    int32_t* sizes;       // stored size of the block in each slot of the ring
    img_fault* faults;    // the failed read of each claim's slots, where one failed
};

chunk_pipe PIPE = {};
int streams_open = 0;  // workers whose streams are open, the first ones
zbest_pool* best_pool = nullptr;  // -best's encoders, lent a claim at a time, or nullptr

const size_t CHUNK_BYTES = static_cast<size_t>(CHUNK_BLOCKS) * BLOCK;
const int32_t SLOT_UNREAD = -1;  // PIPE.sizes: the block's read failed
// Blocks a worker takes at a time: few enough that the workers stay even, enough that
// handing them over costs next to nothing. A chunk holds a whole number of them.
const uint32_t CLAIM_BLOCKS = 16;
static_assert(CHUNK_BLOCKS % CLAIM_BLOCKS == 0, "claims must not straddle chunks");

// Returns worker i's job record as a run starts: no blocks, no failure, no encoders lent.
worker_job idle_job(int i) {
    return worker_job{0, 0, -1, 0, &workers[i].z, workers[i].deflate_out, nullptr,
                      workers[i].job.cursor};
}

// Returns the chunk slots of the ring: twice the chunks the workers' claims cover at once
// (one claim each), so that no worker waits for a slot while done chunks wait to be
// written; 4 for up to 20 workers, 10 for 64. Memory stays bounded: for 64 workers the
// ring and its stored blocks take 12.5 MiB and the 64 deflate streams about 16.5 MiB; from
// a compressed image each worker's cursor adds three of its blocks and a 64 KiB read-ahead
// (about 200 MiB in all for 64 workers and blocks of 1 MiB).
uint32_t ring_chunks() {
    uint32_t held = (static_cast<uint32_t>(worker_count) * CLAIM_BLOCKS + CHUNK_BLOCKS - 1) /
                    CHUNK_BLOCKS;
    return 2 * held + 2;
}

// Returns how many workers may hold -best's encoders at once: no more than the processors
// can run, which bounds their memory whatever the number of workers.
int best_slots() {
    int n = plat_processor_count();
    return worker_count < n ? worker_count : n;
}

// Lends job -best's encoders for the blocks it is about to encode (none without -best).
void lend_best(worker_job* job) {
    if (best_pool) job->best = zbest_pool_take(best_pool);
}

// Takes back what lend_best lent job.
void return_best(worker_job* job) {
    if (job->best) zbest_pool_give(best_pool, job->best);
    job->best = nullptr;
}

// Allocates `size` bytes into *p (freeing what it held); returns 1 when that fails.
int realloc_buffer(unsigned char** p, size_t size) {
    free(*p);
    *p = static_cast<unsigned char*>(malloc(size));
    return *p == nullptr;
}

// Frees the counts and the size ring of PIPE.
void pipe_free() {
    plat_count_free(PIPE.claimed);
    plat_count_free(PIPE.released);
    for (uint32_t r = 0; PIPE.done && r < PIPE.ring; r++) plat_count_free(PIPE.done[r]);
    free(PIPE.done);
    free(PIPE.sizes);
    free(PIPE.faults);
    PIPE = chunk_pipe{};
}

// Sets PIPE up for `chunks` chunks whose blocks are first, first + step, ... and clears
// the job records; returns 0, or 1 after "Can't allocate memory".
int pipe_open(uint32_t chunks, uint32_t first, uint32_t step) {
    pipe_free();
    PIPE.chunks = chunks;
    PIPE.first = first;
    PIPE.step = step;
    PIPE.ring = ring_chunks();
    PIPE.claimed = plat_count_new();
    PIPE.released = plat_count_new();
    PIPE.done = static_cast<plat_count**>(calloc(PIPE.ring, sizeof(plat_count*)));
    int failed = !PIPE.claimed || !PIPE.released || !PIPE.done;
    for (uint32_t r = 0; PIPE.done && r < PIPE.ring; r++)
        failed |= (PIPE.done[r] = plat_count_new()) == nullptr;
    PIPE.sizes = static_cast<int32_t*>(calloc(PIPE.ring * CHUNK_BLOCKS, sizeof(int32_t)));
    PIPE.faults = static_cast<img_fault*>(calloc(PIPE.ring * CHUNK_BLOCKS / CLAIM_BLOCKS, sizeof(img_fault)));
    for (int i = 0; i < worker_count; i++) workers[i].job = idle_job(i);
    if (!failed && PIPE.sizes && PIPE.faults) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

// Closes every count of PIPE a thread may wait on: no wait for what is not yet there goes
// on (and the workers take no further claims; see ring_worker).
void pipe_stop() {
    if (PIPE.released) plat_count_close(PIPE.released);
    for (uint32_t r = 0; PIPE.done && r < PIPE.ring; r++)
        if (PIPE.done[r]) plat_count_close(PIPE.done[r]);
}

// Returns true once the run has been stopped (a wait for nothing returns -1 on a closed count).
bool pipe_stopped() {
    return plat_count_wait(PIPE.released, 0) != 0;
}

// Waits until count c reaches `value`; returns true when it does, even after the run was
// stopped: a claim taken or a chunk finished before the stop still counts, for it may hold
// a failure that comes before the one that stopped the run.
bool reached(plat_count* c, uint32_t value) {
    return plat_count_wait(c, value) == 0 || plat_count_add(c, 0) >= value;
}

// Reads the CLAIM_BLOCKS blocks (or samples) of the run from block i on into their ring
// slots from `slot` on through the job's cursor; returns 0, or 1 after noting the fault and
// marking the slots from the one whose read failed on as unread (the main thread reports
// it when the chunk's turn comes).
int read_claim(worker_job* job, uint32_t i, size_t slot) {
    uint32_t first = PIPE.first + i * PIPE.step;
    int64_t bad = read_image_blocks(job->cursor, block_buf1 + slot * BLOCK, CLAIM_BLOCKS, first,
                                    PIPE.step, &PIPE.faults[slot / CLAIM_BLOCKS]);
    if (bad < 0) return 0;
    uint32_t from = static_cast<uint32_t>(bad - first) / PIPE.step;  // 0 for a step of 1
    for (uint32_t j = from; j < CLAIM_BLOCKS; j++) PIPE.sizes[slot + j] = SLOT_UNREAD;
    return 1;
}

// Hands the CLAIM_BLOCKS read blocks of the run from block i on, in ring slots from
// `slot` on, to `one`; returns 0, or -1 when a block's deflate failed.
int encode_claim(worker_job* job, slot_proc one, uint32_t i, size_t slot) {
    for (uint32_t j = 0; j < CLAIM_BLOCKS; j++, slot++, i++) {
        int len = one(job, slot, PIPE.first + i * PIPE.step);
        if (len < 0) return -1;
        PIPE.sizes[slot] = len;
        job->blocks++;
        job->out_size += len;
    }
    return 0;
}

// Reads and handles the CLAIM_BLOCKS blocks of the run from block i on (all in chunk k);
// returns 0 (also when a read failed), or -1 when a block's deflate failed. -best's
// encoders are lent for the whole claim: lent a block at a time, they would pass from
// thread to thread and core to core, cold, and the workers would queue for them at every
// block (measured: -MT4 on two processors a third slower than -MT2).
int handle_claim(worker_job* job, slot_proc one, uint32_t i, uint32_t k) {
    size_t slot = ring_slot(k) + i % CHUNK_BLOCKS;
    if (read_claim(job, i, slot)) return 0;
    lend_best(job);
    int status = encode_claim(job, one, i, slot);
    return_best(job);
    return status;
}

// After the join: prints the deflate failure of the lowest block any worker noted; returns 1.
int report_first_failure() {
    const worker_job* first = &ST1;
    for (int i = 1; i < worker_count; i++) {
        const worker_job* job = &workers[i].job;
        if (job->fail_block >= 0 && (first->fail_block < 0 || job->fail_block < first->fail_block))
            first = job;
    }
    return report_worker_failure(first);
}

// Starts the workers in order on `proc` into threads[]; returns 0, or 1 after a message
// (the workers that did start have then been stopped and joined).
int start_workers(plat_thread_proc proc, plat_thread** threads) {
    int started = 0;
    while (started < worker_count &&
           (threads[started] = start_worker(proc, &workers[started].job)) != nullptr)
        started++;
    if (started == worker_count) return 0;
    pipe_stop();
    for (int i = 0; i < started; i++) plat_thread_join(threads[i]);
    say(MSG_THREADS_START);
    return 1;
}

// Stops the run and joins every worker; returns 0, or 1 after a message when a join failed.
int join_workers(plat_thread** threads) {
    pipe_stop();
    int failed = 0;
    for (int i = 0; i < worker_count; i++) failed |= plat_thread_join(threads[i]) != 0;
    if (!failed) return 0;
    say(MSG_THREADS_JOIN);
    return 1;
}

// Prints the read error of done chunk k when one of its reads failed, naming the block the
// one-chunk-at-a-time order names (the chunk's first block, or the failed sample); returns
// 1 then, else 0.
int chunk_unread(uint32_t k) {
    size_t slot0 = ring_slot(k);
    uint32_t i = 0;
    while (i < CHUNK_BLOCKS && PIPE.sizes[slot0 + i] != SLOT_UNREAD) i++;
    if (i == CHUNK_BLOCKS) return 0;
    uint32_t b = chunk_start(k) + (PIPE.step == 1 ? 0 : i * PIPE.step);
    report_image_fault(&PIPE.faults[(slot0 + i) / CLAIM_BLOCKS], b);
    return 1;
}

// Uses every chunk in order from the next unused one as soon as the workers are done with
// it, printing the progress lines and messages where the one-chunk-at-a-time order would,
// and frees its ring slot for the chunk after the ring; returns 0, 1 after a message, or 2
// when the run stopped (a worker failed) before the next chunk was done.
int run_chunks(const chunk_ops* ops, uint32_t period, int* countdown) {
    uint32_t ring = PIPE.ring;
    for (uint32_t& k = PIPE.used; k < PIPE.chunks; k++) {
        if (*countdown <= 0) {
            ops->progress(chunk_start(k), period);
            *countdown = static_cast<int>(period);
        }
        if (!reached(PIPE.done[k % ring], CHUNK_BLOCKS * (k / ring + 1))) return 2;
        if (chunk_unread(k) || ops->use(k)) return 1;
        *countdown -= CHUNK_BLOCKS;
        plat_count_add(PIPE.released, 1);
    }
    return 0;
}

// After a stop and the join, when every count is final: uses the chunks the workers
// finished before the first failed one, so that a failed read or write there is named
// first, as one thread would; else reports the first block whose deflate failed. Returns 1.
int finish_stopped_run(const chunk_ops* ops, uint32_t period, int* countdown) {
    int status = run_chunks(ops, period, countdown);
    return status == 1 ? 1 : report_first_failure();
}

}  // namespace

int ring_worker(worker_job* job, slot_proc one) {
    for (;;) {
        if (pipe_stopped()) return 0;  // a claim taken now lies past the failure that stopped it
        uint32_t i = plat_count_add(PIPE.claimed, 1) * CLAIM_BLOCKS;
        uint32_t k = i / CHUNK_BLOCKS;
        if (k >= PIPE.chunks || !reached(PIPE.released, k + 1)) return 0;
        if (handle_claim(job, one, i, k)) {
            pipe_stop();
            return 0;
        }
        plat_count_add(PIPE.done[k % PIPE.ring], CLAIM_BLOCKS);
    }
}

int ring_alloc(int results) {
    size_t ring_bytes = ring_chunks() * CHUNK_BYTES;
    int failed = realloc_buffer(&block_buf1, ring_bytes);
    for (int i = 0; i < worker_count; i++) {
        img_cursor_free(workers[i].job.cursor);
        failed |= (workers[i].job.cursor = img_cursor_new(image)) == nullptr;
    }
    if (results) failed |= realloc_buffer(&block_buf_write_cpu1, ring_bytes);
    if (!failed) return 0;
    say(MSG_NO_MEMORY);
    return 1;
}

int ring_open_streams(int lvl) {
    for (; streams_open < worker_count; streams_open++) {
        workers[streams_open].job = idle_job(streams_open);
        z_stream* z = &workers[streams_open].z;
        if (zb_deflate_open(z, zlib_level(lvl)) != Z_OK) {
            say(MSG_DEFLATE_INIT, zb_msg(z, "???"));
            ring_end_streams();
            return 1;
        }
    }
    if (!best_pool && open_best_pool(lvl, best_slots(), &best_pool)) {
        ring_end_streams();
        return 1;
    }
    if (!ST1.best) lend_best(&ST1);  // for the head, which the main thread does before the workers start
    return 0;
}

int ring_end_streams() {
    int failed = -1;
    for (int i = 0; i < MT_MAX_WORKERS; i++) workers[i].job.best = nullptr;
    zbest_pool_free(best_pool);
    best_pool = nullptr;
    while (streams_open > 0) {
        int i = --streams_open;
        if (deflateEnd(&workers[i].z) == Z_STREAM_ERROR) failed = i;
    }
    if (failed < 0) return 0;
    say(MSG_DEFLATE_END, zb_msg(&workers[failed].z, "error"));
    return 1;
}

int ring_run(const chunk_ops* ops, uint32_t chunks, uint32_t first, uint32_t step,
             uint32_t period, int* countdown) {
    return_best(&ST1);  // the head is done
    if (chunks == 0) return 0;
    if (pipe_open(chunks, first, step)) return 1;
    plat_thread* threads[MT_MAX_WORKERS];
    int status = start_workers(ops->worker, threads);
    if (status == 0) {
        plat_count_add(PIPE.released, PIPE.ring);
        status = run_chunks(ops, period, countdown);
        if (join_workers(threads)) status = 1;
        else if (status == 2) status = finish_stopped_run(ops, period, countdown);
    }
    pipe_free();
    return status;
}

size_t ring_slot(uint32_t k) {
    return (k % PIPE.ring) * static_cast<size_t>(CHUNK_BLOCKS);
}

uint32_t chunk_start(uint32_t k) {
    return PIPE.first + k * CHUNK_BLOCKS * PIPE.step;
}

int32_t ring_stored(size_t slot) {
    return PIPE.sizes[slot];
}

int report_worker_failure(const worker_job* job) {
    say(MSG_DEFLATE, job->fail_block, zb_msg(job->z, "error"), job->fail_code);
    return 1;
}

void ring_free() {
    ring_end_streams();
    for (int i = 0; i < MT_MAX_WORKERS; i++) {
        img_cursor_free(workers[i].job.cursor);
        workers[i].job.cursor = nullptr;
    }
    pipe_free();
    free(block_buf_write_cpu1);
    block_buf_write_cpu1 = nullptr;
}

void reset_worker_state() {
    ring_free();
    for (int i = 0; i < MT_MAX_WORKERS; i++) workers[i].job = idle_job(i);
    worker_count = MT_WORKERS;
    start_worker = plat_thread_start;
}
