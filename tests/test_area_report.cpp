// What the area search prints and logs, and how it refuses a log file, through the
// built converter on a small hand-built image.
#include <gtest/gtest.h>
#include <unistd.h>

#include "test_util.h"

namespace {

// Root: MOVIE.PMF;1 (video, 3 blocks), PSP_GAME/SYSDIR/UPDATE/{U.BIN;1, SUB/V.BIN;1},
// SND.AT3;1 (audio, 1 block). 40 sectors.
std::string hand_image() {
    HandIso iso(40);
    iso.set_root(18, 2048);
    size_t off = iso.put_dots(18, 2048, 18, 2048);
    off = iso.put_record(18, off, 25, 5000, false, "MOVIE.PMF;1");
    off = iso.put_record(18, off, 19, 2048, true, "PSP_GAME");
    iso.put_record(18, off, 28, 1500, false, "SND.AT3;1");
    iso.put_record(19, iso.put_dots(19, 2048, 18, 2048), 20, 2048, true, "SYSDIR");
    iso.put_record(20, iso.put_dots(20, 2048, 19, 2048), 21, 2048, true, "UPDATE");
    off = iso.put_record(21, iso.put_dots(21, 2048, 20, 2048), 30, 4096, false, "U.BIN;1");
    iso.put_record(21, off, 22, 2048, true, "SUB");
    iso.put_record(22, iso.put_dots(22, 2048, 21, 2048), 33, 10, false, "V.BIN;1");
    iso.put_data(25, "PSMF" + text_bytes(5000, 1));
    iso.put_data(28, "RIFF" + text_bytes(1500, 2));
    iso.put_data(30, text_bytes(4096, 3));
    return iso.bytes;
}

// Returns "<label>File: " and the name right-aligned in 35 columns.
std::string file_line(const char* label, const std::string& name) {
    return std::string(label) + "File: " + std::string(35 - name.size(), ' ') + name;
}

const char* const MOVIE_NC = " (offset=0000C800, size=4KB)\n";
const char* const UPDATE_RM = " (offset=0000F000, size=4KB)\n";

class AreaReport : public ::testing::Test {
protected:
    std::string dir, in, out;
    void SetUp() override {
        dir = make_temp_dir();
        in = dir + "/in.iso";
        out = dir + "/out.cso";
        write_file(in, hand_image());
    }
    // Compresses the hand image with `opts`; returns the run.
    RunResult run(std::vector<std::string> opts) {
        opts.insert(opts.begin(), "-com");
        opts.insert(opts.end(), {in, out});
        return run_vellicor(opts);
    }
};

TEST_F(AreaReport, ExactConsoleOutput) {
    RunResult r = run({"-opt", "-vid", "-rm_aud", "-rm_update"});
    ASSERT_EQ(r.status, 0);
    std::string want = kBanner +
        "Compress '" + in + "' to '" + out + "'\n"
        "Thread number       1\n"
        "Total file size     81,920 bytes\n"
        "Block size          2048 bytes\n"
        "Compress level      9\n"
        "Compress threshold  100%\n"
        "Files in NC area    Video\n"
        "Files in Lost area  Audio Update\n"
        "  Scanning media files...\n" +
        file_line("NC  ", "MOVIE.PMF;1") + MOVIE_NC +
        file_line("RM  ", "SND.AT3;1") + " (offset=0000E000, size=1KB)\n" +
        file_line("RM  ", "U.BIN;1") + UPDATE_RM +
        "     3 files found\n"
        "Compress   0% average rate 100%  \r";
    EXPECT_EQ(r.out.substr(0, want.size()), want);
    // 40 blocks: one progress line before each, counting 1 to 40.
    EXPECT_NE(r.out.find("Compress  40% average rate "), std::string::npos);
    EXPECT_EQ(r.out.find("Compress  41%"), std::string::npos);
    size_t done = r.out.find("\rCiso compress completed, total size ");
    ASSERT_NE(done, std::string::npos);
    size_t rate = r.out.find(" bytes, rate ", done);
    ASSERT_NE(rate, std::string::npos);
    EXPECT_EQ(r.out.find_first_not_of("0123456789,", done + 37), rate);
    EXPECT_NE(r.out.find("%\nTime: ", rate), std::string::npos);
}

TEST_F(AreaReport, ScanAndCountLines) {
    struct Case {
        std::vector<std::string> opts;
        std::string scan, count;
    } cases[] = {
        {{"-rm_update"}, "  Scanning...\n", "     1 file found\n"},
        {{"-opt", "-ext.xyz"}, "  Scanning .xyz files...\n", "     0 file found\n"},
        {{"-aud", "-ext.bin;1"}, "  Scanning media files and .bin;1 files...\n", "     3 files found\n"},
        {{"-vid", "-opt", "-rm_update"}, "  Scanning media files...\n", "     2 files found\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> opts = c.opts;
        if (opts[0] == "-rm_update") opts.push_back("-opt");  // -com -rm_update alone stays plain
        RunResult r = run(opts);
        ASSERT_EQ(r.status, 0) << c.scan;
        size_t at = r.out.find("Files in Lost area ");
        ASSERT_NE(at, std::string::npos);
        at = r.out.find('\n', at) + 1;
        EXPECT_EQ(r.out.substr(at, c.scan.size()), c.scan);
        EXPECT_NE(r.out.find(c.count + "Compress   0% average rate 100%  \r"), std::string::npos)
            << r.out;
    }
}

TEST_F(AreaReport, NoSearchWithoutAnAreaOption) {
    for (auto opts : {std::vector<std::string>{"-opt"}, {"-rm_ext"}, {"-t50"}}) {
        RunResult r = run(opts);
        ASSERT_EQ(r.status, 0);
        const char* lost = opts[0] == "-rm_ext" ? "Files in Lost area \n" : "Files in Lost area  none\n";
        EXPECT_NE(r.out.find(std::string("Files in NC area    none\n") + lost +
                             "Compress   0% average rate 100%  \r"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("found"), std::string::npos);
    }
}

TEST_F(AreaReport, LogTakesTheFileLines) {
    std::string log = dir + "/scan.log";
    RunResult r = run({"-opt", "-vid", "-rm_update", "-log" + log});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  Scanning media files...\n     2 files found\n  Log has been written in '" +
                         log + "'\nCompress   0%"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("File: "), std::string::npos);
    EXPECT_EQ(read_text_file(log), file_line("NC  ", "MOVIE.PMF;1") + MOVIE_NC +
                                  file_line("RM  ", "U.BIN;1") + UPDATE_RM + "2 files found\n");
    ASSERT_EQ(run({"-opt", "-rm_update", "-log" + log}).status, 0);
    EXPECT_EQ(read_text_file(log), file_line("RM  ", "U.BIN;1") + UPDATE_RM + "1 file found\n");
}

// Also when the output is not there yet and the log names it another way: spelt with
// "./", or (POSIX) through a dangling link, as the two would replace each other.
TEST_F(AreaReport, LogThatIsTheInputOrOutputIsRefused) {
    std::string image = read_file(in);
    ASSERT_EQ(link(in.c_str(), (dir + "/alias.iso").c_str()), 0);
    std::vector<std::string> logs{in, dir + "/./in.iso", dir + "/alias.iso", out, dir + "/./out.cso"};
    if (!testing_windows_build()) {
        ASSERT_EQ(symlink("out.cso", (dir + "/to-out.cso").c_str()), 0);
        logs.push_back(dir + "/to-out.cso");
    }
    for (const std::string& log : logs) {
        RunResult r = run({"-opt", "-vid", "-log" + log});
        EXPECT_EQ(r.status, 1) << log;
        // Refused before the run starts, the way a file that can't be created is.
        EXPECT_EQ(r.out, kBanner + "Log file is the input or output file (" + log + ")\n")
            << r.out;
        EXPECT_TRUE(read_file(in) == image) << log;
        EXPECT_FALSE(file_exists(out)) << log;
        EXPECT_EQ(r.out.find("Compress   0%"), std::string::npos);
    }
}

TEST_F(AreaReport, UnwritableLogEndsTheRun) {
    std::string log = dir + "/no/such/folder/x.log";
    RunResult r = run({"-opt", "-aud", "-log" + log});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "Unable to write log file (" + log + ")\n");
    EXPECT_FALSE(file_exists(out));  // refused before the output was opened
}

TEST_F(AreaReport, SettingsSummary) {
    struct Case {
        std::vector<std::string> opts;
        std::string lines;
    } cases[] = {
        {{"-opt", "-vid", "-aud", "-ext.xpac.res"},
         "Files in NC area    Audio Video .xpac.res\nFiles in Lost area  none\n"},
        {{"-opt", "-rm_vid", "-rm_aud"}, "Files in NC area    none\nFiles in Lost area  Audio Video\n"},
        {{"-opt", "-aud", "-rm_vid", "-ext.prx", "-rm_ext", "-rm_update"},
         "Files in NC area    Audio\nFiles in Lost area  Video .prx Update\n"},
    };
    for (const auto& c : cases) {
        RunResult r = run(c.opts);
        ASSERT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Compress threshold  100%\n" + c.lines + "  Scanning"), std::string::npos)
            << r.out;
    }
}

// A root whose extent lies 4 GiB past the real one (the same offset modulo 2^32) lies
// past the image: nothing is found there.
TEST_F(AreaReport, ARootPastTheImageFindsNothing) {
    HandIso iso(0);
    iso.bytes = hand_image();
    iso.set_root(0x200000 + 18, 2048);
    write_file(in, iso.bytes);
    RunResult r = run({"-vid"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("  Scanning media files...\n     0 file found\n"), std::string::npos) << r.out;
}

TEST_F(AreaReport, DamagedTreeStillCompresses) {
    // The root lists itself as a subdirectory and claims far more bytes than the image has.
    HandIso iso(24);
    iso.set_root(18, 0x7FFFFFFF);
    size_t off = iso.put_dots(18, 2048, 18, 2048);
    off = iso.put_record(18, off, 18, 2048, true, "PSP_GAME");
    iso.put_record(18, off, 20, 3000, false, "CLIP.PMF");
    iso.put_data(20, "PSMF" + text_bytes(3000, 4));
    write_file(in, iso.bytes);
    RunResult r = run({"-opt", "-rm_vid", "-rm_update"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(file_line("RM  ", "CLIP.PMF") + " (offset=0000A000, size=2KB)\n"
                         "     1 file found\n"),
              std::string::npos)
        << r.out;
}

}  // namespace
