// The engines' image: plain, or decoded block by block through the block reader.
#include "image_source.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "cso_reader.h"
#include "messages.h"

struct img_source {
    cso_source src;       // the file
    image_format format;  // FORMAT_NONE: a plain image
    uint64_t size;        // image bytes
    cso_reader r;         // the compressed file's header and index (read only once open)
};

// The payloads of the whole blocks one read asks for are read from the file at once, up
// to this many bytes: one call instead of one a block (a claim of the threaded engine is
// 16 blocks).
constexpr size_t AHEAD_BYTES = 64 * 1024;

struct image_cursor {
    const img_source* src;
    unsigned char* payload;  // one stored payload (two blocks at most)
    unsigned char* block;    // one decoded block
    unsigned char* ahead;    // payloads read at once (AHEAD_BYTES)
    uint64_t ahead_off;      // the file offset of ahead[0]
    size_t ahead_len;        // the bytes ahead holds
    long long held;          // the block in `block`, or -1
    long long failed;        // the block that last failed to decode, or -1
    int failed_status;       // its status
    img_fault failed_fault;  // and its fault
    z_stream z;
    int z_mode;
    char fault[160];
};

// Sets the fault's block and line; returns status.
static int fault_at(img_fault* f, long long block, int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(f->line, sizeof f->line, format, args);
    va_end(args);
    f->block = block;
    return status;
}

// Opens a compressed file's reader into s; returns its status.
static int open_compressed(img_source* s, img_fault* fault) {
    int status = cso_open(&s->r, s->src, 0);
    if (status) return fault_at(fault, -1, status, "%s", s->r.fault);
    s->size = cso_held_bytes(s->r.lay);
    s->format = s->r.lay.format;
    return CSO_OK;
}

// A known magic decides; a file too short for one is a plain image.
int img_open_source(const cso_source& src, img_source** out, img_fault* fault) {
    *out = nullptr;
    img_source* s = static_cast<img_source*>(calloc(1, sizeof(img_source)));
    if (!s) return fault_at(fault, -1, CSO_NO_MEMORY, msg(MSG_NO_MEMORY));
    s->src = src;
    unsigned char magic[CSO_MAGIC_SIZE] = {};
    bool whole = src.size >= sizeof magic && src.read_at(src.ctx, 0, magic, sizeof magic) == sizeof magic;
    s->format = whole ? format_of_magic(magic) : FORMAT_NONE;
    s->size = src.size;
    int status = s->format == FORMAT_NONE ? CSO_OK : open_compressed(s, fault);
    if (status) {
        img_close(s);
        return status;
    }
    *out = s;
    return CSO_OK;
}

int img_open(FILE* f, img_source** out, img_fault* fault) {
    return img_open_source(cso_stream_source(f), out, fault);
}

uint64_t img_size(const img_source* s) {
    return s->size;
}

uint64_t img_unheld_bytes(const img_source* s) {
    if (s->format == FORMAT_NONE || s->r.lay.total <= s->size) return 0;
    return s->r.lay.total - s->size;
}

image_format img_format(const img_source* s) {
    return s->format;
}

// A plain image needs no buffers.
image_cursor* img_cursor_new(const img_source* s) {
    image_cursor* c = static_cast<image_cursor*>(calloc(1, sizeof(image_cursor)));
    if (!c) return nullptr;
    c->src = s;
    c->held = -1;
    c->failed = -1;
    if (s->format == FORMAT_NONE) return c;
    uint32_t bs = s->r.lay.bs;
    c->payload = static_cast<unsigned char*>(malloc(static_cast<size_t>(cso_payload_most(bs))));
    c->block = static_cast<unsigned char*>(malloc(bs));
    c->ahead = static_cast<unsigned char*>(malloc(AHEAD_BYTES));
    if (c->payload && c->block && c->ahead) return c;
    img_cursor_free(c);
    return nullptr;
}

// Reads a plain image's bytes; a short read names the block it stopped in.
static int read_plain(image_cursor* c, uint64_t off, void* buf, size_t len, img_fault* fault) {
    const cso_source& src = c->src->src;
    size_t got = src.read_at(src.ctx, off, buf, len);
    if (got == len) return CSO_OK;
    long long b = static_cast<long long>((off + got) / BLOCK);
    return fault_at(fault, b, CSO_IO, msg(MSG_BLOCK_READ_ERROR), static_cast<int>(b));
}

// Reads at once the payloads of blocks b to b + n - 1 that follow one another in the
// file, as many as AHEAD_BYTES holds. A payload it does not hold is read on its own by
// decode_into, so a fault is found and worded as without it.
static void read_ahead(image_cursor* c, uint32_t b, uint32_t n) {
    const cso_reader& r = c->src->r;
    cso_place first{}, pl{};
    if (n < 2 || cso_locate(&r, b, &first)) return;
    uint64_t end = first.off + first.len;
    for (uint32_t i = 1; i < n && !cso_locate(&r, b + i, &pl); i++) {
        if (pl.off < end || pl.off + pl.len - first.off > AHEAD_BYTES) break;
        end = pl.off + pl.len;
    }
    if (end - first.off > AHEAD_BYTES) return;
    c->ahead_off = first.off;
    c->ahead_len = r.src.read_at(r.src.ctx, first.off, c->ahead, static_cast<size_t>(end - first.off));
}

// Returns block b's payload (pl), from what read_ahead holds or read on its own into the
// cursor's payload buffer; nullptr when it can't be read.
static const unsigned char* payload_of(image_cursor* c, const cso_place& pl) {
    if (pl.off >= c->ahead_off && pl.len <= c->ahead_len && pl.off - c->ahead_off <= c->ahead_len - pl.len)
        return c->ahead + (pl.off - c->ahead_off);
    const cso_source& src = c->src->r.src;
    size_t len = static_cast<size_t>(pl.len);
    return src.read_at(src.ctx, pl.off, c->payload, len) == len ? c->payload : nullptr;
}

// Decodes block b into dst (room bytes, at least a block's); returns CSO_OK or the failure.
static int decode_block(image_cursor* c, uint32_t b, unsigned char* dst, size_t room, img_fault* fault) {
    const cso_reader& r = c->src->r;
    cso_place pl{};
    if (cso_locate(&r, b, &pl)) return fault_at(fault, b, CSO_BAD_BLOCK, msg(MSG_BLOCK_READ_ERROR), static_cast<int>(b));
    const unsigned char* p = payload_of(c, pl);
    if (!p) {
        bool inside = pl.off <= r.src.size && pl.len <= r.src.size - pl.off;
        return fault_at(fault, b, inside ? CSO_IO : CSO_BAD_BLOCK, msg(MSG_BLOCK_READ_ERROR), static_cast<int>(b));
    }
    cso_scratch s{&c->z, &c->z_mode, c->fault, sizeof c->fault};
    int status = cso_decode_payload(r.lay, b, pl.kind, p, static_cast<size_t>(pl.len), dst, room, s);
    return status ? fault_at(fault, b, status, "%s", c->fault) : CSO_OK;
}

// decode_block, but a block that failed fails again at once: the file does not change,
// and readers of small pieces (the ISO scan reads a record at a time) would otherwise
// decode a large block that fails once for every piece of it.
static int decode_into(image_cursor* c, uint32_t b, unsigned char* dst, size_t room, img_fault* fault) {
    if (c->failed == static_cast<long long>(b)) {
        *fault = c->failed_fault;
        return c->failed_status;
    }
    int status = decode_block(c, b, dst, room, fault);
    if (status) c->failed = b, c->failed_status = status, c->failed_fault = *fault;
    return status;
}

// Copies n bytes from `at` in block b into out, decoding the block into the cursor's own
// buffer unless it holds it already; returns CSO_OK or the failure.
static int copy_from_block(image_cursor* c, uint32_t b, uint32_t at, size_t n, unsigned char* out,
                           img_fault* fault) {
    if (c->held != b) {
        c->held = -1;
        if (int status = decode_into(c, b, c->block, c->src->r.lay.bs, fault)) return status;
        c->held = b;
    }
    memcpy(out, c->block + at, n);
    return CSO_OK;
}

// Whole blocks go straight into buf; a block read in part is decoded into the cursor's
// block and kept there for the next read.
int img_read(image_cursor* c, uint64_t off, void* buf, size_t len, img_fault* fault) {
    if (c->src->format == FORMAT_NONE) return read_plain(c, off, buf, len, fault);
    const cso_layout& l = c->src->r.lay;
    unsigned char* out = static_cast<unsigned char*>(buf);
    c->ahead_len = 0;  // only this read's payloads are held
    if (off % l.bs == 0 && off / l.bs < l.blocks) {
        uint64_t b = off / l.bs, n = len / l.bs < l.blocks - b ? len / l.bs : l.blocks - b;
        read_ahead(c, static_cast<uint32_t>(b), static_cast<uint32_t>(n));
    }
    while (len > 0) {
        uint32_t b = static_cast<uint32_t>(off / l.bs), at = static_cast<uint32_t>(off % l.bs);
        if (off / l.bs >= l.blocks) return fault_at(fault, b, CSO_BAD_BLOCK, msg(MSG_BLOCK_READ_ERROR), static_cast<int>(b));
        size_t n = cso_block_bytes(l, b) - at;
        n = n < len ? n : len;
        bool whole = at == 0 && len >= l.bs;  // room for all the decoder may write
        int status = whole ? decode_into(c, b, out, len, fault) : copy_from_block(c, b, at, n, out, fault);
        if (status) return status;
        out += n, off += n, len -= n;
    }
    return CSO_OK;
}

void img_cursor_free(image_cursor* c) {
    if (!c) return;
    if (c->z_mode) inflateEnd(&c->z);
    free(c->payload);
    free(c->block);
    free(c->ahead);
    free(c);
}

// Frees the reader; the file stays the caller's.
void img_close(img_source* s) {
    if (!s) return;
    if (s->format != FORMAT_NONE) cso_close(&s->r);
    free(s);
}
