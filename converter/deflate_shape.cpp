// Reads a raw deflate stream's block headers and code lengths itself (no library exposes
// them), and decodes its symbols without keeping the output: only the output's size and
// the distances' reach into it decide validity, so no window is needed.
#include "deflate_shape.h"

namespace {

constexpr int kMaxBits = 15;         // longest code
constexpr int kMaxLitLen = 286;      // literal/length codes a dynamic block may declare
constexpr int kMaxDist = 30;         // distance codes likewise
constexpr int kFixedLitLen = 288;    // the fixed code's symbols (286 and 287 decode as invalid)
constexpr int kFixedDist = 32;       // likewise (30 and 31 decode as invalid)
constexpr int kEndOfBlock = 256;
constexpr int kFirstLength = 257;    // symbols from here on are lengths
constexpr int kCodeLenCodes = 19;
constexpr unsigned char kCodeLenOrder[kCodeLenCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};
constexpr unsigned short kLenBase[] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                       15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr unsigned char kLenExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned short kDistBase[] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr unsigned char kDistExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// LSB-first bits of the input; past its end it reads zeros and sets `over`.
struct Bits {
    const unsigned char* in;
    size_t len;
    uint64_t pos = 0;  // in bits
    bool over = false;

    unsigned take(int n) {
        unsigned v = 0;
        for (int i = 0; i < n; i++, pos++) {
            if (pos / 8 >= len) {
                over = true;
                return 0;
            }
            v |= ((in[pos / 8] >> (pos % 8)) & 1u) << i;
        }
        return v;
    }
};

// A canonical code: how many codes of each length, and the symbols in code order.
struct Huffman {
    unsigned short count[kMaxBits + 1];
    unsigned short symbol[kFixedLitLen];
};

// The stream being read and what is known of it so far.
struct Reader {
    Bits bits;
    DeflateShape shape;
};

// Builds h from n code lengths; returns the code space left unused, in units of the
// longest code: 0 complete, above 0 incomplete, below 0 over-subscribed (h then unusable).
int build(Huffman& h, const unsigned char* lens, int n) {
    for (unsigned short& c : h.count) c = 0;
    for (int i = 0; i < n; i++) h.count[lens[i]]++;
    int left = 1;
    for (int len = 1; len <= kMaxBits; len++) {
        left = 2 * left - h.count[len];
        if (left < 0) return left;
    }
    unsigned short offs[kMaxBits + 1] = {0, 0};
    for (int len = 1; len < kMaxBits; len++) offs[len + 1] = offs[len] + h.count[len];
    for (int i = 0; i < n; i++)
        if (lens[i]) h.symbol[offs[lens[i]]++] = static_cast<unsigned short>(i);
    return left;
}

// True when zlib's inflate takes an incomplete code: none at all, or one of length 1.
bool zlib_takes_incomplete(const Huffman& h) {
    for (int len = 2; len <= kMaxBits; len++)
        if (h.count[len]) return false;
    return h.count[1] <= 1;
}

// Decodes one symbol; returns -1 for a bit pattern the code leaves unused.
int decode(Bits& b, const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; len++) {
        code |= static_cast<int>(b.take(1));
        int count = h.count[len];
        if (code - first < count) return h.symbol[index + code - first];
        index += count;
        first = (first + count) << 1;
        code <<= 1;
    }
    return -1;
}

// Reads the length and distance that follow length symbol sym; false when invalid.
bool match(Reader& r, int sym, const Huffman& dist) {
    int i = sym - kFirstLength;
    if (i >= static_cast<int>(sizeof kLenBase / sizeof kLenBase[0])) return false;
    unsigned length = kLenBase[i] + r.bits.take(kLenExtra[i]);
    int d = decode(r.bits, dist);
    if (d < 0 || d >= kMaxDist) return false;
    unsigned distance = kDistBase[d] + r.bits.take(kDistExtra[d]);
    if (r.bits.over || distance > r.shape.output) return false;
    r.shape.output += length;
    return true;
}

// Decodes a Huffman-coded block's symbols up to its end; false when invalid.
bool codes(Reader& r, const Huffman& lit, const Huffman& dist) {
    for (;;) {
        int sym = decode(r.bits, lit);
        if (r.bits.over || sym < 0) return false;
        if (sym == kEndOfBlock) return true;
        if (sym < kEndOfBlock) r.shape.output++;
        else if (!match(r, sym, dist)) return false;
    }
}

// Reads a stored block after its header; false when invalid.
bool stored(Reader& r) {
    r.shape.stored++;
    r.bits.pos = (r.bits.pos + 7) / 8 * 8;
    unsigned len = r.bits.take(16), nlen = r.bits.take(16);
    if (r.bits.over || len != (~nlen & 0xFFFFu)) return false;
    if (r.bits.len - r.bits.pos / 8 < len) return false;
    r.bits.pos += 8ull * len;
    r.shape.output += len;
    return true;
}

// The fixed block's codes, built once.
struct FixedCodes {
    Huffman lit, dist;
    FixedCodes() {
        unsigned char lens[kFixedLitLen];
        for (int i = 0; i < kFixedLitLen; i++)
            lens[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        build(lit, lens, kFixedLitLen);
        for (int i = 0; i < kFixedDist; i++) lens[i] = 5;
        build(dist, lens, kFixedDist);
    }
};

// Reads a fixed-code block after its header; false when invalid.
bool fixed(Reader& r) {
    static const FixedCodes codes_of_fixed;
    return codes(r, codes_of_fixed.lit, codes_of_fixed.dist);
}

// Reads a repeat code's run into lens[*i..); false when invalid. Counts the run when it
// carries literal/length lengths into the distance lengths.
bool repeat(Reader& r, int sym, unsigned char* lens, int* i, int nlen, int total) {
    if (sym == 16 && *i == 0) return false;
    unsigned char value = sym == 16 ? lens[*i - 1] : 0;
    unsigned extra = sym == 16 ? r.bits.take(2) : sym == 17 ? r.bits.take(3) : r.bits.take(7);
    int run = (sym == 18 ? 11 : 3) + static_cast<int>(extra);
    if (r.bits.over || *i + run > total) return false;
    if ((*i < nlen && *i + run > nlen) || (sym == 16 && *i == nlen)) r.shape.crossing_runs++;
    for (int k = 0; k < run; k++) lens[(*i)++] = value;
    return true;
}

// Reads the nlen + ndist code lengths with the code-length code cl; false when invalid.
bool lengths(Reader& r, const Huffman& cl, unsigned char* lens, int nlen, int ndist) {
    int i = 0, total = nlen + ndist;
    while (i < total) {
        int sym = decode(r.bits, cl);
        if (r.bits.over || sym < 0) return false;
        if (sym < 16) lens[i++] = static_cast<unsigned char>(sym);
        else if (!repeat(r, sym, lens, &i, nlen, total)) return false;
    }
    return true;
}

// Reads the code-length code and the lengths it codes into lens; false when invalid.
bool read_lengths(Reader& r, unsigned char* lens, int nlen, int ndist) {
    int ncode = 4 + static_cast<int>(r.bits.take(4));
    unsigned char cl_lens[kCodeLenCodes] = {0};
    for (int i = 0; i < ncode; i++)
        cl_lens[kCodeLenOrder[i]] = static_cast<unsigned char>(r.bits.take(3));
    Huffman cl;
    if (r.bits.over || build(cl, cl_lens, kCodeLenCodes) != 0) return false;
    return lengths(r, cl, lens, nlen, ndist) && lens[kEndOfBlock] != 0;
}

// Builds one of a dynamic block's codes; false when zlib's inflate refuses it. Counts
// an incomplete one in *incomplete (an over-subscribed one is not incomplete, only invalid).
bool dynamic_code(Huffman& h, const unsigned char* lens, int n, unsigned* incomplete) {
    int left = build(h, lens, n);
    if (left == 0) return true;
    if (left < 0) return false;
    (*incomplete)++;
    return zlib_takes_incomplete(h);
}

// Reads a dynamic block after its header; false when invalid.
bool dynamic(Reader& r) {
    int nlen = 257 + static_cast<int>(r.bits.take(5));
    int ndist = 1 + static_cast<int>(r.bits.take(5));
    if (r.bits.over || nlen > kMaxLitLen || ndist > kMaxDist) return false;
    if (ndist < 2) r.shape.few_dist++;
    unsigned char lens[kMaxLitLen + kMaxDist];
    if (!read_lengths(r, lens, nlen, ndist)) return false;
    Huffman lit, dist;
    return dynamic_code(lit, lens, nlen, &r.shape.incomplete_litlen) &&
           dynamic_code(dist, lens + nlen, ndist, &r.shape.incomplete_dist) && codes(r, lit, dist);
}

// Reads one block; sets *last for the final one; false when invalid.
bool block(Reader& r, bool* last) {
    *last = r.bits.take(1) != 0;
    unsigned type = r.bits.take(2);
    r.shape.blocks++;
    if (r.bits.over) return false;
    if (type == 0) return stored(r);
    if (type == 1) return fixed(r);
    return type == 2 && dynamic(r);
}

}  // namespace

// Reads the stream block by block up to its final block or its first fault.
DeflateShape deflate_shape(const unsigned char* in, size_t len, uint64_t expected) {
    Reader r{Bits{in, len}, DeflateShape{}};
    bool last = false;
    while (!last)
        if (!block(r, &last)) {
            r.shape.invalid = true;
            return r.shape;
        }
    r.shape.end = static_cast<size_t>((r.bits.pos + 7) / 8);
    r.shape.wrong_size = r.shape.output != expected;
    r.shape.trailing = r.shape.end < len;
    return r.shape;
}

bool deflate_shape_ok(const DeflateShape& s) {
    return !s.invalid && s.blocks == 1 && s.stored == 0 && s.incomplete_litlen == 0 &&
           s.incomplete_dist == 0 && s.few_dist == 0 && s.crossing_runs == 0 && !s.wrong_size &&
           !s.trailing;
}
