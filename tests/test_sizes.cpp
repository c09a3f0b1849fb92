// Input sizes at and past the limit, measured as 64-bit values: none may be taken for a
// small input, and image sizes of 2 GiB and more print whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "init.h"
#include "test_util.h"

namespace {

// Makes a sparse file of `size` bytes; returns its path (empty when the disk refuses).
std::string sparse_file(const std::string& dir, long long size) {
    std::string path = dir + "/sparse.iso";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return "";
    int rc = ftruncate(fileno(f), size);
    fclose(f);
    return rc == 0 ? path : "";
}

TEST(SizeLimit, LargestAcceptedSizeIsMeasuredExactly) {
    std::string dir = make_temp_dir();
    std::string path = sparse_file(dir, MAX_INPUT_SIZE);
    if (path.empty()) GTEST_SKIP() << "file system refuses sparse files";
    fin = fopen(path.c_str(), "rb");
    ASSERT_NE(fin, nullptr);
    EXPECT_EQ(check_file_size(fin), 2100000000);
    EXPECT_EQ(ftell(fin), 0);
    converter_reset_state();
}

TEST(SizeLimit, OversizedInputsEndWithStatus1BeforeAnyByteIsWritten) {
    std::string dir = make_temp_dir();
    // One byte over the limit, 4 GiB + 100 (whose low 32 bits look like 100 bytes),
    // and 6 GiB + 2048 (whose low 32 bits look like a 2 GiB image).
    for (long long size : {MAX_INPUT_SIZE + 1, (1LL << 32) + 100, 6 * (1LL << 30) + 2048}) {
        std::string path = sparse_file(dir, size);
        if (path.empty()) GTEST_SKIP() << "file system refuses sparse files";
        for (auto engine : {std::vector<std::string>{"-com"}, {"-com", "-opt"}}) {
            std::vector<std::string> args = engine;
            args.push_back(path);
            args.push_back(dir + "/out.cso");
            RunResult r = run_vellicor(args);
            EXPECT_EQ(r.status, 1) << size;
            EXPECT_EQ(r.out.find("Compress"), std::string::npos) << size;  // nothing past the banner
            EXPECT_NE(r.err.find("larger than 2100000000 bytes"), std::string::npos);
            EXPECT_FALSE(file_exists(dir + "/out.cso"));
        }
    }
}

// A CSO whose image is 3,072,000,000 bytes (4 GiB less than that prints as a negative
// count where `long` is 32 bits): both decoders print its size as it is.
TEST(SizeLimit, ImageSizesOf2GiBAndMorePrintWhole) {
    std::string dir = make_temp_dir();
    const uint32_t total = 3072000000u, n = total / 2048;
    std::string cso("CISO\0\0\0\0", 8);
    for (int i = 0; i < 8; i++) cso += static_cast<char>(i < 4 ? (total >> (8 * i)) & 0xFF : 0);
    cso += std::string("\0\x08\0\0\x01\0\0\0", 8);
    cso += std::string(4 * (n + 1), '\0');  // every block empty: decoding fails at block 0
    write_file(dir + "/big.cso", cso);
    RunResult d = run_vellicor({"-dec", dir + "/big.cso", dir + "/out.iso"});
    EXPECT_NE(d.out.find("Total File Size 3072000000 bytes\n"), std::string::npos) << d.out;
    RunResult o = run_vellicor({"-dec", "-opt", dir + "/big.cso", dir + "/out.iso"});
    EXPECT_NE(o.out.find("Total ISO size      3072,000,000 bytes\n"), std::string::npos) << o.out;
    EXPECT_FALSE(file_exists(dir + "/out.iso"));
}

// The limit is the image's: a compressed file over it whose image is one block (its payload
// 2 GiB into a sparse file, reached through the index's alignment) compresses as that
// block does.
TEST(SizeLimit, ACompressedFileOverTheLimitHoldingASmallImageIsTaken) {
    std::string dir = make_temp_dir(), cso = dir + "/far.cso", iso = dir + "/one.iso";
    const std::string block = text_bytes(2048, 7);
    const uint32_t far = (1u << 31) >> 11;  // the payload's offset, shifted by alignment 11
    std::string head("CISO\0\0\0\0\0\x08\0\0\0\0\0\0\0\x08\0\0\x01\x0B\0\0", 24);
    for (uint32_t entry : {0x80000000u | far, far + 1})
        for (int i = 0; i < 4; i++) head += static_cast<char>((entry >> (8 * i)) & 0xFF);
    write_file(cso, head);
    FILE* f = fopen(cso.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    bool written = fseeko(f, 1LL << 31, SEEK_SET) == 0 && fwrite(block.data(), 1, 2048, f) == 2048;
    if (fclose(f) != 0 || !written) GTEST_SKIP() << "file system refuses sparse files";
    write_file(iso, block);
    for (auto engine : {std::vector<std::string>{"-com"}, {"-com", "-opt", "-MT"}}) {
        std::vector<std::string> from_cso = engine, from_iso = engine;
        from_cso.insert(from_cso.end(), {cso, dir + "/a.cso"});
        from_iso.insert(from_iso.end(), {iso, dir + "/b.cso"});
        RunResult r = run_vellicor(from_cso);
        EXPECT_EQ(r.status, 0) << engine.size() << r.out << r.err;
        ASSERT_EQ(run_vellicor(from_iso).status, 0);
        EXPECT_TRUE(read_file(dir + "/a.cso") == read_file(dir + "/b.cso")) << engine.size();
    }
    EXPECT_EQ(run_vellicor({"-est", cso}).status, 0);
}

}  // namespace
