// A full disk through the built converter: every writer, with outputs that fit the stream
// buffer and outputs that overflow it, with areas and a log, and on a small file system.
// Each ends with its write error and status 1, never with a success, and what the user
// had under the output's (or the log's) name stays as it was.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

#include "engine_helpers.h"
#include "format_writers.h"

namespace {

namespace fs = std::filesystem;
using engine_helpers::mixed_image;

// One writer run on /dev/full: the arguments before the names, and whether it decodes.
struct full_disk_case {
    std::vector<std::string> args;
    bool decompress;
};

// Runs one writer with /dev/full as output and checks its message and status.
void expect_write_failure(const full_disk_case& c, const std::string& input, size_t blocks) {
    std::vector<std::string> args = c.args;
    args.push_back(input);
    args.push_back("/dev/full");
    RunResult r = run_vellicor(args);
    tail_line t = engine_tail(r.out);
    std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "") + " on " + input;
    EXPECT_EQ(r.status, 1) << what << "\n" << r.out;
    EXPECT_TRUE(t.time_line) << what;
    EXPECT_EQ(r.out.find("completed"), std::string::npos) << what << ": a failed write was reported as done";
    long b = block_number(t.message, "block %lu : Write error");
    bool index_error = t.message == "Index write error";
    bool close_error = t.message == "Can't close /dev/full";
    EXPECT_TRUE(index_error || close_error || (b >= 0 && static_cast<size_t>(b) < blocks))
        << what << ": last message '" << t.message << "'";
    EXPECT_FALSE(c.decompress && index_error) << what;
}

// 20 blocks fit the stream buffer (the failure shows at the index or the close; for the
// threaded compressor all of them are its head); 700 mostly random blocks overflow it
// mid-run (the failure shows at a block; the threaded compressor's head and chunks).
TEST(FullDisk, EveryWriterReportsTheFailedWriteWithStatus1) {
    std::string dir = make_temp_dir();
    for (size_t blocks : {20u, 700u}) {
        std::string img = blocks == 20 ? mixed_image(blocks) : random_bytes(blocks * 2048, 9);
        std::string iso = dir + "/in" + std::to_string(blocks) + ".iso";
        std::string cso = dir + "/in" + std::to_string(blocks) + ".cso";
        write_file(iso, img);
        ASSERT_EQ(run_vellicor({"-com", iso, cso}).status, 0);
        const full_disk_case cases[] = {{{"-com"}, false}, {{"-com", "-opt"}, false},
                                        {{"-com", "-MT"}, false}, {{"-dec"}, true},
                                        {{"-dec", "-opt"}, true}};
        for (auto& c : cases) expect_write_failure(c, c.decompress ? cso : iso, blocks);
    }
}

TEST(FullDisk, CompressionIsNeverReportedComplete) {
    std::string dir = make_temp_dir();
    // 10 blocks fit the stream buffer: the failure shows at the final index write;
    // 2000 blocks of noise overflow it: the failure shows at a block.
    write_file(dir + "/small.iso", text_bytes(10 * 2048, 3));
    write_file(dir + "/big.iso", random_bytes(2000 * 2048, 4));
    // (block 508's output finds the 1 MiB stream buffer full; the threaded compressor's
    // chunk from block 400 on holds it.)
    for (auto engine : {std::vector<std::string>{"-com"}, {"-com", "-opt"}, {"-com", "-MT"}}) {
        for (auto [name, line] : {std::pair<std::string, std::string>{"small", "Index write error\n"},
                                  {"big", "block 508 : Write error\n"}}) {
            std::vector<std::string> args = engine;
            args.push_back(dir + "/" + name + ".iso");
            args.push_back("/dev/full");
            RunResult r = run_vellicor(args);
            EXPECT_EQ(r.status, 1) << name;
            EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("completed"), std::string::npos) << name;
        }
    }
}

TEST(FullDisk, DecompressionReportsTheWriteError) {
    std::string dir = make_temp_dir();
    // 10 blocks stay in the 1 MiB output buffer until the end (the last block is named);
    // 1000 overflow it, and the block whose output found it full is named: block 512.
    // The message comes right after the last progress line due before that block.
    write_file(dir + "/in.iso", random_bytes(1000 * 2048, 5));
    write_file(dir + "/small.iso", random_bytes(10 * 2048, 5));
    ASSERT_EQ(run_vellicor({"-com", dir + "/in.iso", dir + "/a.cso"}).status, 0);
    ASSERT_EQ(run_vellicor({"-com", dir + "/small.iso", dir + "/b.cso"}).status, 0);
    for (auto [opt, cso] : {std::pair<bool, std::string>{false, "a"}, {true, "a"}, {false, "b"}, {true, "b"}}) {
        std::vector<std::string> args{"-dec"};
        if (opt) args.push_back("-opt");
        args.push_back(dir + "/" + cso + ".cso");
        args.push_back("/dev/full");
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 1);
        std::string line = cso == "a" ? "decompress 51%\rblock 512 : Write error\n"
                                      : "decompress 9%\rblock 9 : Write error\n";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("completed"), std::string::npos) << r.out;
    }
    // Blocks of a whole 1 MiB each: block 0 goes out as it ends and is the one named.
    write_file(dir + "/mb.cso", write_cso_family("CISO", 1, random_bytes(2 << 20, 6), 1 << 20,
                                                 [](uint32_t) { return Store::PLAIN; }));
    RunResult m = run_vellicor({"-dec", dir + "/mb.cso", "/dev/full"});
    EXPECT_NE(m.out.find("decompress 0%\rblock 0 : Write error\n"), std::string::npos) << m.out;
}

// A mastered image whose video (stored plain, so the output overflows the stream buffer)
// and update files really become areas.
TEST(FullDisk, WithAreasEndsWithStatus1) {
    std::string dir = make_temp_dir();
    fs::create_directories(dir + "/tree/PSP_GAME/USRDIR/MOVIE");
    fs::create_directories(dir + "/tree/PSP_GAME/SYSDIR/UPDATE");
    write_file(dir + "/tree/PSP_GAME/USRDIR/MOVIE/OPEN.PMF", "PSMF" + random_bytes(1500000, 7));
    write_file(dir + "/tree/PSP_GAME/SYSDIR/UPDATE/DATA.BIN", text_bytes(300000, 8));
    ASSERT_TRUE(master_iso(dir + "/tree", dir + "/game.iso", {"-N"}));
    for (const char* engine : {"-opt", "-MT"}) {
        RunResult r = run_vellicor({"-com", engine, "-vid", "-rm_update", dir + "/game.iso", "/dev/full"});
        EXPECT_EQ(r.status, 1) << engine;
        EXPECT_NE(r.out.find("     2 files found\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" : Write error\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("completed"), std::string::npos) << engine;
    }
}

TEST(FullDisk, ALogThatCannotBeWrittenFailsTheRunAndKeepsTheOutput) {
    if (testing_windows_build()) GTEST_SKIP() << "/dev/full is this machine's device";
    std::string dir = make_temp_dir();
    write_file(dir + "/a.iso", mixed_image(16));
    write_file(dir + "/old.cso", "the user's old CSO");
    std::map<std::string, std::string> before = snapshot(dir);
    for (const char* engine : {"-opt", "-MT"}) {
        RunResult r = run_vellicor({"-com", engine, "-vid", "-log/dev/full", dir + "/a.iso", dir + "/old.cso"});
        EXPECT_EQ(r.status, 1) << engine;
        EXPECT_NE(r.out.find("Can't write log /dev/full\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Log has been written"), std::string::npos);
        EXPECT_TRUE(snapshot(dir) == before) << engine;
    }
}

// -test, -info, the estimates and the help print their result: one that could not be
// written (a full disk, a closed standard output) is no success.
TEST(FullDisk, AReportThatCannotBeWrittenFailsTheRun) {
    if (testing_windows_build()) GTEST_SKIP() << "/dev/full is this machine's device";
    std::string dir = make_temp_dir(), iso = dir + "/a.iso", cso = dir + "/a.cso";
    write_file(iso, mixed_image(16));
    ASSERT_EQ(run_vellicor({"-com", iso, cso}).status, 0);
    const std::vector<std::string> runs[] = {{"-test", cso}, {"-info", cso}, {"-est", iso},
                                             {"-est", "-MT", cso}, {"-help"}, {"-fullhelp"}};
    for (const auto& args : runs) {
        for (const char* nowhere : {">/dev/full", ">&-"}) {
            std::vector<std::string> command = converter_command(args);
            command.insert(command.begin(), {"-c", std::string("exec \"$0\" \"$@\" ") + nowhere});
            RunResult r = run_tool("/bin/sh", command);
            EXPECT_EQ(r.status, 1) << args[0] << " " << args.back() << nowhere;
            EXPECT_EQ(r.err, "Can't write the report to standard output\n") << args[0] << " " << args.back() << nowhere;
        }
    }
}

// A small file system mounted for the test, unmounted whatever happens.
struct SmallDisk {
    std::string path;
    bool mounted = false;
    explicit SmallDisk(const std::string& at) : path(at) {
        fs::create_directories(path);
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~SmallDisk() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
};

TEST(FullDisk, ASmallFileSystemKeepsTheOldFileForEveryWriter) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    std::string dir = make_temp_dir();
    SmallDisk disk(dir + "/small");
    if (!disk.mounted) GTEST_SKIP() << "tmpfs could not be mounted here";
    std::string img = random_bytes(1000 * 2048, 5);  // 2 MB that deflate can't shrink
    write_file(dir + "/in.iso", img);
    ASSERT_EQ(run_native_vellicor({"-com", dir + "/in.iso", dir + "/in.cso"}).status, 0);
    std::string old = text_bytes(300000, 3);
    const std::vector<std::vector<std::string>> writers = {
        {"-com"}, {"-com", "-opt"}, {"-com", "-MT"}, {"-dec"}, {"-dec", "-opt"}};
    for (auto args : writers) {
        write_file(disk.path + "/out", old);
        args.push_back(dir + (args[0] == "-dec" ? "/in.cso" : "/in.iso"));
        args.push_back(disk.path + "/out");
        RunResult r = run_vellicor(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args[1] << "\n" << r.out;
        EXPECT_TRUE(read_file(disk.path + "/out") == old) << args[1];
        EXPECT_EQ(snapshot(disk.path).size(), 1u) << args[1] << ": the temporary file was left";
    }
}

}  // namespace
