// One raw deflate or inflate stream reused from block to block.
#include "zblock.h"

#include <cstring>

// Opens a raw deflate stream (window -15, memLevel 8, default strategy); returns zlib's code.
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

// Deflates one block as a complete raw stream; returns deflate's code, sets *out_len.
int zb_deflate_block(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                     unsigned cap, unsigned* out_len) {
    deflateReset(z);
    set_buffers(z, in, len, out, cap);
    int ret = deflate(z, Z_FINISH);
    *out_len = cap - z->avail_out;
    return ret;
}

// Opens a raw inflate stream; returns zlib's code.
int zb_inflate_open(z_stream* z) {
    memset(z, 0, sizeof *z);
    return inflateInit2(z, -15);
}

// Inflates one payload with Z_FULL_FLUSH; returns inflate's code, sets *produced.
int zb_inflate_block(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                     unsigned cap, unsigned* produced) {
    inflateReset(z);
    set_buffers(z, in, len, out, cap);
    int ret = inflate(z, Z_FULL_FLUSH);
    *produced = cap - z->avail_out;
    return ret;
}

// Returns the stream's message, or `fallback` when it has none.
const char* zb_msg(const z_stream* z, const char* fallback) {
    return z->msg ? z->msg : fallback;
}
