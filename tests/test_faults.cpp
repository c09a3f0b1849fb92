// Fault injection through the built converter: inputs that cannot be read,
// output folders that cannot be written, inputs that shrink or whose size cannot be
// taken, and CSO files cut at every structural boundary. Each must end with its one
// message and status 1, never with a success, a crash or foreign bytes in the output.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace {

// A mixed image of `blocks` blocks: text, plain-worthy random blocks and zeros.
std::string mixed_image(size_t blocks) {
    std::string img;
    for (size_t b = 0; b < blocks; b++) {
        if (b % 3 == 1) img += random_bytes(2048, static_cast<uint32_t>(b));
        else if (b % 5 == 2) img += std::string(2048, '\0');
        else img += text_bytes(2048, static_cast<uint32_t>(b));
    }
    return img;
}

// ------------------------------------------------------------------ unreadable input

TEST(UnreadableInput, FolderAsInputCannotBeOpened) {
    std::string dir = make_temp_dir();
    mkdir((dir + "/folder.iso").c_str(), 0755);
    for (std::vector<std::string> args : {std::vector<std::string>{"-com"}, {"-com", "-opt"}, {"-com", "-MT"},
                                          {"-dec"}, {"-dec", "-opt"}, {"-est"}, {"-est", "-MT"}}) {
        args.push_back(dir + "/folder.iso");
        args.push_back(dir + "/out");
        RunResult r = run_vellicor(args);
        tail_line t = engine_tail(r.out);
        EXPECT_EQ(r.status, 1) << args[0] << "\n" << r.out;
        EXPECT_EQ(t.message, "Can't open " + dir + "/folder.iso") << args[0] << " " << args[1];
        EXPECT_FALSE(t.time_line) << "no engine may run on a folder";
        EXPECT_FALSE(file_exists(dir + "/out")) << args[0];
    }
}

TEST(UnreadableInput, FileWithoutReadPermissionCannotBeOpened) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not stop reading";
    std::string dir = make_temp_dir();
    write_file(dir + "/locked.iso", mixed_image(2));
    chmod((dir + "/locked.iso").c_str(), 0);
    RunResult r = run_vellicor({"-com", dir + "/locked.iso", dir + "/out.cso"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Can't open " + dir + "/locked.iso\n"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(dir + "/out.cso"));
}

TEST(UnreadableInput, MissingFileCannotBeOpened) {
    std::string dir = make_temp_dir();
    RunResult r = run_vellicor({"-dec", dir + "/gone.cso", dir + "/out.iso"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(engine_tail(r.out).message, "Can't open " + dir + "/gone.cso");
    EXPECT_FALSE(file_exists(dir + "/out.iso"));
}

// ------------------------------------------------------------------ unwritable output folder

// Runs a compression into `out` and expects the parser's refusal to create it.
void expect_cannot_create(const std::string& iso, const std::string& out) {
    std::string before = read_file(iso);
    RunResult r = run_vellicor({"-com", iso, out});
    EXPECT_EQ(r.status, 1) << out;
    tail_line t = engine_tail(r.out);
    EXPECT_EQ(t.message, "Can't create " + out) << r.out;
    EXPECT_FALSE(t.time_line) << "no engine may run without an output";
    EXPECT_EQ(read_file(iso), before) << "the input must stay as it was";
}

TEST(UnwritableOutputFolder, FolderOfAFileSystemThatRefusesNewFiles) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", mixed_image(4));
    expect_cannot_create(dir + "/in.iso", "/proc/vellicor-fault-test.cso");
}

TEST(UnwritableOutputFolder, FolderThatIsAFile) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", mixed_image(4));
    expect_cannot_create(dir + "/in.iso", dir + "/in.iso/out.cso");
}

TEST(UnwritableOutputFolder, FolderWithoutWritePermission) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: permission bits do not stop writing";
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", mixed_image(4));
    mkdir((dir + "/ro").c_str(), 0555);
    expect_cannot_create(dir + "/in.iso", dir + "/ro/out.cso");
}

// ------------------------------------------------------------------ size cannot be taken

// Feeds `data` into the FIFO once a reader has opened it (giving up after 20 s, or once
// the run is over: a converter may open and close it between two tries), then closes it.
void feed_fifo(const std::string& path, const std::string& data, const std::atomic<bool>* over) {
    int fd = -1;
    for (int i = 0; i < 2000 && fd < 0 && !*over; i++) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);  // ENXIO until the converter opens it
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    fcntl(fd, F_SETFL, 0);
    (void)!write(fd, data.data(), data.size());  // fits the pipe; EPIPE when the reader left
    close(fd);
}

TEST(ShrinkingInput, PipeWhoseSizeCannotBeTaken) {
    // The feeder writes to readers that may have left; the converters it starts inherit
    // an ignored SIGPIPE, so it is put back for the tests after this one.
    struct Restore {
        void (*handler)(int);
        ~Restore() { signal(SIGPIPE, handler); }
    } restore{signal(SIGPIPE, SIG_IGN)};
    std::string dir = make_temp_dir();
    std::string img = mixed_image(10);
    write_file(dir + "/img.iso", img);
    ASSERT_EQ(run_vellicor({"-com", dir + "/img.iso", dir + "/img.cso"}).status, 0);
    std::string cso = read_file(dir + "/img.cso");
    struct pipe_case {
        std::vector<std::string> args;
        std::string message;
        const std::string* data;
    };
    std::vector<pipe_case> cases{{{"-com"}, "Can't get file size", &img},
                                 {{"-com", "-opt"}, "Can't get file size", &img},
                                 {{"-com", "-MT"}, "Can't get file size", &img},
                                 {{"-est"}, "Can't get file size", &img},
                                 {{"-est", "-MT"}, "Can't get file size", &img},
                                 {{"-dec"}, "file read error", &cso},
                                 {{"-dec", "-opt"}, "file read error", &cso}};
    for (auto& c : cases) {
        std::string fifo = dir + "/fifo";
        unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Fewer bytes than the whole input: the pipe is cut off after 30000 of them.
        std::atomic<bool> over{false};
        std::thread feeder(feed_fifo, fifo, c.data->substr(0, 30000), &over);
        std::vector<std::string> args = c.args;
        args.push_back(fifo);
        args.push_back(dir + "/out");
        RunResult r = run_vellicor(args);
        over = true;
        feeder.join();
        EXPECT_EQ(r.status, 1) << c.args[0] << "\n" << r.out;
        EXPECT_EQ(engine_tail(r.out).message, c.message) << c.args.size();
        EXPECT_FALSE(file_exists(dir + "/out")) << "nothing may be written without a size";
    }
}

// A FIFO no one writes to: the open does not wait for a writer, and the run is refused.
TEST(ShrinkingInput, FifoWithoutAWriterIsRefusedAtOnce) {
    if (testing_windows_build()) GTEST_SKIP() << "a FIFO is this machine's";
    std::string dir = make_temp_dir(), fifo = dir + "/fifo.cso";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-info", fifo}, "Can't open " + fifo}, {{"-test", fifo}, "Can't open " + fifo},
        {{"-dec", fifo, dir + "/out"}, "file read error"}};
    for (const auto& [args, line] : cases) {
        std::vector<std::string> timed = converter_command(args);
        timed.insert(timed.begin(), "30");  // a hang ends as a failure
        RunResult r = run_tool("/usr/bin/timeout", timed);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.out.find("\n" + line + "\n"), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(dir + "/out"));
    }
}

// ------------------------------------------------------------------ closed standard streams

// A run started with its standard streams closed: the files it opens must not take their
// numbers, or its console text lands in the output of a run that says it succeeded.
TEST(ClosedStandardStreams, OutputsHoldNoConsoleText) {
    if (testing_windows_build()) GTEST_SKIP() << "descriptors are this machine's";
    std::string dir = make_temp_dir(), iso = dir + "/in.iso", cso = dir + "/in.cso";
    write_file(iso, mixed_image(64));
    ASSERT_EQ(run_vellicor({"-com", iso, cso}).status, 0);
    const std::vector<std::string> cases[] = {{"-com", iso, cso}, {"-dec", cso, iso}};
    for (const auto& c : cases) {
        const std::string &mode = c[0], &in = c[1], &want = c[2], out = dir + "/out";
        std::vector<std::string> args = converter_command({mode, in, out});
        args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
        RunResult r = run_tool("/bin/sh", args);
        EXPECT_EQ(r.status, 0) << mode;
        EXPECT_TRUE(read_file(out) == read_file(want)) << mode;
        std::filesystem::remove(out);
    }
}

// ------------------------------------------------------------------ input shrinks mid-run

// Returns the argument vector of a command for posix_spawn (it lives as long as `command`).
std::vector<char*> c_argv(std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (auto& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// A converter run whose stdout is a one-page pipe pre-filled so that its first flush
// fits and its second blocks: the run is held after it has measured its input.
struct gated_run {
    pid_t pid = -1;
    int read_end = -1;
};

// Starts the converter with stdout on a pipe that holds exactly `first_flush` more bytes.
gated_run start_gated(const std::vector<std::string>& args, size_t first_flush) {
    gated_run g;
    int p[2];
    if (pipe(p) != 0) return g;
    if (fcntl(p[1], F_SETPIPE_SZ, 4096) != 4096 || fcntl(p[1], F_GETPIPE_SZ) != 4096 ||
        first_flush >= 4096) {
        close(p[0]);
        close(p[1]);
        return g;
    }
    std::string fill(4096 - first_flush, '#');
    if (write(p[1], fill.data(), fill.size()) != static_cast<ssize_t>(fill.size())) {
        close(p[0]);
        close(p[1]);
        return g;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    std::vector<std::string> command = converter_command(args);
    std::vector<char*> argv = c_argv(command);
    if (posix_spawn(&g.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) g.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    g.read_end = p[0];
    return g;
}

// Waits (at most 30 s) until the pipe is full, i.e. the first flush has been written.
bool wait_for_first_flush(const gated_run& g) {
    for (int i = 0; i < 3000; i++) {
        int queued = 0;
        if (ioctl(g.read_end, FIONREAD, &queued) == 0 && queued == 4096) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Reads the rest of the run's stdout (after the pre-fill) and returns it with the status.
RunResult finish_gated(gated_run& g, size_t fill) {
    RunResult r{-1, "", ""};
    char buf[65536];
    for (ssize_t n; (n = read(g.read_end, buf, sizeof buf)) > 0;) r.out.append(buf, n);
    close(g.read_end);
    int st = 0;
    waitpid(g.pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out.erase(0, fill);
    if (testing_windows_build()) r.out = fold_crlf(r.out);
    return r;
}

// Returns the size of the converter's first flushed text: its stdout up to the end of
// the line (line feed or carriage return) that holds `marker`; 0 when there is none.
size_t first_flush_size(const std::vector<std::string>& args, const std::string& marker) {
    RunResult r = run_vellicor(args);
    size_t at = r.out.find(marker);
    if (at == std::string::npos) return 0;
    size_t end = r.out.find_first_of("\r\n", at);
    if (end == std::string::npos) return 0;
    // The Windows build wrote each of those line feeds as CR LF on the pipe.
    size_t crs = testing_windows_build() ? std::count(r.out.begin(), r.out.begin() + end + 1, '\n') : 0;
    return end + 1 + crs;
}

// Runs args gated, cuts `file` to `keep` bytes while the run is held, and returns the run.
RunResult run_with_input_cut(const std::vector<std::string>& args, const std::string& marker,
                             const std::string& file, off_t keep) {
    size_t first = first_flush_size(args, marker);
    if (first == 0) return {-2, "", "first flush not found"};
    gated_run g = start_gated(args, first);
    if (g.pid < 0) return {-3, "", "one-page pipe not available"};
    if (!wait_for_first_flush(g)) {
        kill(g.pid, SIGKILL);
        finish_gated(g, 0);
        return {-4, "", "the run never reached its first flush"};
    }
    if (truncate(file.c_str(), keep) != 0) {
        kill(g.pid, SIGKILL);
        finish_gated(g, 0);
        return {-5, "", "truncate failed"};
    }
    return finish_gated(g, 4096 - first);
}

// One compressor whose image is cut to 100 blocks while it is held: its arguments, a
// text of the first line it flushes after measuring the image, and the block whose
// read must fail (exactly, or at the earliest when it had read ahead before the cut).
struct cut_case {
    std::vector<std::string> args;
    std::string first_flush;
    long failing_block;
    bool exact;
};

TEST(ShrinkingInput, ImageCutAfterItWasMeasuredEveryCompressor) {
    std::string dir = make_temp_dir();
    std::string iso = dir + "/in.iso", cso = dir + "/out.cso";
    std::string img = mixed_image(600);
    std::vector<cut_case> cases{
        // The reference compressor's first progress line comes after a few blocks: its
        // stream had already buffered part of the image when the cut came.
        {{"-com"}, "compress   0% average rate", 100, false},
        {{"-com", "-opt"}, "Files in Lost area  none", 100, true},
        // 600 blocks: a head of 280 blocks read at once, cut short at its block 0.
        {{"-com", "-MT"}, "Files in Lost area  none", 0, true}};
    for (auto& c : cases) {
        write_file(iso, img);
        std::vector<std::string> args = c.args;
        args.push_back(iso);
        args.push_back(cso);
        RunResult r = run_with_input_cut(args, c.first_flush, iso, 100 * 2048);
        if (r.status == -3) GTEST_SKIP() << r.err;
        ASSERT_GE(r.status, 0) << r.err << " " << c.args.back();
        EXPECT_EQ(r.status, 1) << r.out;
        long b = block_number(engine_tail(r.out).message, "block=%lu : read error");
        EXPECT_TRUE(c.exact ? b == c.failing_block : b >= c.failing_block && b < 600)
            << c.args.back() << ": " << engine_tail(r.out).message;
        EXPECT_EQ(r.out.find("completed"), std::string::npos);
    }
}

// Eight workers, an image of a head of 5 blocks and four chunks cut to 700 blocks before
// the first chunk is read: all four are read ahead at once, and the third (block 645)
// fails, after the two before it were written; the output the measuring run wrote stays.
TEST(ShrinkingInput, ImageCutMidwayUnderEightWorkers) {
    std::string dir = make_temp_dir();
    std::string iso = dir + "/in.iso", cso = dir + "/out.cso";
    write_file(iso, mixed_image(1285));
    ASSERT_EQ(run_vellicor({"-com", "-opt", iso, dir + "/whole.cso"}).status, 0);
    RunResult r = run_with_input_cut({"-com", "-MT8", iso, cso}, "Files in Lost area  none", iso,
                                     700 * 2048);
    if (r.status == -3) GTEST_SKIP() << r.err;
    ASSERT_GE(r.status, 0) << r.err;
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(engine_tail(r.out).message, "block=645 : read error") << r.out;
    EXPECT_TRUE(read_file(cso) == read_file(dir + "/whole.cso"));
}

TEST(ShrinkingInput, CsoCutAfterItsIndexWasReadBothDecompressors) {
    std::string dir = make_temp_dir();
    std::string iso = dir + "/in.iso", cso = dir + "/in.cso", out = dir + "/out.iso";
    std::string img = random_bytes(1500 * 2048, 4);  // all plain: payload b ends at base + 2048 (b + 1)
    write_file(iso, img);
    ASSERT_EQ(run_vellicor({"-com", iso, cso}).status, 0);
    std::string whole = read_file(cso);
    CsoView v = parse_cso(whole);
    ASSERT_EQ(v.index.size(), 1501u);
    off_t keep = 2500000;
    long first_cut = (keep - static_cast<off_t>(v.index[0] & 0x7FFFFFFF)) / 2048;  // first block past the cut
    for (const char* opt : {"", "-opt"}) {
        write_file(cso, whole);
        std::vector<std::string> args{"-dec"};
        if (*opt) args.push_back(opt);
        args.push_back(cso);
        args.push_back(out);
        RunResult r = run_with_input_cut(args, "decompress 0%", cso, keep);
        if (r.status == -3) GTEST_SKIP() << r.err;
        ASSERT_GE(r.status, 0) << r.err;
        std::string got = read_file(out);
        if (r.status == 0) {  // everything had been read before the cut: the image is whole
            EXPECT_TRUE(got == img) << opt;
            continue;
        }
        EXPECT_EQ(r.status, 1);
        long b = block_number(engine_tail(r.out).message, "block=%lu : read error");
        RecordProperty(std::string("failed_block") + opt, engine_tail(r.out).message);
        EXPECT_GE(b, first_cut) << opt << r.out;
        EXPECT_LT(b, 1500);
        // The run that measured the first flush wrote the whole image: it must stay.
        EXPECT_TRUE(got == img) << opt << ": a failed run must leave the previous file";
    }
}

// ------------------------------------------------------------------ killed mid-run

// A run held mid-way and then ended by a signal.
struct kill_case {
    std::vector<std::string> args;
    std::string marker;  // text of a progress line flushed after blocks were written
    int sig;
};

// Waits, at most 10 s, until `dir` holds no temporary output file.
void wait_for_no_temps(const std::string& dir) {
    for (int tries = 0; tries < 1000; tries++) {
        bool any = false;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            any = any || e.path().filename().string().find(".vellicor-tmp-") != std::string::npos;
        if (!any) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A run killed mid-compression or mid-decompression leaves the old output as it was and
// at most its temporary file (none after Ctrl-C or a closed console pipe here, none at all
// from the Windows build).
TEST(KilledRun, OldFileStaysAndAtMostTheTemporaryFileIsLeft) {
    std::string dir = make_temp_dir();
    std::string iso = dir + "/in.iso", cso = dir + "/in.cso", out = dir + "/out", old = "the user's old file";
    write_file(iso, mixed_image(600));
    ASSERT_EQ(run_vellicor({"-com", iso, cso}).status, 0);
    std::vector<kill_case> cases{{{"-com", iso, out}, "compress   1% average rate", SIGKILL},
                                 {{"-com", "-MT", iso, out}, "Files in Lost area  none", SIGKILL},
                                 {{"-dec", cso, out}, "decompress 1%", SIGKILL}};
    // This machine's build removes its temporary file on Ctrl-C, when its console output
    // goes to a pipe whose reader has gone ("| head") and at a processor time limit.
    for (int sig : {SIGINT, SIGPIPE, SIGXCPU})
        if (!testing_windows_build()) cases.push_back({{"-dec", cso, out}, "decompress 1%", sig});
    for (const kill_case& c : cases) {
        size_t first = first_flush_size(c.args, c.marker);
        ASSERT_GT(first, 0u) << c.marker;
        write_file(out, old);
        gated_run g = start_gated(c.args, first);
        if (g.pid < 0) GTEST_SKIP() << "one-page pipe not available";
        bool held = wait_for_first_flush(g);
        kill(g.pid, c.sig);
        RunResult r = finish_gated(g, 4096 - first);
        ASSERT_TRUE(held) << c.args[0] << ": the run never reached " << c.marker;
        EXPECT_EQ(r.status, 128 + c.sig) << c.args[0];
        EXPECT_EQ(read_file(out), old) << c.args[0] << " " << c.args[1];
        // The Windows build's temporary file is deleted by the system when the run ends;
        // under Wine that is the server's work and may come just after the process is reaped.
        if (testing_windows_build()) wait_for_no_temps(dir);
        int temps = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            std::string name = e.path().filename().string();
            if (name == "in.iso" || name == "in.cso" || name == "out") continue;
            EXPECT_EQ(name.rfind(".out.vellicor-tmp-", 0), 0u) << "foreign file " << name;
            std::filesystem::remove(e.path());
            temps++;
        }
        EXPECT_LE(temps, c.sig != SIGKILL || testing_windows_build() ? 0 : 1) << c.args[0] << " " << c.sig;
    }
}

// ------------------------------------------------------------------ CSO cut at every boundary

// The verdict a decoder must give for a CSO cut to `size` bytes.
struct verdict {
    int status;
    std::string message;
    size_t out_bytes;
};

// Returns the verdict for the file cut to `size` bytes, from its index.
verdict cut_verdict(const CsoView& v, size_t full, size_t size) {
    size_t n = v.index.size() - 1, index_end = 24 + 4 * (n + 1);
    if (size < index_end) return {1, "file read error", 0};
    if (size == full) return {0, "ciso decompress completed", n * 2048};
    for (size_t b = 0; b < n; b++) {
        size_t start = v.index[b] & 0x7FFFFFFF;
        size_t end = (v.index[b] & 0x80000000) ? start + 2048 : v.index[b + 1] & 0x7FFFFFFF;
        if (end > size) return {1, "block=" + std::to_string(b) + " : read error", b * 2048};
    }
    return {0, "ciso decompress completed", n * 2048};
}

// Returns every cut size worth testing: inside and at the ends of the header, the index
// and each payload.
std::vector<size_t> cut_points(const CsoView& v, size_t full) {
    size_t n = v.index.size() - 1, index_end = 24 + 4 * (n + 1);
    std::vector<size_t> cuts{0, 1, 12, 23, 24, 25, index_end - 4, index_end - 1, index_end};
    for (size_t b = 0; b < n; b++) {
        size_t start = v.index[b] & 0x7FFFFFFF, end = v.index[b + 1] & 0x7FFFFFFF;
        for (size_t c : {start + 1, (start + end) / 2, end - 1, end})
            if (c <= full) cuts.push_back(c);
    }
    return cuts;
}

TEST(TruncatedCso, BothDecodersAtEveryStructuralBoundary) {
    std::string dir = make_temp_dir();
    std::string img = mixed_image(7);
    write_file(dir + "/in.iso", img);
    ASSERT_EQ(run_vellicor({"-com", dir + "/in.iso", dir + "/full.cso"}).status, 0);
    std::string full = read_file(dir + "/full.cso");
    CsoView v = parse_cso(full);
    ASSERT_EQ(v.index.size(), 8u);
    for (size_t cut : cut_points(v, full.size())) {
        write_file(dir + "/cut.cso", full.substr(0, cut));
        verdict want = cut_verdict(v, full.size(), cut);
        for (const char* opt : {"", "-opt"}) {
            std::vector<std::string> args{"-dec"};
            if (*opt) args.push_back(opt);
            args.push_back(dir + "/cut.cso");
            args.push_back(dir + "/out.iso");
            write_file(dir + "/out.iso", "previous");
            RunResult r = run_vellicor(args);
            std::string what = "cut at " + std::to_string(cut) + " -dec " + opt;
            EXPECT_EQ(r.status, want.status) << what;
            EXPECT_EQ(engine_tail(r.out).message, want.message) << what;
            std::string got = read_file(dir + "/out.iso");
            EXPECT_TRUE(got == (want.status ? "previous" : img)) << what << ": " << got.size() << " bytes";
        }
    }
}


// ------------------------------------------------------------------ damaged CSO corpus

// One MANIFEST row: a file of tests/data/cso, a decoder and the verdict it must get.
struct manifest_row {
    std::string file, decoder;
    verdict want;
};

// Splits a line at '|' into at most `parts` fields (the last keeps any further '|').
std::vector<std::string> split_fields(const std::string& line, size_t parts) {
    std::vector<std::string> f;
    size_t p = 0;
    for (size_t q; f.size() + 1 < parts && (q = line.find('|', p)) != std::string::npos; p = q + 1)
        f.push_back(line.substr(p, q - p));
    f.push_back(line.substr(p));
    return f;
}

// Returns the rows of tests/data/cso/MANIFEST (comments and blank lines skipped).
std::vector<manifest_row> read_manifest() {
    std::vector<manifest_row> rows;
    std::string text = read_file(std::string(TEST_DATA_DIR) + "/cso/MANIFEST"), line;
    for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
        nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        line = text.substr(at, nl - at);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f = split_fields(line, 5);
        if (f.size() == 5) rows.push_back({f[0], f[1], {std::stoi(f[2]), f[4], std::stoul(f[3])}});
    }
    return rows;
}

TEST(DamagedCsoCorpus, EveryFileGetsItsVerdictFromBothDecoders) {
    std::string data = std::string(TEST_DATA_DIR) + "/cso/", dir = make_temp_dir();
    ASSERT_EQ(run_vellicor({"-dec", data + "valid.cso", dir + "/image.iso"}).status, 0);
    std::string image = read_file(dir + "/image.iso");
    std::vector<manifest_row> rows = read_manifest();
    ASSERT_GE(rows.size(), 60u) << "MANIFEST is missing or cut short";
    for (const manifest_row& row : rows) {
        std::vector<std::string> args{"-dec"};
        if (row.decoder == "dec-opt") args.push_back("-opt");
        args.push_back(data + row.file);
        args.push_back(dir + "/out.iso");
        write_file(dir + "/out.iso", "previous");
        RunResult r = run_vellicor(args);
        std::string what = row.file + " " + row.decoder;
        EXPECT_EQ(r.status, row.want.status) << what;
        tail_line t = engine_tail(r.out);
        EXPECT_EQ(t.message, row.want.message) << what;
        EXPECT_TRUE(t.time_line) << what;
        std::string got = read_file(dir + "/out.iso");
        if (row.want.status != 0) {
            EXPECT_EQ(got, "previous") << what << ": a failed run must leave the old file";
            continue;
        }
        EXPECT_EQ(got.size(), row.want.out_bytes) << what;
        bool from_base = row.file.rfind("cut-", 0) == 0 || row.file == "valid.cso";
        if (from_base) {
            EXPECT_TRUE(got == image.substr(0, got.size())) << what << ": foreign bytes";
        }
    }
}

// ------------------------------------------------------------------ memory on hostile headers

// Runs the converter with args (output to /dev/null) and returns its peak resident set in KiB.
long peak_kib(const std::vector<std::string>& args) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    // The Windows build runs inside its Wine process, which then counts Wine's own memory.
    std::vector<std::string> command = converter_command(args);
    std::vector<char*> argv = c_argv(command);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int st = 0;
    struct rusage ru {};
    if (wait4(pid, &st, 0, &ru) != pid) return -1;
    return ru.ru_maxrss;
}

// A header claiming a 2,000,000,000-byte image, then `entries` index entries that all
// point at a plain block past the end of the file.
std::string claims_2gb(size_t entries) {
    std::string h = read_file(std::string(TEST_DATA_DIR) + "/cso/claims-2gb-image.cso").substr(0, 24);
    for (size_t i = 0; i < entries; i++) h += std::string("\xff\xff\xff\xff", 4);
    return h;
}

TEST(HostileCsoMemory, ClaimOfA2GBImageCostsTheIndexNotTheImage) {
    std::string dir = make_temp_dir();
    write_file(dir + "/short.cso", claims_2gb(1));                 // index cut short: refused
    write_file(dir + "/whole.cso", claims_2gb(2000000000 / 2048 + 1));  // 3.9 MB index read whole
    for (const char* opt : {"", "-opt"}) {
        for (const char* f : {"/short.cso", "/whole.cso"}) {
            std::vector<std::string> args{"-dec"};
            if (*opt) args.push_back(opt);
            args.push_back(dir + f);
            args.push_back("/dev/null");
            long kib = peak_kib(args);
            ASSERT_GT(kib, 0);
            // Sanitizer builds carry tens of MB of their own; the claim is 2 GB.
            EXPECT_LT(kib, 96 * 1024) << f << " " << opt;
        }
    }
}

// Writes a plain image of `sectors` sectors whose root directory fills it from sector 20
// with subdirectory records, each naming an empty directory at its own extent past the
// end. Written a sector at a time: the converter, started from this process, would count
// its memory high-water mark as its own.
void write_directory_flood(const std::string& path, uint32_t sectors) {
    std::ofstream f(path, std::ios::binary);
    HandIso head(20);
    head.set_root(20, (sectors - 20) * 2048);
    f.write(head.bytes.data(), static_cast<std::streamsize>(head.bytes.size()));
    for (uint32_t s = 20, next = sectors; s < sectors; s++) {
        HandIso sector(1);
        for (size_t off = 0; off + 34 <= 2048;) off = sector.put_record(0, off, next++, 0, true, "A");
        f.write(sector.bytes.data(), 2048);
    }
}

TEST(HostileImageMemory, DirectoryFloodCostsNoMemoryPerRecord) {
    std::string dir = make_temp_dir();
    write_directory_flood(dir + "/flood.iso", 48 * 1024);  // 96 MiB, 2.9 million records
    long kib = peak_kib({"-est", "-opt", "-q9", "-ext.X", dir + "/flood.iso"});
    ASSERT_GT(kib, 0);
    // Sanitizer builds carry tens of MB of their own; a node per record would be 140 MB.
    EXPECT_LT(kib, 96 * 1024);
}

}  // namespace
