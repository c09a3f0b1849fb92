// What only the Windows build has to get right, run through Wine: names in any script,
// one file under two spellings (case, short 8.3 alias), read-only and unreachable
// outputs, and files byte for byte equal to this machine's build for every engine.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "test_util.h"

namespace {

// Skips the test unless the Windows build is the converter under test.
#define REQUIRE_WINDOWS_BUILD() \
    if (!testing_windows_build()) GTEST_SKIP() << "tests the Windows build under Wine"

// Writes a small PSP-like tree with a video, an audio file, update files and data.
void make_tree(const std::string& root) {
    put_file(root, "PSP_GAME/SYSDIR/EBOOT.BIN", text_bytes(400000, 1));
    put_file(root, "PSP_GAME/SYSDIR/UPDATE/EBOOT.PBP", text_bytes(60000, 2));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/OPEN.PMF", "PSMF" + random_bytes(300000, 3));
    put_file(root, "PSP_GAME/USRDIR/SOUND/BGM.AT3", "RIFF" + text_bytes(90000, 4));
    put_file(root, "PSP_GAME/USRDIR/DATA/PACK.RES", text_bytes(250000, 5) + random_bytes(50000, 6));
    put_file(root, "PSP_GAME/USRDIR/DATA/TABLE.DAT", std::string(120000, '\0') + text_bytes(9000, 7));
}

// A folder with a mastered image `in.iso` of the tree, made once per test program.
struct Image {
    std::string dir, iso;
    Image() : dir(make_temp_dir()), iso(dir + "/in.iso") {
        make_tree(dir + "/tree");
        if (!master_iso(dir + "/tree", iso)) iso.clear();
    }
};
const Image& image() {
    static Image img;
    return img;
}

// Returns stdout without its time line, which may differ by a second between runs.
std::string without_time(const std::string& out) {
    size_t at = out.rfind("Time: ");
    return at == std::string::npos ? out : out.substr(0, at);
}

TEST(WindowsNames, ChineseJapaneseAndEmojiNamesForInputOutputAndLog) {
    REQUIRE_WINDOWS_BUILD();
    ASSERT_FALSE(image().iso.empty());
    std::string dir = make_temp_dir(), iso = read_file(image().iso);
    for (std::string name : {"中文游戏", "ゲーム・ディスク", "disc 📀 🎮"}) {
        std::string base = dir + "/" + name;
        write_file(base + ".iso", iso);
        RunResult c = run_vellicor({"-com", "-opt", "-vid", "-log" + base + ".log", base + ".iso",
                                    base + ".cso"});
        ASSERT_EQ(c.status, 0) << name << c.out;
        EXPECT_NE(c.out.find("Log has been written in '" + base + ".log'"), std::string::npos) << c.out;
        EXPECT_NE(read_text_file(base + ".log").find("OPEN.PMF;1"), std::string::npos) << name;
        RunResult d = run_vellicor({"-dec", base + ".cso", base + " 2.iso"});
        ASSERT_EQ(d.status, 0) << name << d.out;
        EXPECT_TRUE(read_file(base + " 2.iso") == whole_blocks(iso)) << name;
        // A message naming a file prints the name as it was given, in UTF-8.
        RunResult missing = run_vellicor({"-com", base + " 无.iso", base + " x.cso"});
        EXPECT_EQ(missing.status, 1);
        EXPECT_EQ(missing.out, kBanner + "Can't open " + base + " 无.iso\n") << name;
    }
}

// Returns the short 8.3 form of a path as the Windows build sees it, or "" without one.
std::string short_name(const std::string& path) {
    RunResult r = run_windows_tool("short_name.exe", {path});
    return r.status == 0 ? r.out : "";
}

TEST(WindowsSameFile, CaseAndShortNameSpellingsAreOneFile) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir();
    std::filesystem::create_directories(dir + "/PSP Game Folder");
    std::string in = dir + "/PSP Game Folder/Long Game Name.iso", image = text_bytes(20480, 9);
    write_file(in, image);
    std::string alias = short_name(in);
    ASSERT_FALSE(alias.empty());
    ASSERT_NE(alias, in);
    std::string upper = dir + "/PSP GAME FOLDER/LONG GAME NAME.ISO";
    for (auto& [input, output] : std::vector<std::pair<std::string, std::string>>{
             {upper, in}, {in, upper}, {alias, in}, {in, alias}}) {
        RunResult r = run_vellicor({"-com", input, output});
        EXPECT_EQ(r.status, 1) << input << " -> " << output;
        EXPECT_EQ(r.out, kBanner + "Input and output are the same file: " + output + "\n");
        RunResult log = run_vellicor({"-com", "-opt", "-vid", "-log" + output, input, dir + "/x.cso"});
        EXPECT_NE(log.out.find("Log file is the input or output file (" + output + ")"),
                  std::string::npos) << log.out;
        EXPECT_TRUE(read_file(in) == image) << output;
    }
    // A log and an output yet to be made are one file too when their folder is spelt apart.
    std::string log = alias.substr(0, alias.find_last_of("/\\") + 1) + "NEW.CSO";
    RunResult r = run_vellicor({"-com", "-opt", "-vid", "-log" + log, in, dir + "/PSP Game Folder/new.cso"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Log file is the input or output file (" + log + ")"), std::string::npos) << r.out;
}

TEST(WindowsOutputs, ReadOnlyFileAndMissingFolderAreNotCreated) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", text_bytes(8192, 1));
    write_file(dir + "/kept.cso", "keep me");
    // Wine shows a file without write permission as one with the read-only attribute;
    // as root the permission alone would not stop the write.
    ASSERT_EQ(chmod((dir + "/kept.cso").c_str(), 0444), 0);
    for (std::string out : {dir + "/kept.cso", dir + "/no such folder/out.cso"}) {
        for (const char* mode : {"-com", "-dec"}) {
            RunResult r = run_vellicor({mode, dir + "/in.iso", out});
            EXPECT_EQ(r.status, 1) << out;
            EXPECT_EQ(r.out, kBanner + "Can't create " + out + "\n");
        }
    }
    EXPECT_EQ(read_file(dir + "/kept.cso"), "keep me");
    EXPECT_FALSE(file_exists(dir + "/no such folder"));
}

// Runs the converter through the test tool that turns each "<D800>" of an argument into
// an unpaired UTF-16 surrogate.
RunResult run_with_lone_surrogate(const std::vector<std::string>& args) {
    std::vector<std::string> exe_and_args = converter_command(args);
    exe_and_args.erase(exe_and_args.begin());  // the Wine loader runs the tool instead
    RunResult r = run_windows_tool("lone_surrogate.exe", exe_and_args);
    r.out = fold_crlf(r.out);
    return r;
}

TEST(WindowsNames, NamesOf260CharactersAndMoreForInputOutputAndLog) {
    REQUIRE_WINDOWS_BUILD();
    ASSERT_FALSE(image().iso.empty());
    std::string dir = make_temp_dir(), folder = dir + "/" + std::string(150, 'f');
    std::filesystem::create_directories(folder);
    std::string base = folder + "/" + std::string(150, 'n'), iso = read_file(image().iso);
    ASSERT_GT(base.size(), 300u);
    write_file(base + ".iso", iso);
    RunResult c = run_vellicor({"-com", "-opt", "-vid", "-log" + base + ".log", base + ".iso", base + ".cso"});
    ASSERT_EQ(c.status, 0) << c.out;
    EXPECT_NE(read_text_file(base + ".log").find("OPEN.PMF;1"), std::string::npos);
    RunResult d = run_vellicor({"-dec", base + ".cso", base + ".iso2"});
    ASSERT_EQ(d.status, 0) << d.out;
    EXPECT_TRUE(read_file(base + ".iso2") == iso);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 4);
}

// A name with an unpaired surrogate names no file: it is refused, never read as the name
// with U+FFFD in its place (which here is a file that must stay untouched).
TEST(WindowsNames, UnpairedSurrogateNamesNoFile) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir(), image = text_bytes(8192, 3);
    write_file(dir + "/in.iso", image);
    write_file(dir + "/bad\xEF\xBF\xBD.iso", image);  // U+FFFD
    write_file(dir + "/bad\xEF\xBF\xBD.cso", "keep me");
    RunResult in = run_with_lone_surrogate({"-com", dir + "/bad<D800>.iso", dir + "/out.cso"});
    EXPECT_EQ(in.status, 1);
    EXPECT_EQ(in.out, kBanner + "Can't open " + dir + "/bad\xED\xA0\x80.iso\n");
    RunResult out = run_with_lone_surrogate({"-com", dir + "/in.iso", dir + "/bad<D800>.cso"});
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.out, kBanner + "Can't create " + dir + "/bad\xED\xA0\x80.cso\n");
    EXPECT_EQ(read_file(dir + "/bad\xEF\xBF\xBD.cso"), "keep me");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3);
}

// One engine's arguments before the names, and whether it reads a CSO.
struct Engine {
    std::vector<std::string> args;
    bool decodes;
};

TEST(WindowsBuildOutput, EveryEngineWritesTheSameBytesAsThisMachinesBuild) {
    REQUIRE_WINDOWS_BUILD();
    ASSERT_FALSE(image().iso.empty());
    // Each build writes to a folder of its own under the same name, so the lines that
    // name the output are alike too.
    std::string dir = make_temp_dir(), cso = dir + "/ref.cso", win_dir = make_temp_dir(),
                lin_dir = make_temp_dir();
    ASSERT_EQ(run_native_vellicor({"-com", "-opt", "-vid", image().iso, cso}).status, 0);
    const std::vector<Engine> engines = {
        {{"-com", "-l1"}, false},
        {{"-com", "-l9"}, false},
        {{"-com", "-opt", "-l1", "-t90"}, false},
        {{"-com", "-opt", "-l9", "-vid", "-aud", "-ext.dat"}, false},
        {{"-com", "-opt", "-l9", "-rm_vid", "-rm_update"}, false},
        {{"-com", "-opt", "-MT", "-l1", "-aud", "-ext.res", "-rm_ext"}, false},
        {{"-com", "-opt", "-MT", "-l9", "-vid", "-rm_aud", "-rm_update"}, false},
        {{"-est", "-opt", "-l9"}, false},
        {{"-est", "-opt", "-MT", "-l1", "-q1", "-vid"}, false},
        {{"-com", "-opt", "-MT0", "-l5", "-vid"}, false},  // one worker per processor on both
        {{"-com", "-MT64", "-l9", "-rm_aud"}, false},
        {{"-est", "-MT3", "-q2"}, false},
        {{"-dec"}, true},
        {{"-dec", "-opt"}, true},
    };
    for (const Engine& e : engines) {
        std::string label;
        for (auto& a : e.args) label += a + " ";
        std::vector<std::string> win = e.args, lin = e.args;
        win.push_back(e.decodes ? cso : image().iso);
        lin.push_back(e.decodes ? cso : image().iso);
        if (e.args[0] != "-est") {
            win.push_back(win_dir + "/out");
            lin.push_back(lin_dir + "/out");
        }
        RunResult w = run_vellicor(win), l = run_native_vellicor(lin);
        EXPECT_EQ(w.status, 0) << label;
        EXPECT_EQ(w.status, l.status) << label;
        std::string w_out = without_time(w.out), l_out = without_time(l.out);
        size_t at = w_out.find(win_dir);
        if (at != std::string::npos) w_out.replace(at, win_dir.size(), lin_dir);
        EXPECT_EQ(w_out, l_out) << label;
        EXPECT_TRUE(read_file(win_dir + "/out") == read_file(lin_dir + "/out")) << label;
    }
}

// Decoding an image of tens of MiB: the Windows build flushes it in the background
// as it grows, and the flushing must neither hold the file from its rename nor change a byte.
TEST(WindowsBuildOutput, LargeImagesDecodeWholeWhileFlushedInTheBackground) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir(), iso = dir + "/big.iso", cso = dir + "/big.cso", img;
    // 48 MiB: three flushes, the last one started by the last write, just before the rename
    for (uint32_t mib = 0; mib < 48; mib++)  // each MiB its own, so a misplaced one shows
        img += text_bytes(4096, mib) + std::string((1 << 20) - 4096, '\0');
    write_file(iso, img);
    ASSERT_EQ(run_native_vellicor({"-com", "-l1", iso, cso}).status, 0);
    for (const char* opt : {"", "-opt"}) {
        std::vector<std::string> args{"-dec", cso, dir + "/out.iso"};
        if (*opt) args.insert(args.begin() + 1, opt);
        EXPECT_EQ(run_vellicor(args).status, 0) << opt;
        EXPECT_TRUE(read_file(dir + "/out.iso") == img) << opt;
    }
}

// One -test or -info line and the status both builds must end it with.
struct ReadOnlyRun {
    std::vector<std::string> args;
    int status;
};

TEST(WindowsBuildOutput, TestAndInfoPrintWhatThisMachinesBuildPrints) {
    REQUIRE_WINDOWS_BUILD();
    ASSERT_FALSE(image().iso.empty());
    std::string dir = make_temp_dir(), cso = dir + "/游戏 📀.cso", cut = dir + "/cut.cso",
                other = dir + "/other.iso";
    ASSERT_EQ(run_native_vellicor({"-com", "-opt", "-vid", image().iso, cso}).status, 0);
    std::string bytes = read_file(cso), iso = read_file(image().iso);
    write_file(cut, bytes.substr(0, bytes.size() - 100));
    iso[iso.size() / 2] ^= 1;
    write_file(other, iso);
    const std::vector<ReadOnlyRun> runs = {
        {{"-test", cso}, 0},        {{"-test", image().iso}, 0}, {{"-test", cso, image().iso}, 0},
        {{"-test", cso, other}, 1}, {{"-test", cut}, 1},          {{"-info", cso}, 0},
        {{"-info", cut}, 1},        {{"-test", "-opt", cso}, 1},
    };
    for (const ReadOnlyRun& run : runs) {
        std::string label;
        for (auto& a : run.args) label += a + " ";
        RunResult w = run_vellicor(run.args), l = run_native_vellicor(run.args);
        EXPECT_EQ(w.status, run.status) << label << "\n" << w.out;
        EXPECT_EQ(l.status, run.status) << label << "\n" << l.out;
        EXPECT_EQ(w.out, l.out) << label;  // the Windows build's CR LF is folded already
    }
}

// The Windows heap gives freed blocks of -best's size back to the system; the build keeps
// them for reuse, which must never hand one block to two owners.
TEST(WindowsHeap, KeptBlocksComeBackAndAreNeverHandedOutTwice) {
    REQUIRE_WINDOWS_BUILD();
    RunResult r = run_windows_tool("kept_blocks.exe", {});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fold_crlf(r.out), "ok\n");
}

// Ctrl-C ends a run without its exit handlers; the console it ran on must get its own
// code page back all the same, or every later program's text shows garbled there. The
// console is a terminal that script(1) lends Wine.
TEST(WindowsConsole, CtrlCPutsTheConsolesCodePageBack) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", text_bytes(24 << 20, 1));
    auto q = [](const std::string& word) { return " '" + word + "'"; };
    std::vector<std::string> converter = converter_command({});
    std::string line = q(converter[0]) + q(std::string(getenv("VELLICOR_TEST_WINDOWS_TOOLS")) + "/console_break.exe") +
                       q(dir + "/result") + q(converter[1]) + " -com -l9" + q(dir + "/in.iso") + q(dir + "/out.cso");
    RunResult r = run_tool("/usr/bin/script", {"-qec", line, "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(dir + "/result"), "before 850 during 65001 after 850\n");
    EXPECT_FALSE(file_exists(dir + "/out.cso")) << "the run ended before Ctrl-C";
}

// Waits up to 10 s for a tool to make `ready`; true when it did.
bool wait_for_ready(const std::string& ready) {
    for (int i = 0; i < 200 && !std::filesystem::exists(ready); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return std::filesystem::exists(ready);
}

// Starts hold_open.exe on `file` for `ms` milliseconds, or with "release" until
// `file` + ".held" is removed ("keep": not sharing its removal), and returns its thread
// once the file is held.
std::thread hold_file(const std::string& file, const char* ms, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{file, ms, file + ".held"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::thread holder([args] { run_windows_tool("hold_open.exe", args); });
    EXPECT_TRUE(wait_for_ready(file + ".held")) << "hold_open.exe never held " << file;
    return holder;
}

// Another program holding the old output open for a moment (a scanner, an indexer) makes
// Windows refuse to replace its name; the run waits that moment out instead of failing.
TEST(WindowsOutputs, AnOutputHeldOpenForAMomentIsStillReplaced) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", read_file(image().iso));
    write_file(dir + "/out.cso", "old");
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/in.iso", dir + "/native.cso"}).status, 0);
    std::thread holder = hold_file(dir + "/out.cso", "1500");
    RunResult r = run_vellicor({"-com", dir + "/in.iso", dir + "/out.cso"});
    holder.join();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_file(dir + "/out.cso") == read_file(dir + "/native.cso"));
}

// A program that keeps the old output open without sharing its removal (an emulator
// playing it) would refuse its replacement: the run is refused before it starts, not
// after the whole conversion.
TEST(WindowsOutputs, AnOutputKeptOpenIsRefusedBeforeTheRun) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir(), out = dir + "/out.cso";
    write_file(dir + "/in.iso", text_bytes(8192, 1));
    write_file(out, "old");
    std::thread holder = hold_file(out, "release", {"keep"});  // held however slow the run starts
    RunResult r = run_vellicor({"-com", dir + "/in.iso", out});
    std::filesystem::remove(out + ".held");
    holder.join();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kBanner + "Can't create " + out + "\n");
    EXPECT_EQ(read_file(out), "old");
}

// Returns the name of a file of this machine as "\\.\Z:\folder\file".
std::string device_namespace_name(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "\\\\.\\Z:" + path;
}

// "\\.\Z:\folder\file" names a disk file, not a device: a failed run leaves the old
// file as it was, a finished one replaces it whole, and a log so named is known as the
// output it would be replaced by.
TEST(WindowsOutputs, DeviceNamespaceNamesOfFilesAreReplacedOnlyWhenFinished) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir(), iso = text_bytes(300000, 2) + std::string(7200, '\0');
    write_file(dir + "/in.iso", iso);
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/in.iso", dir + "/whole.cso"}).status, 0);
    write_file(dir + "/cut.cso", read_file(dir + "/whole.cso").substr(0, 20000));
    write_file(dir + "/keep.iso", "my old image");
    std::string device_name = device_namespace_name(dir + "/keep.iso");
    EXPECT_EQ(run_vellicor({"-dec", dir + "/cut.cso", device_name}).status, 1);
    EXPECT_TRUE(read_file(dir + "/keep.iso") == "my old image");
    EXPECT_EQ(run_vellicor({"-dec", dir + "/whole.cso", device_name}).status, 0);
    EXPECT_TRUE(read_file(dir + "/keep.iso") == iso);
    RunResult log = run_vellicor({"-com", "-opt", "-vid", "-log" + device_namespace_name(dir + "/new.cso"),
                                  dir + "/in.iso", dir + "/new.cso"});
    EXPECT_EQ(log.status, 1);
    EXPECT_NE(log.out.find("Log file is the input or output file"), std::string::npos) << log.out;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 4);
}

// A named pipe is written as its server takes it: never opened to look first, which
// would take the one instance its server offers.
TEST(WindowsOutputs, ANamedPipeIsWrittenAsItsServerTakesIt) {
    REQUIRE_WINDOWS_BUILD();
    std::string dir = make_temp_dir(), iso = text_bytes(40960, 3);
    write_file(dir + "/in.iso", iso);
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/in.iso", dir + "/in.cso"}).status, 0);
    std::string pipe = "vellicor-test-" + std::to_string(getpid());
    for (std::string spelling :
         {"\\\\.\\pipe\\", "\\\\.\\GLOBALROOT\\Device\\NamedPipe\\", "\\\\.\\Global\\pipe\\"}) {
        RunResult sink;
        std::string ready = dir + "/ready" + std::to_string(spelling.size());
        std::thread server([&] { sink = run_windows_tool("pipe_sink.exe", {"\\\\.\\pipe\\" + pipe, ready}); });
        EXPECT_TRUE(wait_for_ready(ready));
        RunResult r = run_vellicor({"-dec", dir + "/in.cso", spelling + pipe});
        server.join();
        EXPECT_EQ(r.status, 0) << spelling << "\n" << r.out;
        EXPECT_EQ(fold_crlf(sink.out), std::to_string(iso.size()) + "\n") << spelling;
    }
}

}  // namespace
