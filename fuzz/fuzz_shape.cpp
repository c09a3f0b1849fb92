// libFuzzer target: the deflate shape checker on arbitrary bytes, against zlib's inflate.
// A stream it takes as valid inflates to the same size and ends at the same byte; a
// stream zlib's inflate finishes, it takes as valid. And zlib's own stream of the input
// (repeated to one 2048-byte block, at the level the first byte picks) has none of the
// features, but for a stored block, which is 2048 bytes or more and so never a payload.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "deflate_shape.h"
#include "zblock.h"

namespace {

constexpr unsigned kBlock = 2048;

// Aborts (so libFuzzer keeps the input) when a promise was broken.
void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "vellicor fuzz: shape: %s\n", what);
    abort();
}

// What zlib's inflate makes of the bytes: whether it reaches the stream's end, the
// bytes it gives and the bytes it takes.
struct Inflated {
    bool ended;
    uint64_t out;
    size_t used;
};

// Inflates the bytes in 64 KiB pieces until the stream ends or inflate stops.
Inflated inflate_all(const uint8_t* data, size_t size) {
    static unsigned char piece[1 << 16];
    z_stream z;
    require(zb_inflate_open(&z) == Z_OK, "inflateInit2 failed");
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = static_cast<uInt>(size);
    int ret;
    do {
        z.next_out = piece;
        z.avail_out = sizeof piece;
        ret = inflate(&z, Z_NO_FLUSH);
    } while (ret == Z_OK);
    Inflated r{ret == Z_STREAM_END, z.total_out, z.total_in};
    inflateEnd(&z);
    return r;
}

// The bytes as a raw stream: the checker and zlib's inflate agree.
void check_against_inflate(const uint8_t* data, size_t size) {
    DeflateShape s = deflate_shape(data, size, kBlock);
    Inflated z = inflate_all(data, size);
    require(z.ended == !s.invalid, "valid for one of the checker and inflate only");
    if (!z.ended) return;
    require(z.out == s.output, "output size differs from inflate's");
    require(z.used == s.end, "stream end differs from inflate's");
    require(s.trailing == (s.end < size), "trailing bytes misreported");
    require(s.wrong_size == (s.output != kBlock), "size misreported");
}

// The bytes, repeated to one block, deflated by zlib: of zlib's shape (or stored).
void check_zlib_stream(const uint8_t* data, size_t size) {
    unsigned char in[kBlock], out[2 * kBlock];
    for (unsigned i = 0; i < kBlock; i++) in[i] = data[i % size];
    z_stream z;
    require(zb_deflate_open(&z, 1 + data[0] % 9) == Z_OK, "deflateInit2 failed");
    unsigned len = 0;
    int ret = zb_deflate_block(&z, in, kBlock, out, sizeof out, &len);
    require(ret == Z_STREAM_END, "deflate failed");
    deflateEnd(&z);
    DeflateShape s = deflate_shape(out, len, kBlock);
    if (s.stored) require(len >= kBlock && s.stored == 1 && s.blocks == 1, "short zlib stored block");
    s.stored = 0;
    require(deflate_shape_ok(s), "zlib's own stream not of zlib's shape");
}

}  // namespace

// Runs one input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_against_inflate(data, size);
    if (size > 0) check_zlib_stream(data, size);
    return 0;
}
