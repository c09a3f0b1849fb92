// The block reader: header and index checks, payload spans read ahead, whole blocks.
#include "cso_reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.h"
#include "zblock.h"

static const size_t IN_SPAN = 1 << 19;  // payload bytes read at once (more for blocks over 256 KiB)

// Reads through the platform's positioned read, past the stream's buffer.
static size_t stream_read_at(void* ctx, uint64_t off, void* buf, size_t len) {
    return plat_read_at(static_cast<FILE*>(ctx), static_cast<long long>(off), buf, len);
}

// The stream's size is taken once; its position is of no account to the reader.
cso_source cso_stream_source(FILE* f) {
    long long size = plat_stream_size(f);
    plat_seek(f, 0);
    return cso_source{stream_read_at, f, size < 0 ? 0 : static_cast<uint64_t>(size)};
}

// Records the reader's failure line; returns `status`.
static int fail(cso_reader* r, int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(r->fault, sizeof r->fault, format, args);
    va_end(args);
    return status;
}

// Returns the size of a payload span for blocks of bs bytes: room for the largest payload.
static size_t in_span_size(uint32_t bs) {
    return 2 * static_cast<size_t>(bs) > IN_SPAN ? 2 * static_cast<size_t>(bs) : IN_SPAN;
}

// Reads and checks the header; returns CSO_OK or the failure.
static int read_header(cso_reader* r) {
    if (r->src.size < CSO_HEADER_SIZE) return fail(r, CSO_SHORT_HEADER, MSG_FILE_READ_ERROR);
    if (r->src.read_at(r->src.ctx, 0, &r->hdr, CSO_HEADER_SIZE) != CSO_HEADER_SIZE)
        return fail(r, CSO_IO, MSG_FILE_READ_ERROR);
    if (cso_header_refused(r->hdr, r->sequential)) return fail(r, CSO_FORMAT, MSG_FORMAT_ERROR);
    r->lay = cso_layout_of(r->hdr);
    return CSO_OK;
}

// Reads `count` entries from entry `first` on; returns CSO_OK or CSO_IO.
static int read_entries(cso_reader* r, uint32_t first, uint64_t count) {
    size_t bytes = static_cast<size_t>(4 * count);
    uint64_t off = CSO_HEADER_SIZE + 4 * static_cast<uint64_t>(first);
    if (r->src.read_at(r->src.ctx, off, r->index + first, bytes) == bytes) return CSO_OK;
    return fail(r, CSO_IO, MSG_FILE_READ_ERROR);
}

// Reads the index (the file must hold it: that also bounds the allocation) and, when the
// image has a tail, the entry that may follow it; returns CSO_OK or the failure.
static int read_index(cso_reader* r) {
    cso_layout& l = r->lay;
    if (!cso_index_fits(l, r->src.size)) return fail(r, CSO_SHORT_INDEX, MSG_FILE_READ_ERROR);
    uint64_t entries = static_cast<uint64_t>(l.whole) + 2;
    size_t span = in_span_size(l.bs);
    if (entries > SIZE_MAX / 4) return fail(r, CSO_NO_MEMORY, MSG_NO_MEMORY);
    r->index = static_cast<uint32_t*>(calloc(static_cast<size_t>(entries), 4));
    r->spans = static_cast<unsigned char*>(malloc(2 * span));
    if (!r->index || !r->spans) return fail(r, CSO_NO_MEMORY, MSG_NO_MEMORY);
    r->in = {r->spans, span, 0, 0};
    if (read_entries(r, 0, entries - 1)) return CSO_IO;
    cso_layout longer = l;
    longer.blocks = l.whole + 1;  // no wrap: whole is at most CSO_MAX_BLOCKS
    // The sequential walk reads the tail's entry too: a file that stores its tail is then
    // refused at block 0 (its payloads start past the longer index) even with no whole
    // block, instead of decoding to nothing and calling the tail never stored.
    if (l.tail == 0 || !cso_index_fits(longer, r->src.size)) return CSO_OK;
    if (read_entries(r, l.whole + 1, 1)) return CSO_IO;
    if (cso_index_holds_tail(l, r->index)) l.blocks = l.whole + 1;
    return CSO_OK;
}

// Reads and checks the header and the index.
int cso_open(cso_reader* r, const cso_source& src, int sequential) {
    memset(r, 0, sizeof *r);
    r->src = src;
    r->sequential = sequential;
    r->z = &r->own_z;
    r->z_mode = &r->own_z_mode;
    int status = read_header(r);
    if (status) return status;
    status = read_index(r);
    r->walk_pos = CSO_HEADER_SIZE + 4 * (static_cast<uint64_t>(r->lay.whole) + 1);
    return status;
}

// Lends the caller's stream.
void cso_lend_stream(cso_reader* r, z_stream* z, int* z_mode) {
    r->z = z;
    r->z_mode = z_mode;
}

// ---------------------------------------------------------------- reading ahead

// The reading thread: reads each span asked for, in turn, until `wanted` closes; returns 0.
static int span_reader(void* job) {
    cso_read_ahead* a = static_cast<cso_read_ahead*>(job);
    for (uint32_t k = 0; plat_count_wait(a->wanted, k + 1) == 0; k++) {
        cso_span* s = &a->next;
        s->len = a->src->read_at(a->src->ctx, s->off, s->buf, s->cap);
        plat_count_add(a->done, 1);
    }
    return 0;
}

// Starts the reading thread over the second span (none when it can't start).
static void ahead_start(cso_reader* r) {
    cso_read_ahead* a = &r->ahead;
    a->started = 1;
    a->next = {r->spans + r->in.cap, r->in.cap, 0, 0};
    a->overlap = 2 * static_cast<uint64_t>(r->lay.bs);
    a->src = &r->src;
    a->wanted = plat_count_new();
    a->done = plat_count_new();
    if (a->wanted && a->done) a->thread = plat_thread_start(span_reader, a);
}

// Stops the thread (after the read it may be doing) and frees its counts.
static void ahead_stop(cso_read_ahead* a) {
    if (a->thread) {
        plat_count_close(a->wanted);
        plat_thread_join(a->thread);
    }
    plat_count_free(a->wanted);
    plat_count_free(a->done);
    a->thread = nullptr;
    a->wanted = a->done = nullptr;
}

// Asks for the span that starts `overlap` bytes before the end of in's, so it holds whole
// any payload that in's cuts; not when in's was short (the file ends there) or too small.
static void ask_ahead(cso_read_ahead* a, const cso_span* in) {
    if (!a->thread || in->len < in->cap || in->cap < 2 * a->overlap) return;
    a->next.off = in->off + in->len - a->overlap;
    a->pending = 1;
    plat_count_add(a->wanted, 1);
    a->asked++;
}

// Waits for the span asked for, if any; returns 1 after swapping it into *in when it holds
// the len bytes at off, else 0 (the file is then free for the decoder's own read).
static int take_ahead(cso_read_ahead* a, cso_span* in, uint64_t off, size_t len) {
    if (!a->pending) return 0;
    a->pending = 0;
    plat_count_wait(a->done, a->asked);  // `done` is never closed
    const cso_span& s = a->next;
    if (off < s.off || off + len > s.off + s.len) return 0;
    cso_span old = *in;
    *in = s;
    a->next = old;
    return 1;
}

// Returns the len bytes of the file at off: from the span in hand, else from the one read
// ahead, else from a new span read from off; nullptr when they can't all be read.
static const unsigned char* payload_at(cso_reader* r, uint64_t off, size_t len) {
    cso_span* in = &r->in;
    if (len == 0) return in->buf;  // nothing to read, wherever it would start
    if (off < in->off || off + len > in->off + in->len) {
        if (!take_ahead(&r->ahead, in, off, len)) {
            in->off = off;
            in->len = r->src.read_at(r->src.ctx, off, in->buf, in->cap);
        }
        ask_ahead(&r->ahead, in);
    }
    return off + len <= in->off + in->len ? in->buf + (off - in->off) : nullptr;
}

// ---------------------------------------------------------------- decoding

// Finds block b's payload (the tail's plain payload holds only the tail); sets *off and
// *len and returns 0, or -1 when the entries or the walk refuse it.
static int locate(cso_reader* r, uint32_t b, uint64_t* off, long long* len) {
    uint32_t e = r->index[b], bs = r->lay.bs;
    unsigned shift = r->sequential ? 0 : r->lay.shift;
    if (e & CSO_PLAIN_FLAG) *len = cso_block_bytes(r->lay, b);
    else *len = cso_stored_length(e, r->index[b + 1], shift, 2 * static_cast<uint64_t>(bs));
    *off = cso_entry_offset(e, shift);
    if (*len < 0 || (r->sequential && *off != r->walk_pos)) return -1;  // else foreign bytes
    r->walk_pos = *off + static_cast<uint64_t>(*len);
    return 0;
}

// Records block b's read error: CSO_IO when its payload lies in the file but could not
// be read, CSO_BAD_BLOCK when the index points it elsewhere; returns the status.
static int read_error(cso_reader* r, uint32_t b, int status) {
    return fail(r, status, MSG_BLOCK_READ_ERROR, static_cast<int>(b));
}

// Inflates block b's payload into dst; it must end in the payload and give the block's
// image bytes (a block's size, or for the tail at least the tail). Returns CSO_OK or the
// failure.
static int inflate_block(cso_reader* r, uint32_t b, const unsigned char* p, long long len,
                         unsigned char* dst) {
    if (*r->z_mode == 0) {
        if (zb_inflate_open(r->z) != Z_OK)
            return fail(r, CSO_BAD_BLOCK, MSG_INFLATE_INIT, zb_msg(r->z, "???"));
        *r->z_mode = 2;
    }
    uint32_t bs = r->lay.bs, need = cso_block_bytes(r->lay, b);
    unsigned produced = 0;
    int ret = zb_inflate_into(r->z, p, static_cast<unsigned>(len), dst, bs, &produced);
    if (ret == Z_STREAM_END && produced >= need) return CSO_OK;
    if (ret != Z_STREAM_END)
        return fail(r, CSO_BAD_BLOCK, MSG_INFLATE, static_cast<int>(b),
                    zb_msg(r->z, "error"), ret);
    return fail(r, CSO_BAD_BLOCK, MSG_BLOCK_SIZE_ERROR, static_cast<int>(b),
                static_cast<int>(produced), static_cast<int>(need));
}

// Decodes block b into dst.
int cso_decode(cso_reader* r, uint32_t b, unsigned char* dst) {
    if (!r->ahead.started) ahead_start(r);
    uint64_t off = 0;
    long long len = -1;
    if (locate(r, b, &off, &len)) return read_error(r, b, CSO_BAD_BLOCK);
    const unsigned char* p = payload_at(r, off, static_cast<size_t>(len));
    int inside = off <= r->src.size && static_cast<uint64_t>(len) <= r->src.size - off;
    if (!p) return read_error(r, b, inside ? CSO_IO : CSO_BAD_BLOCK);
    if (!(r->index[b] & CSO_PLAIN_FLAG)) return inflate_block(r, b, p, len, dst);
    memcpy(dst, p, static_cast<size_t>(len));
    return CSO_OK;
}

// Frees everything; the lent stream stays the caller's.
void cso_close(cso_reader* r) {
    ahead_stop(&r->ahead);
    if (r->own_z_mode) inflateEnd(&r->own_z);
    r->own_z_mode = 0;
    free(r->index);
    free(r->spans);
    r->index = nullptr;
    r->spans = nullptr;
}
