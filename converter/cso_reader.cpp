// The block reader: header and index checks, payload spans read ahead, whole blocks.
#include "cso_reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <lz4.h>

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
    size_t most = static_cast<size_t>(cso_payload_most(bs));
    return most > IN_SPAN ? most : IN_SPAN;
}

// Refuses a version the format defines no reading for.
static int unknown_version(cso_reader* r, const char* format, unsigned version) {
    return fail(r, CSO_UNSUPPORTED, msg(MSG_UNSUPPORTED_VERSION), format, version);
}

// Takes a DAX header from the file's first `got` bytes; returns CSO_OK or the failure.
// The reader's CSO header holds its fields in CSO terms (frames as blocks, no alignment)
// for the decompressors' summary.
static int take_dax_header(cso_reader* r, const unsigned char* head, size_t got) {
    if (got < DAX_HEADER_SIZE) return fail(r, CSO_SHORT_HEADER, msg(MSG_FILE_READ_ERROR));
    dax_header& d = r->dax;
    memcpy(&d, head, DAX_HEADER_SIZE);
    if (d.version > DAX_MAX_VERSION) return unknown_version(r, "DAX", d.version);
    if (r->sequential || d.total_bytes == 0) return fail(r, CSO_FORMAT, msg(MSG_FORMAT_ERROR));
    memcpy(r->hdr.magic, d.magic, DAX_MAGIC_SIZE);
    r->hdr.header_size = DAX_HEADER_SIZE;
    r->hdr.total_bytes = d.total_bytes;
    r->hdr.block_size = DAX_FRAME;
    r->hdr.version = static_cast<uint8_t>(d.version);
    cso_layout& l = r->lay;
    l = {d.total_bytes, DAX_FRAME, 0, d.total_bytes / DAX_FRAME, d.total_bytes % DAX_FRAME,
         dax_frames(d), true, FORMAT_DAX};
    return CSO_OK;
}

// Takes a CSO or ZSO header from the file's first `got` bytes; returns CSO_OK or the failure.
static int take_cso_header(cso_reader* r, const unsigned char* head, size_t got) {
    if (got < CSO_HEADER_SIZE) return fail(r, CSO_SHORT_HEADER, msg(MSG_FILE_READ_ERROR));
    memcpy(&r->hdr, head, CSO_HEADER_SIZE);
    if (cso_version_unknown(r->hdr))
        return unknown_version(r, format_of_magic(head) == FORMAT_ZSO ? "ZSO" : "CSO", r->hdr.version);
    if (cso_header_refused(r->hdr, r->sequential)) return fail(r, CSO_FORMAT, msg(MSG_FORMAT_ERROR));
    r->lay = cso_layout_of(r->hdr);
    return CSO_OK;
}

// Reads and checks the header of whichever format the magic names; returns CSO_OK or
// the failure.
static int read_header(cso_reader* r) {
    unsigned char head[DAX_HEADER_SIZE] = {};
    size_t got = r->src.size < sizeof head ? static_cast<size_t>(r->src.size) : sizeof head;
    if (got < CSO_MAGIC_SIZE) return fail(r, CSO_SHORT_HEADER, msg(MSG_FILE_READ_ERROR));
    if (r->src.read_at(r->src.ctx, 0, head, got) != got) return fail(r, CSO_IO, msg(MSG_FILE_READ_ERROR));
    image_format f = format_of_magic(head);
    if (f == FORMAT_JISO) return fail(r, CSO_UNSUPPORTED, msg(MSG_UNSUPPORTED_FORMAT), JISO_MAGIC);
    return f == FORMAT_DAX ? take_dax_header(r, head, got) : take_cso_header(r, head, got);
}

// Reads `count` entries from entry `first` on; returns CSO_OK or CSO_IO.
static int read_entries(cso_reader* r, uint32_t first, uint64_t count) {
    size_t bytes = static_cast<size_t>(4 * count);
    uint64_t off = CSO_HEADER_SIZE + 4 * static_cast<uint64_t>(first);
    if (r->src.read_at(r->src.ctx, off, r->index + first, bytes) == bytes) return CSO_OK;
    return fail(r, CSO_IO, msg(MSG_FILE_READ_ERROR));
}

// Reads the index (the file must hold it: that also bounds the allocation) and, when the
// image has a tail, the entry that may follow it; returns CSO_OK or the failure.
static int read_index(cso_reader* r) {
    cso_layout& l = r->lay;
    if (!cso_index_fits(l, r->src.size)) return fail(r, CSO_SHORT_INDEX, msg(MSG_FILE_READ_ERROR));
    uint64_t entries = static_cast<uint64_t>(l.whole) + 2;
    size_t span = in_span_size(l.bs);
    if (entries > SIZE_MAX / 4) return fail(r, CSO_NO_MEMORY, msg(MSG_NO_MEMORY));
    r->index = static_cast<uint32_t*>(calloc(static_cast<size_t>(entries), 4));
    r->spans = static_cast<unsigned char*>(malloc(2 * span));
    if (!r->index || !r->spans) return fail(r, CSO_NO_MEMORY, msg(MSG_NO_MEMORY));
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

// Reads `count` bytes at `off` into dst; returns CSO_OK or CSO_IO.
static int read_table(cso_reader* r, uint64_t off, void* dst, size_t count) {
    if (r->src.read_at(r->src.ctx, off, dst, count) == count) return CSO_OK;
    return fail(r, CSO_IO, msg(MSG_FILE_READ_ERROR));
}

static const uint32_t AREAS_AT_ONCE = 512;  // NC areas read in one go

// Counts where each of `count` areas starts and ends among n frames (one past its last);
// returns CSO_OK, or CSO_FORMAT for an area past the last frame.
static int count_areas(cso_reader* r, const dax_nc_area* a, uint32_t count, uint32_t n, int32_t* edges) {
    for (uint32_t i = 0; i < count; i++) {
        if (dax_area_refused(a[i], n)) return fail(r, CSO_FORMAT, msg(MSG_FORMAT_ERROR));
        if (a[i].count == 0) continue;
        edges[a[i].first]++;
        edges[a[i].first + a[i].count]--;
    }
    return CSO_OK;
}

// Reads the NC areas and marks their frames, counting starts and ends first so that any
// number of overlapping areas costs one pass; returns CSO_OK or the failure.
static int read_nc_areas(cso_reader* r) {
    uint32_t n = r->lay.blocks, m = r->dax.nc_areas;
    int32_t* edges = static_cast<int32_t*>(calloc(static_cast<size_t>(n) + 1, sizeof(int32_t)));
    if (!edges) return fail(r, CSO_NO_MEMORY, msg(MSG_NO_MEMORY));
    dax_nc_area chunk[AREAS_AT_ONCE];
    int status = CSO_OK;
    for (uint32_t done = 0, count = 0; status == CSO_OK && done < m; done += count) {
        count = m - done < AREAS_AT_ONCE ? m - done : AREAS_AT_ONCE;
        uint64_t at = dax_areas_at(r->dax) + sizeof(dax_nc_area) * static_cast<uint64_t>(done);
        status = read_table(r, at, chunk, sizeof(dax_nc_area) * count);
        if (status == CSO_OK) status = count_areas(r, chunk, count, n, edges);
    }
    for (uint32_t b = 0, depth = 0; status == CSO_OK && b < n; b++)
        r->dax_nc[b] = (depth += static_cast<uint32_t>(edges[b])) > 0;
    free(edges);
    return status;
}

// Reads a DAX file's offsets, lengths and NC areas (the file must hold them all: that
// also bounds the allocations); returns CSO_OK or the failure.
static int read_dax_tables(cso_reader* r) {
    if (!dax_tables_fit(r->dax, r->src.size)) return fail(r, CSO_SHORT_INDEX, msg(MSG_FILE_READ_ERROR));
    size_t n = r->lay.blocks, span = in_span_size(DAX_FRAME);
    r->index = static_cast<uint32_t*>(calloc(n + 1, 4));
    r->dax_len = static_cast<uint16_t*>(calloc(n, 2));
    r->dax_nc = static_cast<uint8_t*>(calloc(n, 1));
    r->spans = static_cast<unsigned char*>(malloc(2 * span));
    if (!r->index || !r->dax_len || !r->dax_nc || !r->spans) return fail(r, CSO_NO_MEMORY, msg(MSG_NO_MEMORY));
    r->in = {r->spans, span, 0, 0};
    if (read_table(r, DAX_HEADER_SIZE, r->index, 4 * n)) return CSO_IO;
    if (read_table(r, dax_lengths_at(r->dax), r->dax_len, 2 * n)) return CSO_IO;
    return read_nc_areas(r);
}

int cso_open(cso_reader* r, const cso_source& src, int sequential) {
    memset(r, 0, sizeof *r);
    r->src = src;
    r->sequential = sequential;
    r->z = &r->own_z;
    r->z_mode = &r->own_z_mode;
    int status = read_header(r);
    if (status) return status;
    status = r->lay.format == FORMAT_DAX ? read_dax_tables(r) : read_index(r);
    r->walk_pos = CSO_HEADER_SIZE + 4 * (static_cast<uint64_t>(r->lay.whole) + 1);
    return status;
}

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
    a->overlap = cso_payload_most(r->lay.bs);
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

// Finds a DAX frame: plain inside an NC area, else a zlib stream of its stored length,
// which must be one a frame can have; offsets may not go back.
static int dax_locate(const cso_reader* r, uint32_t b, cso_place* p) {
    p->off = r->index[b];
    p->kind = r->dax_nc[b] ? BLOCK_PLAIN : BLOCK_ZLIB;
    p->len = r->dax_nc[b] ? cso_block_bytes(r->lay, b) : r->dax_len[b];
    p->stored = p->len;
    return dax_length_refused(r->dax_len[b], r->dax_nc[b]) || (b > 0 && r->index[b] < r->index[b - 1]) ? -1 : 0;
}

// Finds block b's payload (the tail's plain payload holds only the tail).
int cso_locate(const cso_reader* r, uint32_t b, cso_place* p) {
    if (r->lay.format == FORMAT_DAX) return dax_locate(r, b, p);
    uint32_t e = r->index[b], bs = r->lay.bs;
    unsigned shift = r->sequential ? 0 : r->lay.shift;
    long long stored = cso_stored_length(e, r->index[b + 1], shift, cso_stored_cap(bs, shift));
    bool flagged_plain = cso_flag_marks_plain(r->lay.format) && (e & CSO_PLAIN_FLAG);
    p->off = cso_entry_offset(e, shift);
    if (stored < 0 && !flagged_plain) return -1;  // a flagged block's next entry is not read
    p->stored = stored < 0 ? 0 : static_cast<uint64_t>(stored);
    p->kind = cso_block_kind(r->lay.format, e, p->stored, bs);
    uint64_t most = cso_payload_most(bs);
    p->len = p->kind == BLOCK_PLAIN ? cso_block_bytes(r->lay, b) : p->stored < most ? p->stored : most;
    return 0;
}

// Finds block b's payload for decoding; sets *p and returns 0, or -1 when the entries or
// the walk refuse it. An empty payload reads nothing, so the walk lets it fail as the
// decoder's own error, as reading at offsets does (the zeroed index of an unfinished file).
static int locate(cso_reader* r, uint32_t b, cso_place* p) {
    if (cso_locate(r, b, p)) return -1;
    if (!r->sequential || p->len == 0) return 0;
    if (p->off != r->walk_pos) return -1;  // else foreign bytes
    r->walk_pos = p->off + p->len;
    return 0;
}

// Records block b's read error: CSO_IO when its payload lies in the file but could not
// be read, CSO_BAD_BLOCK when the index points it elsewhere; returns the status.
static int read_error(cso_reader* r, uint32_t b, int status) {
    return fail(r, status, msg(MSG_BLOCK_READ_ERROR), static_cast<int>(b));
}

// Writes a failure line into the scratch's room; returns CSO_BAD_BLOCK.
static int bad_block(const cso_scratch& s, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(s.fault, s.room, format, args);
    va_end(args);
    return CSO_BAD_BLOCK;
}

// Opens the scratch's inflate stream at its first use; returns CSO_OK or the failure.
static int inflate_ready(const cso_scratch& s) {
    if (*s.z_mode) return CSO_OK;
    if (zb_inflate_open(s.z) != Z_OK) return bad_block(s, msg(MSG_INFLATE_INIT), zb_msg(s.z, "???"));
    *s.z_mode = 2;
    return CSO_OK;
}

// Inflates a raw deflate or zlib payload; it must end in the payload and give the block's
// image bytes (a raw stream: a block's size, or for the tail at least the tail; a zlib
// frame: exactly its bytes). Returns CSO_OK or the failure.
static int inflate_payload(const cso_layout& l, uint32_t b, bool zlib, const unsigned char* p,
                           size_t len, unsigned char* dst, size_t room, const cso_scratch& s) {
    if (inflate_ready(s)) return CSO_BAD_BLOCK;
    uint32_t need = cso_block_bytes(l, b), cap = zlib ? need : l.bs;
    unsigned produced = 0, in = static_cast<unsigned>(len);
    unsigned spare = static_cast<unsigned>(room < UINT32_MAX ? room : UINT32_MAX);
    int ret = zlib ? zb_zlib_inflate_into(s.z, p, in, dst, cap, spare, &produced)
                   : zb_inflate_into(s.z, p, in, dst, cap, spare, &produced);
    if (ret == Z_STREAM_END && produced >= need) return CSO_OK;
    if (ret != Z_STREAM_END)
        return bad_block(s, msg(MSG_INFLATE), static_cast<int>(b), zb_msg(s.z, "error"), ret);
    return bad_block(s, msg(MSG_BLOCK_SIZE_ERROR), static_cast<int>(b), static_cast<int>(produced),
                     static_cast<int>(need));
}

// Adds the extra bytes of an LZ4 length at p[*i..len) to *n; false when they run past len.
static bool lz4_more_length(const unsigned char* p, size_t len, size_t* i, size_t* n) {
    unsigned char more;
    do {
        if (*i >= len) return false;
        more = p[(*i)++];
        *n += more;
    } while (more == 255);
    return true;
}

const size_t LZ4_NO_END = SIZE_MAX;

// Returns where the raw LZ4 block at p[0..len) ends if its last sequence, which holds only
// literals, ends `out` bytes into the block, or LZ4_NO_END when no sequence ends there.
// Walks the sequences without decoding them; the strict decoder checks the bytes it returns.
static size_t lz4_block_end(const unsigned char* p, size_t len, size_t out) {
    size_t i = 0, made = 0;
    while (i < len) {
        unsigned token = p[i++];
        size_t literals = token >> 4, match = (token & 15) + 4;
        if (literals == 15 && !lz4_more_length(p, len, &i, &literals)) return LZ4_NO_END;
        if (literals > len - i) return LZ4_NO_END;
        i += literals, made += literals;
        if (made == out) return i;
        if (made > out || len - i < 2) return LZ4_NO_END;
        i += 2;  // the match's offset
        if (match == 19 && !lz4_more_length(p, len, &i, &match)) return LZ4_NO_END;
        made += match;
    }
    return LZ4_NO_END;
}

// Returns the bytes of an LZ4 payload that are its block: a payload aligned in the file
// may end in fewer than 1 << l.shift padding bytes after the block, which the strict
// decoder would take for a damaged sequence. A tail may be stored as a whole padded block,
// whose stream goes on past the tail's end.
static size_t lz4_block_bytes(const cso_layout& l, uint32_t need, const unsigned char* p, size_t len) {
    if (l.shift == 0) return len;
    uint64_t unit = static_cast<uint64_t>(1) << l.shift;
    size_t end = lz4_block_end(p, len, need);
    if ((end == LZ4_NO_END || len - end >= unit) && need != l.bs) end = lz4_block_end(p, len, l.bs);
    return end != LZ4_NO_END && len - end < unit ? end : len;
}

// Decodes a raw LZ4 payload; it must give the block's image bytes exactly (the tail's, or
// a whole block for a padded tail). Returns CSO_OK or the failure.
static int lz4_payload(const cso_layout& l, uint32_t b, const unsigned char* p, size_t len,
                       unsigned char* dst, const cso_scratch& s) {
    uint32_t need = cso_block_bytes(l, b);
    int got = LZ4_decompress_safe(reinterpret_cast<const char*>(p), reinterpret_cast<char*>(dst),
                                  static_cast<int>(lz4_block_bytes(l, need, p, len)),
                                  static_cast<int>(l.bs));
    if (got < 0) return bad_block(s, msg(MSG_LZ4), static_cast<int>(b), got);
    if (static_cast<uint32_t>(got) == need || static_cast<uint32_t>(got) == l.bs) return CSO_OK;
    return bad_block(s, msg(MSG_BLOCK_SIZE_ERROR), static_cast<int>(b), got, static_cast<int>(need));
}

// Decodes one payload by its kind.
int cso_decode_payload(const cso_layout& l, uint32_t b, block_kind kind, const unsigned char* p,
                       size_t len, unsigned char* dst, size_t room, const cso_scratch& s) {
    if (kind == BLOCK_LZ4) return lz4_payload(l, b, p, len, dst, s);
    if (kind != BLOCK_PLAIN) return inflate_payload(l, b, kind == BLOCK_ZLIB, p, len, dst, room, s);
    memcpy(dst, p, len);
    return CSO_OK;
}

int cso_decode(cso_reader* r, uint32_t b, unsigned char* dst) {
    if (!r->ahead.started) ahead_start(r);
    cso_place pl{};
    if (locate(r, b, &pl)) return read_error(r, b, CSO_BAD_BLOCK);
    const unsigned char* p = payload_at(r, pl.off, static_cast<size_t>(pl.len));
    int inside = pl.off <= r->src.size && pl.len <= r->src.size - pl.off;
    if (!p) return read_error(r, b, inside ? CSO_IO : CSO_BAD_BLOCK);
    cso_scratch s{r->z, r->z_mode, r->fault, sizeof r->fault};
    return cso_decode_payload(r->lay, b, pl.kind, p, static_cast<size_t>(pl.len), dst, r->lay.bs, s);
}

// Frees everything; the lent stream stays the caller's.
void cso_close(cso_reader* r) {
    ahead_stop(&r->ahead);
    if (r->own_z_mode) inflateEnd(&r->own_z);
    r->own_z_mode = 0;
    free(r->index);
    free(r->spans);
    free(r->dax_len);
    free(r->dax_nc);
    r->index = nullptr;
    r->spans = nullptr;
    r->dax_len = nullptr;
    r->dax_nc = nullptr;
}
