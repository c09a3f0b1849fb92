// Driver and the optimised, threaded and estimating engines.
//
// The format is in cso_format.h. Every writer measures the input, writes the header and a zeroed placeholder index,
// then passes each 2048-byte block through its engine: reference (plain only when
// deflate does not shrink the block), optimised (threshold and NC/Lost areas),
// threaded (chunks of 320 blocks shared out among the workers, stored sizes summed into
// offsets at the end) or estimate (sampled blocks, nothing written). The finished
// index is written over the placeholder last. The decompressors read the CSO through the
// block reader (cso_reader.cpp) and write the image through span_writer.cpp.
#include "ciso.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cso_reader.h"
#include "halvard.h"
#include "init.h"
#include "examine.h"
#include "isosearch.h"
#include "messages.h"
#include "span_writer.h"
#include "zblock.h"

int threshold = 2048;
int level = 9;
int pas_estimation = 1;
int media = 0;
// Returns x rounded to the nearest integer, halves up.
static int round_half_up(double x) {
    return static_cast<int>(std::floor(x + 0.5));
}

// Returns the low 32 bits of the header's image size.
static uint32_t image_size() {
    return static_cast<uint32_t>(ciso.total_bytes);
}

// ---------------------------------------------------------------- optimised decompressor

// Prints the optimised decompressor's four summary lines.
static void my_decomp_summary() {
    printf("Decompress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Thread number       %d\n", 1);
    printf("Total ISO size      ");
    number(static_cast<long long>(ciso.total_bytes));
    printf(" bytes\n");
    printf("Block size          %d  bytes\n", 2048);
}

// Decodes the opened CSO with the summary first; returns 0 or 1.
static int my_decomp_blocks(cso_reader* r) {
    my_decomp_summary();
    if (decode_blocks(r)) return 1;  // opens the inflate stream at the first compressed block
    return close_z1() || flush_output(r->lay.blocks);
}

// Optimised decompressor (block size 2048, contiguous payloads); returns 0 or 1.
int MY_decomp_ciso() {
    cso_reader r;
    int status = open_cso_input(&r, 1) || my_decomp_blocks(&r);
    cso_close(&r);
    if (status == 0) printf("ciso decompress completed\n");
    return status;
}

// ---------------------------------------------------------------- optimised compressor

// Prints the optimised engines' summary and runs the area search.
void Information(int compress_mode, int threads) {
    if (compress_mode)
        printf("Compress '%s' to '%s'\n", O.input_name, O.output_name);
    else
        printf("Estimate '%s'\n", O.input_name);
    printf("Thread number       %d\n", threads);
    printf("Total file size     ");
    number(image_size());
    printf(" bytes\n");
    printf("Block size          %d bytes\n", 2048);
    printf("Compress level      %d\n", level);
    printf("Compress threshold  %d%%\n", (threshold * 100 - 1) / 2048 + 1);
    if (!compress_mode) printf("Estimation quality  %d\n", pas_estimation);
    MEDIA();
    searchMediaFiles(0);
    printf("Compress %3d%% average rate %3d%%  \r", 0, 100);
    fflush(stdout);
}

// Reads block b into block_buf1; returns 0, or 1 after the read error.
static int read_block(uint32_t b) {
    if (fread(block_buf1, 1, BLOCK, fin) == static_cast<size_t>(BLOCK)) return 0;
    printf(MSG_BLOCK_READ_ERROR "\n", static_cast<int>(b));
    return 1;
}

// Compresses block_buf1 (zeroed first for a Lost block) into block_buf2 by the
// threshold rule; returns the stored size, with the plain flag in *flag, or -1.
static long long opt_store_block(uint32_t b, int kind, uint32_t* flag) {
    if (kind == LOST_AREA) memset(block_buf1, 0, BLOCK);
    unsigned len = 0;
    int ret = zb_deflate_block(&Z1, block_buf1, BLOCK, block_buf2, 2 * BLOCK, &len);
    if (ret != Z_STREAM_END) {
        printf(MSG_DEFLATE "\n", static_cast<int>(b), zb_msg(&Z1, "error"), ret);
        return -1;
    }
    *flag = 0;
    if (len < static_cast<unsigned>(threshold)) return len;
    memcpy(block_buf2, block_buf1, BLOCK);
    *flag = CSO_PLAIN_FLAG;
    return BLOCK;
}

// Reads, encodes and writes block b at write_pos; returns 0, or 1 after a message.
static int opt_one_block(uint32_t b) {
    index_buf[b] = write_pos;
    int kind = IsNCArea_type(b);
    if (read_block(b)) return 1;
    const unsigned char* out = block_buf1;  // NC blocks go out as read, without deflate
    long long len = BLOCK;
    uint32_t flag = CSO_PLAIN_FLAG;
    if (kind != NC_AREA) {
        len = opt_store_block(b, kind, &flag);
        if (len < 0) return 1;
        out = block_buf2;
    }
    index_buf[b] |= flag;
    if (fwrite(out, 1, static_cast<size_t>(len), fout) != static_cast<size_t>(len)) {
        printf(MSG_WRITE_ERROR "\n", static_cast<int>(b));
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// Prints the optimised compressors' final line.
void print_completed() {
    uint32_t total = image_size();
    printf("Ciso compress completed, total size ");
    number(static_cast<int>(write_pos));
    printf(" bytes, rate %d%%\n", total ? round_half_up(write_pos * 100.0 / total) : 0);
}

// Optimised one-thread compressor; returns 0 or 1.
int comp_ciso_no_thread_fast() {
    int size = check_file_size(fin);
    if (size < 0) {
        printf(MSG_NO_FILE_SIZE "\n");
        return 1;
    }
    initcisoheader(size);
    uint32_t n = ciso_total_block;
    if (alloc_index_and_buffers(n + 1, BLOCK, 2 * BLOCK)) return 1;
    Information(1, 1);
    write_pos = write_header_and_placeholder(n + 1);
    uint32_t period = n >= 100 ? n / 100 : 1, countdown = period;
    if (n > 0 && open_deflate(level)) return 1;
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown == 0) {
            double rate = static_cast<double>(write_pos / 2048) * 100 / (b ? b : 1);
            printf("Compress %3d%% average rate %3d%%  \r", static_cast<int>(b / period + 1),
                   round_half_up(rate));
            fflush(stdout);
            countdown = period;
        }
        if (opt_one_block(b)) return 1;
    }
    if (close_z1()) return 1;
    index_buf[n] = write_pos;
    if (write_final_index(n + 1)) return 1;
    print_completed();
    free_index_and_buffers();
    return 0;
}

// ---------------------------------------------------------------- threaded engines
//
// The first blocks, those that do not fill a chunk of 320 (the head), are done on the
// main thread. The rest goes through a ring of chunk slots shared with the workers (two
// for -MT, n for -MTn), which live for the whole run: the workers take the blocks 16 at a
// time in order from one shared count, read them into their chunk's slot once it is free
// (reading is theirs, so the main thread's share stays small) and compress them, each
// with its own deflate stream and buffer; the main thread writes (or adds up) a chunk in
// block order once all of its blocks are done, naming a failed read where reading the
// chunk at once would, then frees the slot for the chunk after the ring. Blocks are handed
// out in small runs, not in equal shares, so that no worker idles while another finishes
// a slow share; a block's bytes do not depend on which worker made them, so every count
// of workers writes the same file.
// Every hand-over between the threads goes through the counts of PIPE; nothing else is
// shared while the workers run but the ring slots and their sizes, the index and
// size-table entries of the blocks each worker took, the input (read at given offsets)
// and the read-only level, threshold and area table.

alignas(64) z_stream ZA;
alignas(64) z_stream ZB;
worker_job ST1 = {0, 0, -1, 0, &ZA, nullptr};
worker_job ST2 = {0, 0, -1, 0, &ZB, nullptr};
extra_worker* extra_workers = nullptr;
int worker_count = MT_WORKERS;
uint32_t* taille_temp_buf = nullptr;
unsigned char* block_buf_write_cpu1 = nullptr;
unsigned char* block_temp_out_1 = nullptr;
unsigned char* block_temp_out_2 = nullptr;
int worker_streams_open = 0;
chunk_pipe PIPE = {};
plat_thread* (*start_worker)(plat_thread_proc, void*) = plat_thread_start;

static const size_t CHUNK_BYTES = static_cast<size_t>(CHUNK_BLOCKS) * BLOCK;
static const int32_t SLOT_UNREAD = -1;  // PIPE.sizes: the block's read failed
// Blocks a worker takes at a time: few enough that the workers stay even, enough that
// handing them over costs next to nothing. A chunk holds a whole number of them.
static const uint32_t CLAIM_BLOCKS = 16;
static_assert(CHUNK_BLOCKS % CLAIM_BLOCKS == 0, "claims must not straddle chunks");

// Returns the job record of worker i: A, B, then the extra workers.
static worker_job* job_of(int i) {
    if (i == 0) return &ST1;
    return i == 1 ? &ST2 : &extra_workers[i - 2].job;
}

// Returns the chunk slots of the ring: twice the chunks the workers' claims cover at once
// (one claim each), so that no worker waits for a slot while done chunks wait to be
// written; 4 for up to 20 workers, 10 for 64. Memory stays bounded: for 64 workers the
// ring and its stored blocks take 12.5 MiB and the 64 deflate streams about 16.5 MiB.
static uint32_t ring_chunks() {
    uint32_t held = (static_cast<uint32_t>(worker_count) * CLAIM_BLOCKS + CHUNK_BLOCKS - 1) /
                    CHUNK_BLOCKS;
    return 2 * held + 2;
}

// Ends the workers' streams that are open; returns 0, or 1 after "deflateEnd : ..." for
// the first one that failed.
static int end_worker_streams() {
    int failed = -1;
    while (worker_streams_open > 0) {
        int i = --worker_streams_open;
        if (deflateEnd(job_of(i)->z) == Z_STREAM_ERROR) failed = i;
    }
    if (failed < 0) return 0;
    printf(MSG_DEFLATE_END "\n", zb_msg(job_of(failed)->z, "error"));
    return 1;
}

// Opens every worker's deflate stream at `level`; returns 0, or 1 after "deflateInit : ..."
// (the streams opened before it are ended again).
static int open_worker_streams() {
    for (; worker_streams_open < worker_count; worker_streams_open++) {
        z_stream* z = job_of(worker_streams_open)->z;
        if (zb_deflate_open(z, level) != Z_OK) {
            printf(MSG_DEFLATE_INIT "\n", zb_msg(z, "???"));
            end_worker_streams();
            return 1;
        }
    }
    return 0;
}

// Allocates `size` bytes into *p (freeing what it held); returns 1 when that fails.
static int realloc_buffer(unsigned char** p, size_t size) {
    free(*p);
    *p = static_cast<unsigned char*>(malloc(size));
    return *p == nullptr;
}

// Allocates the records of the workers after A and B, each pointing at its own stream and
// deflate output; returns 1 when that fails.
static int alloc_extra_workers() {
    free(extra_workers);
    extra_workers = nullptr;
    if (worker_count <= 2) return 0;
    size_t extra = static_cast<size_t>(worker_count - 2);
    extra_workers = static_cast<extra_worker*>(calloc(extra, sizeof(extra_worker)));
    if (!extra_workers) return 1;
    for (size_t i = 0; i < extra; i++)
        extra_workers[i].job = worker_job{0, 0, -1, 0, &extra_workers[i].z, extra_workers[i].deflate_out};
    return 0;
}

// Allocates the chunk ring, the workers' deflate buffers and, for the compressor
// (`results`), the ring of stored blocks; returns 0, or 1 after "Can't allocate memory".
static int alloc_worker_buffers(int results) {
    size_t ring_bytes = ring_chunks() * CHUNK_BYTES;
    int failed = realloc_buffer(&block_buf1, ring_bytes) |
                 realloc_buffer(&block_temp_out_1, 2 * BLOCK) |
                 realloc_buffer(&block_temp_out_2, 2 * BLOCK) | alloc_extra_workers();
    if (results) failed |= realloc_buffer(&block_buf_write_cpu1, ring_bytes);
    ST1.deflate_out = block_temp_out_1;
    ST2.deflate_out = block_temp_out_2;
    if (!failed) return 0;
    printf(MSG_NO_MEMORY "\n");
    return 1;
}

// Frees the counts and the size ring of PIPE.
static void pipe_free() {
    plat_count_free(PIPE.claimed);
    plat_count_free(PIPE.released);
    for (uint32_t r = 0; PIPE.done && r < PIPE.ring; r++) plat_count_free(PIPE.done[r]);
    free(PIPE.done);
    free(PIPE.sizes);
    PIPE = chunk_pipe{};
}

// Puts the counters of every worker's job record back to a run's start.
static void clear_jobs() {
    for (int i = 0; i < worker_count; i++) {
        worker_job* job = job_of(i);
        job->blocks = 0;
        job->out_size = 0;
        job->fail_block = -1;
        job->fail_code = 0;
    }
}

// Sets PIPE up for `chunks` chunks whose blocks are first, first + step, ... and clears
// the job records; returns 0, or 1 after "Can't allocate memory".
static int pipe_open(uint32_t chunks, uint32_t first, uint32_t step) {
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
    clear_jobs();
    if (!failed && PIPE.sizes) return 0;
    printf(MSG_NO_MEMORY "\n");
    return 1;
}

// Closes every count of PIPE a thread may wait on, so that all sides stop at once.
static void pipe_stop() {
    if (PIPE.released) plat_count_close(PIPE.released);
    for (uint32_t r = 0; PIPE.done && r < PIPE.ring; r++)
        if (PIPE.done[r]) plat_count_close(PIPE.done[r]);
}

// Frees everything the threaded engines allocated and ends the workers' streams.
static void free_worker_state() {
    end_worker_streams();
    pipe_free();
    free_index_and_buffers();
    free(taille_temp_buf);
    free(block_buf_write_cpu1);
    free(block_temp_out_1);
    free(block_temp_out_2);
    free(extra_workers);
    taille_temp_buf = nullptr;
    block_buf_write_cpu1 = block_temp_out_1 = block_temp_out_2 = nullptr;
    extra_workers = nullptr;
    ST1.deflate_out = ST2.deflate_out = nullptr;
}

// Frees the threaded engines' state and puts their job records, count and hooks back.
void reset_worker_state() {
    free_worker_state();
    ST1 = worker_job{0, 0, -1, 0, &ZA, nullptr};
    ST2 = worker_job{0, 0, -1, 0, &ZB, nullptr};
    worker_count = MT_WORKERS;
    start_worker = plat_thread_start;
}

// Measures the input and fills the header; returns 0, or 1 after "Can't get file size".
static int measure_input() {
    int size = check_file_size(fin);
    if (size < 0) {
        printf(MSG_NO_FILE_SIZE "\n");
        return 1;
    }
    initcisoheader(size);
    return 0;
}

// Decides how a block of kind `kind` (its 2048 bytes at `in`, zeroed in place first when
// Lost) is stored, deflating with z into tmp unless it is NC. Returns the stored size and
// points *src at the bytes to store (`in` when plain); returns -1 with deflate's code in
// *code when deflate fails.
static int decide_block(unsigned char* in, int kind, z_stream* z, unsigned char* tmp,
                        const unsigned char** src, int* code) {
    *src = in;
    if (kind == NC_AREA) return BLOCK;
    if (kind == LOST_AREA) memset(in, 0, BLOCK);
    unsigned len = 0;
    *code = zb_deflate_block(z, in, BLOCK, tmp, 2 * BLOCK, &len);
    if (*code != Z_STREAM_END) return -1;
    if (len >= static_cast<unsigned>(threshold)) return BLOCK;
    *src = tmp;
    return static_cast<int>(len);
}

// Stores block b into `out` with the stream and buffer of `job`, sets its plain flag and
// its size-table entry; returns the stored size, or -1 after noting the deflate failure
// in `job`.
static int compress_block(unsigned char* in, unsigned char* out, uint32_t b, worker_job* job) {
    const unsigned char* src;
    int len = decide_block(in, IsNCArea_type(b), job->z, job->deflate_out, &src, &job->fail_code);
    if (len < 0) {
        job->fail_block = static_cast<int32_t>(b);
        return -1;
    }
    if (src == in) index_buf[b] |= CSO_PLAIN_FLAG;
    memcpy(out, src, static_cast<size_t>(len));
    taille_temp_buf[b + 1] = static_cast<uint32_t>(len);
    return len;
}

// Worker A's (and the head's) block compressor; returns the stored size, or -1.
int compresse1_1bloc(unsigned char* in, unsigned char* out, uint32_t b) {
    return compress_block(in, out, b, &ST1);
}

// Returns the stored size of sample block b (its bytes at `in`) by the optimised rule,
// deflating with the stream and buffer of `job`; returns -1 after noting a deflate
// failure in `job`.
static int estimate_block(unsigned char* in, uint32_t b, worker_job* job) {
    const unsigned char* src;
    int len = decide_block(in, IsNCArea_type(b), job->z, job->deflate_out, &src, &job->fail_code);
    if (len < 0) job->fail_block = static_cast<int32_t>(b);
    return len;
}

// Worker A's (and the head's) sample estimator; returns the stored size, or -1.
int estimate1bloc_1(unsigned char* in, uint32_t b) {
    return estimate_block(in, b, &ST1);
}

// A worker's handling of ring slot `slot` holding block b; returns the stored size, or -1.
typedef int (*slot_proc)(worker_job* job, size_t slot, uint32_t b);

// A worker's compression of a ring slot; returns the stored size, or -1.
static int compress_slot(worker_job* job, size_t slot, uint32_t b) {
    return compress_block(block_buf1 + slot * BLOCK, block_buf_write_cpu1 + slot * BLOCK, b, job);
}

// A worker's estimate of a ring slot; returns the stored size, or -1.
static int estimate_slot(worker_job* job, size_t slot, uint32_t b) {
    return estimate_block(block_buf1 + slot * BLOCK, b, job);
}

// Returns the ring slot of the first block of chunk k.
static size_t ring_slot(uint32_t k) {
    return (k % PIPE.ring) * static_cast<size_t>(CHUNK_BLOCKS);
}

// Reads `count` samples, one every `step` blocks from block `first`, into dst, each from
// where it lies (past the stream's buffer, so each byte is copied once, and from any
// thread); returns -1, or the number of the block whose read failed.
static int64_t read_samples(unsigned char* dst, uint32_t count, uint32_t first, uint32_t step) {
    if (step == 1) {
        size_t bytes = static_cast<size_t>(count) * BLOCK;
        long long at = static_cast<long long>(first) * BLOCK;
        return plat_read_at(fin, at, dst, bytes) == bytes ? -1 : static_cast<int64_t>(first);
    }
    for (uint32_t i = 0; i < count; i++) {
        long long at = (static_cast<long long>(first) + static_cast<long long>(i) * step) * BLOCK;
        if (plat_read_at(fin, at, dst + static_cast<size_t>(i) * BLOCK, BLOCK) != BLOCK)
            return first + i * step;
    }
    return -1;
}

// Returns the number of the first block (or sample block) of chunk k of the run.
static uint32_t chunk_start(uint32_t k) {
    return PIPE.first + k * CHUNK_BLOCKS * PIPE.step;
}

// Reads the CLAIM_BLOCKS blocks (or samples) of the run from block i on into their ring
// slots from `slot` on; returns 0, or 1 after marking the slots from the one whose read
// failed on as unread (the main thread reports it when the chunk's turn comes).
static int read_claim(uint32_t i, size_t slot) {
    uint32_t first = PIPE.first + i * PIPE.step;
    int64_t bad = read_samples(block_buf1 + slot * BLOCK, CLAIM_BLOCKS, first, PIPE.step);
    if (bad < 0) return 0;
    uint32_t from = static_cast<uint32_t>(bad - first) / PIPE.step;  // 0 for a step of 1
    for (uint32_t j = from; j < CLAIM_BLOCKS; j++) PIPE.sizes[slot + j] = SLOT_UNREAD;
    return 1;
}

// Reads and handles the CLAIM_BLOCKS blocks of the run from block i on (all in chunk k);
// returns 0 (also when a read failed), or -1 when a block's deflate failed.
static int handle_claim(worker_job* job, slot_proc one, uint32_t i, uint32_t k) {
    size_t slot = ring_slot(k) + i % CHUNK_BLOCKS;
    if (read_claim(i, slot)) return 0;
    for (uint32_t j = 0; j < CLAIM_BLOCKS; j++, slot++, i++) {
        int len = one(job, slot, PIPE.first + i * PIPE.step);
        if (len < 0) return -1;
        PIPE.sizes[slot] = len;
        job->blocks++;
        job->out_size += len;
    }
    return 0;
}

// A worker's loop: takes the ring's blocks a few at a time, waits until their chunk's slot
// is free, reads and handles them and counts them done; stops once every chunk is handed
// out, the run is stopped, or a block's deflate fails (then it stops the run). Returns 0.
static int worker_loop(worker_job* job, slot_proc one) {
    for (;;) {
        uint32_t i = plat_count_add(PIPE.claimed, 1) * CLAIM_BLOCKS;
        uint32_t k = i / CHUNK_BLOCKS;
        if (k >= PIPE.chunks || plat_count_wait(PIPE.released, k + 1) != 0) return 0;
        if (handle_claim(job, one, i, k)) {
            pipe_stop();
            return 0;
        }
        plat_count_add(PIPE.done[k % PIPE.ring], CLAIM_BLOCKS);
    }
}

// Worker A of the compressor; returns 0. (Its blocks differ from the others' only in the
// stream and buffer its job record holds.)
int ThreadProcA(void* job) {
    return worker_loop(static_cast<worker_job*>(job), compress_slot);
}

// Worker B of the compressor, and every worker after it; returns 0.
int ThreadProcB(void* job) {
    return worker_loop(static_cast<worker_job*>(job), compress_slot);
}

// Worker A of the estimate; returns 0.
int ThreadProcEstA(void* job) {
    return worker_loop(static_cast<worker_job*>(job), estimate_slot);
}

// Worker B of the estimate, and every worker after it; returns 0.
int ThreadProcEstB(void* job) {
    return worker_loop(static_cast<worker_job*>(job), estimate_slot);
}

// Prints the deflate failure a worker (or the head) noted, with its stream's message; returns 1.
static int report_worker_failure(const worker_job* job) {
    printf(MSG_DEFLATE "\n", job->fail_block, zb_msg(job->z, "error"), job->fail_code);
    return 1;
}

// After the join: prints the deflate failure of the lowest block any worker noted; returns 1.
static int report_first_failure() {
    const worker_job* first = &ST1;
    for (int i = 1; i < worker_count; i++) {
        const worker_job* job = job_of(i);
        if (job->fail_block >= 0 && (first->fail_block < 0 || job->fail_block < first->fail_block))
            first = job;
    }
    return report_worker_failure(first);
}

// Starts the workers in order, A on `a` and the others on `b`, into threads[]; returns 0,
// or 1 after a message (the workers that did start have then been stopped and joined).
static int start_workers(plat_thread_proc a, plat_thread_proc b, plat_thread** threads) {
    int started = 0;
    while (started < worker_count &&
           (threads[started] = start_worker(started ? b : a, job_of(started))) != nullptr)
        started++;
    if (started == worker_count) return 0;
    pipe_stop();
    for (int i = 0; i < started; i++) plat_thread_join(threads[i]);
    printf(MSG_THREADS_START "\n");
    return 1;
}

// Stops the run and joins every worker; returns 0, or 1 after a message when a join failed.
static int join_workers(plat_thread** threads) {
    pipe_stop();
    int failed = 0;
    for (int i = 0; i < worker_count; i++) failed |= plat_thread_join(threads[i]) != 0;
    if (!failed) return 0;
    printf(MSG_THREADS_JOIN "\n");
    return 1;
}

// The main thread's part of a chunk run.
struct chunk_ops {
    plat_thread_proc worker_a, worker_b;     // worker A's entry point; B's and the later ones'
    int (*use)(uint32_t k);                  // writes or adds up done chunk k; 0 or 1
    void (*progress)(uint32_t s, uint32_t period); // the progress line before chunk at block s
};

// Prints the read error of done chunk k when one of its reads failed, naming the block the
// one-chunk-at-a-time order names (the chunk's first block, or the failed sample); returns
// 1 then, else 0.
static int chunk_unread(uint32_t k) {
    size_t slot0 = ring_slot(k);
    uint32_t i = 0;
    while (i < CHUNK_BLOCKS && PIPE.sizes[slot0 + i] != SLOT_UNREAD) i++;
    if (i == CHUNK_BLOCKS) return 0;
    uint32_t b = chunk_start(k) + (PIPE.step == 1 ? 0 : i * PIPE.step);
    printf(MSG_BLOCK_READ_ERROR "\n", static_cast<int>(b));
    return 1;
}

// Uses every chunk in order as soon as the workers are done with it, printing the progress
// lines and messages where the one-chunk-at-a-time order would, and frees its ring slot
// for the chunk after the ring; returns 0, 1 after a message, or 2 when a worker failed
// (reported after the join).
static int run_chunks(const chunk_ops* ops, uint32_t period, int* countdown) {
    uint32_t n = PIPE.chunks, ring = PIPE.ring;
    plat_count_add(PIPE.released, ring);
    for (uint32_t k = 0; k < n; k++) {
        if (*countdown <= 0) {
            ops->progress(chunk_start(k), period);
            *countdown = static_cast<int>(period);
        }
        if (plat_count_wait(PIPE.done[k % ring], CHUNK_BLOCKS * (k / ring + 1))) return 2;
        if (chunk_unread(k) || ops->use(k)) return 1;
        *countdown -= CHUNK_BLOCKS;
        plat_count_add(PIPE.released, 1);
    }
    return 0;
}

// Runs `chunks` chunks, whose blocks are first, first + step, ..., through the workers;
// returns 0 or 1.
static int run_pipeline(const chunk_ops* ops, uint32_t chunks, uint32_t first, uint32_t step,
                        uint32_t period, int* countdown) {
    if (chunks == 0) return 0;
    if (pipe_open(chunks, first, step)) return 1;
    plat_thread* threads[MT_MAX_WORKERS];
    int status = start_workers(ops->worker_a, ops->worker_b, threads);
    if (status == 0) {
        status = run_chunks(ops, period, countdown);
        if (join_workers(threads)) status = 1;
        else if (status == 2) status = report_first_failure();
    }
    pipe_free();
    return status;
}

// Writes `len` stored bytes that start with block b and counts them; returns 0, or 1
// after the write error.
static int write_stored(const unsigned char* buf, int32_t len, uint32_t b) {
    if (fwrite(buf, 1, static_cast<size_t>(len), fout) != static_cast<size_t>(len)) {
        printf(MSG_WRITE_ERROR "\n", static_cast<int>(b));
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// Writes the stored blocks of done chunk k in block order; returns 0 or 1.
static int write_chunk(uint32_t k) {
    size_t slot0 = ring_slot(k);
    for (uint32_t i = 0; i < CHUNK_BLOCKS; i++)
        if (write_stored(block_buf_write_cpu1 + (slot0 + i) * BLOCK, PIPE.sizes[slot0 + i],
                         chunk_start(k) + i))
            return 1;
    return 0;
}

// Prints a progress line showing `shown` and the rate over n blocks (or samples) in
// truncating integer arithmetic, and flushes.
static void progress_int(uint32_t shown, uint32_t n) {
    uint32_t rate = (write_pos / 2048) * 100 / (n ? n : 1);
    printf("Compress %3d%% average rate %3d%%  \r", static_cast<int>(shown),
           static_cast<int>(rate));
    fflush(stdout);
}

// The compressor's progress line before the chunk at block s.
static void compress_progress(uint32_t s, uint32_t period) {
    progress_int(s / period + 1, s);
}

// Compresses the first `head` blocks on this thread and writes them; returns 0 or 1.
static int mt_head(uint32_t head, uint32_t period, int* countdown) {
    if (head == 0) return 0;
    if (read_samples(block_buf1, head, 0, 1) >= 0) {
        printf(MSG_BLOCK_READ_ERROR "\n", 0);
        return 1;
    }
    int32_t total = 0;
    for (uint32_t b = 0; b < head; b++) {
        if (--*countdown == 0) {
            progress_int(b / period + 1, b);
            *countdown = static_cast<int>(period);
        }
        int len = compresse1_1bloc(block_buf1 + static_cast<size_t>(b) * BLOCK,
                                   block_buf_write_cpu1 + total, b);
        if (len < 0) return report_worker_failure(&ST1);
        total += len;
    }
    return write_stored(block_buf_write_cpu1, total, 0);
}

// Turns the size table into offsets and adds them into the index (keeping plain flags).
static void sizes_to_offsets(uint32_t n) {
    for (uint32_t i = 1; i <= n; i++) {
        taille_temp_buf[i] += taille_temp_buf[i - 1];
        index_buf[i] += taille_temp_buf[i];
    }
}

// Allocates the zeroed index and size table of `entries` entries; returns 0 or 1.
static int alloc_index_tables(uint32_t entries) {
    free_index_and_buffers();
    free(taille_temp_buf);
    index_buf = static_cast<uint32_t*>(calloc(entries, sizeof(uint32_t)));
    taille_temp_buf = static_cast<uint32_t*>(calloc(entries, sizeof(uint32_t)));
    if (index_buf && taille_temp_buf) return 0;
    printf(MSG_NO_MEMORY "\n");
    return 1;
}

static const chunk_ops COMPRESS_OPS = {ThreadProcA, ThreadProcB, write_chunk, compress_progress};

// The threaded compressor's work, leaving the clean-up to the caller; returns 0 or 1.
static int mt_compress() {
    if (measure_input()) return 1;
    uint32_t n = ciso_total_block;
    if (alloc_index_tables(n + 1)) return 1;
    Information(1, worker_count);
    write_pos = write_header_and_placeholder(n + 1);
    uint32_t period = n >= 100 ? n / 100 : 1;
    taille_temp_buf[0] = index_buf[0] = write_pos;
    if (alloc_worker_buffers(1) || (n > 0 && open_worker_streams())) return 1;
    int countdown = static_cast<int>(period);
    uint32_t head = n % CHUNK_BLOCKS;
    if (mt_head(head, period, &countdown) ||
        run_pipeline(&COMPRESS_OPS, (n - head) / CHUNK_BLOCKS, head, 1, period, &countdown) ||
        end_worker_streams())
        return 1;
    sizes_to_offsets(n);
    if (write_final_index(n + 1)) return 1;
    print_completed();
    return 0;
}

// Two-thread compressor; returns 0 or 1.
int comp_ciso_MT() {
    int status = mt_compress();
    free_worker_state();
    return status;
}

// ---------------------------------------------------------------- estimates

// Returns the number of samples of an n-block image at one every q blocks: n / q, but
// one when there is at least one block, and none for an image without a whole block.
static uint32_t sample_count(uint32_t n, uint32_t q) {
    if (n == 0) return 0;
    return n / q ? n / q : 1;
}

// Returns the progress period of the estimates: n / (q x 100), at least 1.
static uint32_t estimate_period(uint32_t n, uint32_t q) {
    uint32_t p = n / (q * 100);
    return p ? p : 1;
}

// Prints the estimate's final line for a sum of sampled stored sizes.
static void print_estimate(uint32_t sum) {
    uint32_t n = ciso_total_block, total = image_size();
    uint64_t e = static_cast<uint64_t>(pas_estimation) * sum + CSO_HEADER_SIZE + 4 * (uint64_t{n} + 1);
    printf("Ciso estimation completed, total size ");
    number(static_cast<long long>(e));
    printf(" bytes, rate %.1f%%\n", total ? e * 100.0 / total : 0.0);  // empty input: 0.0
}

// Prints a progress line for sample block b with the rounded floating-point rate, and flushes.
static void progress_float(uint32_t b, uint32_t period, uint32_t q) {
    double rate = static_cast<double>(write_pos / 2048) * 100 * q / (b ? b : 1);
    printf("Compress %3d%% average rate %3d%%  \r", static_cast<int>(b / (period * q) + 1),
           round_half_up(rate));
    fflush(stdout);
}

// Moves the input forward by `count` blocks after sample b; returns 0, or 1 after the read error.
static int skip_blocks(uint32_t count, uint32_t b) {
    if (count == 0 || fseek(fin, static_cast<long>(count) * BLOCK, SEEK_CUR) == 0) return 0;
    printf(MSG_BLOCK_READ_ERROR "\n", static_cast<int>(b));
    return 1;
}

// Adds the stored size of sample b to write_pos and moves past its q blocks; returns 0 or 1.
static int estimate_one_sample(uint32_t b, uint32_t q) {
    int kind = IsNCArea_type(b);
    if (kind == NC_AREA) {  // plain whatever it holds: no need to read it
        write_pos += BLOCK;
        return skip_blocks(q, b);
    }
    if (read_block(b) || skip_blocks(q - 1, b)) return 1;
    const unsigned char* src;
    int code = 0;
    int len = decide_block(block_buf1, kind, &Z1, block_buf2, &src, &code);
    if (len < 0) {
        printf(MSG_DEFLATE "\n", static_cast<int>(b), zb_msg(&Z1, "error"), code);
        return 1;
    }
    write_pos += static_cast<uint32_t>(len);
    return 0;
}

// The one-thread estimate's work, leaving the clean-up to the caller; returns 0 or 1.
static int estimate_one_thread() {
    if (measure_input() || alloc_index_and_buffers(1, BLOCK, 2 * BLOCK)) return 1;
    Information(0, 1);
    uint32_t n = ciso_total_block, q = static_cast<uint32_t>(pas_estimation);
    uint32_t samples = sample_count(n, q), period = estimate_period(n, q);
    write_pos = 0;
    int countdown = static_cast<int>(period);
    if (samples > 0 && open_deflate(level)) return 1;
    for (uint32_t k = 0; k < samples; k++) {
        if (--countdown <= 0) {
            progress_float(k * q, period, q);
            countdown = static_cast<int>(period);
        }
        if (estimate_one_sample(k * q, q)) return 1;
    }
    if (close_z1()) return 1;
    print_estimate(write_pos);
    return 0;
}

// One-thread estimate; returns 0 or 1.
int comp_ciso_in_memory() {
    int status = estimate_one_thread();
    close_z1();
    free_index_and_buffers();
    return status;
}

// Estimates the first `head` samples on this thread into *sum; returns 0 or 1.
static int estimate_head(uint32_t head, uint32_t period, int* countdown, uint32_t* sum) {
    uint32_t q = static_cast<uint32_t>(pas_estimation);
    *sum = 0;
    if (head == 0) return 0;
    int64_t bad = read_samples(block_buf1, head, 0, q);
    if (bad >= 0) {
        printf(MSG_BLOCK_READ_ERROR "\n", static_cast<int>(bad));
        return 1;
    }
    for (uint32_t k = 0; k < head; k++) {
        if (--*countdown <= 0) {
            progress_int(k / (period * q) + 1, k);
            *countdown = static_cast<int>(period);
        }
        int len = estimate1bloc_1(block_buf1 + static_cast<size_t>(k) * BLOCK, k * q);
        if (len < 0) return report_worker_failure(&ST1);
        *sum += static_cast<uint32_t>(len);
        write_pos = *sum;
    }
    return 0;
}

// Adds the stored sizes of done sample chunk k to write_pos; returns 0.
static int add_up_chunk(uint32_t k) {
    size_t slot0 = ring_slot(k);
    for (uint32_t i = 0; i < CHUNK_BLOCKS; i++)
        write_pos += static_cast<uint32_t>(PIPE.sizes[slot0 + i]);
    return 0;
}

// The estimate's progress line before the sample chunk at block s.
static void estimate_progress(uint32_t s, uint32_t period) {
    progress_float(s, period, static_cast<uint32_t>(pas_estimation));
}

static const chunk_ops ESTIMATE_OPS = {ThreadProcEstA, ThreadProcEstB, add_up_chunk,
                                       estimate_progress};

// The threaded estimate's work, leaving the clean-up to the caller; returns 0 or 1.
static int estimate_two_threads() {
    if (measure_input()) return 1;
    Information(0, worker_count);
    if (alloc_worker_buffers(0)) return 1;
    uint32_t n = ciso_total_block, q = static_cast<uint32_t>(pas_estimation);
    uint32_t samples = sample_count(n, q), period = estimate_period(n, q);
    if (samples > 0 && open_worker_streams()) return 1;
    int countdown = static_cast<int>(period);
    uint32_t head = samples % CHUNK_BLOCKS, head_sum = 0;
    write_pos = 0;
    if (estimate_head(head, period, &countdown, &head_sum)) return 1;
    write_pos = 0;
    if (run_pipeline(&ESTIMATE_OPS, (samples - head) / CHUNK_BLOCKS, head * q, q, period,
                     &countdown) ||
        end_worker_streams())
        return 1;
    print_estimate(head_sum + write_pos);
    return 0;
}

// Two-thread estimate; returns 0 or 1.
int comp_ciso_in_memory_MT() {
    int status = estimate_two_threads();
    free_worker_state();
    return status;
}

// ---------------------------------------------------------------- driver

// Prints the seven banner lines and an empty line.
static void banner() {
    printf("/\\/\\                                                   /\\/\\\n");
    printf("/\\/\\     Vellicor Ver." VELLICOR_VERSION "  by Orsolan Brede         /\\/\\\n");
    printf("/\\/\\                                                   /\\/\\\n");
    printf(" Based on Halvard's CISO v1.01 by Halvard Ostmark\n");
    printf("          and Tessaly Scan v0.3 by Marrow Fenn\n");
    printf(" Icon by Quillane\t(http://vellicor.example.org)\n");
    printf(" 27/09/07\n");
    printf("\n");
}

// Shows the screen for a run without arguments and waits for Enter.
static void no_argument_screen() {
    printf("Convert PSP-ISO file in compressed CSO format\n");
    printf("use: 'vellicor -help' for short help\n");
    printf("use: 'vellicor -fullhelp' for detailled help\n");
    printf("\n");
    printf("Please do not forget that Vellicor! is a command line tool:\n");
    printf("    ---   You must open a MS-DOS prompt to use it!   ---\n");
    printf("Press Enter to exit\n");
    fflush(stdout);
    getchar();
}

// Derives the engines' globals from the options record.
static void derive_globals() {
    threshold = (O.threshold_pct * 2048 + 2048) / 100;
    level = O.comp_level;
    pas_estimation = O.est_quality;
    media = (O.nc_audio ? 1 : 0) + (O.nc_video ? 2 : 0);
    worker_count = O.mt_workers ? O.mt_workers : plat_processor_count();
    if (worker_count > MT_MAX_WORKERS) worker_count = MT_MAX_WORKERS;
}

// Prints "No input file"/"No output file" when a name is missing; returns 1 if one was.
static int missing_names(int need_output) {
    if (!O.input_name) {
        printf(MSG_NO_INPUT);
        return 1;
    }
    if (need_output && !O.output_name) {
        printf(MSG_NO_OUTPUT);
        return 1;
    }
    return 0;
}

// Runs the engine for O.action; returns its status, or 1 when no engine fits.
static int run_engine() {
    int a = O.action;
    if (is_estimate(a)) return is_threaded(a) ? comp_ciso_in_memory_MT() : comp_ciso_in_memory();
    if (!writes_output(a)) return 1;
    if (action_in(a, ACTION_DECOMPRESS))
        return a == ACTION_DECOMPRESS ? decomp_ciso() : MY_decomp_ciso();
    if (a == ACTION_COMPRESS) return comp_ciso(level);
    return is_threaded(a) ? comp_ciso_MT() : comp_ciso_no_thread_fast();
}

// Returns 1 when the first 4 bytes of the input are the CSO magic; leaves fin at 0.
static int input_is_cso() {
    char magic[4];
    int cso = fread(magic, 1, 4, fin) == 4 && cso_magic_at(magic);
    plat_seek(fin, 0);
    return cso;
}

// Refuses an image that the compressors (`compress`) or the estimates would not take
// whole; returns 0, or 1 after one line.
static int check_image(int compress) {
    int size = check_file_size(fin);
    if (size < 0) {
        printf(MSG_NO_FILE_SIZE "\n");
        return 1;
    }
    if (size == 0) {  // a CSO can't say "no bytes": every reader refuses it
        printf(MSG_INPUT_EMPTY "\n", O.input_name);
        return 1;
    }
    if (compress && input_is_cso()) {  // most likely the names were swapped
        printf(MSG_INPUT_IS_CSO "\n", O.input_name);
        return 1;
    }
    if (size % BLOCK == 0) return 0;  // the trailing bytes would be dropped
    printf(MSG_INPUT_NOT_SECTORS "\n",
           static_cast<long long>(size), O.input_name);
    return 1;
}

// Refuses an input that is no CSO the decoder (`optimised` or not) can follow, reading
// its header and index as the decoder will; returns 0, or 1 after the decoder's own line.
static int check_cso(int optimised) {
    cso_reader r;
    int status = cso_open(&r, cso_stream_source(fin), optimised);
    if (status) printf("%s\n", r.fault);
    cso_close(&r);
    return status ? 1 : 0;
}

// Runs the checks of the input that can refuse action a before anything is written;
// returns 0, or 1 after one line.
static int check_input(int a) {
    if (is_estimate(a)) return check_image(0);
    if (!writes_output(a)) return 0;
    return action_in(a, ACTION_DECOMPRESS) ? check_cso(a != ACTION_DECOMPRESS) : check_image(1);
}

// Opens the scan log and the output that action a writes; returns 0, or 1 after the message.
static int open_run_files(int a) {
    if (searches_areas(a) && open_scan_log()) return 1;
    return writes_output(a) && open_output();
}

// After a decompression: says how many bytes of the image the CSO never stored (its
// size was no whole number of blocks and the index holds no entry for the rest, as some
// older tools wrote).
static void warn_partial_block() {
    uint64_t held = static_cast<uint64_t>(ciso_total_block) * ciso.block_size;
    if (ciso.total_bytes > held)
        printf(MSG_TAIL_NOT_STORED "\n",
               static_cast<unsigned long long>(ciso.total_bytes - held));
}

// Closes the streams and frees what the driver owns; returns the final status.
static int clean_up(int status) {
    close_scan_log();
    status = close_output(status);
    if (fin) fclose(fin);
    fin = nullptr;
    free(ncareas);
    ncareas = nullptr;
    free(O.ext_list);
    free(O.log_name);
    O.ext_list = O.log_name = nullptr;
    return status;
}

// Runs the converter for one command line; returns the exit status.
int converter_main(int argc, char** argv) {
    banner();
    parse_ligne_commande(argc, argv);
    if (O.action == ACTION_NONE) {
        no_argument_screen();
        return clean_up(0);
    }
    if (O.action == ACTION_SHORT_HELP || O.action == ACTION_FULL_HELP) {
        printf("Convert PSP-ISO file in compressed CSO format\n");
        O.action == ACTION_SHORT_HELP ? aidecourte() : aidelongue();
        return clean_up(0);
    }
    if (O.action == ACTION_TEST) return clean_up(test_ciso());
    if (O.action == ACTION_INFO) return clean_up(info_ciso());
    derive_globals();
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
    if (!ncareas) {
        printf(MSG_NO_MEMORY "\n");
        return clean_up(1);
    }
    int a = O.action, decompress = action_in(a, ACTION_DECOMPRESS);
    if ((action_in(a, ACTION_COMPRESS) || decompress || is_estimate(a)) &&
        missing_names(!is_estimate(a)))
        return clean_up(1);
    if (writes_output(a) && check_output()) return clean_up(1);
    time_t start = time(nullptr);
    int status = check_input(a);
    if (status == 0) {
        if (open_run_files(a)) return clean_up(1);
        status = run_engine();
        if (status == 0 && decompress) warn_partial_block();
    }
    printf("Time: %g sec\n", difftime(time(nullptr), start));
    return clean_up(status);
}

// Frees buffers, closes streams and puts every global back to its start value.
void converter_reset_state() {
    close_z1();
    close_output(1);  // a run cut short (fatal_exit swapped) never puts its output in place
    clean_up(0);
    free_index_and_buffers();
    reset_options(&O);
    memset(&ciso, 0, sizeof ciso);
    ciso_total_block = 0;
    threshold = 2048;
    level = 9;
    pas_estimation = 1;
    media = 0;
    write_pos = 0;
    NB_NC_AREAS = 0;
    reset_worker_state();
}
