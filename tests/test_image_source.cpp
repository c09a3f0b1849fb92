// The engines' image source: any format read at any offset, from several threads at once,
// and a failing block named with the reader's line.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "cso_reader.h"
#include "format_writers.h"
#include "image_source.h"
#include "test_util.h"

namespace {

// An image source over a file written for the test; closed at the end.
struct Opened {
    FILE* f = nullptr;
    img_source* src = nullptr;
    img_fault fault{};
    int status = -1;
    explicit Opened(const std::string& bytes) {
        std::string path = make_temp_dir() + "/f";
        write_file(path, bytes);
        f = fopen(path.c_str(), "rb");
        if (f) status = img_open(f, &src, &fault);
    }
    ~Opened() {
        img_close(src);
        if (f) fclose(f);
    }
};

// Reads len bytes at off through a new cursor; returns them ("" on failure, with *fault set).
std::string read_through(const img_source* s, uint64_t off, size_t len, img_fault* fault) {
    image_cursor* c = img_cursor_new(s);
    std::string out(len, '\0');
    int status = c ? img_read(c, off, &out[0], len, fault) : -1;
    img_cursor_free(c);
    return status == CSO_OK ? out : "";
}

TEST(ImageSource, ReadsEveryFormatAtAnyOffset) {
    std::string img = text_bytes(9 * 8192 + 3000, 4);
    auto mixed = [](uint32_t b) { return b % 2 ? Store::LZ4 : Store::DEFLATE; };
    const std::vector<std::pair<const char*, std::string>> files = {
        {"plain", img},
        {"CSO v2", write_cso_family("CISO", 2, img, 2048, mixed)},
        {"ZSO", write_cso_family("ZISO", 1, img, 2048, [](uint32_t b) { return b % 5 ? Store::LZ4 : Store::PLAIN; })},
        {"DAX", write_dax(img, {{2, 3}})},
    };
    const std::vector<std::pair<uint64_t, size_t>> ranges = {
        {0, img.size()}, {2000, 100}, {8100, 20000}, {img.size() - 5000, 5000}, {4096, 2048}};
    for (const auto& [name, bytes] : files) {
        Opened o(bytes);
        ASSERT_EQ(o.status, CSO_OK) << name << ": " << o.fault.line;
        EXPECT_EQ(img_size(o.src), img.size()) << name;
        for (auto [off, len] : ranges) {
            img_fault fault{};
            EXPECT_TRUE(read_through(o.src, off, len, &fault) == img.substr(off, len)) << name << " at " << off;
        }
    }
}

TEST(ImageSource, TwoThreadsReadTheSameSourceAtOnce) {
    std::string img = text_bytes(300 * 2048, 5);
    Opened o(write_cso_family("ZISO", 1, img, 2048, [](uint32_t) { return Store::LZ4; }));
    ASSERT_EQ(o.status, CSO_OK);
    std::string got[2];
    auto reader = [&](int t) {
        image_cursor* c = img_cursor_new(o.src);
        std::string out(img.size(), '\0');
        img_fault fault{};
        size_t step = t ? 5000 : 2048 * 7;
        for (size_t at = 0; c && at < img.size(); at += step) {
            size_t n = std::min(step, img.size() - at);
            if (img_read(c, at, &out[at], n, &fault) != CSO_OK) break;
        }
        img_cursor_free(c);
        got[t] = out;
    };
    std::thread a(reader, 0), b(reader, 1);
    a.join();
    b.join();
    EXPECT_TRUE(got[0] == img);
    EXPECT_TRUE(got[1] == img);
}

TEST(ImageSource, FailuresNameTheBlockWithTheReadersLine) {
    std::string img = text_bytes(6 * 2048, 6);
    const std::string whole = write_cso_family("ZISO", 1, img, 2048, [](uint32_t) { return Store::LZ4; });
    std::string zso = whole;
    uint32_t at3 = static_cast<uint32_t>(le32(zso, 24 + 4 * 3));
    zso.replace(at3, 4, "\xff\xff\xff\xff");
    Opened o(zso);
    ASSERT_EQ(o.status, CSO_OK);
    img_fault fault{};
    EXPECT_TRUE(read_through(o.src, 0, 3 * 2048, &fault) == img.substr(0, 3 * 2048));
    EXPECT_EQ(read_through(o.src, 2048 * 2 + 100, 4000, &fault), "");
    EXPECT_EQ(fault.block, 3);
    EXPECT_EQ(std::string(fault.line).rfind("block 3:LZ4 : corrupt block[", 0), 0u) << fault.line;
    // A file cut inside block 4's payload: a read of all its blocks at once stops there.
    Opened cut(whole.substr(0, le32(whole, 24 + 4 * 4) + 10));
    EXPECT_EQ(read_through(cut.src, 0, img.size(), &fault), "");
    EXPECT_EQ(fault.block, 4);
    EXPECT_STREQ(fault.line, "block=4 : read error");
    Opened jiso("JISO" + zso.substr(4));
    EXPECT_EQ(jiso.status, CSO_UNSUPPORTED);
    EXPECT_STREQ(jiso.fault.line, "Unsupported format: JISO");
}

}  // namespace
