// Streams of zlib's shape. The checker: one hand-made stream per feature zlib never
// writes, and zlib's own streams of every kind of block it writes for 2048 bytes, which
// have none. The -best encoder: its streams are of zlib's shape, decode to the block, are
// never longer than zlib 9's, shorter for some blocks even where a shorter zopfli stream
// is refused for its shape, and the same bytes on another thread.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "cso_format.h"
#include "deflate_shape.h"
#include "test_util.h"
#include "zbest.h"
#include "zblock.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Names the features a shape reports, "" for zlib's shape (an invalid one's, up to its fault).
std::string features(const DeflateShape& s) {
    std::string f = s.invalid ? " invalid" : "";
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

// Returns the bytes of a hex string.
Bytes bytes(const char* hex) {
    std::string b = from_hex(hex);
    return Bytes(b.begin(), b.end());
}

struct Row {
    const char* what;
    const char* hex;
    uint64_t expected;
    const char* verdict;
};

// Hand-made streams. Their dynamic blocks share one code-length code (4 bits for lengths
// 0 to 12, 5 for 13 to 18), send zero runs with codes 17 and 18 within each table, and
// give 'a' 1 bit, end of block and length 3 2 bits each, distances 1 and 2 1 bit each,
// to code "aaa"; a row says where its stream differs.
const Row kRows[] = {
    {"zlib's shape", "0de1db922449922ccb7e2bfeff4f102122", 3, ""},
    {"then a fixed block with its end only", "0ce1db922449922ccb7e2bfeff4f1021a20100", 3, "blocks"},
    {"a stored block of \"abc\"", "010300fcff616263", 3, "stored"},
    {"end of block the only literal/length code (1 bit), nothing coded",
     "05e1db922449922ccbfeff5f2322", 0, "litlen"},
    {"distance lengths 1 and 0", "0de1db922449922ccb7e2bfeff4f102120", 3, "dist"},
    {"one distance code declared, of 1 bit", "0de0db922449922ccb7e2bfeff4f102102", 3, "dist few"},
    {"one run of three zeros: literal/length 258, distances 1 and 2 (then 3 and 4: 1 bit)",
     "15e3db922449922ccb7e2bfeff4f103d2022", 3, "cross"},
    {"distance lengths 2, 2, 2, 2, the first three as a repeat of length 3's 2",
     "0de3db922449922ccb7e2bfeff4f105d0801", 3, "cross"},
    {"zlib's shape, 4 bytes expected", "0de1db922449922ccb7e2bfeff4f102122", 4, "size"},
    {"zlib's shape and a zero byte", "0de1db922449922ccb7e2bfeff4f10212200", 3, "trailing"},
    {"zlib's shape cut short", "0de1db922449922ccb7e2bfeff4f1021", 3, "invalid"},
    {"reserved block type", "070000", 0, "invalid"},
    {"'b' 1 bit too: over-subscribed", "0de1db922449922ccb7e2be2ff7f04112200", 3, "invalid"},
};

TEST(DeflateShape, EachFeatureOfAHandMadeStreamIsReported) {
    for (const Row& r : kRows) {
        Bytes stream = bytes(r.hex);
        DeflateShape s = deflate_shape(stream.data(), stream.size(), r.expected);
        EXPECT_EQ(features(s), r.verdict) << r.what;
        EXPECT_EQ(deflate_shape_ok(s), std::string(r.verdict).empty()) << r.what;
    }
}

// A block of one kind: zeros, literals only (no byte pair twice), the same literals
// twice (one distance), text, noise.
Bytes block_of(int kind) {
    std::string made = kind == 3 ? text_bytes(BLOCK, 1) : kind == 4 ? random_bytes(BLOCK, 1) : "";
    Bytes b(made.begin(), made.end());
    for (int a = 0; (kind == 1 || kind == 2) && a < 46; a++) {
        unsigned char first = static_cast<unsigned char>('0' + a);
        b.push_back(first);
        for (int c = a + 1; c < 46; c++)
            b.insert(b.end(), {first, static_cast<unsigned char>('0' + c)});
    }
    if (kind == 2) std::copy(b.begin(), b.begin() + BLOCK / 2, b.begin() + BLOCK / 2);
    b.resize(BLOCK);
    return b;
}

TEST(DeflateShape, ZlibsOwnStreamsHaveNoneOfTheFeatures) {
    // The block type zlib writes for each kind.
    const int types[] = {1, 2, 2, 2, 0};
    for (int kind = 0; kind < 5; kind++) {
        Bytes in = block_of(kind);
        for (int level : {1, 6, 9}) {
            z_stream z;
            ASSERT_EQ(zb_deflate_open(&z, level), Z_OK);
            unsigned char out[4096];
            unsigned len = 0;
            ASSERT_EQ(zb_deflate_block(&z, in.data(), BLOCK, out, sizeof out, &len), Z_STREAM_END);
            deflateEnd(&z);
            DeflateShape s = deflate_shape(out, len, BLOCK);
            EXPECT_EQ((out[0] >> 1) & 3, types[kind]) << kind << " at " << level;
            // A stored block is never a payload: the converter stores the block plain.
            EXPECT_EQ(features(s), kind == 4 ? "stored" : "") << kind << " at " << level;
            if (kind == 4) {
                EXPECT_GE(len, static_cast<unsigned>(BLOCK));
            }
        }
    }
}

// Machine-code-like bytes: common x86-64 instruction openings, each with random operand
// bytes. Their last length code lengths often equal their first distance code lengths,
// which zopfli then sends as one run across the two tables.
Bytes code_block(uint32_t seed) {
    static const char* const ops[] = {"\x48\x89", "\x48\x8b", "\x48\x8d", "\xe8", "\x0f\x85",
                                      "\x83\xc0", "\x48\x83\xc4", "\x5b\x5d\xc3", "\x41\x54",
                                      "\x89\x85", "\x31\xc0", "\x74", "\xeb", "\x48\xc7\x45"};
    uint32_t x = seed * 2654435761u + 7;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    Bytes b;
    while (b.size() < BLOCK) {
        for (const char* op = ops[next() % 14]; *op; op++)
            b.push_back(static_cast<unsigned char>(*op));
        for (uint32_t k = next() % 5; k > 0; k--)
            b.push_back(next() % 4 ? static_cast<unsigned char>(next() >> 24) : 0);
    }
    b.resize(BLOCK);
    return b;
}

// Each block's -best stream from a pool of the default mix.
std::vector<Bytes> encode_all(const std::vector<Bytes>& blocks, zbest_pool* p) {
    std::vector<Bytes> out;
    for (const Bytes& b : blocks) {
        unsigned char buf[2 * BLOCK];
        unsigned len = 0;
        zbest_state* s = p ? zbest_pool_take(p) : nullptr;
        if (!s || zbest_block(s, b.data(), BLOCK, buf, sizeof buf, &len) != Z_STREAM_END) len = 0;
        if (s) zbest_pool_give(p, s);
        out.emplace_back(buf, buf + len);
    }
    return out;
}

// True when the stream is of zlib's shape and decodes to the block.
bool decodes_to(const Bytes& stream, const Bytes& block) {
    z_stream z;
    unsigned char back[BLOCK];
    unsigned got = 0;
    if (zb_inflate_open(&z) != Z_OK) return false;
    int ret = zb_inflate_block(&z, stream.data(), static_cast<unsigned>(stream.size()), back,
                               BLOCK, &got);
    inflateEnd(&z);
    return ret == Z_STREAM_END && Bytes(back, back + BLOCK) == block &&
           deflate_shape_ok(deflate_shape(stream.data(), stream.size(), BLOCK));
}

TEST(ZBest, StreamsOfZlibsShapeNoLongerThanZlibsAndTheSameOnAnyThread) {
    std::vector<Bytes> blocks{block_of(0), block_of(4)};
    for (uint32_t seed = 1; seed <= 8; seed++) blocks.push_back(code_block(seed));
    zbest_pool* one = zbest_pool_create(ZBEST_DEFAULT_MIX, 1);
    std::vector<Bytes> best = encode_all(blocks, one);
    zbest_pool_free(one);
    // Four threads sharing two states: a state lent to two at once would garble a stream.
    zbest_pool* two = zbest_pool_create(ZBEST_DEFAULT_MIX, 2);
    std::vector<std::vector<Bytes>> shared(4);
    std::vector<std::thread> threads;
    for (auto& got : shared) threads.emplace_back([&] { got = encode_all(blocks, two); });
    for (auto& t : threads) t.join();
    zbest_pool_free(two);
    for (const auto& got : shared) EXPECT_EQ(got, best);
    zbest_state* s = zbest_create(ZBEST_DEFAULT_MIX);
    ASSERT_NE(s, nullptr);
    int shorter = 0, refused = 0;  // than zlib 9's; shorter zopfli streams refused
    for (size_t i = 0; i < blocks.size(); i++) {
        unsigned char zs[2 * BLOCK], zo[2 * BLOCK];
        unsigned zlen = zbest_encode(s, ZBEST_ZLIB9, blocks[i].data(), BLOCK, zs, sizeof zs, 0);
        unsigned olen = zbest_encode(s, ZBEST_ZOPFLI, blocks[i].data(), BLOCK, zo, sizeof zo,
                                     ZBEST_ZOPFLI_ITERATIONS);
        ASSERT_FALSE(best[i].empty()) << i;
        EXPECT_LE(best[i].size(), zlen) << i;
        shorter += best[i].size() < zlen;
        refused += olen < best[i].size() && !deflate_shape_ok(deflate_shape(zo, olen, BLOCK));
        EXPECT_TRUE(best[i].size() >= BLOCK || decodes_to(best[i], blocks[i])) << i;  // or plain
    }
    EXPECT_GT(shorter, 0);
    EXPECT_GT(refused, 0);
    zbest_free(s);
}

}  // namespace
