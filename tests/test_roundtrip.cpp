// Round trips: compress with every engine and level, decompress with both decoders,
// and compare the image's whole blocks byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "test_util.h"

namespace {

// Compresses `image` with `com_args`, decodes with plain and optimised decoders,
// and checks both against the image's whole blocks.
void expect_round_trip(const std::string& image, const std::vector<std::string>& com_args) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", image);
    std::vector<std::string> args = com_args;
    args.push_back(dir + "/in.iso");
    args.push_back(dir + "/out.cso");
    RunResult c = run_vellicor(args);
    ASSERT_EQ(c.status, 0) << c.out;
    for (auto dec : {std::vector<std::string>{"-dec"}, std::vector<std::string>{"-dec", "-opt"}}) {
        dec.push_back(dir + "/out.cso");
        dec.push_back(dir + "/back.iso");
        RunResult d = run_vellicor(dec);
        ASSERT_EQ(d.status, 0) << d.out;
        EXPECT_TRUE(read_file(dir + "/back.iso") == whole_blocks(image)) << dec[0] << dec[1];
    }
}

TEST(RoundTrip, MixedImageAtLevels1_5_9) {
    std::string image = text_bytes(300 * 2048, 1) + random_bytes(40 * 2048, 2) +
                        std::string(60 * 2048, '\0') + text_bytes(2048, 3);
    for (const char* lvl : {"-l1", "-l5", "-l9"}) {
        expect_round_trip(image, {"-com", lvl});
        expect_round_trip(image, {"-com", "-opt", lvl});
    }
}

}  // namespace

namespace {

// Writes a small PSP-like tree of about `kb` KB of program data under dir/tree.
std::string make_tree(const std::string& dir, size_t kb, uint32_t seed) {
    std::string t = dir + "/tree";
    std::string sys = t + "/PSP_GAME/SYSDIR";
    for (const std::string& d : {t, t + "/PSP_GAME", sys, t + "/PSP_GAME/USRDIR"})
        mkdir(d.c_str(), 0755);
    write_file(sys + "/EBOOT.BIN", text_bytes(kb * 1024, seed));
    write_file(t + "/PSP_GAME/USRDIR/MOVIE.PMF", "PSMF" + random_bytes(kb * 300, seed + 1));
    write_file(t + "/PSP_GAME/PARAM.SFO", std::string(300, '\0'));
    write_file(t + "/UMD_DATA.BIN", "");
    return t;
}

// Mastered images of several sizes from both mastering tools round-trip with every engine
// and level; the same images made odd (grown by a partial block, cut below a block,
// empty) are refused and nothing is written.
TEST(RoundTrip, MasteredImagesFromBothTools) {
    std::string dir = make_temp_dir();
    std::vector<std::string> images;
    for (size_t kb : {size_t{4}, size_t{600}}) {
        std::string tree = make_tree(dir, kb, static_cast<uint32_t>(kb));
        unlink((dir + "/x.iso").c_str());  // xorriso would add a session to an old image
        ASSERT_TRUE(master_iso(tree, dir + "/g.iso"));
        ASSERT_TRUE(master_iso_xorriso(tree, dir + "/x.iso"));
        images.push_back(read_file(dir + "/g.iso"));
        images.push_back(read_file(dir + "/x.iso"));
        ASSERT_EQ(system(("rm -rf '" + tree + "'").c_str()), 0);
    }
    for (const std::string& odd : {images[0] + random_bytes(1000, 3), images[0].substr(0, 1500),
                                   std::string()}) {
        write_file(dir + "/odd.iso", odd);
        EXPECT_EQ(run_vellicor({"-com", dir + "/odd.iso", dir + "/odd.cso"}).status, 1);
        EXPECT_FALSE(file_exists(dir + "/odd.cso")) << odd.size();
    }
    images.push_back(random_bytes(100 * 2048, 4));        // incompressible
    for (const std::string& image : images)
        for (const char* lvl : {"-l1", "-l5", "-l9"}) {
            expect_round_trip(image, {"-com", lvl});
            expect_round_trip(image, {"-com", "-opt", lvl});
        }
}

}  // namespace
