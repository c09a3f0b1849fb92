// The verification against in-memory files: matching files, damaged CSOs, changed
// images, odd sizes, unreadable files, the stop flag and the progress.
#include <gtest/gtest.h>

#include <cstring>

#include "cso_verify.h"
#include "fake_job_platform.h"
#include "format_writers.h"
#include "tiny_cso.h"

namespace {

const std::string CSO = "/data/game.cso";
const std::string ISO = "/data/game.iso";

// Returns `blocks` blocks: text, noise (stored plain), text, zeros, ... in turn.
std::string mixed_image(size_t blocks) {
    std::string img;
    uint32_t x = 12345;
    for (size_t b = 0; b < blocks; b++) {
        for (size_t i = 0; i < 2048; i++) {
            x = x * 1103515245 + 12345;
            if (b % 4 == 1) img += static_cast<char>(x >> 24);
            else img += b % 4 == 3 ? '\0' : "verify text "[(i + b) % 12];
        }
    }
    return img;
}

// Returns the little-endian entry i of a CSO's index.
uint32_t entry(const std::string& cso, size_t i) {
    uint32_t v;
    memcpy(&v, &cso[24 + 4 * i], 4);
    return v;
}

// Sets entry i of a CSO's index.
void set_entry(std::string& cso, size_t i, uint32_t v) {
    memcpy(&cso[24 + 4 * i], &v, 4);
}

class CsoVerifyTest : public ::testing::Test {
protected:
    CsoVerifyTest() : platform(log) {}
    // Verifies `cso` against `image` as files of the fake platform; returns the report line.
    std::string check(const std::string& cso, const std::string& image) {
        platform.set_content(CSO, cso);
        platform.set_content(ISO, image);
        return verify_report_line(verify_cso(platform, CSO, ISO, ImageRole::WRITTEN, stop, nullptr));
    }
    EventLog log;
    FakePlatform platform;
    std::atomic<bool> stop{false};
    const std::string image = mixed_image(8);
    const std::string cso = make_cso(image);
};

// Matching files pass, also with an index alignment; a changed byte in a compressed or
// a plain block of the image is found at that block (numbered from 0).
TEST_F(CsoVerifyTest, MatchingFilesPassAndChangedImageBlocksAreFound) {
    EXPECT_EQ(check(cso, image), "校验通过\r\n");
    EXPECT_EQ(check(make_cso(image, 4), image), "校验通过\r\n");
    for (size_t block : {0u, 1u, 6u, 7u}) {
        std::string changed = image;
        changed[block * 2048 + 100] ^= 0x20;
        EXPECT_EQ(check(cso, changed), "校验失败：第 " + std::to_string(block) + " 块不一致\r\n");
    }
}

// Damaged CSOs: each is caught at the block it spoils, or as a damaged file.
TEST_F(CsoVerifyTest, DamagedCsoIsCaught) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        std::string line;
    } cases[] = {
        {"payload byte flipped", [](std::string& c) { c[entry(c, 2) + 5] ^= 0x01; }, "校验失败：第 2 块不一致\r\n"},
        {"plain payload byte flipped", [](std::string& c) { c[(entry(c, 5) & 0x7FFFFFFF) + 9] ^= 1; }, "校验失败：第 5 块不一致\r\n"},
        {"cut in the last payload", [](std::string& c) { c.resize(c.size() - 3); }, "校验失败：第 7 块不一致\r\n"},
        {"cut in the index", [](std::string& c) { c.resize(40); }, "校验失败：CSO 文件已损坏（索引不完整）\r\n"},
        {"cut in the header", [](std::string& c) { c.resize(20); }, "校验失败：CSO 文件已损坏（文件头不完整）\r\n"},
        {"entry one byte late", [](std::string& c) { set_entry(c, 3, entry(c, 3) + 1); }, "校验失败：第 3 块不一致\r\n"},
        {"entries decreasing", [](std::string& c) { set_entry(c, 3, entry(c, 2) - 1); }, "校验失败：第 2 块不一致\r\n"},
        {"plain flag lost", [](std::string& c) { set_entry(c, 1, entry(c, 1) & 0x7FFFFFFF); }, "校验失败：第 1 块不一致\r\n"},
        {"plain entry past the end", [](std::string& c) { set_entry(c, 5, 0xFFFFFFFF); }, "校验失败：第 4 块不一致\r\n"},
        {"wrong magic", [](std::string& c) { c[0] = 'X'; }, "校验失败：CSO 文件已损坏（文件头无效）\r\n"},
        {"block size 0", [](std::string& c) { c[17] = 0; }, "校验失败：CSO 文件已损坏（文件头无效）\r\n"},
        {"huge block count", [](std::string& c) { c[8] = c[9] = c[10] = '\xff'; c[11] = 0x7f; c[17] = 0; c[16] = 1; }, "校验失败：CSO 文件已损坏（索引不完整）\r\n"},
    };
    for (const Case& c : cases) {
        std::string damaged = cso;
        c.damage(damaged);
        EXPECT_EQ(check(damaged, image), c.line) << c.what;
    }
}

// Every single-bit change in the header's used fields (the image size's high half too)
// or in the index is caught; the fields that readers ignore (header size, version,
// reserved) are not.
TEST_F(CsoVerifyTest, EveryHeaderAndIndexBitThatMattersIsCaught) {
    const std::set<size_t> ignored = {4, 5, 6, 7, 20, 22, 23};
    for (size_t i = 0; i < 24 + 4 * 9; i++) {
        std::string damaged = cso;
        damaged[i] ^= 0x01;
        std::string line = check(damaged, image);
        EXPECT_EQ(line == "校验通过\r\n", ignored.count(i) > 0) << "byte " << i << ": " << line;
    }
}

// An image whose size is not a multiple of the block size fails with the bytes its CSO
// lacks: the compression's input (5000 bytes) and the decompression's output (4096
// bytes) alike. Any other image size fails as a size mismatch.
TEST_F(CsoVerifyTest, ImageSizesThatCannotMatch) {
    std::string odd = mixed_image(3).substr(0, 5000);
    std::string odd_cso = make_cso(odd);
    EXPECT_EQ(check(odd_cso, odd), "校验失败：CSO 未保存镜像末尾不足一块的 904 字节\r\n");
    EXPECT_EQ(check(odd_cso, odd.substr(0, 4096)), "校验失败：CSO 未保存镜像末尾不足一块的 904 字节\r\n");
    EXPECT_EQ(check(make_cso(odd.substr(0, 1000)), odd.substr(0, 1000)),
              "校验失败：CSO 未保存镜像末尾不足一块的 1000 字节\r\n");
    EXPECT_EQ(check(cso, image + std::string(2048, 'x')),
              "校验失败：镜像大小 18432 字节，与 CSO 记录的 16384 字节不符\r\n");
    EXPECT_EQ(check(cso, image.substr(0, 2048)),
              "校验失败：镜像大小 2048 字节，与 CSO 记录的 16384 字节不符\r\n");
}

// A file that cannot be opened or read gives the reason, naming the file.
TEST_F(CsoVerifyTest, UnreadableFilesAreNamed) {
    platform.set_content(ISO, image);
    VerifyResult r = verify_cso(platform, CSO, ISO, ImageRole::WRITTEN, stop, nullptr);
    EXPECT_EQ(verify_report_line(r), "无法校验：无法读取 /data/game.cso\r\n");
    platform.set_content(CSO, cso);
    platform.files.erase(ISO);
    EXPECT_EQ(verify_report_line(verify_cso(platform, CSO, ISO, ImageRole::WRITTEN, stop, nullptr)),
              "无法校验：无法读取 /data/game.iso\r\n");
    platform.unreadable.insert(ISO);
    EXPECT_EQ(check(cso, image), "无法校验：无法读取 /data/game.iso\r\n");
    platform.unreadable = {CSO};
    EXPECT_EQ(check(cso, image), "无法校验：无法读取 /data/game.cso\r\n");
}

// The stop flag ends the check before the next chunk, with no report line; progress
// rises to 100 over an image of several chunks.
TEST_F(CsoVerifyTest, StopFlagAndProgress) {
    std::string big = mixed_image(1200);  // 2.4 MB: three chunks of 1 MB
    platform.set_content(CSO, make_cso(big));
    platform.set_content(ISO, big);
    std::vector<int> seen;
    VerifyResult r = verify_cso(platform, CSO, ISO, ImageRole::WRITTEN, stop, [&](int p) { seen.push_back(p); });
    EXPECT_EQ(r.kind, VerifyResult::PASSED);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0] < seen[1] && seen[2] == 100);
    seen.clear();
    r = verify_cso(platform, CSO, ISO, ImageRole::WRITTEN, stop, [&](int p) { seen.push_back(p); stop = true; });
    EXPECT_EQ(r.kind, VerifyResult::STOPPED);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(verify_report_line(r), "");
}

// ZSO and DAX files verify through the same reader: their image passes, a changed byte is
// found at its block (a DAX frame), and JISO is refused as a format the reader does not read.
TEST_F(CsoVerifyTest, OtherFormatsVerifyThroughTheReader) {
    std::string img = mixed_image(12);
    const std::vector<std::pair<std::string, size_t>> files = {
        {write_cso_family("ZISO", 1, img, 2048, [](uint32_t) { return Store::LZ4; }), 2048},
        {write_dax(img, {{1, 1}}), 8192},
    };
    for (const auto& [file, bs] : files) {
        EXPECT_EQ(check(file, img), "校验通过\r\n");
        std::string changed = img;
        changed[bs + 7] ^= 1;
        EXPECT_EQ(check(file, changed), "校验失败：第 1 块不一致\r\n");
    }
    EXPECT_EQ(check("JISO" + files[0].first.substr(4), img), "校验失败：CSO 文件已损坏（不支持的格式或版本）\r\n");
}

}  // namespace
