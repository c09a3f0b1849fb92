// Reference compressor and decompressor: the engines the front-end runs.
#include "halvard.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "ciso.h"
#include "init.h"
#include "platform.h"
#include "zblock.h"

static const size_t OUT_SPAN = 1 << 20;  // decoded bytes written at once: the output stream's buffer size
static const size_t IN_SPAN = 1 << 19;   // payload bytes read at once (more for blocks over 256 KiB)
static const int HELD_MAX = 256;         // progress lines held back at most (a run has about 100)
static size_t in_span_size(uint32_t bs);


// Prints the reference compressor's five summary lines.
static void comp_summary(int lvl) {
    printf("Compress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Total File Size %llu bytes\n", static_cast<unsigned long long>(ciso.total_bytes));
    printf("block size      %d  bytes\n", static_cast<int>(ciso.block_size));
    printf("index align     %d\n", 1 << ciso.index_align);
    printf("compress level  %d\n", lvl);
    fflush(stdout);  // shown before the first block, not with the first progress line
}

// Writes zero bytes until *pos is a multiple of the index alignment; returns 0 or 1.
static int pad_to_alignment(uint32_t* pos, uint32_t b) {
    static const unsigned char zeros[64] = {0};
    uint32_t align = 1u << ciso.index_align;
    uint32_t pad = (align - (*pos % align)) % align;
    while (pad > 0) {
        uint32_t n = pad < sizeof zeros ? pad : sizeof zeros;
        if (fwrite(zeros, 1, n, fout) != n) {
            printf("block %d : Write error\n", static_cast<int>(b));
            return 1;
        }
        *pos += n;
        pad -= n;
    }
    return 0;
}

// Compresses block b from fin to fout at *pos; returns 0, or 1 after printing why.
static int comp_one_block(uint32_t b, uint32_t* pos) {
    if (pad_to_alignment(pos, b)) return 1;
    index_buf[b] = *pos >> ciso.index_align;
    if (fread(block_buf1, 1, BLOCK, fin) < static_cast<size_t>(BLOCK)) {
        printf("block=%d : read error\n", static_cast<int>(b));
        return 1;
    }
    unsigned len = 0;
    int ret = zb_deflate_block(&Z1, block_buf1, BLOCK, block_buf2, 2 * BLOCK, &len);
    if (ret != Z_STREAM_END) {
        printf("block %d:deflate : %s[%d]\n", static_cast<int>(b), zb_msg(&Z1, "error"), ret);
        return 1;
    }
    if (len >= static_cast<unsigned>(BLOCK)) {  // deflate did not help: store the block
        memcpy(block_buf2, block_buf1, BLOCK);
        index_buf[b] |= CSO_PLAIN_FLAG;
        len = BLOCK;
    }
    if (fwrite(block_buf2, 1, len, fout) != len) {
        printf("block %d : Write error\n", static_cast<int>(b));
        return 1;
    }
    *pos += len;
    return 0;
}

// Compresses every block with the progress lines; returns 0 or 1.
static int comp_all_blocks(uint32_t* pos) {
    uint32_t n = ciso_total_block;
    uint32_t period = n / 100 ? n / 100 : 1;
    int countdown = static_cast<int>(n / 100);
    for (uint32_t b = 0; b < n; b++) {
        if (--countdown < 1) {
            uint32_t rate = b == 0 ? 0 : (*pos / 2048) * 100 / b;
            printf("compress %3d%% average rate %3d%%\r", static_cast<int>(b / period),
                   static_cast<int>(rate));
            fflush(stdout);  // a front-end reads progress through a pipe
            countdown = static_cast<int>(period);
        }
        if (comp_one_block(b, pos)) return 1;
    }
    return 0;
}

// Compresses fin into fout at deflate level `lvl`; returns 0 or 1.
int comp_ciso(int lvl) {
    int size = check_file_size(fin);
    if (size < 0) {
        printf("Can't get file size\n");
        return 1;
    }
    initcisoheader(size);
    if (alloc_index_and_buffers(ciso_total_block + 1, BLOCK, 2 * BLOCK)) return 1;
    comp_summary(lvl);
    uint32_t pos = write_header_and_placeholder(ciso_total_block + 1);
    if (ciso_total_block > 0 && open_deflate(lvl)) return 1;
    if (comp_all_blocks(&pos)) return 1;
    if (close_z1()) return 1;
    index_buf[ciso_total_block] = pos >> ciso.index_align;
    if (write_final_index(ciso_total_block + 1)) return 1;
    uint64_t total = ciso.total_bytes & 0xFFFFFFFFu;
    int rate = total ? static_cast<int>(static_cast<uint64_t>(pos) * 100 / total) : 0;
    printf("ciso compress completed , total size = %8d bytes , rate %d%%\n",
           static_cast<int>(pos), rate);
    free_index_and_buffers();
    return 0;
}

// Reads and checks the 24-byte header; `optimised` also requires the layout the
// sequential decoder can follow. Returns 0, or 1 after printing why.
int read_cso_header(int optimised) {
    if (fread(&ciso, 1, sizeof ciso, fin) != sizeof ciso) {
        printf("file read error\n");
        return 1;
    }
    uint32_t total = static_cast<uint32_t>(ciso.total_bytes);
    int bad = memcmp(ciso.magic, "CISO", 4) != 0 || ciso.block_size == 0 || total == 0;
    // A block larger than 1 MiB or a shift of 31 bits or more is no CSO we can honour.
    bad = bad || ciso.block_size > (1u << 20) || ciso.index_align > 30;
    if (optimised) bad = bad || ciso.block_size != 2048 || ciso.index_align != 0;
    if (bad) {
        printf("ciso file format error\n");
        return 1;
    }
    return 0;
}

// Allocates the index and the decoders' buffers, after checking that the file can hold
// the n + 1 entries, and reads them; returns 0, or 1 after printing why.
int read_cso_index(uint32_t n, uint32_t bs) {
    uint64_t bytes = 4 * (static_cast<uint64_t>(n) + 1);
    long long file_size = plat_stream_size(fin);
    plat_seek(fin, 24);
    if (file_size < 0 || static_cast<uint64_t>(file_size) < 24 + bytes) {
        printf("file read error\n");  // the index could not be read whole
        return 1;
    }
    if (alloc_index_and_buffers(n + 1, 2 * OUT_SPAN + bs, 2 * in_span_size(bs))) return 1;
    if (fread(index_buf, 1, bytes, fin) != bytes) {
        printf("file read error\n");
        return 1;
    }
    return 0;
}

// Returns the stored length of compressed block b in bytes, or -1 when the entries
// decrease or the payload would not fit the `cap`-byte buffer.
long long stored_length(uint32_t b, unsigned shift, uint32_t cap) {
    uint32_t cur = index_buf[b] & CSO_OFFSET_MASK, next = index_buf[b + 1] & CSO_OFFSET_MASK;
    if (next < cur) return -1;
    uint64_t len = static_cast<uint64_t>(next - cur) << shift;
    return len > cap ? -1 : static_cast<long long>(len);
}

// ---------------------------------------------------------------- decoding in spans
// Both decompressors read payloads straight from the file in large spans (a reader
// thread fetches the next while one is decoded) and decode each block straight into a
// 1 MiB output span, which a writer thread writes while the next one fills, in order.
// A span goes out when the block after it starts, as a full 1 MiB stream buffer did, and
// a failed write is printed only where that buffer's write would have failed: before
// the next progress line or message, naming the same block. A progress line due while
// spans are still being written is held back until they are (or dropped after a failed
// write before it), so the decoder never waits for the disk just to print one.

namespace {

// Payload bytes in hand: what fin held at `off` when last read (in block_buf2).
struct span_in {
    unsigned char* buf;  // the span
    size_t cap;          // its size
    uint64_t off;        // file offset of buf[0]
    size_t len;          // bytes read there
};

// The span after the one in hand, read by a thread of its own while that one is decoded
// (in the other half of block_buf2). Only one thread reads fin at any time.
struct read_ahead {
    span_in next;         // the span asked for, once `done` has counted it
    uint64_t overlap;     // bytes it shares with the span before: the longest payload
    int pending;          // 1 while a span is asked for and not taken
    uint32_t asked;       // spans asked for so far
    plat_count* wanted;   // spans asked for, counted for the reader
    plat_count* done;     // spans the reader has read
    plat_thread* reader;  // the reader, or nullptr: every span is then read when needed
};

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

// Where a decoder finds its payloads: the reference one wherever the index says, the
// optimised one only right after the previous payload.
struct payload_walk {
    int optimised;  // 1: payloads must follow each other, entries are not shifted
    uint64_t pos;   // end of the previous payload
};

// One decoding run.
struct decode_run {
    span_in in;
    read_ahead ahead;
    span_out out;
    payload_walk walk;
    uint32_t bs;  // block size
};

}  // namespace

// Returns the size of the payload span for blocks of bs bytes: room for the largest payload.
static size_t in_span_size(uint32_t bs) {
    return 2 * static_cast<size_t>(bs) > IN_SPAN ? 2 * static_cast<size_t>(bs) : IN_SPAN;
}

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

// The reader thread: reads each span asked for, in turn, until `wanted` closes; returns 0.
static int span_reader(void* job) {
    read_ahead* a = static_cast<read_ahead*>(job);
    for (uint32_t k = 0; plat_count_wait(a->wanted, k + 1) == 0; k++) {
        span_in* s = &a->next;
        s->len = plat_read_at(fin, static_cast<long long>(s->off), s->buf, s->cap);
        plat_count_add(a->done, 1);
    }
    return 0;
}

// Starts the reader over buf (cap bytes) for blocks of bs bytes (none when it can't start).
static void read_ahead_open(read_ahead* a, unsigned char* buf, size_t cap, uint32_t bs) {
    a->next = {buf, cap, 0, 0};
    a->overlap = 2 * static_cast<uint64_t>(bs);
    a->pending = 0;
    a->asked = 0;
    a->reader = start_helper(&a->wanted, &a->done, span_reader, a);
}

// Stops the reader (after the read it may be doing) and frees its counts.
static void read_ahead_close(read_ahead* a) {
    stop_helper(a->reader, a->wanted, a->done);
}

// Asks for the span that starts `overlap` bytes before the end of in's, so it holds whole
// any payload that in's cuts; not when in's was short (the file ends there) or too small.
static void ask_ahead(read_ahead* a, const span_in* in) {
    if (!a->reader || in->len < in->cap || in->cap < 2 * a->overlap) return;
    a->next.off = in->off + in->len - a->overlap;
    a->pending = 1;
    plat_count_add(a->wanted, 1);
    a->asked++;
}

// Waits for the span asked for, if any; returns 1 after swapping it into *in when it holds
// the len bytes at off, else 0 (fin is then free for the decoder's own read).
static int take_ahead(read_ahead* a, span_in* in, uint64_t off, size_t len) {
    if (!a->pending) return 0;
    a->pending = 0;
    plat_count_wait(a->done, a->asked);  // `done` is never closed
    const span_in& s = a->next;
    if (off < s.off || off + len > s.off + s.len) return 0;
    span_in old = *in;
    *in = s;
    a->next = old;
    return 1;
}

// Returns the len bytes of fin at off: from the span in hand, else from the one read
// ahead, else from a new span read from off; nullptr when the file ends before them.
static const unsigned char* payload_at(decode_run* r, uint64_t off, size_t len) {
    span_in* in = &r->in;
    if (len == 0) return in->buf;  // nothing to read, wherever it would start
    if (off < in->off || off + len > in->off + in->len) {
        if (!take_ahead(&r->ahead, in, off, len)) {
            in->off = off;
            in->len = plat_read_at(fin, static_cast<long long>(off), in->buf, in->cap);
        }
        ask_ahead(&r->ahead, in);
    }
    return off + len <= in->off + in->len ? in->buf + (off - in->off) : nullptr;
}

// Finds block b's payload; sets *off and *len and returns 0, or -1 when it can't be read.
static int locate(payload_walk* w, uint32_t b, uint32_t bs, uint64_t* off, long long* len) {
    uint32_t e = index_buf[b];
    unsigned shift = w->optimised ? 0 : ciso.index_align;
    *len = (e & CSO_PLAIN_FLAG) ? bs : stored_length(b, shift, 2 * bs);
    *off = static_cast<uint64_t>(e & CSO_OFFSET_MASK) << shift;
    if (*len < 0 || (w->optimised && *off != w->pos)) return -1;  // else foreign bytes
    w->pos = *off + static_cast<uint64_t>(*len);
    return 0;
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
    printf("block %d : Write error\n", static_cast<int>(s->failed.load()));
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

// Adds block b, decoded at dst, to the spans (splitting it when it was decoded aside);
// returns 0, or -1 when the writer fails.
static int block_done(span_out* s, uint32_t b, uint32_t bs, const unsigned char* dst) {
    if (dst != s->block) {
        s->used += bs;
        // Blocks of a whole span: the stream wrote the first, and each that found its
        // buffer full, past the buffer at once; so every even one goes out as it ends.
        return bs == OUT_SPAN && b % 2 == 0 ? hand_over(s, b) : 0;
    }
    size_t room = OUT_SPAN - s->used;
    memcpy(s->buf[s->handed % 2] + s->used, dst, room);
    s->used = OUT_SPAN;
    if (hand_over(s, b)) return -1;
    memcpy(s->buf[s->handed % 2], dst + room, bs - room);
    s->used = bs - room;
    return 0;
}

// Prints block b's write error unless an earlier one comes first; returns 1.
static int write_failed(span_out* s, uint32_t b) {
    if (!settle(s, b)) printf("block %d : Write error\n", static_cast<int>(b));
    return 1;
}

// Inflates block b's payload p (len bytes) into dst; returns 0, or 1 after printing why.
static int inflate_at(decode_run* r, uint32_t b, const unsigned char* p, long long len,
                      unsigned char* dst) {
    if (Z1_mode == 0 && (settle(&r->out, b) || open_inflate())) return 1;
    unsigned produced = 0;
    int ret = zb_inflate_into(&Z1, p, static_cast<unsigned>(len), dst, r->bs, &produced);
    if (ret == Z_STREAM_END && produced == r->bs) return 0;
    if (settle(&r->out, b)) return 1;
    if (ret != Z_STREAM_END)
        printf("block %d:inflate : %s[%d]\n", static_cast<int>(b), zb_msg(&Z1, "error"), ret);
    else
        printf("block %d : block size error %d != %d\n", static_cast<int>(b),
               static_cast<int>(produced), static_cast<int>(r->bs));
    return 1;
}

// Reads and decodes block b into the output spans; returns 0, or 1 after printing why.
static int decode_block(decode_run* r, uint32_t b) {
    uint64_t off = 0;
    long long len = 0;
    const unsigned char* p = nullptr;
    if (locate(&r->walk, b, r->bs, &off, &len) == 0) p = payload_at(r, off, len);
    if (!p) {
        if (!settle(&r->out, b)) printf("block=%d : read error\n", static_cast<int>(b));
        return 1;
    }
    unsigned char* dst = block_dest(&r->out, b, r->bs);
    if (!dst) return write_failed(&r->out, b);
    if (index_buf[b] & CSO_PLAIN_FLAG)
        memcpy(dst, p, r->bs);
    else if (inflate_at(r, b, p, len, dst))
        return 1;
    return block_done(&r->out, b, r->bs, dst) ? write_failed(&r->out, b) : 0;
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

// Decodes the n blocks of bs bytes whose index is read, into fout; returns 0 or 1.
int decode_blocks(uint32_t n, uint32_t bs, int optimised) {
    decode_run r{};
    size_t cap = in_span_size(bs);
    r.in = {block_buf2, cap, 0, 0};
    r.walk = {optimised, 24 + 4 * (static_cast<uint64_t>(n) + 1)};
    r.bs = bs;
    span_out_open(&r.out, n >= 100 ? n / 100 : 1);
    read_ahead_open(&r.ahead, block_buf2 + cap, cap, bs);
    int status = decode_all(&r, n);
    read_ahead_close(&r.ahead);
    if (status) write_partial(&r.out);
    span_out_close(&r.out);
    return status;
}

// Prints the reference decompressor's five summary lines.
static void decomp_summary(uint32_t n) {
    printf("Decompress '%s' to '%s'\n", O.input_name, O.output_name);
    printf("Total File Size %llu bytes\n",  // 64-bit: 2 GiB and more must not print negative
           static_cast<unsigned long long>(static_cast<uint32_t>(ciso.total_bytes)));
    printf("block size      %d  bytes\n", static_cast<int>(ciso.block_size));
    printf("total blocks    %d  blocks\n", static_cast<int>(n));
    printf("index align     %d\n", 1 << ciso.index_align);
}

// Decompresses the CSO in fin into fout, following its header; returns 0 or 1.
int decomp_ciso() {
    if (read_cso_header(0)) return 1;
    uint32_t n = static_cast<uint32_t>(ciso.total_bytes) / ciso.block_size;
    ciso_total_block = n;
    if (read_cso_index(n, ciso.block_size)) return 1;
    decomp_summary(n);
    if (n > 0 && open_inflate()) return 1;
    if (decode_blocks(n, ciso.block_size, 0)) return 1;
    if (close_z1() || flush_output(n)) return 1;
    printf("ciso decompress completed\n");
    return 0;
}
