// The deflate shape checker: one hand-made stream per feature zlib never writes, and
// zlib's own streams of every kind of block it writes for 2048 bytes, which have none.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "deflate_shape.h"
#include "zblock.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Names the features a shape reports, "" for zlib's shape.
std::string features(const DeflateShape& s) {
    if (s.invalid) return "invalid";
    std::string f;
    if (s.blocks > 1) f += " blocks";
    if (s.stored) f += " stored";
    if (s.incomplete_litlen) f += " litlen";
    if (s.incomplete_dist) f += " dist";
    if (s.few_dist) f += " few";
    if (s.crossing_runs) f += " cross";
    if (s.wrong_size) f += " size";
    if (s.trailing) f += " trailing";
    return f.empty() ? f : f.substr(1);
}

// Writes bits LSB first, as deflate packs them.
struct BitWriter {
    Bytes out;
    unsigned bits = 0;
    void put(unsigned v, int n) {
        for (int i = 0; i < n; i++, bits++) {
            if (bits % 8 == 0) out.push_back(0);
            out.back() |= static_cast<unsigned char>(((v >> i) & 1) << (bits % 8));
        }
    }
    void code(unsigned c, int len) {  // Huffman codes go most significant bit first
        for (int i = len - 1; i >= 0; i--) put((c >> i) & 1, 1);
    }
};

// The canonical codes of a list of lengths.
std::vector<unsigned> canonical(const std::vector<int>& lens) {
    int count[16] = {0};
    unsigned next[16] = {0};
    for (int l : lens) count[l]++;
    count[0] = 0;
    for (int b = 1; b < 16; b++) next[b] = (next[b - 1] + count[b - 1]) << 1;
    std::vector<unsigned> codes;
    for (int l : lens) codes.push_back(l ? next[l]++ : 0);
    return codes;
}

// A dynamic block: its lengths (literal/length then distance), the code-length symbols
// that send them (each with its extra bits; none: every length as itself) and literals.
struct Dynamic {
    int nlen;
    std::vector<int> lens;
    std::vector<std::pair<int, unsigned>> cl;
    std::string literals;
};

// Writes a dynamic block; its code-length code gives 4 bits to symbols 0-12, 5 to 13-18.
void put_dynamic(BitWriter& w, const Dynamic& d, bool final) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<int> cl_lens(19, 4);
    for (int s = 13; s < 19; s++) cl_lens[s] = 5;
    w.put(final, 1);
    w.put(2, 2);
    w.put(d.nlen - 257, 5);
    w.put(static_cast<unsigned>(d.lens.size()) - d.nlen - 1, 5);
    w.put(19 - 4, 4);
    for (int s : order) w.put(cl_lens[s], 3);
    std::vector<unsigned> cl_codes = canonical(cl_lens);
    auto cl = d.cl;
    if (cl.empty())
        for (int l : d.lens) cl.push_back({l, 0});
    for (auto [sym, extra] : cl) {
        w.code(cl_codes[sym], cl_lens[sym]);
        if (sym >= 16) w.put(extra, sym == 16 ? 2 : sym == 17 ? 3 : 7);
    }
    std::vector<int> lit(d.lens.begin(), d.lens.begin() + d.nlen);
    std::vector<unsigned> codes = canonical(lit);
    for (unsigned char c : d.literals) w.code(codes[c], lit[c]);
    w.code(codes[256], lit[256]);
}

// Literal/length lengths: 1 bit for 'a', 2 for end of block and for length 3.
std::vector<int> lit_lens(int nlen) {
    std::vector<int> l(nlen, 0);
    l['a'] = 1;
    l[256] = l[257] = 2;
    return l;
}

// Joins lengths.
std::vector<int> cat(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One whole stream of dynamic blocks.
Bytes dynamic_stream(const Dynamic& d) {
    BitWriter w;
    put_dynamic(w, d, true);
    return w.out;
}

// The zlib-like dynamic block every row starts from: "aaa", two complete codes.
const Dynamic kGood{258, cat(lit_lens(258), {1, 1}), {}, "aaa"};

// The sequence of code-length symbols that sends lens as themselves, from index i on.
std::vector<std::pair<int, unsigned>> as_is(const std::vector<int>& lens, size_t from, size_t to) {
    std::vector<std::pair<int, unsigned>> s;
    for (size_t i = from; i < to; i++) s.push_back({lens[i], 0});
    return s;
}

// Concatenates code-length symbol sequences.
std::vector<std::pair<int, unsigned>> seq(std::vector<std::pair<int, unsigned>> a,
                                          const std::vector<std::pair<int, unsigned>>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Row {
    const char* what;
    Bytes stream;
    uint64_t expected;
    const char* verdict;
};

std::vector<Row> hand_made_rows() {
    Bytes good = dynamic_stream(kGood);
    BitWriter two;
    put_dynamic(two, kGood, false);
    two.put(1, 1);  // a final fixed block with its end only
    two.put(1, 2);
    two.code(0, 7);
    Bytes stored = {0x01, 3, 0, 0xFC, 0xFF, 'a', 'b', 'c'};
    Dynamic lone_end{257, cat(std::vector<int>(256, 0), {1, 1, 1}), {}, ""};
    Dynamic half_dist = kGood, one_dist = kGood;
    half_dist.lens = cat(lit_lens(258), {1, 0});
    one_dist.lens = cat(lit_lens(258), {1});
    // Zeros from the last literal/length length into the first two distance lengths.
    Dynamic across{259, cat(lit_lens(259), {0, 0, 1, 1}), {}, "aaa"};
    across.cl = seq(as_is(across.lens, 0, 258), {{17, 0}, {1, 0}, {1, 0}});
    // The distance lengths begin by repeating the last literal/length length (2).
    Dynamic repeat_into{258, cat(lit_lens(258), {2, 2, 2, 2}), {}, "aaa"};
    repeat_into.cl = seq(as_is(repeat_into.lens, 0, 258), {{16, 0}, {2, 0}});
    Dynamic over = kGood;
    over.lens['b'] = 1;
    Bytes trailing = good, cut(good.begin(), good.end() - 1);
    trailing.push_back(0);
    return {
        {"zlib-like dynamic block", good, 3, ""},
        {"two blocks", two.out, 3, "blocks"},
        {"stored block", stored, 3, "stored"},
        {"end of block the only literal/length code", dynamic_stream(lone_end), 0, "litlen"},
        {"one of two distance codes unused", dynamic_stream(half_dist), 3, "dist"},
        {"one distance code declared", dynamic_stream(one_dist), 3, "dist few"},
        {"zero run across the two tables", dynamic_stream(across), 3, "cross"},
        {"repeat of a literal/length length", dynamic_stream(repeat_into), 3, "cross"},
        {"other than the expected size", good, 4, "size"},
        {"a byte after the stream", trailing, 3, "trailing"},
        {"cut short", cut, 3, "invalid"},
        {"reserved block type", {0x07, 0, 0}, 0, "invalid"},
        {"over-subscribed code", dynamic_stream(over), 3, "invalid"},
    };
}

TEST(DeflateShape, EachFeatureOfAHandMadeStreamIsReported) {
    for (const Row& r : hand_made_rows()) {
        DeflateShape s = deflate_shape(r.stream.data(), r.stream.size(), r.expected);
        EXPECT_EQ(features(s), r.verdict) << r.what;
        EXPECT_EQ(deflate_shape_ok(s), std::string(r.verdict).empty()) << r.what;
        // Whatever zlib's inflate accepts, it decodes to the same size and end.
        z_stream z;
        ASSERT_EQ(zb_inflate_open(&z), Z_OK);
        unsigned char out[64];
        z.next_in = const_cast<unsigned char*>(r.stream.data());
        z.avail_in = static_cast<unsigned>(r.stream.size());
        z.next_out = out;
        z.avail_out = sizeof out;
        bool ended = inflate(&z, Z_FINISH) == Z_STREAM_END;
        EXPECT_EQ(ended, !s.invalid) << r.what;
        if (ended) {
            EXPECT_EQ(z.total_out, s.output) << r.what;
            EXPECT_EQ(z.total_in, s.end) << r.what;
        }
        inflateEnd(&z);
    }
}

// 2048 bytes of one kind: the kinds give each block type zlib writes.
Bytes block_of(int kind) {
    Bytes b;
    uint32_t x = 2463534242u;
    for (int a = 0; kind == 1 && b.size() < 2048; a++) {  // no byte pair twice: literals only
        b.push_back(static_cast<unsigned char>('0' + a));
        for (int c = a + 1; c < 46; c++) b.insert(b.end(), {static_cast<unsigned char>('0' + a),
                                                             static_cast<unsigned char>('0' + c)});
    }
    if (kind == 2) b = block_of(1), std::copy(b.begin(), b.begin() + 1024, b.begin() + 1024);
    for (int i = 0; kind == 3 && b.size() < 2048; i++)
        for (char c : "file " + std::to_string(i * 37 % 101) + " size " + std::to_string(i * i) + "\n")
            b.push_back(static_cast<unsigned char>(c));
    while (kind == 4 && b.size() < 2048) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b.push_back(static_cast<unsigned char>(x >> 24));
    }
    b.resize(2048);  // kind 0: zeros
    return b;
}

TEST(DeflateShape, ZlibsOwnStreamsHaveNoneOfTheFeatures) {
    // kind: zeros, literals only, one distance, text, noise; the block type zlib writes.
    const int types[] = {1, 2, 2, 2, 0};
    for (int kind = 0; kind < 5; kind++) {
        Bytes in = block_of(kind);
        for (int level : {1, 6, 9}) {
            z_stream z;
            ASSERT_EQ(zb_deflate_open(&z, level), Z_OK);
            unsigned char out[4096];
            unsigned len = 0;
            ASSERT_EQ(zb_deflate_block(&z, in.data(), 2048, out, sizeof out, &len), Z_STREAM_END);
            deflateEnd(&z);
            DeflateShape s = deflate_shape(out, len, 2048);
            EXPECT_EQ((out[0] >> 1) & 3, types[kind]) << kind << " at " << level;
            // A stored block is never a payload: the converter stores the block plain.
            EXPECT_EQ(features(s), kind == 4 ? "stored" : "") << kind << " at " << level;
            if (kind == 4) {
                EXPECT_GE(len, 2048u);
            }
        }
    }
}

}  // namespace
