// The conversion job against a fake operating-system layer: the information box at each
// stage, command lines, the once-only report, Stop and Exit, failures, progress.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "converter_messages.h"
#include "messages.h"
#include "fake_job_platform.h"
#include "format_writers.h"
#include "output_naming.h"
#include "test_locale.h"
#include "tiny_cso.h"

namespace {

const std::string CONVERTER = "/fake/tmp/wendrovix-1/Vellicor.exe";
const std::string FOLDER = "/fake/tmp/wendrovix-1/";
const std::string START_LINES_1000MB =
    "模式：ISO转换CSO\r\n压缩级别：9\r\n文件大小：1000.00 MB\r\n转换进行中，请稍候…………\r\n";

// Returns the name of the temporary file the fake converter writes for `output`.
std::string temp_of(const std::string& output) {
    size_t cut = output.rfind('/');
    return output.substr(0, cut + 1) + "." + output.substr(cut + 1) + ".vellicor-tmp-" +
           std::to_string(FAKE_PID);
}

// Only the named converter's temporary file for the named output is its own.
TEST(ConverterTemp, NamesOfOneRunAndOneOutput) {
    struct Case { const char* name; bool own; };
    const Case cases[] = {
        {".x.cso.vellicor-tmp-4321", true},   {".x.cso.vellicor-tmp-4321-3", true},
        {".x.c.vellicor-tmp-4321", true},     // the name cut short for a long output
        {".x.cso.vellicor-tmp-43210", false}, {".x.cso.vellicor-tmp-432", false},
        {".y.cso.vellicor-tmp-4321", false},  {"x.cso.vellicor-tmp-4321", false},
        {".x.cso.vellicor-tmp-4321-", false}, {".x.cso.vellicor-tmp-4321-a", false},
        {"..vellicor-tmp-4321", false},       {".x.cso.extra.vellicor-tmp-4321", false},
    };
    for (const Case& c : cases) EXPECT_EQ(is_converter_temp(c.name, "x.cso", 4321), c.own) << c.name;
}

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
                const std::string& text = CONVERTER_CLOSING_LINE) {
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
    // Chooses several files as the Open dialog would and presses Start.
    void start_queue(const std::vector<std::string>& inputs, const std::string& folder = "") {
        dlg.input_paths = inputs;
        dlg.output_folder = folder;
        view.input_box = QueueBoxText(inputs[0], inputs.size());
        job->OnStartStop();
    }
    // Ends process n after it wrote `bytes` to `out`; waits for the worker, then ticks.
    void finish_with(size_t n, int status, const std::string& out, const std::string& bytes,
                     const std::string& text = CONVERTER_CLOSING_LINE) {
        platform.set_content(out, bytes);
        platform.process(n)->finish(status, text);
        ASSERT_TRUE(wait_for_process_end());
        job->OnTimer();
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
    EXPECT_TRUE(view.minimised && view.timer_on && view.choices_locked);
    EXPECT_EQ(dlg.converting, 1);
    EXPECT_EQ(log.index_of("lock " + FOLDER), log.index_of("mkdir " + FOLDER) + 1);
    ASSERT_NE(platform.process(1), nullptr);
    EXPECT_EQ(platform.started[0],
              (std::vector<std::string>{CONVERTER, "-com", "-l9", "/data/x.iso", "/data/x.cso"}));
    job->OnTimer();
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB);  // still running: no report

    finish(1, 0, "/data/x.cso", 642252800, "ciso compress completed\nTime: 3 sec\n");
    // The fake files have sizes but no bytes: the verification cannot read them.
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB +
                                 "转换完毕!\r\n转换后文件大小：612.50 MB\r\n压缩比：61.25  \r\n"
                                 "无法校验：无法读取 /data/x.cso\r\n");
    EXPECT_EQ(view.info_box, dlg.info_text);
    EXPECT_EQ(view.button, "开始转换");
    EXPECT_FALSE(view.minimised || view.timer_on || view.choices_locked);
    EXPECT_EQ(view.outcomes, std::vector<bool>{true});  // an unverified file counts as failed
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_FALSE(platform.files.count(CONVERTER));
    EXPECT_FALSE(platform.folders.count(FOLDER));
    EXPECT_LT(log.index_of("unlock " + FOLDER), log.index_of("rmdir " + FOLDER));
    job->RemoveStaleFolders();
    EXPECT_EQ(log.events().back(), "stale /fake/tmp/");
    EXPECT_TRUE(platform.files.count("/data/x.cso"));
    EXPECT_TRUE(view.errors.empty());
}

// The sizes and the ratio keep their decimal point when the program runs in a locale
// with a decimal comma (the dialog's toolkit takes the user's locale on Linux).
TEST_F(ConversionJobTest, NumbersIgnoreTheLocalesDecimalComma) {
    TestLocale comma(LC_NUMERIC, "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n");
    char check[16];
    snprintf(check, sizeof check, "%.2f", 1.5);
    ASSERT_STREQ(check, "1,50") << "the test's locale did not take effect";
    start("/data/x.iso", 1048576000, "/data/x.cso", 0);
    finish(1, 0, "/data/x.cso", 642252800, "ciso compress completed\n" + CONVERTER_CLOSING_LINE);
    EXPECT_EQ(count_in_info("文件大小：1000.00 MB\r\n"), 1);
    EXPECT_EQ(count_in_info("转换后文件大小：612.50 MB\r\n压缩比：61.25  \r\n"), 1);
}

// A decompress job writes no level line, runs "-dec", and its ratio is above 100; an
// output over 4 GiB is reported whole.
TEST_F(ConversionJobTest, DecompressJobWithoutLevelLine) {
    view.level = "3";
    start("/data/x.cso", 3145728, "/data/x.iso", 1);
    EXPECT_EQ(dlg.info_text, "模式：CSO转换ISO\r\n文件大小：3.00 MB\r\n转换进行中，请稍候…………\r\n");
    EXPECT_EQ(command_line, CONVERTER + " -dec \"/data/x.cso\" \"/data/x.iso\"");
    ASSERT_TRUE(platform.wait_started(1));
    EXPECT_EQ(platform.started[0],
              (std::vector<std::string>{CONVERTER, "-dec", "/data/x.cso", "/data/x.iso"}));
    finish(1, 0, "/data/x.iso", (1ull << 32) + 5242880);
    EXPECT_NE(dlg.info_text.find("转换完毕!\r\n转换后文件大小：4101.00 MB\r\n压缩比：136700.00  \r\n"),
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
// job into the same output asks before replacing it (No starts nothing), then reports
// again, with its own converter folder.
TEST_F(ConversionJobTest, ReportRunsOncePerJob) {
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    finish(1, 0, "/data/x.cso", 2048);
    for (int i = 0; i < 5; i++) job->OnTimer();
    EXPECT_EQ(count_in_info("转换完毕!"), 1);
    EXPECT_EQ(count_in_info("压缩比：50.00  \r\n"), 1);
    EXPECT_TRUE(view.questions.empty());

    std::string before = dlg.info_text;
    view.answers = {false, true};
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    EXPECT_EQ(view.questions, std::vector<std::string>{
                                  "以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n/data/x.cso\n是否继续？"});
    EXPECT_EQ(dlg.info_text, before);
    EXPECT_EQ(platform.started.size(), 1u);
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_EQ(platform.folder_count, 1);
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    EXPECT_EQ(count_in_info("转换完毕!"), 0);  // the new job replaced the box
    EXPECT_EQ(converter_path, "/fake/tmp/wendrovix-2/Vellicor.exe");
    finish(2, 0, "/data/x.cso", 1024);
    job->OnTimer();
    EXPECT_EQ(count_in_info("转换完毕!"), 1);
    EXPECT_EQ(count_in_info("压缩比：25.00  \r\n"), 1);
}

// Stop, answered No: the job goes on. Answered Yes: the process is ended, 1000 ms pass,
// then the converter's temporary output and the converter go, in that order, while a
// file already under the output's name (never replaced by the unfinished run) stays; no
// report follows.
TEST_F(ConversionJobTest, StopAnsweredNoThenYes) {
    platform.set_file("/data/x.cso", 4096);
    view.answers = {true};  // replace it
    start("/data/x.iso", 1048576000, "/data/x.cso", 0);
    auto process = running(1);
    const std::string temp = temp_of("/data/x.cso");
    platform.set_file(temp, 2048);
    view.questions.clear();
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
    int out = log.index_of("remove " + temp), conv = log.index_of("remove " + CONVERTER);
    EXPECT_TRUE(kill >= 0 && kill < sleep && sleep < out && out < conv);
    EXPECT_FALSE(platform.files.count(temp) || platform.files.count(CONVERTER));
    EXPECT_EQ(platform.files["/data/x.cso"], 4096u);
    EXPECT_FALSE(platform.folders.count(FOLDER));
    ASSERT_TRUE(wait_for_process_end());
    job->OnTimer();  // a late tick finds no job
    EXPECT_EQ(dlg.info_text, START_LINES_1000MB + "用户终止转换");
}

// Through a symbolic link the converter writes beside the link's target (whose name may
// hold a backslash here): Stop removes its temporary file there, and the link stays.
TEST_F(ConversionJobTest, StopThroughALinkRemovesTheTemporaryFileBesideItsTarget) {
    const std::string target = "/real/a\\b.cso";
    platform.set_file("/data/x.cso", 10);
    platform.links["/data/x.cso"] = target;
    view.answers = {true};  // replace it
    start("/data/x.iso", 1048576000, "/data/x.cso", 0);
    running(1);
    platform.set_file(temp_of(target), 2048);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_FALSE(platform.files.count(temp_of(target)));
    EXPECT_TRUE(platform.files.count("/data/x.cso"));
    ASSERT_TRUE(wait_for_process_end());
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
    platform.set_file(temp_of("/data/x.cso"), 4096);
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
    EXPECT_FALSE(platform.files.count(temp_of("/data/x.cso")) || platform.files.count(CONVERTER));
    EXPECT_TRUE(view.closed);
    EXPECT_FALSE(view.timer_on);
}

// A temporary output that cannot be removed is shown, and Exit goes on (the user's files
// are safe). A removal of the converter that fails is shown, and the rest of the handler
// is not carried out: Stop keeps the job folder. Only the killed converter's own
// temporary file goes, not another run's.
TEST_F(ConversionJobTest, FailedRemovalStopsTheHandler) {
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    running(1);
    const std::string temp = temp_of("/data/x.cso"), other = "/data/.x.cso.vellicor-tmp-99";
    platform.set_file(temp, 1);
    platform.set_file(other, 1);
    platform.locked.insert(temp);
    view.answers = {true};
    job->OnExit();
    EXPECT_EQ(view.errors, std::vector<std::string>{"Access to " + temp + " was denied."});
    EXPECT_TRUE(view.closed);
    EXPECT_FALSE(platform.files.count(CONVERTER));
    EXPECT_TRUE(platform.files.count(other));

    conversion_job_reset_state();
    dlg.converting = 0;
    view.errors.clear();
    start("/data/y.iso", 4096, "/data/y.cso", 0);
    const std::string converter2 = "/fake/tmp/wendrovix-2/Vellicor.exe";
    running(2);
    platform.set_file(temp_of("/data/y.cso"), 10);
    platform.locked.insert(converter2);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_EQ(view.errors, std::vector<std::string>{"Access to " + converter2 + " was denied."});
    EXPECT_FALSE(platform.files.count(temp_of("/data/y.cso")));
    EXPECT_TRUE(platform.files.count(converter2));
    EXPECT_TRUE(platform.folders.count("/fake/tmp/wendrovix-2/"));
}

// Exit between the converter's end and its report keeps the finished output; when the
// converter file or its folder then cannot be removed the dialog stays, and the next Exit
// does not fail again on what it already removed.
TEST_F(ConversionJobTest, ExitRetriedAfterAFailedRemoval) {
    size_t n = 0;
    for (bool folder_fails : {false, true}) {
        dlg.converting = 0;
        view.closed = false;
        view.errors.clear();
        platform.files.erase("/data/x.cso");  // the first round's output
        start("/data/x.iso", 4096, "/data/x.cso", 0);
        platform.set_file("/data/x.cso", 10);
        ASSERT_TRUE(platform.wait_started(++n));
        platform.process(n)->finish(0);
        ASSERT_TRUE(wait_for_process_end());
        std::string stuck = folder_fails ? job_folder : converter_path;
        if (folder_fails) platform.folders.erase(stuck);
        else platform.locked.insert(stuck);
        view.answers = {true, true};
        job->OnExit();
        EXPECT_FALSE(view.closed);
        EXPECT_TRUE(platform.files.count("/data/x.cso"));
        if (folder_fails) platform.folders.insert(stuck);
        platform.locked.clear();
        job->OnExit();
        EXPECT_TRUE(view.closed);
        EXPECT_EQ(view.errors.size(), 1u) << stuck;
    }
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

    view.answers = {true};  // x.cso exists now: replace it
    start("/data/x.iso", 2097152, "/data/x.cso", 0);
    running(2);
    platform.set_file(temp_of("/data/x.cso"), 100);
    dlg.output_path = view.output_box = "/data/y.iso";
    platform.set_file("/data/y.iso", 100);
    platform.set_file(temp_of("/data/y.iso"), 100);  // not the job's output
    view.answers = {true};
    job->OnStartStop();
    EXPECT_FALSE(platform.files.count(temp_of("/data/x.cso")));
    EXPECT_EQ(platform.files["/data/x.cso"], 1048576u);  // the first job's, kept
    EXPECT_TRUE(platform.files.count("/data/y.iso") && platform.files.count(temp_of("/data/y.iso")));
}

// A converter that fails is reported as failed: the explanation of its failure line and
// the line itself, unchanged (an explained line printed on standard error before the
// rest still wins); a line without explanation as it is; never sizes or a ratio. A
// warning of a run that succeeds is explained after "转换完毕!". An empty input gives the
// ratio 0.00.
TEST_F(ConversionJobTest, FailedConverterIsReportedAsFailed) {
    const std::string start_lines = "模式：CSO转换ISO\r\n文件大小：0.00 MB\r\n转换进行中，请稍候…………\r\n";
    // Cut short (killed, crashed, ended by a task manager with status 0 or 1): no closing
    // time line. Its temporary output goes, and no header line is given as the cause.
    const std::string cut_short = "Decompress 'a' to 'b'\nindex align     1\n", unexpected = "转换失败! 转换程序意外终止\r\n";
    struct Case { int status; std::string output, report; };
    const Case cases[] = {
        {1, "Decompress 'a' to 'b'\nblock 5248 : block size error 2041 != 2048\nTime: 0 sec\n",
         "转换失败! CSO 文件已损坏，无法完整解压。请重新获取该文件，或用原来的 ISO 重新压缩。\r\n"
         "block 5248 : block size error 2041 != 2048\r\n"},
        {1, "Input is larger than 2100000000 bytes\n/\\/\\ banner\n Icon by Quillane\n",
         "转换失败! 输入文件太大，超出了转换程序能处理的大小，无法转换。\r\nInput is larger than 2100000000 bytes\r\n"},
        {1, "Decompress 'a' to 'b'\nsomething new went wrong\nTime: 0 sec\n", "转换失败! something new went wrong\r\n"},
        {1, "Time: 0 sec\n", "转换失败!\r\n"},
        {1, "", unexpected}, {1, cut_short, unexpected}, {0, cut_short, unexpected}, {128 + 9, cut_short, unexpected},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        platform.files.erase("/data/bad.iso");
        start("/data/bad.cso", 6, "/data/bad.iso", 1);
        platform.set_file(temp_of("/data/bad.iso"), 2048);
        finish(++n, c.status, "/data/bad.iso", 0, c.output);
        EXPECT_EQ(dlg.info_text, start_lines + c.report) << c.status << " " << c.output;
        EXPECT_FALSE(platform.files.count(converter_path));
        EXPECT_FALSE(platform.files.count(temp_of("/data/bad.iso")));
    }
    EXPECT_EQ(view.outcomes, std::vector<bool>(n, true));

    platform.files.erase("/data/old.iso");
    start("/data/old.cso", 4096, "/data/old.iso", 1);
    finish(++n, 0, "/data/old.iso", 4000,
           "Warning: the last 96 bytes of the image were never stored in this file\nTime: 0 sec\n");
    EXPECT_NE(dlg.info_text.find("转换完毕!\r\n注意：这个 CSO 文件缺少光盘映像末尾的几个字节（由旧工具写成），解压出的 ISO "
                                 "比原映像略短。\r\nWarning: the last 96 bytes of the image were never stored in this "
                                 "file\r\n转换后文件大小："),
              std::string::npos);

    start("/data/empty.iso", 0, "/data/empty.cso", 0);
    finish(++n, 0, "/data/empty.cso", 24);
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
    // No temporary folder: nothing is made in (or cleaned from) the current folder.
    platform.fail_folder = false;
    platform.temp = "";
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    job->RemoveStaleFolders();
    EXPECT_EQ(dlg.info_text, "无法写出转换程序，转换未开始：\r\n");
    for (const std::string& e : log.events()) EXPECT_NE(e.rfind("mkdir wendrovix-", 0), 0u) << e;
    EXPECT_LT(log.index_of("stale "), 0);
    EXPECT_TRUE(platform.started.empty());
    // Nor after a job whose converter could not be removed, which keeps its folder's lock.
    platform.temp = "/fake/tmp/";
    start("/data/x.iso", 4096, "/data/x.cso", 0);
    std::string stuck = converter_path;
    platform.locked.insert(stuck);
    finish(1, 0, "/data/x.cso", 24);
    platform.temp = "";
    start("/data/y.iso", 4096, "/data/y.cso", 0);
    EXPECT_EQ(dlg.info_text, "无法写出转换程序，转换未开始：\r\n");
    EXPECT_LT(log.index_of("write Vellicor.exe"), 0);
    EXPECT_EQ(platform.started.size(), 1u);
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

// A converter that cannot be started, or whose worker thread cannot be, ends its file as
// failed at the next tick, naming the program; the dialog is idle again and the converter
// file is gone.
TEST_F(ConversionJobTest, ConverterThatCannotStart) {
    for (bool* fault : {&platform.fail_start, &platform.fail_worker}) {
        *fault = true;
        start("/data/x.iso", 4096, "/data/x.cso", 0);
        ASSERT_TRUE(wait_for_process_end());
        job->OnTimer();
        EXPECT_EQ(dlg.info_text.substr(dlg.info_text.find("转换进行中")),
                  "转换进行中，请稍候…………\r\n转换失败! 无法启动转换程序\r\n" + converter_path + "\r\n");
        EXPECT_EQ(dlg.converting, 0);
        EXPECT_EQ(view.button, "开始转换");
        EXPECT_FALSE(platform.files.count(converter_path) || platform.folders.count(job_folder));
        *fault = false;
    }
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

    view.on_question = nullptr;
    view.answers = {true};  // x.cso exists now: replace it
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

// Returns 8 blocks of an image: text, noise (stored plain), text, zeros, ...
std::string test_image(char seed) {
    std::string img;
    uint32_t x = static_cast<uint32_t>(seed);
    for (size_t i = 0; i < 8 * 2048; i++) {
        x = x * 1103515245 + 12345;
        size_t kind = (i / 2048) % 4;
        img += kind == 1 ? static_cast<char>(x >> 24) : kind == 3 ? '\0' : "queue text "[i % 11];
    }
    return img;
}

// Returns a printf-formatted number.
std::string number(const char* format, double value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// One file whose output verifies: the single-file report lines exactly, plus "校验通过". The other
// way round, an image that differs at block 3 fails there.
TEST_F(ConversionJobTest, SingleFileVerification) {
    std::string img = test_image(1), cso = make_cso(img);
    platform.set_content("/data/g.iso", img);
    start("/data/g.iso", img.size(), "/data/g.cso", 0);
    finish_with(1, 0, "/data/g.cso", cso);
    EXPECT_EQ(dlg.info_text, "模式：ISO转换CSO\r\n压缩级别：9\r\n文件大小：0.02 MB\r\n转换进行中，请稍候…………\r\n"
                             "转换完毕!\r\n转换后文件大小：" + number("%.2f", cso.size() / 1048576.0) +
                             " MB\r\n压缩比：" + number("%.2f", cso.size() * 100.0 / img.size()) +
                             "  \r\n校验通过\r\n");
    std::string changed = img;
    changed[3 * 2048 + 7] ^= 1;
    start("/data/g.cso", cso.size(), "/data/h.iso", 1);
    finish_with(2, 0, "/data/h.iso", changed);
    EXPECT_EQ(dlg.info_text.substr(dlg.info_text.rfind("\r\n", dlg.info_text.size() - 3) + 2),
              "校验失败：第 3 块不一致\r\n");
    EXPECT_EQ(dlg.converting, 0);
    // A ZSO or DAX under an image's name is compressed from its image, and checked against it.
    int run = 3;
    for (const std::string& input : {write_cso_family("ZISO", 1, img, 2048, [](uint32_t) { return Store::LZ4; }),
                                     write_dax(img, {{1, 1}})}) {
        std::string name = "/data/z" + std::to_string(run);
        platform.set_content(name + ".iso", input);
        start(name + ".iso", input.size(), name + ".cso", 0);
        finish_with(run++, 0, name + ".cso", cso);
        const std::string passed = "校验通过\r\n";
        EXPECT_EQ(dlg.info_text.substr(dlg.info_text.size() - passed.size()), passed) << dlg.info_text;
    }
}

// A queue of three into a chosen folder, the middle one failing: each file's block under
// its name, the progress with the file number, one converter for all, the window
// minimised until the end, and the summary counting the two verified files.
TEST_F(ConversionJobTest, QueueOfThreeWithFailureInTheMiddle) {
    std::string a = test_image(1), c = test_image(3);
    platform.set_content("/q/a.iso", a);
    platform.set_content("/q/b.cso", make_cso(test_image(2)));
    platform.set_content("/q/c.iso", c);
    start_queue({"/q/a.iso", "/q/b.cso", "/q/c.iso"}, "/out/");
    EXPECT_EQ(dlg.info_text, "文件 1/3：a.iso\r\n模式：ISO转换CSO\r\n压缩级别：9\r\n文件大小：0.02 MB\r\n"
                             "转换进行中，请稍候…………\r\n");
    platform.process(1)->write("compress  42% average rate  51%\r");
    for (int i = 0; i < 200 && converter_progress != 42; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    job->OnTimer();
    EXPECT_EQ(view.progress_label, "1/3 42%");
    finish_with(1, 0, "/out/a.cso", make_cso(a));
    EXPECT_TRUE(view.minimised && view.timer_on);
    EXPECT_EQ(view.button, "停止转换");
    finish_with(2, 1, "/out/b.iso", "", "ciso file format error\n");
    finish_with(3, 0, "/out/c.cso", make_cso(c));
    EXPECT_EQ(platform.started, (std::vector<std::vector<std::string>>{
                                    {CONVERTER, "-com", "-l9", "/q/a.iso", "/out/a.cso"},
                                    {CONVERTER, "-dec", "/q/b.cso", "/out/b.iso"},
                                    {CONVERTER, "-com", "-l9", "/q/c.iso", "/out/c.cso"}}));
    EXPECT_NE(dlg.info_text.find("校验通过\r\n文件 2/3：b.cso\r\n模式：CSO转换ISO\r\n"), std::string::npos);
    EXPECT_NE(dlg.info_text.find("转换失败! 输入文件不是 CSO 文件，无法解压。请选择正确的 CSO 文件。\r\n"
                                 "ciso file format error\r\n文件 3/3"),
              std::string::npos);
    EXPECT_EQ(count_in_info("校验通过"), 2);
    JobTally expected{3, 2, 1, 0, 2 * a.size(), platform.files["/out/a.cso"] + platform.files["/out/c.cso"]};
    EXPECT_EQ(dlg.info_text.substr(dlg.info_text.rfind("校验通过\r\n") + 14), queue_summary_line(expected));
    EXPECT_EQ(platform.written.size(), 1u);
    EXPECT_FALSE(platform.folders.count(FOLDER));
    EXPECT_FALSE(view.minimised || view.timer_on);
    EXPECT_EQ(view.button, "开始转换");
}

// Stop in the second file ends it, removes its partial output, keeps the first one's,
// starts no third file, and sums up what was done.
TEST_F(ConversionJobTest, StopInTheSecondFileConvertsNoMore) {
    std::string a = test_image(1);
    platform.set_content("/q/a.iso", a);
    platform.set_content("/q/c.iso", a);
    platform.set_content("/q/d.iso", a);
    start_queue({"/q/a.iso", "/q/c.iso", "/q/d.iso"});
    finish_with(1, 0, "/q/a.cso", make_cso(a));
    auto second = running(2);
    platform.set_file(temp_of("/q/c.cso"), 100);
    view.answers = {true};
    job->OnStartStop();
    EXPECT_TRUE(second->killed);
    EXPECT_FALSE(platform.files.count("/q/c.cso") || platform.files.count(temp_of("/q/c.cso")));
    EXPECT_TRUE(platform.files.count("/q/a.cso"));
    JobTally done{3, 1, 0, 0, a.size(), platform.files["/q/a.cso"]};
    EXPECT_EQ(dlg.info_text.substr(dlg.info_text.rfind("转换进行中")), "转换进行中，请稍候…………\r\n用户终止转换\r\n" +
                                                                       queue_summary_line(done));
    ASSERT_TRUE(wait_for_process_end());
    job->OnTimer();
    EXPECT_EQ(platform.started.size(), 2u);
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_FALSE(platform.folders.count(FOLDER));
}

// Exit during a queue asks as for one file; Yes ends the running converter, removes its
// temporary output and the converter, starts no further file and closes.
TEST_F(ConversionJobTest, ExitDuringQueue) {
    start_queue({"/q/a.iso", "/q/b.iso"});
    auto first = running(1);
    platform.set_file(temp_of("/q/a.cso"), 10);
    view.answers = {true};
    job->OnExit();
    EXPECT_EQ(view.questions, std::vector<std::string>{"转换正在进行中，您确定要退出吗？"});
    EXPECT_TRUE(first->killed && view.closed);
    EXPECT_FALSE(platform.files.count(temp_of("/q/a.cso")) || platform.files.count(CONVERTER));
    ASSERT_TRUE(wait_for_process_end());
    job->OnTimer();  // a late tick reports, but starts no further file
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_EQ(platform.started.size(), 1u);
}

// Two inputs that give one output name, or an output that exists, are asked about once
// before anything starts; No starts nothing, Yes starts the queue.
TEST_F(ConversionJobTest, OverwritesAreAskedAboutOnce) {
    view.answers = {false};
    start_queue({"/q/a.iso", "/q/a.ISO"});
    EXPECT_EQ(view.questions, std::vector<std::string>{
                                  "以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n/q/a.cso\n是否继续？"});
    EXPECT_TRUE(platform.started.empty() && platform.folders.empty());
    EXPECT_EQ(dlg.converting, 0);
    EXPECT_EQ(view.button, "开始转换");

    platform.set_file("/q/b.cso", 5);
    platform.set_file("/q/c.cso", 5);
    view.answers = {true};
    start_queue({"/q/b.iso", "/q/c.iso", "/q/d.iso"});
    ASSERT_EQ(view.questions.size(), 2u);
    EXPECT_NE(view.questions[1].find("：\n/q/b.cso\n/q/c.cso\n是否"), std::string::npos);
    EXPECT_TRUE(platform.wait_started(1));
    EXPECT_EQ(dlg.converting, 1);
}

// A name holding a line break (POSIX allows one) stays one line of the question and of
// the queue's heading, and can't pass for the dialog's own lines.
TEST_F(ConversionJobTest, NamesWithLineBreaksStayOnOneLine) {
    platform.set_file("/q/e\n转换完毕!.cso", 5);
    view.answers = {false};
    start_queue({"/q/e\n转换完毕!.iso", "/q/f\rg.txt"});
    ASSERT_EQ(view.questions.size(), 1u);
    EXPECT_NE(view.questions[0].find("：\n/q/e?转换完毕!.cso\n是否"), std::string::npos);
    start_queue({"/q/f\rg.txt", "/q/h.bin"});
    EXPECT_EQ(dlg.info_text.rfind("文件 1/2：f?g.txt\r\n跳过", 0), 0u) << dlg.info_text;
}

// An output that is a link leading to another queued output (dangling until that one is
// written) is asked about as a repeat.
TEST_F(ConversionJobTest, OutputThroughALinkToAnotherOutputIsARepeat) {
    platform.links["/q/a.cso"] = "/q/b.cso";
    view.answers = {false};
    start_queue({"/q/a.iso", "/q/b.iso"});
    EXPECT_EQ(view.questions, std::vector<std::string>{
                                  "以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n/q/b.cso\n是否继续？"});
    EXPECT_TRUE(platform.started.empty());
}

// Outputs whose names differ only in letter case are two files where names keep their
// case (no question) and one file where they ignore it (asked about, as a repeat).
TEST_F(ConversionJobTest, CaseOfOutputNamesFollowsThePlatform) {
    for (bool ignore_case : {true, false}) {  // the second starts the queue
        SCOPED_TRACE(ignore_case ? "names ignore case" : "names keep case");
        platform.ignore_case = ignore_case;
        view.questions.clear();
        view.answers = {false};
        start_queue({"/x/A.iso", "/y/a.iso"}, "/out/");
        std::vector<std::string> asked;
        if (ignore_case)
            asked = {"以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n/out/a.cso\n是否继续？"};
        EXPECT_EQ(view.questions, asked);
        EXPECT_EQ(dlg.converting, ignore_case ? 0 : 1);
    }
    ASSERT_TRUE(platform.wait_started(1));
    EXPECT_EQ(platform.started[0][3], "/x/A.iso");
    EXPECT_EQ(platform.started[0][4], "/out/A.cso");
}

// Files with neither extension are listed as skipped and never converted; a queue of
// only such files starts nothing.
TEST_F(ConversionJobTest, SkippedExtensions) {
    std::string a = test_image(1);
    platform.set_content("/q/a.iso", a);
    platform.set_content("/q/c.iso", a);
    start_queue({"/q/a.iso", "/q/notes.txt", "/q/c.iso"});
    finish_with(1, 0, "/q/a.cso", make_cso(a));
    EXPECT_NE(dlg.info_text.find("校验通过\r\n文件 2/3：notes.txt\r\n跳过：不是 ISO 或 CSO 文件\r\n文件 3/3：c.iso\r\n"),
              std::string::npos);
    finish_with(2, 0, "/q/c.cso", make_cso(a));
    EXPECT_EQ(platform.started.size(), 2u);
    EXPECT_NE(dlg.info_text.find("共 3 个文件：成功 2 个，失败 0 个，跳过 1 个；"), std::string::npos);

    start_queue({"/q/x.txt", "/q/y.bin"});
    EXPECT_EQ(dlg.info_text, "文件 1/2：x.txt\r\n跳过：不是 ISO 或 CSO 文件\r\n文件 2/2：y.bin\r\n跳过：不是 ISO 或 CSO 文件\r\n"
                             "共 2 个文件：成功 0 个，失败 0 个，跳过 2 个；成功文件输入 0.00 MB，输出 0.00 MB，压缩比 0.00\r\n");
    EXPECT_EQ(view.info_box, dlg.info_text);
    EXPECT_EQ(platform.started.size(), 2u);
    EXPECT_EQ(platform.folder_count, 1);
    EXPECT_EQ(dlg.converting, 0);
}

// An output that is another chosen file (here in the platform's case rule) would replace
// it before or after the queue reads it: both are skipped, unasked, and the rest runs.
TEST_F(ConversionJobTest, OutputsOverChosenInputsAreSkipped) {
    std::string y = test_image(2);
    platform.ignore_case = true;
    platform.set_content("/q/X.CSO", make_cso(test_image(1)));
    platform.set_content("/q/x.iso", test_image(3));
    platform.set_content("/q/y.iso", y);
    start_queue({"/q/X.CSO", "/q/x.iso", "/q/y.iso"});
    EXPECT_TRUE(view.questions.empty());
    EXPECT_EQ(dlg.info_text.substr(0, dlg.info_text.find("模式")),
              "文件 1/3：X.CSO\r\n跳过：输出文件是队列中的另一个输入文件\r\n"
              "文件 2/3：x.iso\r\n跳过：输出文件是队列中的另一个输入文件\r\n文件 3/3：y.iso\r\n");
    finish_with(1, 0, "/q/y.cso", make_cso(y));
    EXPECT_EQ(platform.started.size(), 1u);
    EXPECT_NE(dlg.info_text.find("共 3 个文件：成功 1 个，失败 0 个，跳过 2 个；"), std::string::npos);
}

// Stop while the output is being verified: the check ends at its next chunk (the image's
// second is never read), and the finished output stays (it has replaced the user's
// earlier file) and is named; no verify line.
TEST_F(ConversionJobTest, StopDuringVerification) {
    std::string img;
    for (int i = 0; i < 80; i++) img += test_image(static_cast<char>(i));  // two chunks
    platform.set_content("/data/big.iso", img);
    std::promise<void> reading, go;
    std::shared_future<void> released = go.get_future().share();
    std::atomic<bool> first{true};
    platform.while_reading = [&] {
        if (first.exchange(false)) reading.set_value(), released.wait();
    };
    start("/data/big.iso", img.size(), "/data/big.cso", 0);
    platform.set_content("/data/big.cso", make_cso(img));
    platform.process(1)->finish(0);
    reading.get_future().wait();
    std::thread releaser([&] {  // once Stop has asked the check to end
        for (int i = 0; i < 1000 && log.index_of("sleep 1000") < 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        go.set_value();
    });
    view.answers = {true};
    job->OnStartStop();
    releaser.join();
    EXPECT_GE(log.index_of("read /data/big.iso 0"), 0);
    EXPECT_LT(log.index_of("read /data/big.iso 1048576"), 0);
    EXPECT_LT(log.index_of("remove /data/big.cso"), 0);
    EXPECT_TRUE(platform.files.count("/data/big.cso"));
    std::string stopped = "用户终止转换\r\n输出文件已写完，未经校验，已保留：/data/big.cso";
    EXPECT_EQ(dlg.info_text.substr(dlg.info_text.size() - stopped.size()), stopped);
    ASSERT_TRUE(wait_for_process_end());
}

// The summary's figures: counts, sizes over 4 GiB, ratio, and files left unconverted.
// Every failure line the converter can print has an explanation, whatever fills in its
// numbers and names; a warning is marked as one; other lines have none.
TEST(ConverterMessagesTest, LinesAndTheirExplanations) {
    const char* explained[] = {
        "ciso file format error", "block 12 : block size error 2041 != 2048",
        "block 3:inflate : invalid block type[-3]", "block=77 : read error", "block 5 : Write error",
        "Can't open /a b/游戏 [1].iso", "Can't create C:\\x\\y.cso", "Input and output are the same file: /a.iso",
        "Input is larger than 2100000000 bytes", "Can't allocate memory", "file read error",
        "Index write error", "Can't close /a.cso",
        "Input size 5000 bytes is not a whole number of 2048-byte sectors: /a.iso",
        "Input is empty: /a.iso", "Can't write log /l.txt", "block 9:deflate : error[-2]"};
    for (const char* line : explained) {
        const ConverterLineExplanation* entry = explain_converter_line(line);
        ASSERT_NE(entry, nullptr) << line;
        EXPECT_FALSE(entry->warning) << line;
    }
    const ConverterLineExplanation* warning =
        explain_converter_line("Warning: the last 96 bytes of the image were never stored in this file");
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->warning);
    for (const char* line : {"", "ciso compress completed", "block x : Write error", "block 5 : Write error!",
                             "Can't open", "Input is larger than -5 bytes", "Time: 0 sec"})
        EXPECT_EQ(explain_converter_line(line), nullptr) << line;
    EXPECT_TRUE(line_matches_format("block 3:inflate : bad [x][-3]", "block %d:inflate : %s[%d]"));
    EXPECT_FALSE(line_matches_format("block 3:inflate : bad[x]", "block %d:inflate : %s[%d]"));
}

// Returns a format with every conversion filled in as the converter might.
std::string filled_in(const char* format) {
    std::string line;
    for (const char* f = format; *f; f++) {
        if (*f != '%') {
            line += *f;
            continue;
        }
        while (f[1] == 'l') f++;
        f++;
        line += *f == 's' ? "a b" : *f == 'c' ? "x" : "12";
    }
    return line;
}

// The converter's table and the explanations agree both ways: every line it can print is
// explained or marked as needing none, and every explanation is for one of its lines.
// Each explained line, filled in, is explained by its own entry, as a warning when the
// converter's table says so.
TEST(ConverterMessagesTest, EveryConverterLineExplainedOrMarked) {
    EXPECT_EQ(unmatched_converter_lines(), std::vector<std::string>{});
    ASSERT_FALSE(explained_converter_lines().empty());
    for (const ConverterLineExplanation& entry : explained_converter_lines()) {
        std::string line = filled_in(entry.format);
        EXPECT_EQ(explain_converter_line(line), &entry) << line;
        EXPECT_NE(*entry.explanation, '\0') << line;
    }
    const ConverterLineExplanation* warning = explain_converter_line(filled_in(msg(MSG_TAIL_NOT_STORED)));
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->warning);
    EXPECT_EQ(explain_converter_line(filled_in(msg(MSG_UNKNOWN_LEVEL))), nullptr);  // marked: needs none
}

TEST(QueueSummaryTest, Figures) {
    struct Case {
        JobTally tally;
        const char* line;
    } cases[] = {
        {{3, 2, 1, 0, 1048576000, 642252800}, "共 3 个文件：成功 2 个，失败 1 个；成功文件输入 1000.00 MB，输出 612.50 MB，压缩比 61.25\r\n"},
        {{5, 1, 0, 1, 3145728, 1048576}, "共 5 个文件：成功 1 个，失败 0 个，跳过 1 个，未转换 3 个；成功文件输入 3.00 MB，输出 1.00 MB，压缩比 33.33\r\n"},
        {{2, 2, 0, 0, 6442450944ull, 3221225472ull}, "共 2 个文件：成功 2 个，失败 0 个；成功文件输入 6144.00 MB，输出 3072.00 MB，压缩比 50.00\r\n"},
        {{2, 0, 2, 0, 0, 0}, "共 2 个文件：成功 0 个，失败 2 个；成功文件输入 0.00 MB，输出 0.00 MB，压缩比 0.00\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(queue_summary_line(c.tally), c.line);
    EXPECT_EQ(progress_label(1, 1, false, 42), "42%");
    EXPECT_EQ(progress_label(1, 1, true, 7), "校验 7%");
    EXPECT_EQ(progress_label(2, 5, false, 42), "2/5 42%");
    EXPECT_EQ(progress_label(2, 5, true, 100), "2/5 校验 100%");
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
