// Threaded compressor: the same file as the one-thread optimised compressor whatever the
// image's shape, level, threshold and areas; its summary and progress lines; and failures
// (reads, workers that cannot start) that end with status 1 and no chunk written after
// the fault.
#include <filesystem>

#include "engine_helpers.h"

namespace {

using namespace engine_helpers;

// Runs the converter with `action` (e.g. {"-com", "-MT"}), `opts`, then in and out.
RunResult convert(std::vector<std::string> action, const std::vector<std::string>& opts,
                  const std::string& in, const std::string& out) {
    action.insert(action.end(), opts.begin(), opts.end());
    action.push_back(in);
    action.push_back(out);
    return run_vellicor(action);
}

// Returns the summary of a run: from its "Compress '" line to its first progress line.
std::string summary_of(const std::string& out) {
    size_t from = out.find("Compress '"), to = out.find("Compress   0% average rate 100%  \r");
    return from == std::string::npos || to == std::string::npos ? "" : out.substr(from, to - from);
}

// Compresses `in` with "-com -opt" and "-com -MT" and the same options; expects both to
// succeed with byte-identical files, the same summary but for 2 threads, and the same
// final line; returns the -MT run's output.
std::string expect_same_file(const std::string& dir, const std::string& in,
                             const std::vector<std::string>& opts) {
    RunResult opt = convert({"-com", "-opt"}, opts, in, dir + "/opt.cso");
    RunResult mt = convert({"-com", "-MT"}, opts, in, dir + "/mt.cso");
    EXPECT_EQ(opt.status, 0) << opt.out;
    EXPECT_EQ(mt.status, 0) << mt.out;
    EXPECT_TRUE(read_file(dir + "/opt.cso") == read_file(dir + "/mt.cso"));
    EXPECT_EQ(line_of(mt.out, "Ciso compress completed"), line_of(opt.out, "Ciso compress completed"));
    EXPECT_NE(line_of(mt.out, "Ciso compress completed"), "");
    std::string summary = summary_of(opt.out);
    size_t threads = summary.find("Thread number       1\n"), name = summary.find("/opt.cso'");
    EXPECT_TRUE(threads != std::string::npos && name != std::string::npos) << opt.out;
    if (threads == std::string::npos || name == std::string::npos) return mt.out;
    summary[threads + 20] = '2';
    EXPECT_EQ(summary_of(mt.out), summary.replace(name, 9, "/mt.cso'"));
    return mt.out;
}

// Fewer than 320 blocks (head only), whole chunks only, a head and chunks, more chunks
// than the ring holds, a partial last block and an empty image, at several levels and
// thresholds: always the optimised compressor's file.
TEST(ThreadedCompressor, SameFileAsOptimisedForEveryShape) {
    std::string dir = make_temp_dir();
    const std::pair<size_t, size_t> shapes[] = {{1, 0},   {5, 0},   {319, 0}, {320, 0},
                                                {640, 0}, {965, 0}, {2885, 0}, {3200, 0}};
    const std::vector<std::string> options[] = {{}, {"-t50"}, {"-t0", "-l1"}, {"-l5", "-t90"}};
    for (auto [blocks, tail] : shapes) {
        write_file(dir + "/in.iso", mixed_image(blocks, tail));
        for (const auto& opts : options) {
            SCOPED_TRACE(std::to_string(blocks) + " blocks + " + std::to_string(tail) + " " +
                         (opts.empty() ? "" : opts[0]));
            expect_same_file(dir, dir + "/in.iso", opts);
        }
    }
}

// Writes a game-like tree whose video, audio, listed-extension and update files are large
// enough to spread over several chunks and both workers.
void make_game_tree(const std::string& root) {
    put_file(root, "PSP_GAME/SYSDIR/EBOOT.BIN", text_bytes(300000, 1));
    put_file(root, "PSP_GAME/SYSDIR/UPDATE/EBOOT.PBP", text_bytes(400000, 2));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/OPEN.PMF", "PSMF" + text_bytes(900000, 3));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/NOISE.PMF", "PSMF" + random_bytes(500000, 4));
    put_file(root, "PSP_GAME/USRDIR/SOUND/BGM.AT3", "RIFF" + text_bytes(700000, 5));
    put_file(root, "PSP_GAME/USRDIR/DATA/PACK.BIN", text_bytes(650000, 6));
    put_file(root, "PSP_GAME/USRDIR/DATA/ZERO.BIN", std::string(500000, '\0'));
}

// NC and Lost areas (and areas with a threshold) give the optimised compressor's file too;
// the scan report shows that the areas were really found.
TEST(ThreadedCompressor, SameFileAsOptimisedWithAreas) {
    std::string dir = make_temp_dir();
    make_game_tree(dir + "/tree");
    ASSERT_TRUE(master_iso(dir + "/tree", dir + "/game.iso", {"-N"}));  // names without ";1"
    const std::vector<std::string> options[] = {
        {"-vid", "-aud"}, {"-rm_vid", "-rm_aud"}, {"-ext.bin"}, {"-ext.bin", "-rm_ext"},
        {"-rm_update"}, {"-vid", "-rm_aud", "-t25", "-l3"}};
    for (const auto& opts : options) {
        SCOPED_TRACE(opts[0]);
        std::string out = expect_same_file(dir, dir + "/game.iso", opts);
        EXPECT_NE(out.find("  Scanning"), std::string::npos);
        EXPECT_NE(out.find(" found\n"), std::string::npos);
        EXPECT_EQ(out.find("     0 file found"), std::string::npos) << out;
    }
}

// Returns a run's console output without its time line and with its thread count as "N".
std::string without_count(std::string out) {
    size_t at = out.find("Thread number       ");
    if (at != std::string::npos) out.replace(at + 20, out.find('\n', at) - at - 20, "N");
    return out.substr(0, out.rfind("Time: "));
}

// Runs `action` (compress or estimate) with -MT and with each other worker count on `in`:
// expects the same file and the same console output but for the thread count shown.
void expect_same_as_mt(const std::string& dir, const std::string& in,
                       const std::vector<std::string>& action) {
    std::string out = action[0] == "-est" ? "" : dir + "/mt.cso";
    auto run = [&](const std::string& mt) {
        std::vector<std::string> args = action;
        args.insert(args.begin() + 1, mt);
        args.push_back(in);
        if (!out.empty()) args.push_back(out);
        return run_vellicor(args);
    };
    RunResult mt = run("-MT");
    ASSERT_EQ(mt.status, 0) << mt.out;
    std::string file = out.empty() ? "" : read_file(out);
    // -MT0: one worker per processor this process may run on, as nproc counts them (not
    // bound by the OpenMP variables it also reads), at most 64.
    int processors = std::min(64, std::stoi(run_tool("/usr/bin/env", {"-u", "OMP_NUM_THREADS", "-u",
                                                                      "OMP_THREAD_LIMIT", "nproc"}).out));
    const std::pair<const char*, int> counts[] = {
        {"-MT1", 1}, {"-MT3", 3}, {"-MT8", 8}, {"-MT64", 64}, {"-MT0", processors}};
    for (auto [token, threads] : counts) {
        RunResult r = run(token);
        EXPECT_EQ(r.status, 0) << token << r.out;
        EXPECT_NE(r.out.find("Thread number       " + std::to_string(threads) + "\n"),
                  std::string::npos) << token;
        EXPECT_EQ(without_count(r.out), without_count(mt.out)) << token;
        if (!out.empty()) {
            EXPECT_TRUE(read_file(out) == file) << token;
        }
    }
}

// Every count of workers writes the -MT file and prints its lines and estimates: images
// of a head only (no chunk), one chunk, a head and chunks, more chunks than the ring of 64
// workers holds, and a mastered image with NC and Lost areas.
TEST(ThreadedCompressor, EveryWorkerCountGivesTheFileAndLinesOfMT) {
    std::string dir = make_temp_dir();
    for (size_t blocks : {5u, 320u, 965u, 3845u}) {
        SCOPED_TRACE(blocks);
        write_file(dir + "/in.iso", mixed_image(blocks));
        expect_same_as_mt(dir, dir + "/in.iso", {"-com", "-t90"});
        expect_same_as_mt(dir, dir + "/in.iso", {"-est", "-q3"});
    }
    make_game_tree(dir + "/tree");
    ASSERT_TRUE(master_iso(dir + "/tree", dir + "/game.iso", {"-N"}));
    expect_same_as_mt(dir, dir + "/game.iso", {"-com", "-opt", "-vid", "-rm_aud", "-rm_update"});
    expect_same_as_mt(dir, dir + "/game.iso", {"-est", "-ext.bin", "-rm_ext"});
}

// Progress comes before every head block that ends a period and before every chunk but
// the first, with the rate over what has been written before that block.
TEST(ThreadedCompressor, ProgressLinesFollowHeadAndChunks) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", mixed_image(965));  // period 9, head 5, chunks at 5, 325, 645
    RunResult mt = convert({"-com", "-MT"}, {}, dir + "/in.iso", dir + "/mt.cso");
    ASSERT_EQ(mt.status, 0) << mt.out;
    CsoView v = parse_cso(read_file(dir + "/mt.cso"));
    ASSERT_EQ(v.index.size(), 966u);
    std::vector<std::string> want{progress(0, 100)};
    for (unsigned s : {325u, 645u})
        want.push_back(progress(s / 9 + 1, (v.index[s] & 0x7FFFFFFF) / 2048 * 100 / s));
    EXPECT_EQ(progress_lines(mt.out), want);

    write_file(dir + "/in.iso", mixed_image(5));  // period 1: a line before every head block
    mt = convert({"-com", "-MT"}, {}, dir + "/in.iso", dir + "/mt.cso");
    want = {progress(0, 100)};
    for (unsigned b = 0; b < 5; b++) want.push_back(progress(b + 1, 0));
    EXPECT_EQ(progress_lines(mt.out), want);
}

// A read that fails in the head, in the first chunk or in a chunk far beyond the reads
// made ahead (or, with 64 workers and their longer ring, among them): for every count of
// workers the error names the chunk's first block and follows exactly the progress lines
// that come before that chunk, and the file holds exactly the chunks before it.
TEST(ThreadedCompressor, ReadErrorStopsBeforeTheFailingChunk) {
    std::string dir = make_temp_dir();
    std::string img = mixed_image(2885);  // period 28, head 5, chunks at 5, 325, ..., 2565
    write_file(dir + "/in.iso", img);
    ASSERT_EQ(convert({"-com", "-opt"}, {}, dir + "/in.iso", dir + "/opt.cso").status, 0);
    RunResult whole = convert({"-com", "-MT"}, {}, dir + "/in.iso", dir + "/whole.cso");
    std::vector<std::string> lines = progress_lines(whole.out);
    std::string opt = read_file(dir + "/opt.cso");
    CsoView v = parse_cso(opt);
    const size_t header = 24 + 4 * 2886;
    for (int workers : {2, 8, 64})
    for (uint32_t bad : {3u, 5u, 400u, 2600u}) {
        SCOPED_TRACE(std::to_string(workers) + " workers, block " + std::to_string(bad));
        uint32_t first = bad < 5 ? 0 : 5 + (bad - 5) / 320 * 320;  // where the failed read starts
        FailingInput f{static_cast<long long>(bad) * 2048, 0, &img};
        set_up_in_process(open_failing(&f), dir + "/mt.cso");
        worker_count = workers;
        std::string printed;
        EXPECT_EQ(run_captured(comp_ciso_MT, &printed), 1);
        converter_reset_state();
        std::string error = "block=" + std::to_string(first) + " : read error\n";
        size_t shown = 1 + (first > 5 ? (first - 5) / 320 : 0);
        ASSERT_GE(lines.size(), shown);
        EXPECT_EQ(progress_lines(printed), std::vector<std::string>(lines.begin(), lines.begin() + shown));
        ASSERT_GE(printed.size(), error.size());
        EXPECT_EQ(printed.substr(printed.size() - error.size()), error);
        std::string got = read_file(dir + "/mt.cso");
        EXPECT_EQ(got.size(), first == 0 ? header : (v.index[first] & 0x7FFFFFFF));
        EXPECT_TRUE(got.size() >= header && got.substr(header) == opt.substr(header, got.size() - header));
    }
}

// Refuses the `fail_on`-th worker start and lets the others through.
int start_calls = 0, fail_on = 0;
plat_thread* refusing_start(plat_thread_proc proc, void* job) {
    return ++start_calls == fail_on ? nullptr : plat_thread_start(proc, job);
}

// A worker that cannot be started, the first, the second or the fifth of eight: one line,
// status 1, nothing after the head written, and the workers that did start have been
// stopped (the run ends).
TEST(ThreadedCompressor, WorkerThatCannotStartFailsTheRun) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", mixed_image(965));
    ASSERT_EQ(convert({"-com", "-opt"}, {}, dir + "/in.iso", dir + "/opt.cso").status, 0);
    CsoView v = parse_cso(read_file(dir + "/opt.cso"));
    for (auto [workers, which] : {std::pair<int, int>{2, 1}, {2, 2}, {8, 5}}) {
        set_up_in_process(fopen((dir + "/in.iso").c_str(), "rb"), dir + "/mt.cso");
        worker_count = workers;
        start_calls = 0;
        fail_on = which;
        start_worker = refusing_start;  // the reset below puts the real one back
        std::string printed;
        EXPECT_EQ(run_captured(comp_ciso_MT, &printed), 1);
        converter_reset_state();
        EXPECT_EQ(start_calls, which);
        EXPECT_NE(printed.find("\rCan't start the worker threads\n"), std::string::npos) << printed;
        EXPECT_EQ(read_file(dir + "/mt.cso").size(), v.index[5] & 0x7FFFFFFF);  // header and head
    }
}

// Fails the deflate of every block from `first_failing` on.
uint32_t first_failing = 0;
int failing_slot(worker_job* job, size_t, uint32_t b) {
    if (b < first_failing) return 0;
    job->fail_block = static_cast<int32_t>(b);
    job->fail_code = Z_STREAM_ERROR;
    return -1;
}
int failing_worker(void* job) {
    return ring_worker(static_cast<worker_job*>(job), failing_slot);
}
int use_chunk(uint32_t) {
    return 0;
}
void no_progress(uint32_t, uint32_t) {}

// Deflate failures in every block from one on, the first within the ring or beyond it,
// and once after a read failing in an earlier chunk: however the workers interleave, the
// run names what one thread would. (A worker whose claim came before the stop used to
// drop it, and the main thread stopped at once: a later block was named.)
TEST(ThreadedCompressor, TheFirstFailureIsNamedByAnyNumberOfWorkers) {
    std::string img = mixed_image(20 * CHUNK_BLOCKS);
    const chunk_ops ops = {failing_worker, use_chunk, no_progress};
    const long long never = static_cast<long long>(img.size());
    const struct {
        uint32_t deflate_fails;
        long long read_fails;
        const char* named;
    } rows[] = {{1000, never, "block 1000:deflate : error[-2]\n"},
                {5000, never, "block 5000:deflate : error[-2]\n"},
                {1000, 700 * 2048, "block=640 : read error\n"}};
    for (int workers : {2, 64})
    for (const auto& row : rows)
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(std::to_string(workers) + " workers, " + row.named);
        FailingInput f{row.read_fails, 0, &img, row.read_fails + 2048};  // one block unreadable
        set_up_in_process(open_failing(&f), "");
        worker_count = workers;
        first_failing = row.deflate_fails;
        int countdown = 1 << 30, status = -1;
        std::string printed;
        if (open_image(fin) == 0 && ring_alloc(0) == 0) {
            testing::internal::CaptureStdout();
            status = ring_run(&ops, 20, 0, 1, 1 << 30, &countdown);
            printed = testing::internal::GetCapturedStdout();
        }
        converter_reset_state();
        EXPECT_EQ(status, 1);
        EXPECT_EQ(printed, row.named);
    }
}

// Both workers really share the chunks, and what they stored adds up to the chunks' bytes.
TEST(ThreadedCompressor, BothWorkersTakePartInARun) {
    std::string dir = make_temp_dir();
    write_file(dir + "/in.iso", mixed_image(3205));  // head 5, ten chunks
    set_up_in_process(fopen((dir + "/in.iso").c_str(), "rb"), dir + "/mt.cso");
    std::string printed;
    ASSERT_EQ(run_captured(comp_ciso_MT, &printed), 0);
    worker_job a = ST1, b = ST2;
    converter_reset_state();
    CsoView v = parse_cso(read_file(dir + "/mt.cso"));
    ASSERT_EQ(v.index.size(), 3206u);
    EXPECT_EQ(a.blocks + b.blocks, 3200u);
    EXPECT_GT(a.blocks, 0u);
    EXPECT_GT(b.blocks, 0u);
    EXPECT_EQ(static_cast<uint32_t>(a.out_size + b.out_size),
              v.index[3205] - (v.index[5] & 0x7FFFFFFF));
}

}  // namespace
