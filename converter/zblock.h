// One raw deflate or inflate stream reused from block to block.
// deflateReset/inflateReset give the same bytes as a fresh deflateInit2/inflateInit2,
// without handing the stream's ~268 KiB back to the allocator for every 2 KiB block.
#pragma once
#include <zlib.h>

// Opens a raw deflate stream (window -15, memLevel 8, default strategy); returns zlib's code.
int zb_deflate_open(z_stream* z, int lvl);
// Deflates in[0..len) as one complete raw stream into out[0..cap); returns deflate's
// code (Z_STREAM_END on success) and sets *out_len to the bytes produced.
int zb_deflate_block(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                     unsigned cap, unsigned* out_len);
// Opens a raw inflate stream; returns zlib's code.
int zb_inflate_open(z_stream* z);
// Inflates one stored payload into out[0..cap), which it is expected to fill; returns
// inflate's code (Z_STREAM_END on success) and sets *produced to the bytes written. A
// payload that does not fill exactly cap bytes is decoded by zlib with Z_FULL_FLUSH, so
// the code, *produced, out and the stream's message are then zlib's own.
int zb_inflate_block(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                     unsigned cap, unsigned* produced);
// As zb_inflate_block, but the fast decoder writes straight into out[0..room) (room at
// least cap), so after a failure the bytes of out past *produced are undefined (code,
// *produced and message are zlib's). Room past cap makes the decoding faster.
int zb_inflate_into(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                    unsigned cap, unsigned room, unsigned* produced);
// As zb_inflate_into for a zlib stream (two-byte header, deflate, Adler-32) that must give
// exactly cap bytes; the stream (opened by zb_inflate_open) is switched to zlib's framing,
// so a failure's code and message are zlib's own for that stream.
int zb_zlib_inflate_into(z_stream* z, const unsigned char* in, unsigned len, unsigned char* out,
                         unsigned cap, unsigned room, unsigned* produced);
// Returns the stream's message, or `fallback` when it has none.
const char* zb_msg(const z_stream* z, const char* fallback);
