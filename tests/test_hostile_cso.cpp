// Hostile and damaged CSO files: each must end with status 1 and its one-line message
// from both decompressors, without reading or writing outside any buffer (the test
// command runs it against the sanitizer build's converter); and odd layouts that are
// still valid must decode.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>

#include "format_writers.h"
#include "test_util.h"
#include "zblock.h"

namespace {

// Appends a little-endian 32-bit value.
void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; i++) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A header with the given fields.
std::string header(uint64_t total, uint32_t block_size = 2048, uint8_t align = 0,
                   const char* magic = "CISO") {
    std::string h(magic, 4);
    put32(h, 0);
    put32(h, static_cast<uint32_t>(total));
    put32(h, static_cast<uint32_t>(total >> 32));
    put32(h, block_size);
    h += '\x01';
    h += static_cast<char>(align);
    h += std::string(2, '\0');
    return h;
}

// A header plus index entries.
std::string with_index(std::string h, std::initializer_list<uint32_t> entries) {
    for (uint32_t e : entries) put32(h, e);
    return h;
}

// One hostile file and the line each decoder must end with.
struct Hostile {
    const char* name;
    std::string bytes;
    std::string dec_line;  // from -dec
    std::string opt_line;  // from -dec -opt
};

// Runs both decoders over the file; each must print its line and return 1.
void expect_refused(const Hostile& h) {
    std::string dir = make_temp_dir();
    write_file(dir + "/h.cso", h.bytes);
    for (bool opt : {false, true}) {
        std::vector<std::string> args{"-dec"};
        if (opt) args.push_back("-opt");
        args.push_back(dir + "/h.cso");
        args.push_back(dir + "/out.iso");
        RunResult r = run_vellicor(args);
        const std::string& line = opt ? h.opt_line : h.dec_line;
        EXPECT_EQ(r.status, 1) << h.name << (opt ? " -opt" : "");
        EXPECT_NE(r.out.find(line), std::string::npos)
            << h.name << (opt ? " -opt" : "") << " printed:\n" << r.out;
        EXPECT_EQ(r.err, "") << h.name;
    }
}

TEST(HostileHeader, RefusedAsReadOrFormatError) {
    const std::string fmt = "ciso file format error\n", rd = "file read error\n";
    const std::vector<Hostile> cases = {
        {"short header", "CISO\0\0\0", rd, rd},
        {"empty file", "", rd, rd},
        {"wrong magic", with_index(header(4096, 2048, 0, "CSIO"), {28, 28}), fmt, fmt},
        {"block size 0", with_index(header(4096, 0), {28, 28}), fmt, fmt},
        {"image size 0", with_index(header(0), {28}), fmt, fmt},
        {"block size 2 GiB", with_index(header(0x80000000u, 0x80000000u), {32, 32}), fmt, fmt},
        {"alignment 40", with_index(header(4096, 2048, 40), {32, 32, 32}), fmt, fmt},
        {"alignment 31", with_index(header(4096, 2048, 31), {32, 32, 32}), fmt, fmt},
        // The largest block size and alignment pass the header: refused only at the index.
        {"block size 1 MiB, index cut", with_index(header(1 << 20, 1 << 20), {32}), rd, fmt},
        {"alignment 30, index cut", with_index(header(4096, 2048, 30), {32}), rd, fmt},
        {"block size 4096 for -opt", with_index(header(4096, 4096), {32, 32}),
         "block 0:inflate : error[-5]\n", fmt},
        // Claims a 2 GB image but holds two entries: refused before the index is allocated.
        {"2 GB claim", with_index(header(0x7FFFFFFFu), {28, 28}), rd, rd},
        // One-byte blocks: n + 1 entries would wrap 32-bit arithmetic.
        {"4G entries", with_index(header(0xFFFFFFFFu, 1), {28, 28}), rd, fmt},
        {"index cut short", with_index(header(3 * 2048), {40, 60}), rd, rd},
    };
    for (const auto& h : cases) expect_refused(h);
}

TEST(HostileBlocks, RefusedAsBlockErrors) {
    std::string z = raw_deflate_of(std::string(2048, 'a'));
    uint32_t zl = static_cast<uint32_t>(z.size());
    std::string short_stream = raw_deflate_of(std::string(2040, 'b'));
    std::string long_stream = raw_deflate_of(std::string(4096, 'c'));
    const std::vector<Hostile> cases = {
        {"decreasing entries", with_index(header(2 * 2048), {36, 20, 40}) + z,
         "block=0 : read error\n", "block=0 : read error\n"},
        {"stored length over the buffer",
         with_index(header(2048), {32, 32 + 5000}) + std::string(5000, 'x'),
         "block=0 : read error\n", "block=0 : read error\n"},
        // A stored length of two blocks is read; one byte more is refused unread.
        {"stored length of two blocks", with_index(header(2048), {32, 32 + 4096}) + std::string(4096, '\xff'),
         "block 0:inflate : invalid block type[-3]\n", "block 0:inflate : invalid block type[-3]\n"},
        {"stored length one past two blocks", with_index(header(2048), {32, 32 + 4097}) + z + std::string(4097 - zl, '\0'),
         "block=0 : read error\n", "block=0 : read error\n"},
        {"garbage payload", with_index(header(2048), {32, 32 + 16}) + std::string(16, '\xff'),
         "block 0:inflate : ", "block 0:inflate : "},
        {"stream shorter than a block",
         with_index(header(2048), {32, 32 + static_cast<uint32_t>(short_stream.size())}) + short_stream,
         "block 0 : block size error 2040 != 2048\n", "block 0 : block size error 2040 != 2048\n"},
        {"stream longer than a block",
         with_index(header(2048), {32, 32 + static_cast<uint32_t>(long_stream.size())}) + long_stream,
         "block 0:inflate : error[0]\n", "block 0:inflate : error[0]\n"},
        {"zero stored length (unfinished writer)", with_index(header(2048), {0, 0}),
         "block 0:inflate : error[-5]\n", "block 0:inflate : error[-5]\n"},
        {"plain block past the end", with_index(header(2048), {0x80000000u | 32, 32 + 2048}) + "abc",
         "block=0 : read error\n", "block=0 : read error\n"},
        {"payload outside 31-bit file", with_index(header(2048), {0x7FFFFFF0u, 0x7FFFFFFFu}),
         "block=0 : read error\n", "block=0 : read error\n"},
        {"last payload cut short", with_index(header(3 * 2048), {40, 40 + zl, 40 + 2 * zl, 40 + 3 * zl}) + z + z + z.substr(0, 3),
         "block=2 : read error\n", "block=2 : read error\n"},
    };
    for (const auto& h : cases) expect_refused(h);
}

// Plain blocks may sit anywhere in the file. Entries that jump back and forth over a file
// of several 512 KiB read spans, and across the far edge of the span read ahead, decode
// to the bytes they name.
TEST(ScatteredPayloads, PlainBlocksDecodeFromWhereverTheirEntriesPoint) {
    const uint32_t span = 512 * 1024, n = 6, data_at = 24 + 4 * (n + 1);
    const std::string data = random_bytes(3 * span, 17);
    const uint32_t at[n] = {0, 2 * span - 5000, 0, span - 1, 3 * span - 2048, span / 2};
    std::string cso = header(n * 2048), image;
    for (uint32_t a : at) {
        put32(cso, 0x80000000u | (data_at + a));
        image += data.substr(a, 2048);
    }
    put32(cso, data_at + 3 * span);
    std::string dir = make_temp_dir();
    write_file(dir + "/s.cso", cso + data);
    RunResult r = run_vellicor({"-dec", dir + "/s.cso", dir + "/s.iso"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(dir + "/s.iso") == image);
}

// A block that can't be decoded fails the run: the file under the output's name stays as
// it was, whatever the blocks before the damage held.
TEST(HostileBlocks, DamageLeavesThePreviousOutputAsItWas) {
    std::string z = raw_deflate_of(std::string(2048, 'a'));
    uint32_t zl = static_cast<uint32_t>(z.size());
    std::string dir = make_temp_dir();
    write_file(dir + "/h.cso", with_index(header(3 * 2048), {40, 40 + zl, 40 + 2 * zl, 40 + 3 * zl}) +
                                   z + z + z.substr(0, 3));
    write_file(dir + "/a.iso", "previous");
    EXPECT_EQ(run_vellicor({"-dec", dir + "/h.cso", dir + "/a.iso"}).status, 1);
    EXPECT_EQ(read_file(dir + "/a.iso"), "previous");
    EXPECT_EQ(run_vellicor({"-dec", "-opt", dir + "/h.cso", dir + "/b.iso"}).status, 1);
    EXPECT_FALSE(file_exists(dir + "/b.iso"));
}

// One damaged block among many, and the message that names it.
struct Damage {
    const char* name;
    std::string payload;  // the damaged block's payload ("" with `cut`)
    bool decreasing;      // the entry after the block points before it
    bool cut;             // the file ends inside the block's payload
    std::string line;     // the message, with "#" for the block number
};

// A 1024-block CSO of one good payload, damaged at block d as `dmg` says.
std::string damaged_at(const Damage& dmg, uint32_t d, const std::string& good) {
    const uint32_t n = 1024;
    std::vector<uint32_t> entry(n + 1);
    std::string payloads;
    for (uint32_t b = 0; b <= n; b++) {
        entry[b] = 24 + 4 * (n + 1) + static_cast<uint32_t>(payloads.size());
        if (b < n) payloads += b == d && !dmg.cut ? dmg.payload : good;
    }
    if (dmg.decreasing) entry[d + 1] = entry[d] - 1;
    std::string cso = header(n * 2048);
    for (uint32_t e : entry) put32(cso, e);
    cso += payloads;
    return dmg.cut ? cso.substr(0, entry[d] + 1) : cso;
}

// Far into an image, on either side of a 1 MiB output span's edge (blocks 511 and 512) and
// at the last block, both decompressors stop at the damaged block with its message, right
// after the progress line before it.
TEST(HostileBlocks, DamageFarIntoAnImageIsNamedAtItsBlock) {
    std::string good = raw_deflate_of(text_bytes(2048, 5));
    const std::vector<Damage> cases = {
        {"garbage payload", std::string(16, '\xff'), false, false, "block #:inflate : invalid block type[-3]\n"},
        {"stream shorter than a block", raw_deflate_of(std::string(2040, 'b')), false, false,
         "block # : block size error 2040 != 2048\n"},
        {"stream longer than a block", raw_deflate_of(std::string(4096, 'c')), false, false,
         "block #:inflate : error[0]\n"},
        {"decreasing entries", good, true, false, "block=# : read error\n"},
        {"file cut in the payload", "", false, true, "block=# : read error\n"},
    };
    std::string dir = make_temp_dir();
    for (const Damage& dmg : cases) {
        for (uint32_t d : {511u, 512u, 1023u}) {
            write_file(dir + "/h.cso", damaged_at(dmg, d, good));
            std::string line = dmg.line;
            line.replace(line.find('#'), 1, std::to_string(d));
            std::string tail = "decompress " + std::to_string(d / 10) + "%\r" + line;
            for (const char* opt : {"", "-opt"}) {
                std::vector<std::string> args{"-dec", dir + "/h.cso", dir + "/out.iso"};
                if (*opt) args.insert(args.begin() + 1, opt);
                RunResult r = run_vellicor(args);
                std::string out = testing_windows_build() ? fold_crlf(r.out) : r.out;
                std::string what = std::string(dmg.name) + " at " + std::to_string(d) + " " + opt;
                EXPECT_EQ(r.status, 1) << what;
                size_t at = out.find(tail);
                EXPECT_NE(at, std::string::npos) << what << " printed:\n"
                                                  << out.substr(out.size() > 300 ? out.size() - 300 : 0);
                if (at != std::string::npos) {
                    EXPECT_EQ(out.find("Time:", at + tail.size()), at + tail.size()) << what;
                }
            }
        }
    }
}

// What one decoding of a payload into a 2048-byte block gave.
struct Decoded {
    int code;
    unsigned produced;
    std::string out, msg;
};

// Decodes with the converter's block decoder.
Decoded with_block_decoder(const std::string& payload) {
    z_stream z;
    EXPECT_EQ(zb_inflate_open(&z), Z_OK);
    Decoded d{0, 0, std::string(2048, '\x55'), ""};
    d.code = zb_inflate_block(&z, reinterpret_cast<const unsigned char*>(payload.data()),
                              static_cast<unsigned>(payload.size()),
                              reinterpret_cast<unsigned char*>(&d.out[0]), 2048, &d.produced);
    d.msg = zb_msg(&z, "error");
    inflateEnd(&z);
    return d;
}

// Decodes with zlib alone, as a fresh raw stream with Z_FULL_FLUSH.
Decoded with_zlib(const std::string& payload) {
    z_stream z{};
    inflateInit2(&z, -15);
    Decoded d{0, 0, std::string(2048, '\x55'), ""};
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    z.avail_in = static_cast<uInt>(payload.size());
    z.next_out = reinterpret_cast<Bytef*>(&d.out[0]);
    z.avail_out = 2048;
    d.code = inflate(&z, Z_FULL_FLUSH);
    d.produced = 2048 - z.avail_out;
    d.msg = z.msg ? z.msg : "error";
    inflateEnd(&z);
    return d;
}

// Every compressor decodes a whole block of its input with the room of the later blocks
// after it: a stream that gives more than its block is still refused with zlib's line.
TEST(HostileBlocks, CompressionOfACsoStopsAtAStreamLongerThanItsBlock) {
    std::string z = raw_deflate_of(std::string(2048, 'a')), lng = raw_deflate_of(std::string(4096, 'c'));
    uint32_t zl = static_cast<uint32_t>(z.size()), ll = static_cast<uint32_t>(lng.size());
    std::string dir = make_temp_dir();
    write_file(dir + "/h.cso", with_index(header(3 * 2048), {40, 40 + zl, 40 + zl + ll, 40 + 2 * zl + ll}) + z + lng + z);
    const std::vector<std::vector<std::string>> engines = {{"-com"}, {"-com", "-opt"}, {"-com", "-opt", "-MT3"}};
    for (std::vector<std::string> args : engines) {
        std::string what = args.back();
        args.insert(args.end(), {dir + "/h.cso", dir + "/out.cso"});
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_NE(r.out.find("block 1:inflate : error[0]"), std::string::npos) << what << " printed:\n" << r.out;
        EXPECT_FALSE(file_exists(dir + "/out.cso")) << what;
    }
}

// The block decoder takes a faster path for valid blocks; whatever it refuses must come
// out as zlib's own result: code, bytes produced, partial output and message.
TEST(HostileBlocks, BlockDecoderFailuresAreZlibsOwn) {
    std::string good = raw_deflate_of(random_bytes(1024, 7) + std::string(1024, 'q'));
    std::string flipped = good;
    flipped[flipped.size() / 2] ^= 0x10;
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"valid block", good},
        {"valid block with trailing bytes", good + "tail"},
        {"garbage", std::string(16, '\xff')},
        {"empty", ""},
        {"cut short", good.substr(0, good.size() / 2)},
        {"one bit flipped", flipped},
        {"distance before the start", std::string("\x03\x02\x00", 3)},
        {"stored block with a wrong length check", std::string("\x01\x00\x08\x00\x00", 5)},
        {"shorter than a block", raw_deflate_of(std::string(2040, 'b'))},
        {"longer than a block", raw_deflate_of(std::string(4096, 'c'))},
        // 'a' and 2047 bytes more copied at distance 1, declaring the most codes allowed,
        // then 288 literal/length codes, then 32 distance codes: zlib refuses the last two.
        {"286 and 30 codes declared",
         from_hex("eddd01040000008020000000000000000000000000030000000000"
                  "0000000000000000000000000000030000e0030000006cdbb61c01")},
        {"288 codes declared",
         from_hex("fddd01040000008020000000000000000000000000030000000000"
                  "0000000000000000000000000000030000e009000000b06ddb7204")},
        {"32 distance codes declared",
         from_hex("eddf01040000008020000000000000000000000000030000000000"
                  "0000000000000000000000000000030000e003000000b06ddb7204")},
        // 'a' and 2047 copies, declaring one code over each limit.
        {"287 codes declared", from_hex("f5c1010900000080a0adfd3fd19042d9b66d3902")},
        {"31 distance codes declared", from_hex("edde010900000080a0adfd3fd190d2256cdbb61c01")},
    };
    for (const auto& c : cases) {
        Decoded ours = with_block_decoder(c.second), zlib = with_zlib(c.second);
        EXPECT_EQ(ours.code, zlib.code) << c.first;
        EXPECT_EQ(ours.produced, zlib.produced) << c.first;
        EXPECT_EQ(ours.out, zlib.out) << c.first;
        EXPECT_EQ(ours.msg, zlib.msg) << c.first;
    }
}

// Lays out a CSO as other tools write one: blocks of `bs` bytes whose payloads start
// at multiples of 1 << align, and an entry of its own for a partial last block; block b's
// payload is payload(b), stored plain when plain(b). Returns the file.
template <class Payload, class Plain>
std::string foreign_cso(uint64_t total, uint32_t bs, uint8_t align, Payload payload, Plain plain) {
    uint32_t blocks = static_cast<uint32_t>((total + bs - 1) / bs), unit = 1u << align;
    std::string index = header(total, bs, align), data;
    uint64_t pos = 24 + 4 * (uint64_t{blocks} + 1);
    pos = (pos + unit - 1) / unit * unit;
    index.resize(pos, '\0');  // the placeholder and the padding to the first payload
    for (uint32_t b = 0; b <= blocks; b++) {
        uint32_t e = static_cast<uint32_t>(pos >> align) | (b < blocks && plain(b) ? 0x80000000u : 0);
        memcpy(&index[24 + 4 * b], &e, 4);
        if (b == blocks) break;
        const std::string p = payload(b);
        data += p + std::string((unit - p.size() % unit) % unit, '\0');
        pos += p.size() + (unit - p.size() % unit) % unit;
    }
    return index + data;
}

// An image of 16 KiB blocks that ends in a partial block, as other tools write big
// images: both -dec and -test give the whole image, whether its last block is stored
// deflated (alone or padded to a block) or plain; -dec -opt refuses the block size.
TEST(ForeignLayouts, PartialLastBlockDecodesWhole) {
    const uint32_t bs = 16384;
    const std::string img = text_bytes(5 * bs + 6144, 3);
    const uint32_t last = 5;
    const std::string padded = img.substr(last * bs) + std::string(bs - 6144, '\0');
    const std::vector<std::pair<const char*, std::function<std::string(uint32_t)>>> tails = {
        {"deflated tail", [&](uint32_t b) { return raw_deflate_of(img.substr(b * bs, bs)); }},
        {"deflated padded tail",
         [&](uint32_t b) { return raw_deflate_of(b == last ? padded : img.substr(b * bs, bs)); }},
        {"plain tail", [&](uint32_t b) { return b == last ? img.substr(b * bs) : raw_deflate_of(img.substr(b * bs, bs)); }},
    };
    char crc[40];
    snprintf(crc, sizeof crc, "CRC32         %08lx\n",
             crc32(0, reinterpret_cast<const Bytef*>(img.data()), static_cast<uInt>(img.size())));
    std::string dir = make_temp_dir(), cso = dir + "/t.cso", iso = dir + "/t.iso";
    for (const auto& t : tails) {
        bool plain_tail = std::string(t.first) == "plain tail";
        write_file(cso, foreign_cso(img.size(), bs, 2, t.second, [&](uint32_t b) { return plain_tail && b == last; }));
        RunResult r = run_vellicor({"-dec", cso, iso});
        EXPECT_EQ(r.status, 0) << t.first << ":\n" << r.out;
        EXPECT_EQ(r.out.find("Warning"), std::string::npos) << t.first;
        EXPECT_TRUE(read_file(iso) == img) << t.first;
        r = run_vellicor({"-test", cso});
        std::string out = testing_windows_build() ? fold_crlf(r.out) : r.out;
        EXPECT_EQ(r.status, 0) << t.first;
        EXPECT_NE(out.find("Image size    " + std::to_string(img.size()) + " bytes\n" + crc), std::string::npos)
            << t.first << ":\n" << out;
        r = run_vellicor({"-dec", "-opt", cso, dir + "/opt.iso"});
        EXPECT_EQ(r.status, 1) << t.first;
        EXPECT_NE(r.out.find("ciso file format error"), std::string::npos) << t.first;
    }
}

// A partial last block is held only when the extra entry ends its payload after the
// tail's own entry; -dec -opt, which follows no partial block, stops at block 0 either way.
TEST(ForeignLayouts, TheExtraEntryHoldsTheTailOnlyWhenItEndsItsPayload) {
    const std::string a(2048, 'a'), z = raw_deflate_of(a), t = raw_deflate_of(std::string(100, 't'));
    const uint32_t at = 24 + 3 * 4, zl = static_cast<uint32_t>(z.size()), tl = static_cast<uint32_t>(t.size());
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"held", with_index(header(2148), {at, at + zl, at + zl + tl}) + z + t},
        {"end entry at the tail's offset", with_index(header(2148), {at, at + zl, at + zl}) + z},
        {"end entry flagged plain", with_index(header(2148), {at, at + zl, 0x80000000u | (at + zl + tl)}) + z + t},
    };
    std::string dir = make_temp_dir(), cso = dir + "/t.cso", iso = dir + "/t.iso";
    for (const auto& [name, bytes] : cases) {
        bool held = std::string(name) == "held";
        write_file(cso, bytes);
        RunResult r = run_vellicor({"-dec", cso, iso});
        EXPECT_EQ(r.status, 0) << name << "\n" << r.out;
        EXPECT_EQ(r.out.find("Warning: the last 100 bytes of the image were never stored") == std::string::npos, held)
            << name << "\n" << r.out;
        EXPECT_TRUE(read_file(iso) == (held ? a + std::string(100, 't') : a)) << name;
        r = run_vellicor({"-dec", "-opt", cso, dir + "/opt.iso"});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.out.find("block=0 : read error\n"), std::string::npos) << name << "\n" << r.out;
    }
}

// Returns the CRC32 of the file's bytes and sets *size to their count.
uint32_t file_crc(const std::string& path, uint64_t* size) {
    FILE* f = fopen(path.c_str(), "rb");
    std::vector<unsigned char> buf(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    *size = 0;
    for (size_t n; f && (n = fread(buf.data(), 1, buf.size(), f)) > 0; *size += n)
        crc = crc32(crc, buf.data(), static_cast<uInt>(n));
    if (f) fclose(f);
    return static_cast<uint32_t>(crc);
}

// A dual-layer image of 4.4 GB (16 KiB blocks, index alignment 2, a partial last block):
// every reader takes its size whole. The image is zeros with the block number in every
// 4096th block, so the file stays small.
TEST(ForeignLayouts, ImageOf4GiBAndMoreDecodesWhole) {
    const uint64_t total = 4400000000ull;
    const uint32_t bs = 16384, blocks = static_cast<uint32_t>((total + bs - 1) / bs);
    auto block = [&](uint32_t b) {
        std::string s(b + 1 == blocks ? total % bs : bs, '\0');
        if (b % 4096 == 0) s.replace(0, 10, std::to_string(1000000000u + b));
        return s;
    };
    const std::string zeros = raw_deflate_of(std::string(bs, '\0'));
    auto payload = [&](uint32_t b) { return b % 4096 && b + 1 < blocks ? zeros : raw_deflate_of(block(b)); };
    std::string dir = make_temp_dir(), cso = dir + "/big.cso", iso = dir + "/big.iso";
    write_file(cso, foreign_cso(total, bs, 2, payload, [](uint32_t) { return false; }));
    uLong crc = crc32(0, nullptr, 0);
    const std::string zero_block(bs, '\0');
    const uLong zero_crc = crc32(0, reinterpret_cast<const Bytef*>(zero_block.data()), bs);
    for (uint32_t b = 0; b < blocks; b++) {
        if (b % 4096 && b + 1 < blocks) {
            crc = crc32_combine(crc, zero_crc, bs);
            continue;
        }
        std::string s = block(b);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size()));
    }
    char want[80];
    snprintf(want, sizeof want, "Image size    %llu bytes\nCRC32         %08lx\n",
             static_cast<unsigned long long>(total), crc);
    RunResult r = run_vellicor({"-test", cso});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(fold_crlf(r.out).find(want), std::string::npos) << r.out;
    r = run_vellicor({"-info", cso});
    EXPECT_NE(fold_crlf(r.out).find("Total bytes   4400000000\n"), std::string::npos) << r.out;
    EXPECT_NE(fold_crlf(r.out).find("Index         no fault found\n"), std::string::npos) << r.out;
    r = run_vellicor({"-dec", cso, iso});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Warning"), std::string::npos);
    uint64_t size = 0;
    EXPECT_EQ(file_crc(iso, &size), static_cast<uint32_t>(crc));
    EXPECT_EQ(size, total);
    remove(iso.c_str());
}

}  // namespace
