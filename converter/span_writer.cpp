// The decompressors' output: each block is decoded straight into a 1 MiB span of the
// image, which a writer thread writes while the next one fills, in order.
//
// A span goes out when the block after it starts, as a full 1 MiB stream buffer did, and
// a failed write is printed only where that buffer's write would have failed: before
// the next progress line or message, naming the same block. A progress line due while
// spans are still being written is held back until they are (or dropped after a failed
// write before it), so the decoder never waits for the disk just to print one.
#include "span_writer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "cso_reader.h"
#include "engine_io.h"
#include "init.h"
#include "messages.h"

static const size_t OUT_SPAN = 1 << 20;  // decoded bytes written at once: the output stream's buffer size
static const int HELD_MAX = 256;         // progress lines held back at most (a run has about 100)

namespace {

// A progress line held back: its block, and the spans to be written before it is printed.
struct held_line {
    uint32_t block;
    uint32_t need;
};

// Decoded bytes on their way out (in block_buf1: two spans, then one block).
struct span_out {
    unsigned char* buf[2];  // the two spans, filled and written in turn
    unsigned char* block;   // a block decoded aside because it straddles two spans
    size_t len[2];          // bytes of each span handed over
    uint32_t trigger[2];    // block that started as each span was handed over
    size_t used;            // bytes in the span being filled
    uint32_t handed;        // spans handed over so far
    std::atomic<long long> failed;  // block named by the first failed write, or -1
    plat_count* ready;      // spans handed over, counted for the writer
    plat_count* written;    // spans the writer has finished
    plat_thread* writer;    // the writer, or nullptr: spans are then written at hand-over
    held_line held[HELD_MAX];      // progress lines held back, in order
    int held_count;                // lines held back
    uint32_t period;               // blocks per progress step
};

// One decoding run.
struct decode_run {
    cso_reader* in;
    span_out out;
};

}  // namespace

// Makes a helper thread's two counts (work handed to it, work it finished) and starts
// proc(job) on it; returns the thread, or nullptr when any of the three can't be made.
static plat_thread* start_helper(plat_count** asked, plat_count** done, plat_thread_proc proc,
                                 void* job) {
    *asked = plat_count_new();
    *done = plat_count_new();
    return *asked && *done ? plat_thread_start(proc, job) : nullptr;
}

// Stops a helper thread (it ends once `asked` closes; nullptr: none ran) and frees its counts.
static void stop_helper(plat_thread* t, plat_count* asked, plat_count* done) {
    if (t) {
        plat_count_close(asked);
        plat_thread_join(t);
    }
    plat_count_free(asked);
    plat_count_free(done);
}

// Writes span i unless a write failed before; notes the block a failure names.
static void write_span(span_out* s, int i) {
    if (s->failed < 0 && plat_write_span(fout, s->buf[i], s->len[i]) != s->len[i])
        s->failed = s->trigger[i];
}

// The writer thread: writes the spans in the order handed over until `ready` closes; returns 0.
static int span_writer(void* job) {
    span_out* s = static_cast<span_out*>(job);
    for (uint32_t k = 0; plat_count_wait(s->ready, k + 1) == 0; k++) {
        write_span(s, static_cast<int>(k % 2));
        plat_count_add(s->written, 1);
    }
    return 0;
}

// Lays the spans out in block_buf1 and starts the writer (none when it can't start).
static void span_out_open(span_out* s, uint32_t period) {
    s->used = 0;
    s->handed = 0;
    s->held_count = 0;
    s->period = period;
    s->buf[0] = block_buf1;
    s->buf[1] = block_buf1 + OUT_SPAN;
    s->block = block_buf1 + 2 * OUT_SPAN;
    s->failed = -1;
    s->writer = start_helper(&s->ready, &s->written, span_writer, s);
}

// Stops the writer (at once: a finished run has waited for it) and frees its counts.
static void span_out_close(span_out* s) {
    stop_helper(s->writer, s->ready, s->written);
}

// Hands the filled span over as block b starts and waits until the other one is free;
// returns 0, or -1 when the wait fails.
static int hand_over(span_out* s, uint32_t b) {
    int i = static_cast<int>(s->handed % 2);
    s->len[i] = s->used;
    s->trigger[i] = b;
    s->used = 0;
    s->handed++;
    if (!s->writer) {
        write_span(s, i);
        return 0;
    }
    plat_count_add(s->ready, 1);
    return plat_count_wait(s->written, s->handed - 1);
}

// Returns 1 when a failed write named a block before b (its message comes first), else 0.
static int failed_before(const span_out* s, uint32_t b) {
    long long f = s->failed;
    return f >= 0 && f < static_cast<long long>(b);
}

// Prints block b's progress line.
static void print_progress(const span_out* s, uint32_t b) {
    printf("decompress %d%%\r", static_cast<int>(b / s->period));
    fflush(stdout);  // a front-end reads progress through a pipe
}

// Prints, in order, the held lines whose spans are among the first `written`, stopping
// at one that a failed write comes before; returns 1 when it stopped there, else 0.
static int release_lines(span_out* s, uint32_t written) {
    int i = 0;
    for (; i < s->held_count && s->held[i].need <= written; i++) {
        if (failed_before(s, s->held[i].block)) break;
        print_progress(s, s->held[i].block);
    }
    int blocked = i < s->held_count && s->held[i].need <= written;
    memmove(s->held, s->held + i, (s->held_count - i) * sizeof s->held[0]);
    s->held_count -= i;
    return blocked;
}

// Returns how many spans are written (all handed over when there is no writer).
static uint32_t spans_written(span_out* s) {
    return s->writer ? plat_count_add(s->written, 0) : s->handed;
}

// Waits for every span handed over and prints the lines held back; returns 1 after
// printing the failed write when one named a block before b, else 0.
static int settle(span_out* s, uint32_t b) {
    if (s->writer) plat_count_wait(s->written, s->handed);
    release_lines(s, s->handed);
    if (!failed_before(s, b)) return 0;
    say(MSG_WRITE_ERROR, static_cast<int>(s->failed.load()));
    return 1;
}

// Prints block b's progress line, or holds it back while spans handed over before it
// are being written; returns 1 after printing a failed write that comes first, else 0.
static int progress(span_out* s, uint32_t b) {
    uint32_t written = spans_written(s);
    if (release_lines(s, written) || failed_before(s, b)) return settle(s, b);
    bool full = s->held_count == HELD_MAX;
    if (full && settle(s, b)) return 1;  // else every line is out and every span written
    if (s->held_count == 0 && (full || written == s->handed)) {
        print_progress(s, b);
        return 0;
    }
    s->held[s->held_count++] = {b, s->handed};
    return 0;
}

// Returns where block b's bs bytes go: the span being filled (handed over first when
// full), or s->block when they straddle two spans; nullptr when the writer fails.
static unsigned char* block_dest(span_out* s, uint32_t b, uint32_t bs) {
    if (OUT_SPAN - s->used < bs) {
        if (s->used < OUT_SPAN) return s->block;
        if (hand_over(s, b)) return nullptr;
        release_lines(s, spans_written(s));  // one stopped by a failure waits for `progress`
    }
    return s->buf[s->handed % 2] + s->used;
}

// Adds block b's len image bytes, decoded at dst, to the spans (splitting them when they
// were decoded aside); returns 0, or -1 when the writer fails.
static int block_done(span_out* s, uint32_t b, uint32_t len, const unsigned char* dst) {
    if (dst != s->block) {
        s->used += len;
        // Blocks of a whole span: the stream wrote the first, and each that found its
        // buffer full, past the buffer at once; so every even one goes out as it ends.
        return len == OUT_SPAN && b % 2 == 0 ? hand_over(s, b) : 0;
    }
    size_t room = OUT_SPAN - s->used, first = len < room ? len : room;
    memcpy(s->buf[s->handed % 2] + s->used, dst, first);
    s->used += first;
    if (first == len) return 0;
    if (hand_over(s, b)) return -1;
    memcpy(s->buf[s->handed % 2], dst + first, len - first);
    s->used = len - first;
    return 0;
}

// Prints block b's write error unless an earlier one comes first; returns 1.
static int write_failed(span_out* s, uint32_t b) {
    if (!settle(s, b)) say(MSG_WRITE_ERROR, static_cast<int>(b));
    return 1;
}

// Decodes block b into the output spans; returns 0, or 1 after printing why.
static int decode_block(decode_run* r, uint32_t b) {
    uint32_t bs = r->in->lay.bs;
    unsigned char* dst = block_dest(&r->out, b, bs);
    if (!dst) return write_failed(&r->out, b);
    if (cso_decode(r->in, b, dst)) {
        if (!settle(&r->out, b)) printf("%s\n", r->in->fault);
        return 1;
    }
    uint32_t len = cso_block_bytes(r->in->lay, b);
    return block_done(&r->out, b, len, dst) ? write_failed(&r->out, b) : 0;
}

// Decodes blocks 0..n-1 with the progress lines and writes the last span; returns 0 or 1.
static int decode_all(decode_run* r, uint32_t n) {
    int countdown = 0;
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown <= 0) {
            if (progress(&r->out, b)) return 1;
            countdown = static_cast<int>(r->out.period);
        }
        if (decode_block(r, b)) return 1;
    }
    if (r->out.used > 0 && hand_over(&r->out, n - 1)) return write_failed(&r->out, n - 1);
    return settle(&r->out, n);
}

// After a failure, writes the whole blocks decoded since the last span went out, as
// closing the stream wrote its buffer; its own failure is of no account.
static void write_partial(span_out* s) {
    if (s->used == 0 || hand_over(s, UINT32_MAX) != 0) return;
    if (s->writer) plat_count_wait(s->written, s->handed);
}

// Opens fin as a CSO for a decompressor (`sequential` for the optimised one): the header
// and index into `ciso`, ciso_total_block and the reader, which it lends Z1, and the output
// spans allocated. Returns 0, or 1 after printing the decoder's line (the reader is to be
// closed either way).
static int open_cso_input(cso_reader* r, int sequential) {
    int status = cso_open(r, cso_stream_source(fin), sequential);
    ciso = r->hdr;
    ciso_total_block = r->lay.blocks;
    if (status) {
        printf("%s\n", r->fault);
        return 1;
    }
    cso_lend_stream(r, &Z1, &Z1_mode);
    return alloc_index_and_buffers(1, 2 * OUT_SPAN + r->lay.bs, 1);
}

// Decodes every block the reader holds into fout with the progress lines; returns 0, or 1
// after printing the first block's read, inflate, size or write error.
static int decode_blocks(cso_reader* in) {
    decode_run r{};
    uint32_t n = in->lay.blocks, whole = in->lay.whole;
    r.in = in;
    span_out_open(&r.out, progress_period(whole));
    int status = decode_all(&r, n);
    if (status) write_partial(&r.out);
    span_out_close(&r.out);
    return status;
}

// Decodes the opened CSO with the summary first; returns 0 or 1. The reference decoder
// opens its inflate stream before the first block, the sequential one at the first
// compressed block.
static int decode_with_summary(cso_reader* r, int sequential, void (*summary)(uint32_t)) {
    summary(r->lay.blocks);
    if (!sequential && r->lay.blocks > 0 && open_inflate()) return 1;
    if (decode_blocks(r)) return 1;
    return close_z1() || flush_output(r->lay.blocks);
}

int run_decoder(int sequential, void (*summary)(uint32_t blocks)) {
    cso_reader r;
    int status = open_cso_input(&r, sequential) || decode_with_summary(&r, sequential, summary);
    cso_close(&r);
    if (status == 0) printf("ciso decompress completed\n");
    return status;
}
