// The compressed formats other tools write (CSO v2, ZSO, DAX), made here from their facts:
// -dec gives the image byte for byte, -test its checksums and format, -info its format;
// hostile files of each are refused with one line, or stop at the failing block, and
// leave no output; JISO and unknown versions are refused by name.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>

#include "format_writers.h"
#include "test_util.h"

namespace {

// One file of a format and the image it holds.
struct Sample {
    const char* name;
    const char* ext;     // the file's extension
    std::string format;  // -test's and -info's name for it
    std::string image;
    std::string file;
    uint32_t bs;         // block (frame) size
};

// An image of `blocks` blocks of bs bytes and a tail: text, with noise in every fifth block.
std::string mixed(uint32_t blocks, uint32_t bs, uint32_t tail) {
    std::string img;
    for (uint32_t b = 0; b < blocks; b++) img += b % 5 == 4 ? random_bytes(bs, b) : text_bytes(bs, b);
    return img + text_bytes(tail, 99);
}

// Deflate, LZ4 and plain blocks in turn.
Store in_turn(uint32_t b) {
    return b % 3 == 0 ? Store::DEFLATE : b % 3 == 1 ? Store::LZ4 : Store::PLAIN;
}

// A tail of 1000 bytes stored as a whole block: a stream whose first literals are the
// tail, then a match and the last literals that fill the block.
std::string tail_then_match(const std::string& tail) {
    return std::string("\xff\xff\xff\xff\xdc", 5) + tail + le(1, 2) +
           std::string("\xff\xff\xff\xff\x04\x50", 6) + "12345";
}

// Returns a ZSO of `img` (a 2048-byte block and a tail) whose payloads are aligned to 4
// bytes, the tail's payload `tail` (a whole block's stream).
std::string zso_padded_tail(const std::string& img, std::string tail) {
    std::string block = lz4_of(img.substr(0, 2048));
    block.resize((block.size() + 3) / 4 * 4, '\0');
    tail.resize((tail.size() + 3) / 4 * 4, '\0');
    uint32_t at = 24 + 12;
    return std::string("ZISO") + le(24, 4) + le(img.size(), 8) + le(2048, 4) + '\x01' + '\x02' +
           std::string(2, '\0') + le(at / 4, 4) + le((at + block.size()) / 4, 4) +
           le((at + block.size() + tail.size()) / 4, 4) + block + tail;
}

std::vector<Sample> samples() {
    std::vector<Sample> s;
    std::string a = mixed(20, 2048, 700), b = mixed(6, 16384, 5000), c = mixed(13, 2048, 0);
    std::string d = mixed(5, 8192, 1000), e = mixed(4, 8192, 0) + text_bytes(8192 * 3 + 5, 8);
    s.push_back({"CSO v2, 2048-byte blocks", "cso", "CSO v2", a, write_cso_family("CISO", 2, a, 2048, in_turn), 2048});
    s.push_back({"CSO v2, 16384-byte blocks", "cso", "CSO v2", b, write_cso_family("CISO", 2, b, 16384, in_turn), 16384});
    s.push_back({"ZSO", "zso", "ZSO", a, write_cso_family("ZISO", 1, a, 2048, [](uint32_t k) {
                     return k % 4 == 3 ? Store::PLAIN : Store::LZ4; }), 2048});
    s.push_back({"ZSO, whole blocks", "zso", "ZSO", c, write_cso_family("ZISO", 1, c, 2048, [](uint32_t) {
                     return Store::LZ4; }), 2048});
    s.push_back({"CSO v2, payloads aligned to 4 bytes", "cso", "CSO v2", a,
                 write_cso_family("CISO", 2, a, 2048, in_turn, 2), 2048});
    s.push_back({"ZSO, payloads aligned to 8 bytes", "zso", "ZSO", a, write_cso_family("ZISO", 1, a, 2048, [](uint32_t k) {
                     return k % 4 == 3 ? Store::PLAIN : Store::LZ4; }, 3), 2048});
    std::string t = a.substr(0, 3048), t2 = a.substr(0, 2048 + 758);  // 758: its stream needs padding
    s.push_back({"ZSO, tail stored as a padded block", "zso", "ZSO", t, zso_padded_tail(t, tail_then_match(t.substr(2048))), 2048});
    s.push_back({"ZSO, tail stored as the LZ4 of a padded block", "zso", "ZSO", t2,
                 zso_padded_tail(t2, lz4_of(t2.substr(2048) + std::string(2048 - 758, '\0'))), 2048});
    s.push_back({"ZSO, payloads aligned to 8192 bytes", "zso", "ZSO", a, write_cso_family("ZISO", 1, a, 2048, [](uint32_t k) {
                     return k % 4 == 3 ? Store::PLAIN : Store::LZ4; }, 13), 2048});
    s.push_back({"CSO v1, payloads aligned to 8192 bytes", "cso", "CSO v1", a,
                 write_cso_family("CISO", 1, a, 2048, [](uint32_t k) {
                     return k % 4 == 3 ? Store::PLAIN : Store::DEFLATE; }, 13), 2048});
    s.push_back({"CSO v2, payloads aligned to 8192 bytes", "cso", "CSO v2", a,
                 write_cso_family("CISO", 2, a, 2048, [](uint32_t) { return Store::PLAIN; }, 13), 2048});
    s.push_back({"DAX", "dax", "DAX", d, write_dax(d, {}), 8192});
    s.push_back({"DAX with NC areas", "dax", "DAX", e, write_dax(e, {{4, 1}, {0, 2}, {6, 1}, {3, 0}}), 8192});
    std::vector<std::pair<uint32_t, uint32_t>> many(512, {0, 1});  // more than one read of areas
    many.insert(many.end(), {{5, 1}, {7, 1}, {100, 0}});  // the last frame; an empty area past it
    s.push_back({"DAX with 515 NC areas", "dax", "DAX", e, write_dax(e, many), 8192});
    std::string twice = text_bytes(8192, 7) + text_bytes(8192, 7) + text_bytes(100, 8);
    std::string shared = write_dax(twice, {});
    s.push_back({"DAX, two frames at one offset", "dax", "DAX", twice, shared.replace(36, 4, shared.substr(32, 4)), 8192});
    return s;
}

TEST(Formats, DecTestAndInfoReadEachFormatWhole) {
    std::string dir = make_temp_dir();
    for (const Sample& s : samples()) {
        std::string file = dir + "/in." + s.ext, iso = dir + "/out.iso", want = dir + "/want.iso";
        write_file(file, s.file);
        write_file(want, s.image);
        RunResult r = run_vellicor({"-dec", file, iso});
        EXPECT_EQ(r.status, 0) << s.name << "\n" << r.out;
        EXPECT_TRUE(read_file(iso) == s.image) << s.name;
        r = run_vellicor({"-test", file});
        std::string out = fold_crlf(r.out);
        uint32_t blocks = static_cast<uint32_t>((s.image.size() + s.bs - 1) / s.bs);
        char crc[9];
        snprintf(crc, sizeof crc, "%08lx", crc32(0, reinterpret_cast<const Bytef*>(s.image.data()),
                                                 static_cast<uInt>(s.image.size())));
        EXPECT_EQ(r.status, 0) << s.name << "\n" << out;
        EXPECT_EQ(field(out, "Format"), s.format + ", " + std::to_string(blocks) + " blocks of " +
                                            std::to_string(s.bs) + " bytes") << s.name;
        EXPECT_EQ(field(out, "Image size"), std::to_string(s.image.size()) + " bytes") << s.name;
        EXPECT_EQ(field(out, "CRC32"), crc) << s.name;
        EXPECT_EQ(field(out, "MD5"), digest("md5sum", want)) << s.name;
        EXPECT_EQ(field(out, "SHA-1"), digest("sha1sum", want)) << s.name;
        r = run_vellicor({"-info", file});
        out = fold_crlf(r.out);
        EXPECT_EQ(r.status, 0) << s.name << "\n" << out;
        EXPECT_EQ(field(out, "Format"), s.format) << s.name;
        EXPECT_EQ(field(out, "Index"), "no fault found") << s.name;
    }
}

TEST(Formats, InfoCountsEachKindOfBlockAndTheNcAreas) {
    std::string dir = make_temp_dir();
    std::vector<Sample> all = samples();
    const std::map<std::string, std::string> cases = {
        {"CSO v2, 2048-byte blocks", "6 deflate, 5 LZ4, 10 plain"},  // noise in blocks 4, 9, 19 stays plain
        {"DAX with NC areas", "4 zlib, 4 plain"},
    };
    size_t found = 0;
    for (const Sample& sample : all) {
        auto it = cases.find(sample.name);
        if (it == cases.end()) continue;
        found++;
        write_file(dir + "/f", sample.file);
        std::string out = fold_crlf(run_vellicor({"-info", dir + "/f"}).out);
        EXPECT_EQ(field(out, "Stored as"), it->second) << sample.name << "\n" << out;
        if (sample.format == "DAX") {
            EXPECT_EQ(field(out, "NC frames"), "4 areas: frames 4 to 4, frames 0 to 1, frames 6 to 6, none at frame 3");
        }
    }
    EXPECT_EQ(found, cases.size());
}

// Returns the output of `args` and the input, then the written file, from the final line of
// an estimate or the file a compressor wrote; the time line is left out.
std::string compressed(std::vector<std::string> args, const std::string& in, const std::string& out) {
    args.push_back(in);
    if (args[0] == "-com") args.push_back(out);
    RunResult r = run_vellicor(args);
    EXPECT_EQ(r.status, 0) << r.out;
    if (args[0] == "-com") return read_file(out);
    size_t at = r.out.rfind("Ciso estimation completed");
    return at == std::string::npos ? r.out : r.out.substr(at, r.out.find('\n', at) - at);
}

// -com and -est read any compressed file's image: the same file and the same estimate as
// from the image itself, NC areas found by the scan included.
TEST(Formats, CompressAndEstimateReadTheImageOfEachFormat) {
    std::string dir = make_temp_dir(), tree = dir + "/tree", iso = dir + "/in.iso";
    ASSERT_EQ(system(("mkdir -p '" + tree + "/PSP_GAME/USRDIR'").c_str()), 0);
    write_file(tree + "/PSP_GAME/EBOOT.BIN", text_bytes(90000, 1));
    write_file(tree + "/PSP_GAME/USRDIR/MOVIE.PMF", "PSMF" + random_bytes(30000, 2));
    ASSERT_TRUE(master_iso(tree, iso));
    std::string image = read_file(iso);
    ASSERT_EQ(run_vellicor({"-com", iso, dir + "/v1.cso"}).status, 0);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"CSO v1", read_file(dir + "/v1.cso")},
        {"CSO v2", write_cso_family("CISO", 2, image, 16384, in_turn)},
        {"ZSO, aligned", write_cso_family("ZISO", 1, image, 2048, [](uint32_t) { return Store::LZ4; }, 2)},
        {"DAX", write_dax(image, {{1, 2}, {17, 5}})},  // frames 17 to 21 hold the noise
        {"CSO v1, payloads padded past two blocks",  // aligned to 8192 bytes
         write_cso_family("CISO", 1, image, 2048, [](uint32_t) { return Store::DEFLATE; }, 13)},
    };
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-com", "-l9"}, {"-com", "-opt", "-MT3", "-vid"}, {"-est", "-MT", "-vid"}}) {
        std::string want = compressed(args, iso, dir + "/want.cso");
        for (const auto& [name, bytes] : files) {
            write_file(dir + "/in.bin", bytes);
            EXPECT_TRUE(compressed(args, dir + "/in.bin", dir + "/got.cso") == want) << name << " " << args[1];
        }
    }
}

// A compressed input that never held its image's partial last block is compressed without
// it, as -dec gives it, and both say so.
TEST(Formats, CompressSaysWhatTheInputNeverHeld) {
    std::string dir = make_temp_dir(), img = text_bytes(2 * 16384, 5);
    std::string v2 = write_cso_family("CISO", 2, img, 16384, in_turn);
    write_file(dir + "/in.cso", v2.replace(8, 8, le(img.size() + 700, 8)));  // no entry for the tail
    write_file(dir + "/in.iso", img);
    const std::string line = "Warning: the last 700 bytes of the image were never stored in this file\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-com", "-opt", dir + "/in.cso", dir + "/out.cso"}, {"-est", dir + "/in.cso"},
             {"-dec", dir + "/in.cso", dir + "/out.iso"}}) {
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(fold_crlf(r.out).find(line), std::string::npos) << args[0] << "\n" << r.out;
    }
    EXPECT_TRUE(compressed({"-com", "-opt"}, dir + "/in.cso", dir + "/a.cso") ==
                compressed({"-com", "-opt"}, dir + "/in.iso", dir + "/b.cso"));
}

// A compressed input's block that fails to decode stops every engine and both estimates
// alike, inside an NC area too, where the block is stored as it is.
TEST(Formats, ADamagedBlockOfAnNCAreaStopsTheEstimatesToo) {
    std::string dir = make_temp_dir(), tree = dir + "/tree", iso = dir + "/in.iso";
    std::string eboot = text_bytes(90000, 1);
    ASSERT_EQ(system(("mkdir -p '" + tree + "/PSP_GAME'").c_str()), 0);
    write_file(tree + "/PSP_GAME/EBOOT.BIN", eboot);
    ASSERT_TRUE(master_iso(tree, iso));
    size_t at = read_file(iso).find(eboot.substr(0, 4096));
    ASSERT_NE(at, std::string::npos);
    uint32_t b = static_cast<uint32_t>(at / 2048);
    ASSERT_EQ(run_vellicor({"-com", iso, dir + "/in.cso"}).status, 0);
    std::string cso = read_file(dir + "/in.cso");
    cso.replace(le32(cso, 24 + 4 * b) & 0x7FFFFFFF, 4, 4, '\xff');  // an invalid block type
    write_file(dir + "/in.cso", cso);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-est", "-ext.bin;1"}, {"-est", "-MT", "-ext.bin;1"}, {"-com", "-opt", "-ext.bin;1"}}) {
        std::vector<std::string> run = args;
        run.push_back(dir + "/in.cso");
        if (args[0] == "-com") run.push_back(dir + "/out.cso");
        RunResult r = run_vellicor(run);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("block " + std::to_string(b) + ":inflate : "), std::string::npos) << r.out;
    }
}

// A compressed input whose image is no whole number of sectors is refused as such an
// image would be, and one whose block fails stops there: one line, no output.
TEST(Formats, CompressStopsAtWhatTheImageWouldStopAt) {
    std::string dir = make_temp_dir(), img = text_bytes(3 * 2048 + 100, 4);
    std::string zso = write_cso_family("ZISO", 1, img, 2048, [](uint32_t) { return Store::LZ4; });
    std::string bad = write_cso_family("ZISO", 1, img.substr(0, 4096), 2048, [](uint32_t) { return Store::LZ4; });
    bad.replace(bad.size() - 8, 8, 8, '\xff');  // block 1's payload ends in garbage
    const std::vector<std::pair<std::string, std::string>> cases = {
        {zso, "Input size 6244 bytes is not a whole number of 2048-byte sectors: " + dir + "/in.zso\n"},
        {bad, "block 1:LZ4 : corrupt block["},
        {std::string("JISO") + std::string(60, '\0'), "Unsupported format: JISO\n"},
    };
    for (const auto& [bytes, line] : cases)
        for (const char* engine : {"-com", "-opt"}) {
            write_file(dir + "/in.zso", bytes);
            std::vector<std::string> args = {"-com", dir + "/in.zso", dir + "/out.cso"};
            if (engine[1] == 'o') args.insert(args.begin() + 1, "-opt");
            RunResult r = run_vellicor(args);
            EXPECT_EQ(r.status, 1) << r.out;
            EXPECT_NE(fold_crlf(r.out).find(line), std::string::npos) << r.out;
            EXPECT_FALSE(file_exists(dir + "/out.cso"));
        }
}

// One hostile file and the line each decoder must end with.
struct Hostile {
    const char* name;
    std::string bytes;
    std::string dec_line;  // from -dec (and -test, -info where they read that far)
    std::string opt_line;  // from -dec -opt
};

// Returns s with the little-endian value v written over `width` bytes at off.
std::string patched(std::string s, size_t off, uint64_t v, int width) {
    return s.replace(off, static_cast<size_t>(width), le(v, width));
}

// Runs both decoders; each must print its line, return 1 and leave no output.
void expect_refused(const Hostile& h) {
    std::string dir = make_temp_dir();
    write_file(dir + "/h", h.bytes);
    for (bool opt : {false, true}) {
        std::vector<std::string> args{"-dec", dir + "/h", dir + "/out.iso"};
        if (opt) args.insert(args.begin() + 1, "-opt");
        RunResult r = run_vellicor(args);
        const std::string& line = opt ? h.opt_line : h.dec_line;
        EXPECT_EQ(r.status, 1) << h.name << (opt ? " -opt" : "");
        EXPECT_NE(fold_crlf(r.out).find(line), std::string::npos) << h.name << (opt ? " -opt" : "") << ":\n" << r.out;
        EXPECT_FALSE(file_exists(dir + "/out.iso")) << h.name;
    }
    RunResult t = run_vellicor({"-test", dir + "/h"});
    EXPECT_EQ(t.status, 1) << h.name;
    EXPECT_NE(fold_crlf(t.out).find(h.dec_line), std::string::npos) << h.name << " -test:\n" << t.out;
    bool unsupported = h.dec_line.rfind("Unsupported", 0) == 0;
    EXPECT_EQ(field(fold_crlf(t.out), "Result"), unsupported ? "unsupported" : "damaged") << h.name;
}

const std::string kFmt = "ciso file format error\n", kRead = "file read error\n";

TEST(HostileFormats, HeadersRefusedBeforeAnyOutput) {
    std::string img = text_bytes(3 * 2048, 1);
    std::string v2 = write_cso_family("CISO", 2, img, 2048, in_turn);
    std::string zso = write_cso_family("ZISO", 1, img, 2048, in_turn);
    std::string dax = write_dax(text_bytes(3 * 8192, 2), {{1, 1}});
    const std::vector<Hostile> cases = {
        {"JISO", "JISO" + v2.substr(4), "Unsupported format: JISO\n", "Unsupported format: JISO\n"},
        {"CSO version 3", patched(v2, 20, 3, 1), "Unsupported CSO version: 3\n", "Unsupported CSO version: 3\n"},
        {"ZSO version 2", patched(zso, 20, 2, 1), "Unsupported ZSO version: 2\n", "Unsupported ZSO version: 2\n"},
        {"DAX version 2", patched(dax, 8, 2, 4), "Unsupported DAX version: 2\n", "Unsupported DAX version: 2\n"},
        {"v2 header size 0", patched(v2, 4, 0, 4), kFmt, kFmt},
        {"v2 reserved byte set", patched(v2, 23, 1, 1), kFmt, kFmt},
        {"v2 first reserved byte set", patched(v2, 22, 1, 1), kFmt, kFmt},
        {"ZSO block size 0", patched(zso, 16, 0, 4), kFmt, kFmt},
        {"ZSO index cut", zso.substr(0, 30), kRead, kFmt},
        {"DAX image size 0", patched(dax, 4, 0, 4), kFmt, kFmt},
        {"DAX image size 0, no NC area", patched(patched(dax, 4, 0, 4), 12, 0, 4), kFmt, kFmt},
        {"DAX header cut", dax.substr(0, 20), kRead, kRead},
        {"DAX tables cut", dax.substr(0, 32 + 6 * 3 + 4), kRead, kFmt},
        {"DAX cut right after its tables", dax.substr(0, 32 + 6 * 3 + 8), "block=0 : read error\n", kFmt},
        {"DAX NC area past the last frame", patched(dax, 32 + 18 + 4, 3, 4), kFmt, kFmt},
        {"DAX NC count past the file", patched(dax, 12, 0x20000000, 4), kRead, kFmt},
    };
    for (const auto& h : cases) expect_refused(h);
}

TEST(HostileFormats, BlocksStopAtTheFailingBlock) {
    std::string b = text_bytes(2048, 3), f = text_bytes(8192, 4);
    std::string lz = lz4_of(b), z = zlib_of(f);
    auto v2 = [](const std::string& payload, uint32_t flag, uint32_t end_less = 0) {
        return std::string("CISO") + le(24, 4) + le(2048, 8) + le(2048, 4) + std::string("\x02\0\0\0", 4) +
               le(32 | flag << 31, 4) + le(32 + payload.size() - end_less, 4) + payload;
    };
    // A ZSO whose one payload is padded with zeros to a multiple of 1 << shift.
    auto zso = [](std::string payload, unsigned shift = 0) {
        payload.resize((payload.size() + (1u << shift) - 1) >> shift << shift, '\0');
        return std::string("ZISO") + le(24, 4) + le(2048, 8) + le(2048, 4) + '\x01' + static_cast<char>(shift) +
               std::string(2, '\0') + le(32 >> shift, 4) + le((32 + payload.size()) >> shift, 4) + payload;
    };
    // Two frames, the first's payload p0 at off0 (0: where it belongs) with stored length
    // len0 (0: its own).
    auto dax = [](const std::string& p0, uint32_t off0, uint32_t len0, uint32_t off1 = 0) {
        std::string p1 = zlib_of(text_bytes(8192, 5));
        uint32_t at = 32 + 12;
        return std::string("DAX\0", 4) + le(16384, 4) + le(1, 4) + le(0, 4) + std::string(16, '\0') +
               le(off0 ? off0 : at, 4) + le(off1 ? off1 : at + p0.size(), 4) + le(len0 ? len0 : p0.size(), 2) + le(p1.size(), 2) + p0 + p1;
    };
    std::string bad_header = z, bad_check = z;
    bad_header[0] ^= 0x01;
    bad_check[bad_check.size() - 1] ^= 0x01;
    uint32_t zl = static_cast<uint32_t>(z.size());
    const std::vector<Hostile> cases = {
        {"v2 LZ4 runs past its length", v2(lz, 1, 3), "block 0:LZ4 : corrupt block[", kFmt},
        {"v2 LZ4 decodes short", v2(lz4_of(b.substr(0, 2040)), 1), "block 0 : block size error 2040 != 2048\n", kFmt},
        {"v2 LZ4 decodes long", v2(lz4_of(b + b), 1), "block 0:LZ4 : corrupt block[", kFmt},
        {"v2 deflate garbage", v2(std::string(16, '\xff'), 0), "block 0:inflate : invalid block type[-3]\n", kFmt},
        {"v2 offsets decrease", patched(v2(lz, 1), 28, 20, 4), "block=0 : read error\n", kFmt},
        {"v2 payload past the file", v2(lz, 1).substr(0, 40), "block=0 : read error\n", kFmt},
        {"ZSO LZ4 garbage", zso(std::string(16, '\xff')), "block 0:LZ4 : corrupt block[", kFmt},
        {"ZSO LZ4 decodes short", zso(lz4_of(b.substr(0, 100))), "block 0 : block size error 100 != 2048\n", kFmt},
        {"ZSO LZ4 followed by more than padding", zso(lz + std::string(8, '\0'), 3), "block 0:LZ4 : corrupt block[", kFmt},
        // A 24-byte block ('a', 2047 copies) and 8 zeros: a whole unit is more than padding.
        {"ZSO LZ4 followed by a unit of zeros",
         zso(from_hex("7f616161616161610100ffffffffffffffe8506161616161") + std::string(8, '\0'), 3),
         "block 0:LZ4 : corrupt block[", kFmt},
        {"DAX stored length over zlib's bound for a frame", dax(z, 0, 8208), "block=0 : read error\n", kFmt},
        {"DAX stored length at zlib's bound for a frame", dax(std::string(8207, '\xff'), 0, 0),
         "block 0:inflate : incorrect header check[-3]\n", kFmt},
        {"DAX frame declaring 287 codes",
         dax(from_hex("7801f5c1010900000080a0adfd3fd19042d9b66ddbb66ddbb66ddbb6a59494088eff20b5"), 0, 0),
         "block 0:inflate : too many length or distance symbols[-3]\n", kFmt},
        {"DAX offset past the file", dax(z, 1u << 30, zl), "block=0 : read error\n", kFmt},
        {"DAX offsets decrease", dax(z, 0, zl, 40), "block=1 : read error\n", kFmt},
        {"DAX wrong zlib header", dax(bad_header, 0, zl), "block 0:inflate : incorrect header check[-3]\n", kFmt},
        {"DAX wrong Adler-32", dax(bad_check, 0, zl), "block 0:inflate : incorrect data check[-3]\n", kFmt},
        {"DAX frame decodes short", dax(zlib_of(f.substr(0, 8000)), 0, 0),
         "block 0 : block size error 8000 != 8192\n", kFmt},
    };
    for (const Hostile& h : cases) expect_refused(h);
}

// A user's file under the output's name stays as it was when a block fails.
TEST(HostileFormats, FailureLeavesThePreviousOutput) {
    std::string dir = make_temp_dir(), img = text_bytes(4 * 2048, 6);
    std::string zso = write_cso_family("ZISO", 1, img, 2048, [](uint32_t) { return Store::LZ4; });
    write_file(dir + "/h.zso", zso.substr(0, zso.size() - 3));
    write_file(dir + "/a.iso", "previous");
    RunResult r = run_vellicor({"-dec", dir + "/h.zso", dir + "/a.iso"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(read_file(dir + "/a.iso"), "previous");
}

}  // namespace
