// The CSO layout byte for byte: header, index, plain flags, payloads cross-checked with
// zlib itself, the small and incompressible cases, and files from other writers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "test_util.h"

namespace {

// Deflates one block with a fresh raw stream, as every writer must; returns the stream.
std::string fresh_deflate(const std::string& block, int level) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(4096, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block.data()));
    z.avail_in = static_cast<uInt>(block.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = 4096;
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(4096 - z.avail_out);
    deflateEnd(&z);
    return out;
}

// Compresses `image` with args in a fresh folder; returns the CSO bytes and the stdout.
std::pair<std::string, std::string> compress(const std::string& image,
                                             std::vector<std::string> args = {"-com"}) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", image);
    args.push_back(dir + "/in.iso");
    args.push_back(dir + "/out.cso");
    RunResult r = run_vellicor(args);
    EXPECT_EQ(r.status, 0) << r.out;
    return {read_file(dir + "/out.cso"), r.out};
}

// The 24 header bytes every writer puts down for an image of `size` bytes.
std::string expected_header(uint32_t size) {
    std::string h("CISO\0\0\0\0", 8);
    for (int i = 0; i < 4; i++) h += static_cast<char>((size >> (8 * i)) & 0xFF);
    h += std::string("\0\0\0\0\0\x08\0\0\x01\0\0\0", 12);
    return h;
}

// Checks header, index and every payload of `cso` against `image` and zlib at `level`.
void expect_layout(const std::string& cso, const std::string& image, int level, size_t threshold = 2048) {
    uint32_t n = static_cast<uint32_t>(image.size() / 2048);
    ASSERT_EQ(cso.substr(0, 24), expected_header(static_cast<uint32_t>(image.size())));
    CsoView v = parse_cso(cso);
    ASSERT_EQ(v.index.size(), n + 1u);
    EXPECT_EQ(v.index[0] & 0x7FFFFFFF, 24 + 4 * (n + 1));
    EXPECT_EQ(v.index[n], cso.size());
    for (uint32_t b = 0; b < n; b++) {
        std::string block = image.substr(b * 2048, 2048);
        std::string z = fresh_deflate(block, level);
        uint32_t off = v.index[b] & 0x7FFFFFFF, next = v.index[b + 1] & 0x7FFFFFFF;
        bool plain = v.index[b] & 0x80000000u;
        EXPECT_EQ(plain, z.size() >= threshold) << "block " << b;
        EXPECT_EQ(cso.substr(off, next - off), plain ? block : z) << "block " << b;
    }
}

// -t0 gives a threshold of 20 bytes: a stream of exactly 20 is stored plain, one of 19 not.
TEST(Layout, StreamOfExactlyTheThresholdIsStoredPlain) {
    std::string image = std::string(4, 'A') + std::string(2044, 'B') + std::string(3, 'A') + std::string(2045, 'B');
    ASSERT_EQ(fresh_deflate(image.substr(0, 2048), 9).size(), 20u);
    ASSERT_EQ(fresh_deflate(image.substr(2048), 9).size(), 19u);
    for (auto args : {std::vector<std::string>{"-com", "-t0"}, {"-com", "-MT", "-t0"}})
        expect_layout(compress(image, args).first, image, 9, 20);
}

TEST(Layout, HeaderIndexAndPayloadsMatchZlibAtEachLevel) {
    std::string image = text_bytes(150 * 2048, 4) + random_bytes(20 * 2048, 5) +
                        std::string(30 * 2048, '\0') + text_bytes(2048, 6);
    for (int level : {1, 5, 9}) {
        auto [cso, out] = compress(image, {"-com", "-l" + std::to_string(level)});
        expect_layout(cso, image, level);
        auto [opt, out2] = compress(image, {"-com", "-opt", "-l" + std::to_string(level)});
        EXPECT_TRUE(opt == cso) << "the optimised compressor at the default threshold";
    }
}

// A cut-off image would lose its tail and an empty one has no CSO form: every compressor
// and estimate refuses them with one line, and nothing is written.
TEST(Layout, ImagesOfNoWholeNumberOfBlocksAreRefusedByEveryWriterAndEstimate) {
    std::string dir = make_temp_dir();
    const std::vector<std::vector<std::string>> engines = {
        {"-com"}, {"-com", "-opt"}, {"-com", "-MT"}, {"-est"}, {"-est", "-MT"}};
    for (size_t size : {size_t{0}, size_t{1}, size_t{2047}, size_t{2049}, size_t{5000}}) {
        std::string in = dir + "/in.iso", out = dir + "/out.cso";
        write_file(in, text_bytes(size, 9));
        std::string line = size == 0 ? "Input is empty: " + in
                                     : "Input size " + std::to_string(size) +
                                           " bytes is not a whole number of 2048-byte sectors: " + in;
        for (auto args : engines) {
            args.push_back(in);
            args.push_back(out);
            RunResult r = run_vellicor(args);
            EXPECT_EQ(r.status, 1) << size << " " << args[1];
            EXPECT_EQ(r.out.substr(kBanner.size(), line.size() + 1), line + "\n") << size << " " << args[1];
            EXPECT_FALSE(file_exists(out)) << size << " " << args[1];
        }
    }
}

TEST(Layout, IncompressibleImageIsStoredPlainWithTheSizeFormula) {
    const uint32_t n = 37;
    std::string image = random_bytes(n * 2048, 11);
    auto [cso, out] = compress(image);
    EXPECT_EQ(cso.size(), 24 + 4 * (n + 1) + 2048 * n);
    CsoView v = parse_cso(cso);
    for (uint32_t b = 0; b < n; b++) {
        EXPECT_EQ(v.index[b], 0x80000000u | (24 + 4 * (n + 1) + 2048 * b));
    }
    EXPECT_EQ(v.index[n], cso.size());
    EXPECT_NE(out.find("rate 100%\n"), std::string::npos);
}

// Older tools wrote CSOs whose image size is no whole number of blocks: both decoders
// write the whole blocks and say how many bytes the file never stored.
TEST(Layout, PartialTrailingBlockOfAnOlderFileIsReportedWhenDecoded) {
    std::string image = text_bytes(4096, 12);
    auto [cso, out] = compress(image);
    cso[8] = static_cast<char>(5000 & 0xFF);  // total_bytes 5000: the last 904 never stored
    cso[9] = static_cast<char>(5000 >> 8);
    std::string dir = make_temp_dir();
    write_file(dir + "/a.cso", cso);
    for (std::vector<std::string> args : {std::vector<std::string>{"-dec"}, {"-dec", "-opt"}}) {
        args.push_back(dir + "/a.cso");
        args.push_back(dir + "/b.iso");
        RunResult d = run_vellicor(args);
        EXPECT_EQ(d.status, 0) << args[1];
        EXPECT_EQ(read_file(dir + "/b.iso"), image) << args[1];
        EXPECT_NE(d.out.find("ciso decompress completed\nWarning: the last 904 bytes of the image "
                             "were never stored in this file\nTime: "),
                  std::string::npos) << d.out;
    }
}

// Exact console output of both engines for a 3-block image whose sizes follow from zlib.
TEST(Console, ReferenceCompressorAndDecompressorLines) {
    std::string zero(2048, '\0'), noise = random_bytes(2048, 13);
    std::string image = zero + noise + zero;
    uint32_t z = static_cast<uint32_t>(fresh_deflate(zero, 9).size());
    uint32_t total = 40 + 2 * z + 2048;
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", image);
    RunResult c = run_vellicor({"-com", dir + "/in.iso", dir + "/o.cso"});
    char tail[128];
    snprintf(tail, sizeof tail, "ciso compress completed , total size = %8u bytes , rate %u%%\n",
             total, total * 100 / 6144);
    std::string expected = "Compress '" + dir + "/in.iso' to '" + dir + "/o.cso'\n" +
                           "Total File Size 6144 bytes\nblock size      2048  bytes\n"
                           "index align     1\ncompress level  9\n"
                           "compress   0% average rate   0%\r"
                           "compress   1% average rate   0%\r"
                           "compress   2% average rate  50%\r" + tail;
    EXPECT_NE(c.out.find(expected), std::string::npos) << c.out;
    // The optimised compressor rounds the same rate instead.
    RunResult p = run_vellicor({"-com", "-opt", dir + "/in.iso", dir + "/p.cso"});
    EXPECT_NE(p.out.find(" bytes, rate " + std::to_string((total * 200 + 6144) / 12288) + "%\n"), std::string::npos)
        << p.out;
    RunResult d = run_vellicor({"-dec", dir + "/o.cso", dir + "/b.iso"});
    EXPECT_NE(d.out.find("Decompress '" + dir + "/o.cso' to '" + dir + "/b.iso'\n"
                         "Total File Size 6144 bytes\nblock size      2048  bytes\n"
                         "total blocks    3  blocks\nindex align     1\n"
                         "decompress 0%\rdecompress 1%\rdecompress 2%\rciso decompress completed\n"),
              std::string::npos) << d.out;
    RunResult o = run_vellicor({"-dec", "-opt", dir + "/o.cso", dir + "/c.iso"});
    EXPECT_NE(o.out.find("Decompress '" + dir + "/o.cso' to '" + dir + "/c.iso'\n"
                         "Thread number       1\nTotal ISO size      6,144 bytes\n"
                         "Block size          2048  bytes\n"
                         "decompress 0%\rdecompress 1%\rdecompress 2%\rciso decompress completed\n"),
              std::string::npos) << o.out;
}

// Both decoders end on the last progress value their period gives an image of n blocks.
TEST(Console, DecompressProgressPeriods) {
    for (auto [blocks, last] : {std::pair<int, int>{40, 39}, {150, 149}, {250, 124}}) {
        auto [cso, out] = compress(text_bytes(blocks * 2048, 14));
        std::string dir = make_temp_dir();
        write_file(dir + "/a.cso", cso);
        for (auto opt : {false, true}) {
            std::vector<std::string> args{"-dec"};
            if (opt) args.push_back("-opt");
            args.push_back(dir + "/a.cso");
            args.push_back(dir + "/b.iso");
            RunResult d = run_vellicor(args);
            std::string want = "decompress " + std::to_string(last) + "%\rciso decompress completed";
            EXPECT_NE(d.out.find(want), std::string::npos) << blocks << " opt=" << opt;
        }
    }
}

// Builds a CSO as another writer might: header_size 24, index alignment `align`, and
// payloads padded with zeros to multiples of 1 << align. Returns the file.
std::string foreign_cso(const std::string& image, int align) {
    uint32_t n = static_cast<uint32_t>(image.size() / 2048);
    std::string h = expected_header(static_cast<uint32_t>(image.size()));
    h[4] = 24;
    h[21] = static_cast<char>(align);
    std::string body;
    std::vector<uint32_t> idx;
    size_t pos = 24 + 4 * (n + 1);
    for (uint32_t b = 0; b <= n; b++) {
        while (pos % (1u << align)) body += '\0', pos++;
        if (b == n) { idx.push_back(static_cast<uint32_t>(pos >> align)); break; }
        std::string block = image.substr(b * 2048, 2048), z = fresh_deflate(block, 6);
        bool plain = z.size() >= 2048;
        idx.push_back(static_cast<uint32_t>(pos >> align) | (plain ? 0x80000000u : 0));
        body += plain ? block : z;
        pos += plain ? 2048 : z.size();
    }
    std::string index;
    for (uint32_t e : idx) index.append(reinterpret_cast<const char*>(&e), 4);
    return h + index + body;
}

TEST(OtherWriters, HeaderSize24AndAlignedPaddedPayloadsDecode) {
    std::string image = text_bytes(60 * 2048, 15) + random_bytes(5 * 2048, 16);
    std::string dir = make_temp_dir();
    for (int align : {0, 2}) {
        write_file(dir + "/f.cso", foreign_cso(image, align));
        RunResult d = run_vellicor({"-dec", dir + "/f.cso", dir + "/b.iso"});
        ASSERT_EQ(d.status, 0) << d.out;
        EXPECT_TRUE(read_file(dir + "/b.iso") == image) << align;
        EXPECT_NE(d.out.find("index align     " + std::to_string(1 << align) + "\n"),
                  std::string::npos);
        RunResult o = run_vellicor({"-dec", "-opt", dir + "/f.cso", dir + "/c.iso"});
        if (align == 0) {
            EXPECT_EQ(o.status, 0) << o.out;
            EXPECT_TRUE(read_file(dir + "/c.iso") == image);
        } else {
            // The sequential decoder cannot honour an alignment: refused, not misread.
            EXPECT_EQ(o.status, 1);
            EXPECT_NE(o.out.find("ciso file format error\n"), std::string::npos);
        }
    }
}

}  // namespace
