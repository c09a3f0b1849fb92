// The conversion job against a fake operating-system layer: the information box at each
// stage, command lines, the once-only report, Stop and Exit, failures, progress.
#include <gtest/gtest.h>

#include <future>

#include "fake_job_platform.h"

namespace {

const std::string CONVERTER = "/fake/tmp/wendrovix-1/Vellicor.exe";
const std::string FOLDER = "/fake/tmp/wendrovix-1/";
const std::string START_LINES_1000MB =
    "模式：ISO转换CSO\r\n压缩级别：9\r\n文件大小：1000.00 MB\r\n转换进行中，请稍候…………\r\n";

class ConversionJobTest : public ::testing::Test {
protected:
    ConversionJobTest() : platform(log), view(dlg, log) { conversion_job_reset_state(); }
    ~ConversionJobTest() override {
        // A job left running ends with the test: its process is killed and joined.
        job.reset();
    }

    // Chooses input and output as the dialog would and presses Start.
    void start(const std::string& in, uint64_t in_size, const std::string& out, int mode) {
        platform.set_file(in, in_size);
        view.input_box = in;
        view.output_box = out;
        dlg.mode = mode;
        job->OnStartStop();
    }
    // Ends process n with a status and an output size, waits for the worker, then ticks.
    void finish(size_t n, int status, const std::string& out, uint64_t out_size,
                const std::string& text = "") {
        platform.set_file(out, out_size);
        platform.process(n)->finish(status, text);
        ASSERT_TRUE(wait_for_process_end());
        job->OnTimer();
    }
    // Waits until the worker has cleared job_running.
    bool wait_for_process_end() {
        for (int i = 0; i < 1000 && job_running != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return job_running == 0;
    }
    // Waits until the worker holds process n; returns it.
    std::shared_ptr<FakeProcessState> running(size_t n) {
        auto p = platform.process(n);
        for (int i = 0; i < 1000 && converter_process == nullptr; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return p;
    }
    // Returns how often `part` occurs in the information box.
    int count_in_info(const std::string& part) {
        int n = 0;
        for (size_t p = dlg.info_text.find(part); p != std::string::npos;
             p = dlg.info_text.find(part, p + 1))
            n++;
        return n;
    }

    EventLog log;
    FakePlatform platform;
    DialogMembers dlg;
    FakeView view;
    std::unique_ptr<ConversionJob> job = std::make_unique<ConversionJob>(dlg, view, platform);
};

// The 1000 MB example: the box after the start and after the report, the command line
// and the argument vector, the window and button states, and the removals.
TEST_F(ConversionJobTest, CompressJobInformationAtEachStage) {
    start("/data/x.iso", 1048576000, "/data/x.cso", 0);
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB);
    EXPECT_EQ(view.info_box, dlg.info_text);
    EXPECT_EQ(command_line, CONVERTER + " -com -l9 \"/data/x.iso\" \"/data/x.cso\"");
    EXPECT_EQ(platform.written[CONVERTER], platform.resource);
    EXPECT_EQ(converter_path, CONVERTER);
    EXPECT_EQ(view.button, "停止转换");
    EXPECT_TRUE(view.minimised && view.timer_on);
    EXPECT_EQ(dlg.converting, 1);
    ASSERT_NE(platform.process(1), nullptr);
    EXPECT_EQ(platform.started[0],
              (std::vector<std::string>{CONVERTER, "-com", "-l9", "/data/x.iso", "/data/x.cso"}));
    job->OnTimer();
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB);  // still running: no report

    finish(1, 0, "/data/x.cso", 642252800, "ciso compress completed\nTime: 3 sec\n");
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB +
                                 "转换完毕!\r\n转换后文件大小：612.50 MB\r\n压缩比：61.25  \r\n");
    EXPECT_EQ(view.info_box, dlg.info_text);
    EXPECT_EQ(view.button, "开始转换");
    EXPECT_FALSE(view.minimised || view.timer_on);
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_FALSE(platform.files.count(CONVERTER));
    EXPECT_FALSE(platform.folders.count(FOLDER));
    EXPECT_TRUE(platform.files.count("/data/x.cso"));
    EXPECT_TRUE(view.errors.empty());
}

// A decompress job writes no level line, runs "-dec", and its ratio is above 100; the
// level and the sizes are measured with the low 32 bits only.
TEST_F(ConversionJobTest, DecompressJobWithoutLevelLine) {
    view.level = "3";
    start("/data/x.cso", 3145728, "/data/x.iso", 1);
    EXPECT_EQ(dlg.info_text, "模式：CSO转换ISO\r\n文件大小：3.00 MB\r\n转换进行中，请稍候…………\r\n");
    EXPECT_EQ(command_line, CONVERTER + " -dec \"/data/x.cso\" \"/data/x.iso\"");
    ASSERT_TRUE(platform.wait_started(1));
    EXPECT_EQ(platform.started[0],
              (std::vector<std::string>{CONVERTER, "-dec", "/data/x.cso", "/data/x.iso"}));
    finish(1, 0, "/data/x.iso", (1ull << 32) + 5242880);
    EXPECT_NE(dlg.info_text.find("转换完毕!\r\n转换后文件大小：5.00 MB\r\n压缩比：166.67  \r\n"),
              std::string::npos)
        << dlg.info_text;
}

// Names with blanks, quotes and shell characters reach the converter unchanged; the text
// command line keeps its fixed text form.
TEST_F(ConversionJobTest, ArgumentVectorKeepsNamesUnchanged) {
    std::string in = "/data/my \"game\" $(rm -rf x); `y`.iso";
    std::string out = "/data/out dir/it's.cso";
    view.level = "1";
    start(in, 2048, out, 0);
    ASSERT_TRUE(platform.wait_started(1));
    EXPECT_EQ(platform.started[0], (std::vector<std::string>{CONVERTER, "-com", "-l1", in, out}));
    EXPECT_EQ(command_line, CONVERTER + " -com -l1 \"" + in + "\" \"" + out + "\"");
}

// However many ticks arrive after the process has ended, the report runs once; a later
// job reports again, with its own converter folder.
TEST_F(ConversionJobTest, ReportRunsOncePerJob) {
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    finish(1, 0, "/data/x.cso", 2048);
    for (int i = 0; i < 5; i++) job->OnTimer();
    EXPECT_EQ(count_in_info("转换完毕!"), 1);
    EXPECT_EQ(count_in_info("压缩比：50.00  \r\n"), 1);

    start("/data/x.iso", 4096, "/data/x.cso", 0);
    EXPECT_EQ(count_in_info("转换完毕!"), 0);  // the new job replaced the box
    EXPECT_EQ(converter_path, "/fake/tmp/wendrovix-2/Vellicor.exe");
    finish(2, 0, "/data/x.cso", 1024);
    job->OnTimer();
    EXPECT_EQ(count_in_info("转换完毕!"), 1);
    EXPECT_EQ(count_in_info("压缩比：25.00  \r\n"), 1);
}

// Stop, answered No: the job goes on. Answered Yes: the process is ended, 1000 ms pass,
// then the output and the converter go, in that order; no report follows.
TEST_F(ConversionJobTest, StopAnsweredNoThenYes) {
    start("/data/x.iso", 1048576000, "/data/x.cso", 0);
    auto process = running(1);
    platform.set_file("/data/x.cso", 4096);
    view.answers = {false};
    job->OnStartStop();
    EXPECT_EQ(view.questions, std::vector<std::string>{"转换正在进行中，您确定要停止吗？"});
    EXPECT_EQ(view.button, "停止转换");
    EXPECT_TRUE(view.timer_on);
    EXPECT_EQ(process->signals, 0);
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB);

    view.answers = {true};
    job->OnStartStop();
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB + "用户终止转换");
    EXPECT_EQ(view.info_box, dlg.info_text);
    EXPECT_EQ(view.button, "开始转换");
    EXPECT_FALSE(view.timer_on);
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_EQ(process->signals, 1);
    int kill = log.index_of("terminate"), sleep = log.index_of("sleep 1000");
    int out = log.index_of("remove /data/x.cso"), conv = log.index_of("remove " + CONVERTER);
    EXPECT_TRUE(kill >= 0 && kill < sleep && sleep < out && out < conv);
    EXPECT_FALSE(platform.files.count("/data/x.cso") || platform.files.count(CONVERTER));
    EXPECT_FALSE(platform.folders.count(FOLDER));
    ASSERT_TRUE(wait_for_process_end());
    job->OnTimer();  // a late tick finds no job
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB + "用户终止转换");
}

// Exit while idle closes at once; during a job No keeps everything, Yes ends the
// process, removes the files and closes.
TEST_F(ConversionJobTest, ExitIdleAndDuringJob) {
    job->OnExit();
    EXPECT_TRUE(view.closed);
    EXPECT_TRUE(view.questions.empty());

    view.closed = false;
    start("/data/x.iso", 1048576000, "/data/x.cso", 0);
    auto process = running(1);
    platform.set_file("/data/x.cso", 4096);
    view.answers = {false};
    job->OnExit();
    EXPECT_EQ(view.questions, std::vector<std::string>{"转换正在进行中，您确定要退出吗？"});
    EXPECT_FALSE(view.closed);
    EXPECT_TRUE(view.timer_on);
    EXPECT_EQ(process->signals, 0);

    view.answers = {true};
    job->OnExit();
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB + "用户终止转换，退出中……");
    EXPECT_EQ(process->signals, 1);
    EXPECT_LT(log.index_of("terminate"), log.index_of("sleep 1000"));
    EXPECT_FALSE(platform.files.count("/data/x.cso") || platform.files.count(CONVERTER));
    EXPECT_TRUE(view.closed);
    EXPECT_FALSE(view.timer_on);
}

// A removal that fails is shown, and the rest of the handler is not carried out: Exit
// keeps the dialog open, Stop keeps the converter.
TEST_F(ConversionJobTest, FailedRemovalStopsTheHandler) {
    start("/data/x.iso", 4096, "/data/x.cso", 0);  // no output written yet
    running(1);
    view.answers = {true};
    job->OnExit();
    EXPECT_EQ(view.errors, std::vector<std::string>{"/data/x.cso was not found."});
    EXPECT_FALSE(view.closed);
    EXPECT_TRUE(platform.files.count(CONVERTER));

    conversion_job_reset_state();
    dlg.converting = 0;
    view.errors.clear();
    start("/data/y.iso", 4096, "/data/y.cso", 0);
    const std::string converter2 = "/fake/tmp/wendrovix-2/Vellicor.exe";
    running(2);
    platform.set_file("/data/y.cso", 10);
    platform.locked.insert(converter2);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_EQ(view.errors, std::vector<std::string>{"Access to " + converter2 + " was denied."});
    EXPECT_FALSE(platform.files.count("/data/y.cso"));
    EXPECT_TRUE(platform.files.count(converter2));
    EXPECT_TRUE(platform.folders.count("/fake/tmp/wendrovix-2/"));
}

// A file chosen during a job changes neither what the report measures nor what Stop
// removes.
TEST_F(ConversionJobTest, FileChosenDuringJobChangesNothing) {
    start("/data/x.iso", 2097152, "/data/x.cso", 0);
    platform.set_file("/data/y.cso", 1048576);
    dlg.input_path = view.input_box = "/data/y.cso";
    dlg.output_path = view.output_box = "/data/y.iso";
    dlg.mode = 1;
    finish(1, 0, "/data/x.cso", 1048576);
    EXPECT_NE(dlg.info_text.find("转换后文件大小：1.00 MB\r\n压缩比：50.00  \r\n"), std::string::npos);

    start("/data/x.iso", 2097152, "/data/x.cso", 0);
    running(2);
    platform.set_file("/data/x.cso", 100);
    dlg.output_path = view.output_box = "/data/y.iso";
    platform.set_file("/data/y.iso", 100);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_FALSE(platform.files.count("/data/x.cso"));
    EXPECT_TRUE(platform.files.count("/data/y.iso"));
}

// A converter that fails is reported as failed with its last message line (not its
// time line), followed by the sizes; an empty input gives the ratio 0.00.
TEST_F(ConversionJobTest, FailedConverterIsReportedAsFailed) {
    start("/data/bad.cso", 6, "/data/bad.iso", 1);
    finish(1, 1, "/data/bad.iso", 0, "Decompress 'a' to 'b'\nciso file format error\nTime: 0 sec\n");
    EXPECT_EQ(dlg.info_text,
              "模式：CSO转换ISO\r\n文件大小：0.00 MB\r\n转换进行中，请稍候…………\r\n"
              "转换失败! ciso file format error\r\n转换后文件大小：0.00 MB\r\n压缩比：0.00  \r\n");
    EXPECT_EQ(count_in_info("转换完毕!"), 0);
    EXPECT_FALSE(platform.files.count("/fake/tmp/wendrovix-1/Vellicor.exe"));

    start("/data/empty.iso", 0, "/data/empty.cso", 0);
    finish(2, 0, "/data/empty.cso", 24);
    EXPECT_NE(dlg.info_text.find("转换完毕!\r\n转换后文件大小：0.00 MB\r\n压缩比：0.00  \r\n"),
              std::string::npos);
}

// When the converter cannot be written (or its folder made), the box says so and
// nothing starts: no process, no minimised window, the button stays "开始转换".
TEST_F(ConversionJobTest, UnwritableConverterStartsNothing) {
    platform.fail_write = true;
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    EXPECT_EQ(dlg.info_text, "无法写出转换程序，转换未开始：" + CONVERTER + "\r\n");
    EXPECT_EQ(view.info_box, dlg.info_text);
    EXPECT_FALSE(platform.folders.count(FOLDER));

    platform.fail_write = false;
    platform.fail_folder = true;
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    EXPECT_EQ(dlg.info_text, "无法写出转换程序，转换未开始：/fake/tmp/\r\n");
    EXPECT_TRUE(platform.started.empty());
    EXPECT_EQ(view.button, "开始转换");
    EXPECT_FALSE(view.minimised || view.timer_on);
    EXPECT_EQ(dlg.converting, 0);
}

// Stop answered before the worker holds the process still ends it: the worker sees
// the request once it has stored the process.
TEST_F(ConversionJobTest, StopBeforeTheWorkerHoldsTheProcess) {
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    platform.while_starting = [opened] { opened.wait(); };
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    auto process = platform.process(1);
    platform.set_file("/data/x.cso", 10);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_EQ(process->signals, 0);
    gate.set_value();
    ASSERT_TRUE(wait_for_process_end());
    EXPECT_EQ(process->signals, 1);
    EXPECT_TRUE(process->killed);
}

// A process that cannot be started leaves the job running without a report; Stop then
// finds no process to end.
TEST_F(ConversionJobTest, ProcessThatCannotStart) {
    platform.fail_start = true;
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    ASSERT_TRUE(platform.wait_started(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 3; i++) job->OnTimer();
    EXPECT_EQ(job_running, 1);
    EXPECT_EQ(dlg.converting, 1);
    EXPECT_EQ(view.button, "停止转换");
    EXPECT_EQ(count_in_info("转换完毕!"), 0);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_EQ(log.index_of("terminate"), -1);
    EXPECT_EQ(dlg.converting, 0);
}

// While the Stop or Exit question is shown the process ends and its report runs; Yes
// then neither removes the finished output nor ends a process already waited for.
TEST_F(ConversionJobTest, JobReportedWhileQuestionShown) {
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    auto process = platform.process(1);
    view.on_question = [&] { finish(1, 0, "/data/x.cso", 2048); };
    view.answers = {true};
    job->OnStartStop();
    EXPECT_EQ(count_in_info("转换完毕!"), 1);
    EXPECT_EQ(count_in_info("用户终止转换"), 0);
    EXPECT_TRUE(platform.files.count("/data/x.cso"));
    EXPECT_EQ(process->signals, 0);
    EXPECT_EQ(view.button, "开始转换");

    start("/data/x.iso", 4096, "/data/x.cso", 0);
    view.on_question = [&] { finish(2, 0, "/data/x.cso", 2048); };
    view.answers = {true};
    job->OnExit();
    EXPECT_TRUE(view.closed);
    EXPECT_TRUE(platform.files.count("/data/x.cso"));
    EXPECT_EQ(platform.process(2)->signals, 0);
}

// The latest percentage of the progress lines reaches the view on each tick, even when
// a line arrives in pieces; the report hides it.
TEST_F(ConversionJobTest, ProgressFollowsTheLatestLine) {
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    auto process = platform.process(1);
    process->write("Compress 'a' to 'b'\ncompress   0% average rate   0%\rcompress   5% av");
    process->write("erage rate  51%\rcompress  4");
    for (int i = 0; i < 200 && converter_progress != 5; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    job->OnTimer();
    EXPECT_EQ(view.progress, 5);
    process->write("2% average rate  51%\r");
    for (int i = 0; i < 200 && converter_progress != 42; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    job->OnTimer();
    EXPECT_EQ(view.progress, 42);
    finish(1, 0, "/data/x.cso", 2048);
    EXPECT_EQ(view.progress, -1);
}

// Percentages and message lines as the converter prints them.
TEST(ConverterOutputTest, PercentagesAndLastMessage) {
    EXPECT_EQ(progress_percent("compress  42% average rate  51%"), 42);
    EXPECT_EQ(progress_percent("decompress 7%"), 7);
    EXPECT_EQ(progress_percent("Compress 100% average rate  61%  "), 100);
    EXPECT_EQ(progress_percent("block 12 : Write error"), -1);
    EXPECT_EQ(progress_percent(""), -1);
    conversion_job_reset_state();
    ConverterOutput out;
    std::string text = "banner\nblock 3 : Write error\ndecompress 9%\rTime: 1 sec\n";
    out.feed(text.data(), text.size());
    EXPECT_EQ(out.last_message(), "block 3 : Write error");
    EXPECT_EQ(converter_progress, 9);
}

}  // namespace
