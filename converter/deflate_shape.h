// The shape of one raw deflate stream: which features it has that zlib's deflate never
// writes for a 2048-byte block. Handheld firmware is reported to start games only from
// payloads of zlib's shape: one final Huffman-coded block (fixed or dynamic), complete
// codes, at least two distance codes, the literal/length and the distance code lengths
// sent apart, nothing after the stream.
//
// zlib 1.2.13 (levels 1 to 9, one deflate call with Z_FINISH) writes one block for a
// 2048-byte input; a dynamic block always declares two or more distance codes, at
// least two with a nonzero length (it adds codes when fewer are used), and encodes the
// two tables' lengths each on its own. For input it cannot shrink it writes one stored
// block, 2053 bytes for 2048: the converter stores such a block plain, so a stored block
// never reaches a payload and is reported here as a feature like the others.
#pragma once
#include <cstddef>
#include <cstdint>

// What the stream holds. Counts are over the blocks read; when `invalid`, reading stopped
// at the fault, and output, end, wrong_size and trailing are not set.
struct DeflateShape {
    bool invalid = false;     // zlib's inflate refuses it, or it ends before its final block
    unsigned blocks = 0;      // blocks begun
    unsigned stored = 0;      // stored blocks
    unsigned incomplete_litlen = 0;  // dynamic blocks with an incomplete literal/length code
    unsigned incomplete_dist = 0;    // ... with an incomplete (or empty) distance code
    unsigned few_dist = 0;    // ... declaring fewer than two distance codes (HDIST 0)
    unsigned crossing_runs = 0;  // code-length repeats that start in the literal/length
                                 // lengths and reach the distance lengths, or repeat the
                                 // last literal/length length as the first distance length
    uint64_t output = 0;      // bytes the stream decodes to
    size_t end = 0;           // bytes the stream takes, its last partial byte included
    bool wrong_size = false;  // output differs from the expected size
    bool trailing = false;    // bytes follow the stream
};

// Reads in[0..len) as one raw deflate stream, by zlib's inflate rules of what is valid,
// and reports its shape against `expected` output bytes. Any input: time linear in len,
// no memory beyond a few KiB of stack.
DeflateShape deflate_shape(const unsigned char* in, size_t len, uint64_t expected);
// True when the stream is valid and has none of the features above: zlib's shape.
bool deflate_shape_ok(const DeflateShape& s);
