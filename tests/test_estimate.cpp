// Compression estimates, one thread and threaded: with quality 1 the size of the optimised
// compressor's file; sampling every q-th block; the exact summary, progress and final
// lines; finite figures for images without a whole block; reads that fail.
#include <cmath>

#include "engine_helpers.h"

namespace {

using namespace engine_helpers;
const size_t B = 2048;

// Runs "-est" (or "-est -MT") with `opts` on `in`.
RunResult estimate(bool mt, const std::vector<std::string>& opts, const std::string& in) {
    std::vector<std::string> args{"-est"};
    if (mt) args.push_back("-MT");
    args.insert(args.end(), opts.begin(), opts.end());
    args.push_back(in);
    return run_vellicor(args);
}

// Returns n with commas between groups of three digits.
std::string with_commas(uint64_t n) {
    std::string s = std::to_string(n);
    for (int at = static_cast<int>(s.size()) - 3; at > 0; at -= 3) s.insert(at, ",");
    return s;
}

// Returns the final line for an estimate of `e` bytes of an image of `total` bytes.
std::string final_line(uint64_t e, uint64_t total) {
    char rate[32];
    snprintf(rate, sizeof rate, "%.1f", total ? e * 100.0 / total : 0.0);
    return "Ciso estimation completed, total size " + with_commas(e) + " bytes, rate " + rate + "%";
}

// Compresses `in` with "-com -opt" and `opts`; returns the file's stored length of every block.
std::vector<uint32_t> stored_lengths(const std::string& dir, const std::string& in,
                                     const std::vector<std::string>& opts) {
    std::vector<std::string> args{"-com", "-opt"};
    args.insert(args.end(), opts.begin(), opts.end());
    args.push_back(in);
    args.push_back(dir + "/opt.cso");
    EXPECT_EQ(run_vellicor(args).status, 0);
    CsoView v = parse_cso(read_file(dir + "/opt.cso"));
    std::vector<uint32_t> len;
    for (size_t b = 0; b + 1 < v.index.size(); b++)
        len.push_back((v.index[b + 1] & 0x7FFFFFFF) - (v.index[b] & 0x7FFFFFFF));
    return len;
}

// Expects both estimates of `in` with `opts` to succeed and print `want` as final line.
void expect_final_line(const std::string& in, const std::vector<std::string>& opts,
                       const std::string& want) {
    for (bool mt : {false, true}) {
        RunResult r = estimate(mt, opts, in);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(line_of(r.out, "Ciso estimation"), want) << (mt ? "-MT" : "one thread");
    }
}

// With quality 1 every block is judged: the estimate is the optimised compressor's file
// size, on one and on two threads, for every shape of image, level and threshold.
TEST(Estimate, Quality1IsTheOptimisedFileSize) {
    std::string dir = make_temp_dir();
    const std::pair<size_t, size_t> shapes[] = {{1, 0},   {5, 0},   {319, 0},
                                                {320, 0}, {965, 0}, {2885, 0}};
    const std::vector<std::string> options[] = {{"-q1"}, {"-t50"}, {"-t0", "-l1"}};
    for (auto [blocks, tail] : shapes) {
        std::string img = mixed_image(blocks, tail);
        write_file(dir + "/in.iso", img);
        for (const auto& opts : options) {
            SCOPED_TRACE(std::to_string(blocks) + " blocks " + opts[0]);
            stored_lengths(dir, dir + "/in.iso", opts);
            expect_final_line(dir + "/in.iso", opts,
                              final_line(read_file(dir + "/opt.cso").size(), img.size()));
        }
    }
}

// The same with NC and Lost areas found in a mastered image.
TEST(Estimate, Quality1IsTheOptimisedFileSizeWithAreas) {
    std::string dir = make_temp_dir();
    std::string tree = dir + "/tree";
    ASSERT_EQ(system(("mkdir -p " + tree + "/PSP_GAME/SYSDIR/UPDATE " + tree + "/PSP_GAME/USRDIR").c_str()), 0);
    write_file(tree + "/PSP_GAME/SYSDIR/UPDATE/EBOOT.PBP", text_bytes(400000, 1));
    write_file(tree + "/PSP_GAME/USRDIR/OPEN.PMF", "PSMF" + text_bytes(900000, 2));
    write_file(tree + "/PSP_GAME/USRDIR/BGM.AT3", "RIFF" + random_bytes(300000, 3));
    write_file(tree + "/PSP_GAME/USRDIR/PACK.BIN", text_bytes(650000, 4));
    ASSERT_TRUE(master_iso(tree, dir + "/game.iso", {"-N"}));
    size_t total = read_file(dir + "/game.iso").size();
    const std::vector<std::string> options[] = {
        {"-vid", "-aud"}, {"-rm_vid", "-rm_aud"}, {"-ext.bin", "-rm_ext"}, {"-rm_update", "-t40"}};
    for (const auto& opts : options) {
        SCOPED_TRACE(opts[0]);
        stored_lengths(dir, dir + "/game.iso", opts);
        expect_final_line(dir + "/game.iso", opts, final_line(read_file(dir + "/opt.cso").size(), total));
    }
}

// Returns the estimate that sampling every q-th block gives, from the stored lengths.
uint64_t sampled_estimate(const std::vector<uint32_t>& len, uint32_t q) {
    size_t n = len.size(), samples = n == 0 ? 0 : std::max<size_t>(n / q, 1);
    uint64_t sum = 0;
    for (size_t k = 0; k < samples; k++) sum += len[k * q];
    return q * sum + 24 + 4 * (n + 1);
}

// Higher qualities judge blocks 0, q, 2q, ... while a whole q blocks remain, each for q
// blocks: 1001 blocks at q 2 count blocks 0 to 998 twice and leave block 1000 out; an
// image shorter than q counts block 0 q times; longer images go through the chunks.
TEST(Estimate, SamplesEveryQthBlock) {
    std::string dir = make_temp_dir();
    std::string alt;  // even blocks noise (stored plain), odd blocks and block 1000 zeros
    for (uint32_t b = 0; b < 1001; b++)
        alt += b % 2 == 0 && b < 1000 ? random_bytes(B, b) : std::string(B, '\0');
    write_file(dir + "/alt.iso", alt);
    expect_final_line(dir + "/alt.iso", {"-q2"}, final_line(2 * 500 * 2048 + 24 + 4 * 1002, alt.size()));

    write_file(dir + "/five.iso", random_bytes(5 * B, 7));
    expect_final_line(dir + "/five.iso", {"-q9"}, final_line(9 * 2048 + 24 + 4 * 6, 5 * B));

    std::string img = mixed_image(2885, 0);
    write_file(dir + "/in.iso", img);
    std::vector<uint32_t> len = stored_lengths(dir, dir + "/in.iso", {});
    for (uint32_t q : {2u, 3u, 9u}) {
        SCOPED_TRACE(q);
        expect_final_line(dir + "/in.iso", {"-q" + std::to_string(q)},
                          final_line(sampled_estimate(len, q), img.size()));
    }
}

// An empty image and one without a whole number of blocks are refused, each with its line.
TEST(Estimate, ImagesWithoutAWholeNumberOfBlocksAreRefused) {
    std::string dir = make_temp_dir();
    write_file(dir + "/empty.iso", "");
    write_file(dir + "/short.iso", text_bytes(1000, 1));
    for (bool mt : {false, true}) {
        RunResult r = estimate(mt, {}, dir + "/empty.iso");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(line_of(r.out, "Input"), "Input is empty: " + dir + "/empty.iso");
        r = estimate(mt, {"-q5"}, dir + "/short.iso");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(line_of(r.out, "Input"), "Input size 1000 bytes is not a whole number of "
                                           "2048-byte sectors: " + dir + "/short.iso");
    }
}

// The progress lines of the one-thread estimate over the stored lengths: one every
// period samples, the rate in floating point, rounded half up.
std::vector<std::string> one_thread_lines(const std::vector<uint32_t>& len, uint32_t q) {
    uint32_t n = static_cast<uint32_t>(len.size()), period = std::max(n / (q * 100), 1u);
    std::vector<std::string> lines{progress(0, 100)};
    uint32_t pos = 0;
    int countdown = static_cast<int>(period);
    for (uint32_t b = 0; b + q <= n; b += q) {
        if (--countdown <= 0) {
            double rate = (pos / 2048) * 100.0 * q / (b ? b : 1);
            lines.push_back(progress(b / (period * q) + 1, static_cast<unsigned>(std::floor(rate + 0.5))));
            countdown = static_cast<int>(period);
        }
        pos += len[b];
    }
    return lines;
}

// The progress lines of the two-thread estimate: through the head sample by sample with
// a truncated integer rate over the head, then before every chunk whose turn comes with a
// rounded rate over the chunks only.
std::vector<std::string> two_thread_lines(const std::vector<uint32_t>& len, uint32_t q) {
    uint32_t n = static_cast<uint32_t>(len.size()), period = std::max(n / (q * 100), 1u);
    uint32_t samples = n / q, head = samples % 320, pos = 0;
    std::vector<std::string> lines{progress(0, 100)};
    int countdown = static_cast<int>(period);
    for (uint32_t k = 0; k < head; k++) {
        if (--countdown <= 0) {
            lines.push_back(progress(k / (period * q) + 1, (pos / 2048) * 100 / (k ? k : 1)));
            countdown = static_cast<int>(period);
        }
        pos += len[k * q];
    }
    pos = 0;
    for (uint32_t k = head; k < samples; k += 320) {
        uint32_t s = k * q;
        if (countdown <= 0) {
            double rate = (pos / 2048) * 100.0 * q / (s ? s : 1);
            lines.push_back(progress(s / (period * q) + 1, static_cast<unsigned>(std::floor(rate + 0.5))));
            countdown = static_cast<int>(period);
        }
        for (uint32_t i = 0; i < 320; i++) pos += len[(k + i) * q];
        countdown -= 320;
    }
    return lines;
}

// The whole output of both estimates on 1001 blocks at quality 2 (head of 180 samples and
// one chunk) and on 2885 blocks at quality 1 (head of 5 and nine chunks).
TEST(Estimate, SummaryProgressAndFinalLines) {
    std::string dir = make_temp_dir();
    for (auto [blocks, q] : {std::pair<size_t, uint32_t>{1001, 2}, {2885, 1}}) {
        std::string img = mixed_image(blocks);
        write_file(dir + "/in.iso", img);
        std::vector<uint32_t> len = stored_lengths(dir, dir + "/in.iso", {});
        for (bool mt : {false, true}) {
            SCOPED_TRACE(std::to_string(blocks) + (mt ? " -MT" : ""));
            RunResult r = estimate(mt, {"-q" + std::to_string(q)}, dir + "/in.iso");
            ASSERT_EQ(r.status, 0);
            std::string summary = "Estimate '" + dir + "/in.iso'\nThread number       " +
                                  (mt ? "2" : "1") + "\nTotal file size     " +
                                  with_commas(img.size()) + " bytes\nBlock size          2048 bytes\n"
                                  "Compress level      9\nCompress threshold  100%\n"
                                  "Estimation quality  " + std::to_string(q) +
                                  "\nFiles in NC area    none\nFiles in Lost area  none\n";
            EXPECT_NE(r.out.find("27/09/07\n\n" + summary + "Compress   0%"), std::string::npos) << r.out;
            EXPECT_EQ(progress_lines(r.out), mt ? two_thread_lines(len, q) : one_thread_lines(len, q));
            std::string tail = final_line(sampled_estimate(len, q), img.size()) + "\nTime: ";
            EXPECT_NE(r.out.find("  \r" + tail), std::string::npos) << r.out;
        }
    }
}

// A sample that cannot be read stops both estimates with the sample's block number and
// status 1 instead of a figure made from bytes that were never read.
TEST(Estimate, ReadErrorIsAFailure) {
    std::string img = mixed_image(2885);
    for (auto engine : {comp_ciso_in_memory, comp_ciso_in_memory_MT}) {
        for (uint32_t bad : {4u, 1500u}) {  // q 3: samples at blocks 3, 6, ..., 1500, ...
            FailingInput f{static_cast<long long>(bad) * 2048 + 100, 0, &img};
            set_up_in_process(open_failing(&f), "");
            pas_estimation = 3;
            std::string printed;
            int status = run_captured(engine, &printed);
            converter_reset_state();
            EXPECT_EQ(status, 1);
            uint32_t sample = (bad + 2) / 3 * 3;  // the first sample that reaches the failing byte
            EXPECT_NE(printed.find("block=" + std::to_string(sample) + " : read error\n"),
                      std::string::npos) << printed;
            EXPECT_EQ(printed.find("completed"), std::string::npos);
        }
    }
}

}  // namespace
