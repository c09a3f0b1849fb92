// One raw deflate or inflate stream reused from block to block.
#include "zblock.h"

#include <libdeflate.h>

#include <cstring>
#include <vector>

namespace {

// The calling thread's decompressor and its output buffer: made on first use, freed
// when the thread ends. The block is decoded into the buffer, so a block it refuses
// leaves the caller's output as it was for zlib.
struct ThreadDecoder {
    libdeflate_decompressor* d = nullptr;
    std::vector<unsigned char> block;
    ~ThreadDecoder() { libdeflate_free_decompressor(d); }
};
thread_local ThreadDecoder thread_decoder;

}  // namespace

// Returns the calling thread's decompressor, made at its first use (nullptr when it can't be).
static libdeflate_decompressor* thread_decompressor() {
    ThreadDecoder& t = thread_decoder;
    if (!t.d) t.d = libdeflate_alloc_decompressor();
    return t.d;
}

// One of libdeflate's decoders: raw deflate or zlib's framing (the same signature).
using fast_decoder = decltype(&libdeflate_deflate_decompress);

// True when the deflate stream at in[0..len) opens with a dynamic block declaring more
// than the 286 literal/length or 30 distance codes the format allows. libdeflate sizes
// its tables for 288 and 32 and decodes such a block; zlib refuses it, so zlib judges.
// (Only the first block is looked at: finding the next one means decoding this one.)
static bool declares_too_many_codes(const unsigned char* in, unsigned len) {
    if (len < 2) return false;
    unsigned head = in[0] | static_cast<unsigned>(in[1]) << 8;  // BFINAL, BTYPE, HLIT, HDIST
    return ((head >> 1) & 3) == 2 && (((head >> 3) & 31) > 29 || ((head >> 8) & 31) > 29);
}

// Decodes in[0..len) straight into out[0..room) with the thread's decompressor; true only
// when it is valid and gives exactly cap bytes (else out holds whatever it left). Room
// past cap lets the decoder's fast loop run to the block's end. `framing` is the bytes
// before the deflate stream: 0 raw, 2 for zlib's header.
static bool fast_inflate_into(fast_decoder decode, unsigned framing, const unsigned char* in,
                              unsigned len, unsigned char* out, unsigned cap, unsigned room) {
    libdeflate_decompressor* d = thread_decompressor();
    size_t got = 0;
    if (!d || cap == 0 || len < framing || declares_too_many_codes(in + framing, len - framing))
        return false;
    return decode(d, in, len, out, room, &got) == LIBDEFLATE_SUCCESS && got == cap;
}

// Records a fast decoder's success on the stream as zlib would; returns Z_STREAM_END.
static int fast_done(z_stream* z, unsigned cap, unsigned* produced) {
    z->msg = Z_NULL;
    *produced = cap;
    return Z_STREAM_END;
}

// Decodes in[0..len) as one raw deflate stream into out[0..cap) with the thread's
// decompressor, through its own buffer; true only when it is valid and gives exactly cap
// bytes, else out is untouched. (It still takes a few streams zlib refuses: too many codes
// declared by a block after the first, a code-length repeat running past the lengths
// declared, a fixed block's symbols 286 and 287 taken as lengths of 258.)
static bool fast_inflate(const unsigned char* in, unsigned len, unsigned char* out, unsigned cap) {
    std::vector<unsigned char>& block = thread_decoder.block;
    if (block.size() < cap) block.resize(cap);
    if (!fast_inflate_into(libdeflate_deflate_decompress, 0, in, len, block.data(), cap, cap)) return false;
    memcpy(out, block.data(), cap);
    return true;
}

int zb_deflate_open(z_stream* z, int lvl) {
    memset(z, 0, sizeof *z);  // null zalloc/zfree/opaque: zlib's own allocator
    return deflateInit2(z, lvl, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
}

// Points the stream at in[0..len) and out[0..cap).
static void set_buffers(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                        unsigned cap) {
    z->next_in = const_cast<unsigned char*>(in);
    z->avail_in = len;
    z->next_out = out;
    z->avail_out = cap;
}

int zb_deflate_block(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                     unsigned cap, unsigned* out_len) {
    deflateReset(z);
    set_buffers(z, in, len, out, cap);
    int ret = deflate(z, Z_FINISH);
    *out_len = cap - z->avail_out;
    return ret;
}

int zb_inflate_open(z_stream* z) {
    memset(z, 0, sizeof *z);
    return inflateInit2(z, -15);
}

// Inflates zlib's way after the fast decoder refused, with the window bits that choose raw
// deflate (-15) or zlib's framing (15); returns inflate's code, sets *produced.
static int zlib_inflate(z_stream* z, int window, const unsigned char* in, unsigned len,
                        unsigned char* out, unsigned cap, unsigned* produced) {
    inflateReset2(z, window);
    set_buffers(z, in, len, out, cap);
    int ret = inflate(z, Z_FULL_FLUSH);
    *produced = cap - z->avail_out;
    return ret;
}

int zb_inflate_block(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                     unsigned cap, unsigned* produced) {
    if (fast_inflate(in, len, out, cap)) return fast_done(z, cap, produced);
    return zlib_inflate(z, -15, in, len, out, cap, produced);
}

// Inflates one payload straight into out: the fast decoder, then zlib when it refuses.
// Returns inflate's code, sets *produced.
int zb_inflate_into(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                    unsigned cap, unsigned room, unsigned* produced) {
    if (!fast_inflate_into(libdeflate_deflate_decompress, 0, in, len, out, cap, room))
        return zlib_inflate(z, -15, in, len, out, cap, produced);
    return fast_done(z, cap, produced);
}

int zb_zlib_inflate_into(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                         unsigned cap, unsigned room, unsigned* produced) {
    if (!fast_inflate_into(libdeflate_zlib_decompress, 2, in, len, out, cap, room))
        return zlib_inflate(z, 15, in, len, out, cap, produced);
    return fast_done(z, cap, produced);
}

const char* zb_msg(const z_stream* z, const char* fallback) {
    return z->msg ? z->msg : fallback;
}
