// Command-line behaviour through the built converter: exact stdout and exit status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>

#include "test_util.h"

namespace {

const std::string kHeader = "Convert PSP-ISO file in compressed CSO format\n";

const std::string kShortHelp =
    "\n"
    "Usage:  vellicor [OPTIONS] inputfile outputfile\n"
    "\n"
    "OPTIONS are\n"
    "  -dec: decompress\n"
    "  -com: compress\n"
    "  -est: estimate compression rate\n"
    "    -ln : where n is a number from [1-9] specifying the compression level\n"
    "    -opt: for optimized compression\n"
    "    -MT : for threaded compression\n"
    "    -qn : where q is a number from [1-9] specifying the estimation quality\n"
    "    -tnn: where nn is a number from [00-99] specifying the threshold\n"
    "    -vid: put video files in NC areas\n"
    "    -aud: put audio files in NC areas\n"
    "    -ext.X.Y.Z: put *.X, *.Y, *.Z, ... files in NC areas\n"
    "    -rm_vid: put video files in Lost areas\n"
    "    -rm_aud: put audio files in Lost areas\n"
    "    -rm_ext: put files specified by -ext in Lost areas\n";

// Returns a fresh folder holding a 10-block text image named in.iso.
std::string folder_with_image() {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", text_bytes(10 * 2048, 7));
    return dir;
}

// True when `s` is exactly a time line: "Time: " digits " sec\n".
bool is_time_line(const std::string& s) {
    const std::string head = "Time: ", tail = " sec\n";
    if (s.size() <= head.size() + tail.size() || s.compare(0, head.size(), head) != 0 ||
        s.compare(s.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    for (size_t i = head.size(); i < s.size() - tail.size(); i++)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// True when `out` ends with a time line.
bool ends_with_time_line(const std::string& out) {
    size_t start = out.rfind("Time: ");
    return start != std::string::npos && is_time_line(out.substr(start));
}

TEST(Screens, NoArgumentsShowsScreenAndWaitsForEnter) {
    RunResult r = run_vellicor({}, "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + kHeader +
                         "use: 'vellicor -help' for short help\n"
                         "use: 'vellicor -fullhelp' for detailled help\n"
                         "\n"
                         "Please do not forget that Vellicor! is a command line tool:\n"
                         "    ---   You must open a MS-DOS prompt to use it!   ---\n"
                         "Press Enter to exit\n");
}

TEST(Screens, ShortHelp) {
    RunResult r = run_vellicor({"-help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + kHeader + kShortHelp);
}

TEST(Screens, FullHelpHasItsLinesAndBlankEndings) {
    RunResult r = run_vellicor({"-fullhelp"});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.rfind(kBanner + kHeader + "Usage:\n    vellicor ACTION [OPTIONS]", 0), 0u);
    EXPECT_NE(r.out.find("greater than (threshold+1)%, it will\n"), std::string::npos);
    EXPECT_NE(r.out.find("The game must be playable, \n\n        only the update"),
              std::string::npos);
    EXPECT_NE(r.out.find("\n    vellicor -com -rm_update -l9 c:\\umdfile.iso d:\\umdfile.cso\n"),
              std::string::npos);
    // The 63 lines of the converter's own options, the 6 of -MTn, the 4 of -log and
    // -rm_update, the 11 of -test and -info, then the 11 of other tools' files, -best and
    // -better.
    EXPECT_NE(r.out.find("d:\\umdfile.cso\n\n  -MTn: threaded compression with n threads"),
              std::string::npos);
    EXPECT_NE(r.out.find("-est -MT8 c:\\umdfile.iso\n\n  -logNAME: "), std::string::npos);
    EXPECT_NE(r.out.find("update files stay\n\nChecking a file (nothing is written"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8 + 1 + 63 + 6 + 4 + 11 + 11);
    // An 80-column console wraps a line of 80 characters or more.
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_LT(end - at, 80u) << r.out.substr(at, end - at);
}

// Two bare names (a forgotten -dec) show the full help and leave the second file alone.
TEST(Screens, TwoBareNamesShowFullHelpAndLeaveTheOutputAlone) {
    std::string dir = folder_with_image();
    write_file(dir + "/out.cso", "old contents");
    RunResult r = run_vellicor({dir + "/in.iso", dir + "/out.cso"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + kHeader + run_vellicor({"-fullhelp"}).out.substr(kBanner.size() + kHeader.size()));
    EXPECT_EQ(read_file(dir + "/out.cso"), "old contents");
}

// One bad token and the exact line it must produce.
struct BadOption {
    std::vector<std::string> args;
    std::string message;
};

TEST(BadOptions, EachEndsWithItsMessageAndStatus1) {
    const std::vector<BadOption> cases = {
        {{"-com", "-l0"}, "Unknown level: 0\n"},
        {{"-com", "-lx", "-q0"}, "Unknown level: x\n"},  // first bad token wins
        {{"-q0"}, "Unknown quality: 0\n"},
        {{"-q"}, std::string("Unknown quality: ") + '\0' + "\n"},
        {{"-l"}, std::string("Unknown level: ") + '\0' + "\n"},
        {{"-t100"}, "Unknown threshold: 100\n"},
        {{"-t-1"}, "Unknown threshold: -1\n"},
        {{"-t99999999999999999999"}, "Unknown threshold: 99999999999999999999\n"},
        {{"-ext"}, "Bad extension syntax\n"},
        {{"-extprx"}, "Bad extension syntax\n"},
        {{"x", "a", "b"}, "Unknown level: x\n"},
        {{"-com", "-MT65"}, "Unknown thread number: 65\n"},
        {{"-est", "-MTx"}, "Unknown thread number: x\n"},
        {{"-com", "-MT-1"}, "Unknown thread number: -1\n"},
        {{"-com", "-MT064"}, "Unknown thread number: 064\n"},
        {{"-com", "-MT4", "-MT4x"}, "Unknown thread number: 4x\n"},
        {{"-help", "/nonexistent/a.iso"}, "Can't open /nonexistent/a.iso\n"},
        // A line break in a name would split the line, which the dialogs read line by line.
        {{"-help", "/nonexistent/a\nb\r5%.iso"}, "Can't open /nonexistent/a?b?5%.iso\n"},
    };
    for (const auto& c : cases) {
        RunResult r = run_vellicor(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, kBanner + c.message) << c.args[0];
    }
}

TEST(BadOptions, OutputThatCannotBeCreated) {
    std::string dir = folder_with_image();
    RunResult r = run_vellicor({"-com", dir + "/in.iso", dir + "/no/such/dir/out.cso"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "Can't create " + dir + "/no/such/dir/out.cso\n");
}

TEST(GoodOptions, AcceptedForms) {
    std::string dir = folder_with_image();
    std::string in = dir + "/in.iso", out = dir + "/out.cso";
    auto estimate = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "-est");
        args.push_back(in);
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 0) << args[1];
        return r.out.substr(0, r.out.rfind("Time: "));
    };
    // -t5x reads as -t5, a bare -t as -t0 (the two differ), -extprx.bin as the list .bin,
    // -logNAME as the log file NAME, -l95 as level 9.
    EXPECT_EQ(estimate({"-t5x"}), estimate({"-t5"}));
    EXPECT_NE(estimate({"-t50"}).find("Compress threshold  51%\n"), std::string::npos);
    EXPECT_EQ(estimate({"-t"}), estimate({"-t0"}));
    EXPECT_NE(estimate({"-t5"}), estimate({"-t0"}));
    std::string listed = estimate({"-extprx.bin", "-log" + dir + "/scan.txt"});
    EXPECT_NE(listed.find("Files in NC area    .bin\n"), std::string::npos) << listed;
    EXPECT_TRUE(file_exists(dir + "/scan.txt"));
    RunResult r = run_vellicor({"-com", "-l95", in, out});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("compress level  9\n"), std::string::npos);
}

TEST(MissingNames, NoOutputOrInputNameStopsWithoutTimeLine) {
    std::string dir = folder_with_image();
    RunResult r = run_vellicor({"-com", dir + "/in.iso"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "No output file");
    r = run_vellicor({"-dec"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "No input file");
    r = run_vellicor({"-est"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "No input file");
}

TEST(Dispatch, CodesWithoutEngineRunNothingButPrintTime) {
    std::string dir = folder_with_image();
    for (auto args : {std::vector<std::string>{"-dec", "-MT"}, {"-opt"}, {"-com", "-opt", "-opt"},
                      {"-dec", "-opt", "-opt"}}) {
        args.push_back(dir + "/in.iso");
        args.push_back(dir + "/x.out");
        args.push_back(dir + "/y.out");  // three names: the last one is the output
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 1) << args[0];
        ASSERT_EQ(r.out.substr(0, kBanner.size()), kBanner);
        EXPECT_TRUE(is_time_line(r.out.substr(kBanner.size()))) << r.out;
        EXPECT_FALSE(file_exists(dir + "/y.out")) << "no engine, no output";
    }
}

TEST(Dispatch, LegacyThreeArgumentForms) {
    std::string dir = folder_with_image();
    RunResult c = run_vellicor({"9", dir + "/in.iso", dir + "/a.cso"});
    ASSERT_EQ(c.status, 0) << c.out;
    EXPECT_NE(c.out.find("compress level  9\n"), std::string::npos);
    RunResult d = run_vellicor({"0", dir + "/a.cso", dir + "/back.iso"});
    ASSERT_EQ(d.status, 0) << d.out;
    EXPECT_EQ(read_file(dir + "/back.iso"), read_file(dir + "/in.iso"));
    EXPECT_TRUE(ends_with_time_line(d.out));
}

TEST(Dispatch, LastOfSeveralNamesIsTheOutput) {
    std::string dir = folder_with_image();
    ASSERT_EQ(run_vellicor({"-com", dir + "/in.iso", dir + "/a.cso"}).status, 0);
    RunResult d = run_vellicor({"-dec", dir + "/a.cso", dir + "/b.iso", dir + "/c.iso"});
    EXPECT_EQ(d.status, 0);
    EXPECT_FALSE(file_exists(dir + "/b.iso"));
    EXPECT_EQ(read_file(dir + "/c.iso"), read_file(dir + "/in.iso"));
}

// Every way of naming the input as the output is refused before the input is touched.
TEST(SameFile, RefusedBeforeAnythingIsWritten) {
    std::string dir = folder_with_image();
    std::string in = dir + "/in.iso";
    std::string original = read_file(in);
    ASSERT_EQ(link(in.c_str(), (dir + "/hard.iso").c_str()), 0);
    ASSERT_EQ(symlink(in.c_str(), (dir + "/soft.iso").c_str()), 0);
    for (const std::string& out : {in, dir + "/hard.iso", dir + "/soft.iso", dir + "/./in.iso"}) {
        for (auto action : {"-com", "-dec", "-est"}) {
            RunResult r = run_vellicor({action, in, out});
            EXPECT_EQ(r.status, 1) << out;
            EXPECT_EQ(r.out, kBanner + "Input and output are the same file: " + out + "\n");
        }
        RunResult r = run_vellicor({in, out});  // two bare names would empty it too
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(read_file(in), original);
}

}  // namespace
