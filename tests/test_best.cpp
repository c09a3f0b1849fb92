// -best (and -better): every engine and worker count writes one file, every payload in
// zlib's shape (the shape checker and zlib's inflate agree), no block stored larger than
// -l9 stores it, and the image comes back byte for byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "deflate_shape.h"
#include "test_util.h"

namespace {

// Returns the stored bytes of block b of a parsed CSO of 2048-byte blocks.
std::string payload(const std::string& cso, const CsoView& v, size_t b) {
    uint32_t at = v.index[b] & 0x7FFFFFFF, end = v.index[b + 1] & 0x7FFFFFFF;
    return cso.substr(at, end - at);
}

// Returns true when zlib's raw inflate decodes p to exactly `block`, ending at its end.
bool zlib_inflates_to(const std::string& p, const std::string& block) {
    z_stream z{};
    std::string out(2 * block.size(), '\0');
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p.data()));
    z.avail_in = static_cast<uInt>(p.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    int ret = inflate(&z, Z_FINISH);
    bool ok = ret == Z_STREAM_END && z.avail_in == 0 && out.substr(0, z.total_out) == block;
    inflateEnd(&z);
    return ok;
}

// Checks every block of the -best file against the image and against the -l9 file of the
// same engine.
void expect_best_blocks(const std::string& best, const std::string& l9, const std::string& image) {
    CsoView v = parse_cso(best), w = parse_cso(l9);
    ASSERT_EQ(v.index.size(), image.size() / 2048 + 1);
    for (size_t b = 0; b + 1 < v.index.size(); b++) {
        SCOPED_TRACE("block " + std::to_string(b));
        std::string p = payload(best, v, b), block = image.substr(b * 2048, 2048);
        EXPECT_LE(p.size(), payload(l9, w, b).size());
        if (v.index[b] & 0x80000000u) {
            EXPECT_EQ(p, block);
            continue;
        }
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(p.data());
        EXPECT_TRUE(deflate_shape_ok(deflate_shape(bytes, p.size(), 2048)));
        EXPECT_TRUE(zlib_inflates_to(p, block));
    }
}

TEST(Best, EveryEngineAndWorkerCountWritesOneFileOfZlibShape) {
    std::string dir = make_temp_dir(), in = dir + "/in.iso";
    std::string image = text_bytes(330 * 2048, 1) + random_bytes(10 * 2048, 2) +
                        std::string(10 * 2048, '\0') + text_bytes(3 * 2048, 3);
    write_file(in, image);
    auto compress = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "-com");
        args.push_back(in);
        args.push_back(dir + "/out.cso");
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        bool best = std::count(args.begin(), args.end(), "-best") > 0;
        EXPECT_EQ(r.out.find("Compress level      best\n") != std::string::npos ||
                      r.out.find("compress level  best\n") != std::string::npos,
                  best);
        RunResult d = run_vellicor({"-dec", dir + "/out.cso", dir + "/back.iso"});
        EXPECT_EQ(d.status, 0) << d.out;
        EXPECT_TRUE(read_file(dir + "/back.iso") == image);
        return read_file(dir + "/out.cso");
    };
    std::string ref = compress({"-best"}), ref9 = compress({"-l9"});
    expect_best_blocks(ref, ref9, image);
    std::string opt = compress({"-opt", "-best"}), opt9 = compress({"-opt", "-l9"});
    expect_best_blocks(opt, opt9, image);
    EXPECT_LT(opt.size(), opt9.size());
    write_file(dir + "/best.cso", opt);
    EXPECT_EQ(field(fold_crlf(run_vellicor({"-info", dir + "/best.cso"}).out), "Handheld"),
              "ready: 2048-byte blocks, every payload in zlib's shape");
    for (const char* mt : {"-MT1", "-MT3", "-MT0"})
        EXPECT_TRUE(compress({"-opt", mt, "-best"}) == opt) << mt;
    std::string better = compress({"-opt", "-better"});  // the same without zopfli
    expect_best_blocks(better, opt9, image);
    EXPECT_TRUE(compress({"-opt", "-MT3", "-better"}) == better);
    EXPECT_LE(opt.size(), better.size());
    for (const char* est : {"-opt", "-MT3"}) {
        RunResult e = run_vellicor({"-est", est, "-best", in});
        std::string size = std::to_string(opt.size());
        for (size_t at = size.size(); at > 3; at -= 3) size.insert(at - 3, ",");
        EXPECT_NE(e.out.find("completed, total size " + size + " bytes"), std::string::npos) << e.out;
    }
}

}  // namespace
