// The conversion job of the main dialog: start, worker, report, Stop and Exit.
#include "conversion_job.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <utility>

#include "converter_messages.h"
#include "cso_verify.h"
#include "messages.h"
#include "output_naming.h"
#include "platform.h"

const char* const TEXT_MODE_COMPRESS = "模式：ISO转换CSO\r\n";
const char* const TEXT_MODE_DECOMPRESS = "模式：CSO转换ISO\r\n";
const char* const TEXT_LEVEL = "压缩级别：%s\r\n";
const char* const TEXT_INPUT_SIZE = "文件大小：%.2f MB\r\n";
const char* const TEXT_IN_PROGRESS = "转换进行中，请稍候…………\r\n";
const char* const TEXT_FINISHED = "转换完毕!\r\n";
const char* const TEXT_FAILED = "转换失败!";
const char* const TEXT_WARNING = "注意：";
const char* const TEXT_OUTPUT_SIZE = "转换后文件大小：%.2f MB\r\n";
const char* const TEXT_RATIO = "压缩比：%.2f  \r\n";
const char* const TEXT_USER_STOP = "用户终止转换";
const char* const TEXT_USER_EXIT = "用户终止转换，退出中……";
// After a Stop that came once the converter had finished: its output stays, unchecked.
const char* const TEXT_KEPT_UNCHECKED = "\r\n输出文件已写完，未经校验，已保留：";
const char* const TEXT_NO_CONVERTER = "无法写出转换程序，转换未开始：";
const char* const TEXT_NOT_STARTED = "无法启动转换程序";
const char* const TEXT_ENDED_ABNORMALLY = "转换程序意外终止";
const char* const TEXT_START = "开始转换";
const char* const TEXT_STOP = "停止转换";
const char* const TEXT_ASK_STOP = "转换正在进行中，您确定要停止吗？";
const char* const TEXT_ASK_EXIT = "转换正在进行中，您确定要退出吗？";
const char* const TEXT_PROMPT_CAPTION = "提示";
const char* const TEXT_QUEUE_FILE = "文件 ";
const char* const TEXT_SKIPPED = "跳过：不是 ISO 或 CSO 文件\r\n";
const char* const TEXT_SKIPPED_OVER_INPUT = "跳过：输出文件是队列中的另一个输入文件\r\n";
const char* const TEXT_ASK_OVERWRITE = "以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n%s是否继续？";
const char* const TEXT_VERIFYING = "校验";

std::atomic<int> job_running{1};
std::atomic<ConverterProcess*> converter_process{nullptr};
std::string command_line;
std::vector<std::string> converter_argv;
std::string temp_folder;
std::string job_folder;
std::string converter_path;
std::atomic<int> converter_status{0};
std::atomic<int> converter_progress{-1};

namespace {
const double MEGABYTE = 1048576.0;
const int STOP_WAIT_MS = 1000;
const char* const CONVERTER_NAME_FORMAT = "%sVellicor.exe";
const size_t MAX_LISTED_OVERWRITES = 8;  // names listed in the overwrite question
// The status the converter ends every failure of its own with.
constexpr int CONVERTER_FAILURE_STATUS = 1;
}  // namespace

// Returns a printf format with one "%s" filled in, whatever the text's length.
static std::string format_text(const char* format, const std::string& text) {
    int n = snprintf(nullptr, 0, format, text.c_str());
    std::vector<char> buf(static_cast<size_t>(n > 0 ? n : 0) + 1);
    snprintf(buf.data(), buf.size(), format, text.c_str());
    return buf.data();
}

// Returns the format with its one "%.2f" filled in as printf does in the "C" locale:
// the dialog's toolkit takes the user's locale, whose decimal comma would change the
// texts.
static std::string format_number(const char* format, double value) {
    char number[64];
    std::to_chars_result r = std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, 2);
    std::string text = format;
    size_t at = text.find("%.2f");
    if (at != std::string::npos) text.replace(at, 4, number, static_cast<size_t>(r.ptr - number));
    return text;
}

// Several files, and the box still shows them as chosen.
bool DialogMembers::shows_queue(const std::string& box_text) const {
    return input_paths.size() > 1 && box_text == QueueBoxText(input_paths[0], input_paths.size());
}

// Returns the summary line of a queue.
std::string queue_summary_line(const JobTally& t) {
    int left = t.files - t.converted - t.failed - t.skipped;
    std::string line = "共 " + std::to_string(t.files) + " 个文件：成功 " + std::to_string(t.converted) +
                       " 个，失败 " + std::to_string(t.failed) + " 个";
    if (t.skipped > 0) line += "，跳过 " + std::to_string(t.skipped) + " 个";
    if (left > 0) line += "，未转换 " + std::to_string(left) + " 个";
    double ratio = t.input_bytes ? static_cast<double>(t.output_bytes) / t.input_bytes * 100 : 0.0;
    return line + "；成功文件输入 " + format_number("%.2f", t.input_bytes / MEGABYTE) + " MB，输出 " +
           format_number("%.2f", t.output_bytes / MEGABYTE) + " MB，压缩比 " +
           format_number("%.2f", ratio) + "\r\n";
}

bool is_converter_temp(const std::string& name, const std::string& base, unsigned long pid) {
    std::string mark = PLAT_TEMP_MARK + std::to_string(pid);
    size_t at = name.rfind(mark);
    if (name.size() < 2 || name[0] != '.' || at == std::string::npos || at < 2) return false;
    std::string kept = name.substr(1, at - 1), rest = name.substr(at + mark.size());
    if (base.compare(0, kept.size(), kept) != 0 || kept.size() > base.size()) return false;
    if (rest.empty()) return true;
    return rest.size() > 1 && rest[0] == '-' &&
           rest.find_first_not_of("0123456789", 1) == std::string::npos;
}

// Returns "42%", "校验 42%", "2/5 42%" or "2/5 校验 42%".
std::string progress_label(size_t number, size_t count, bool verifying, int percent) {
    std::string label = count > 1 ? std::to_string(number) + "/" + std::to_string(count) + " " : "";
    if (verifying) label += std::string(TEXT_VERIFYING) + " ";
    return label + std::to_string(percent) + "%";
}

void conversion_job_reset_state() {
    job_running = 1;
    converter_process = nullptr;
    command_line.clear();
    converter_argv.clear();
    temp_folder.clear();
    job_folder.clear();
    converter_path.clear();
    converter_status = 0;
    converter_progress = -1;
}

// Returns the percentage in a progress line: the first number followed by '%', or -1.
int progress_percent(const std::string& line) {
    for (size_t i = 0; i < line.size(); i++) {
        if (!isdigit(static_cast<unsigned char>(line[i]))) continue;
        int value = 0;
        size_t j = i;
        while (j < line.size() && isdigit(static_cast<unsigned char>(line[j])) && value < 1000)
            value = value * 10 + (line[j++] - '0');
        if (j < line.size() && line[j] == '%') return value > 100 ? 100 : value;
        i = j;
    }
    return -1;
}

// Takes the next piece of output, finishing a line at every '\r' or '\n'.
void ConverterOutput::feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\r' || data[i] == '\n')
            finish_line(data[i]);
        else
            line_ += data[i];
    }
}

// Progress lines end in '\r' and update the percentage; other lines are messages. The
// converter's closing line is no message: it marks a run the converter ended itself.
void ConverterOutput::finish_line(char end) {
    if (end == '\r') {
        int percent = progress_percent(line_);
        if (percent >= 0) converter_progress = percent;
    } else if (line_.rfind(CLOSING_LINE_START, 0) == 0) {
        reached_end_ = true;
    } else if (!line_.empty()) {
        last_message_ = line_;
        const ConverterLineExplanation* entry = explain_converter_line(line_);
        if (entry) (entry->warning ? warning_line_ : failure_line_) = line_;
    }
    line_.clear();
}

// Returns the last complete message line.
std::string ConverterOutput::last_message() const {
    return last_message_;
}

// Returns the last explained failure line, else the last message line.
std::string ConverterOutput::failure_line() const {
    return failure_line_.empty() ? last_message_ : failure_line_;
}

ConversionJob::ConversionJob(DialogMembers& dlg, JobView& view, JobPlatform& platform)
    : dlg_(dlg), view_(view), platform_(platform) {}

// Ends a converter that still runs (a no-op once it was waited for) and joins the worker.
ConversionJob::~ConversionJob() {
    stop_requested_ = true;
    if (ConverterProcess* p = converter_process.load()) p->terminate();
    JoinWorker();
}

// Start when idle, otherwise the Stop question.
void ConversionJob::OnStartStop() {
    if (dlg_.converting == 0) {
        if (!Start()) return;
        view_.set_start_text(TEXT_STOP);
        view_.minimise();
    } else {
        Stop();
    }
}

// Plans the files, makes the job's private folder and writes the converter into it;
// when either fails the information box says so and nothing is started. Returns true
// when started.
bool ConversionJob::Start() {
    JoinWorker();
    view_.take_boxes();
    if (!PlanFiles() || !PrepareJobFolder()) return false;
    job_level_ = view_.level_text();
    dlg_.info_text.clear();
    view_.lock_choices(true);
    return StartNextFile();
}

// Makes and locks the private folder and writes the converter into it; on a failure the
// information box names what could not be written and nothing is left behind.
bool ConversionJob::PrepareJobFolder() {
    temp_folder = GetTempFolder();
    // Without a temporary folder a folder made from "" would land in the current one.
    job_folder = temp_folder.empty() ? "" : platform_.make_private_folder(temp_folder);
    converter_path = format_text(CONVERTER_NAME_FORMAT, job_folder);
    converter_removed_ = false;
    // The lock of an earlier job's folder (kept while its converter could not be removed)
    // lets go here: only this job's folder may pass.
    folder_lock_ = job_folder.empty() ? nullptr : platform_.lock_folder(job_folder);
    if (folder_lock_ && ExtractConverter(converter_path) != 0) return true;
    dlg_.info_text = std::string(TEXT_NO_CONVERTER) +
                     (job_folder.empty() ? temp_folder : converter_path) + "\r\n";
    if (!job_folder.empty()) {  // a partly written converter goes with its folder
        platform_.remove_file(converter_path);
        if (folder_lock_) folder_lock_->release();
        folder_lock_.reset();
        platform_.remove_folder(job_folder);
    }
    view_.show_members();
    return false;
}

// Removes what killed or crashed dialogs left in the temporary folder.
void ConversionJob::RemoveStaleFolders() {
    std::string temp = GetTempFolder();
    if (!temp.empty()) platform_.remove_stale_folders(temp);  // never the current folder
}

// One file: the boxes as they are. A queue: every chosen file, its output derived beside
// it or in the chosen folder; files with neither extension, or whose output is another
// chosen file, are skipped. Either way an output that exists is replaced only after the
// user said so.
bool ConversionJob::PlanFiles() {
    const std::vector<std::string>& chosen = dlg_.input_paths;
    queue_ = dlg_.shows_queue(dlg_.input_path);
    files_.clear();
    current_ = 0;
    tally_ = JobTally();
    if (!queue_) files_.push_back({dlg_.input_path, dlg_.output_path, dlg_.mode, false});
    for (size_t i = 0; queue_ && i < chosen.size(); i++) files_.push_back(QueuedFile(chosen[i]));
    if (queue_) SkipOutputsOverInputs();
    tally_.files = static_cast<int>(files_.size());
    if (queue_ && ReportAllSkipped()) return false;
    return ConfirmOverwrites();
}

// Returns a chosen file's plan: its derived output, skipped with neither extension.
JobFile ConversionJob::QueuedFile(const std::string& input) const {
    JobFile file{input, "", 0, false};
    file.output = QueueOutputName(input, dlg_.output_folder, platform_.path_separator(), file.mode);
    file.skipped = file.output == "ERROR!";
    return file;
}

// Writing such an output would replace a file the queue reads before or after it (x.iso
// and x.cso chosen together): neither order converts what was chosen, so both are left.
void ConversionJob::SkipOutputsOverInputs() {
    std::vector<std::string> inputs;
    for (const JobFile& file : files_)
        if (!file.skipped) inputs.push_back(FileKey(file.input));
    for (JobFile& file : files_) {
        std::string key = FileKey(file.output);
        if (file.skipped || std::find(inputs.begin(), inputs.end(), key) == inputs.end()) continue;
        file.skipped = true;
        file.skip_text = TEXT_SKIPPED_OVER_INPUT;
    }
}

// A link leads to the file it names (a dangling one too), so two names can be one file.
std::string ConversionJob::FileKey(const std::string& name) const {
    return platform_.path_key(platform_.written_name(name));
}

// When no file is left to convert, lists them all as skipped, with the summary; returns
// true then.
bool ConversionJob::ReportAllSkipped() {
    if (std::any_of(files_.begin(), files_.end(), [](const JobFile& f) { return !f.skipped; }))
        return false;
    dlg_.info_text.clear();
    StartNextFile();
    dlg_.info_text += queue_summary_line(tally_);
    view_.show_members();
    return true;
}

// Collects outputs that exist already or repeat an earlier one (links followed, in the
// platform's rule for letter case), and asks once about all.
bool ConversionJob::ConfirmOverwrites() {
    std::vector<std::string> seen, clashes;
    for (const JobFile& file : files_) {
        if (file.skipped) continue;
        uint64_t size = 0;
        std::string key = FileKey(file.output);
        bool repeated = std::find(seen.begin(), seen.end(), key) != seen.end();
        if (repeated || platform_.file_size(file.output, size)) clashes.push_back(file.output);
        seen.push_back(key);
    }
    if (clashes.empty()) return true;
    std::string names;
    for (size_t i = 0; i < clashes.size() && i < MAX_LISTED_OVERWRITES; i++)
        names += one_line(clashes[i]) + "\n";
    if (clashes.size() > MAX_LISTED_OVERWRITES) names += "……\n";
    return view_.ask_yes_no(format_text(TEXT_ASK_OVERWRITE, names));
}

// Lists the skipped files up to the next file to convert and starts that one; returns
// false when none is left.
bool ConversionJob::StartNextFile() {
    for (; current_ < files_.size() && files_[current_].skipped; current_++) {
        dlg_.info_text += FileHeader() + files_[current_].skip_text;
        tally_.skipped++;
    }
    if (current_ == files_.size()) return false;
    StartConversion();
    return true;
}

// Returns the line that heads the current file's block in a queue: "文件 2/5：a.iso".
std::string ConversionJob::FileHeader() const {
    std::string title =
        one_line(FileTitleOf(files_[current_].input, true, platform_.path_separator()));
    return std::string(TEXT_QUEUE_FILE) + std::to_string(current_ + 1) + "/" +
           std::to_string(files_.size()) + "：" + title + "\r\n";
}

// Fills the information box, builds the command line (text and argument vector), then
// starts the worker thread and the timer.
void ConversionJob::StartConversion() {
    const JobFile& file = files_[current_];
    job_input_ = file.input;
    job_output_ = file.output;
    job_mode_ = file.mode;
    job_running = 1;
    stop_requested_ = false;
    converter_pid_ = 0;
    output_in_place_ = false;
    start_failed_ = false;
    converter_progress = -1;
    verify_progress_ = -1;
    shown_progress_ = -1;
    shown_label_.clear();
    verify_line_.clear();
    verify_passed_ = false;
    output_ = ConverterOutput();
    if (queue_) dlg_.info_text += FileHeader();
    if (job_mode_ == 0)
        PrepareCompress(job_level_);
    else
        PrepareDecompress();
    worker_ = platform_.start_worker([this] { ConverterWaitThread(); });
    if (!worker_) EndUnstarted();
    view_.start_timer();
    dlg_.info_text += TEXT_IN_PROGRESS;
    view_.show_members();
}

// Compress job: mode, level and size lines; "-com -l<level>" command.
void ConversionJob::PrepareCompress(const std::string& level) {
    dlg_.info_text += TEXT_MODE_COMPRESS;
    dlg_.info_text += format_text(TEXT_LEVEL, level);
    Append(TEXT_INPUT_SIZE, FileSize(job_input_) / MEGABYTE);
    dlg_.converting = 1;
    command_line = converter_path + " -com -l" + level + " \"" + job_input_ + "\" \"" +
                   job_output_ + "\"";
    converter_argv = {converter_path, "-com", "-l" + level, job_input_, job_output_};
}

// Decompress job: mode and size lines; "-dec" command.
void ConversionJob::PrepareDecompress() {
    dlg_.info_text += TEXT_MODE_DECOMPRESS;
    Append(TEXT_INPUT_SIZE, FileSize(job_input_) / MEGABYTE);
    dlg_.converting = 1;
    command_line = converter_path + " -dec \"" + job_input_ + "\" \"" + job_output_ + "\"";
    converter_argv = {converter_path, "-dec", job_input_, job_output_};
}

// Worker thread: starts the converter from the argument vector, follows its output
// until it closes, waits for the end, keeps the exit status and verifies the output.
int ConversionJob::ConverterWaitThread() {
    std::unique_ptr<ConverterProcess> process = platform_.start_process(converter_argv);
    if (!process) {
        EndUnstarted();
        return 1;
    }
    process_ = std::move(process);
    converter_pid_ = process_->id();
    converter_process = process_.get();
    if (stop_requested_) process_->terminate();  // Stop or Exit came before the store
    char buf[4096];
    while (size_t n = process_->read_output(buf, sizeof buf)) output_.feed(buf, n);
    converter_status = process_->wait_exit();
    // A converter renames its output at the end of a run it ends itself; ended from
    // outside, it may leave status 0 all the same (taskkill under Wine does).
    output_in_place_ = converter_status == 0 && output_.reached_end();
    VerifyOutput();
    job_running = 0;
    return 0;
}

// A converter that cannot start (a temporary folder mounted without execution, say)
// would otherwise leave the dialog saying "please wait" for ever: the file ends at once
// and is reported as failed.
void ConversionJob::EndUnstarted() {
    start_failed_ = true;
    job_running = 0;
}

// Checks the CSO against the image: the output against the input after a compression,
// the input against the output after a decompression. Holds verify_mutex_ meanwhile, so
// that Stop and Exit clean up only once the output is no longer read.
void ConversionJob::VerifyOutput() {
    std::lock_guard<std::mutex> lock(verify_mutex_);
    if (!output_in_place_ || stop_requested_) return;
    verify_progress_ = 0;
    const std::string& cso = job_mode_ == 0 ? job_output_ : job_input_;
    const std::string& image = job_mode_ == 0 ? job_input_ : job_output_;
    ImageRole role = job_mode_ == 0 ? ImageRole::INPUT : ImageRole::WRITTEN;
    VerifyResult result = verify_cso(platform_, cso, image, role, stop_requested_,
                                     [this](int percent) { verify_progress_ = percent; });
    verify_line_ = verify_report_line(result);
    verify_passed_ = result.kind == VerifyResult::PASSED;
}

// Timer 1: the report once the process has ended and its output is verified, else the
// latest percentage. Ticks that arrive after a Stop find no job and do nothing.
void ConversionJob::OnTimer() {
    if (dlg_.converting == 0) return;
    if (job_running == 0) {
        ReportCompletion();
        return;
    }
    ShowProgress();
}

// Shows the verification's percentage once it runs, else the converter's.
void ConversionJob::ShowProgress() {
    int verifying = verify_progress_, converting = converter_progress;
    int percent = verifying >= 0 ? verifying : converting;
    std::string label =
        percent < 0 ? "" : progress_label(current_ + 1, files_.size(), verifying >= 0, percent);
    if (percent == shown_progress_ && label == shown_label_) return;
    shown_progress_ = percent;
    shown_label_ = label;
    view_.show_progress(percent, label);
}

// The completion report of the current file; job_running goes back to 1 first, so it
// runs once per file. A queue then goes on with its next file.
void ConversionJob::ReportCompletion() {
    job_running = 1;
    JoinWorker();
    ReportFile();
    current_++;
    if (queue_ && StartNextFile()) return;
    FinishJob();
}

// A converter that did not end well (status 0 after its closing line) is reported as
// failed, with the explanation of its failure line and the line itself, and no sizes (its
// output is not a result); what it left is removed. A
// successful one gets its sizes and the verification's line; one that could not be
// started, the converter's name. A file counts as converted only when its converter
// succeeded and its verification passed.
void ConversionJob::ReportFile() {
    if (start_failed_) {
        dlg_.info_text +=
            std::string(TEXT_FAILED) + " " + TEXT_NOT_STARTED + "\r\n" + converter_path + "\r\n";
        tally_.failed++;
        return;
    }
    if (!output_in_place_) {
        RemoveJobOutput();  // a converter killed or crashed could not remove its own
        dlg_.info_text += FailureLines();
        tally_.failed++;
        return;
    }
    dlg_.info_text += TEXT_FINISHED + WarningLines();
    uint64_t out_size = FileSize(job_output_);
    uint64_t in_size = FileSize(job_input_);
    Append(TEXT_OUTPUT_SIZE, out_size / MEGABYTE);
    Append(TEXT_RATIO, in_size ? static_cast<double>(out_size) / in_size * 100 : 0.0);
    dlg_.info_text += verify_line_;
    uint64_t in_bytes = 0, out_bytes = 0;
    bool ok = verify_passed_ && platform_.file_size(job_input_, in_bytes) &&
              platform_.file_size(job_output_, out_bytes);
    (ok ? tally_.converted : tally_.failed)++;
    tally_.input_bytes += ok ? in_bytes : 0;
    tally_.output_bytes += ok ? out_bytes : 0;
}

// "转换失败! <explanation>" and the converter's line below it; a line without an
// explanation follows "转换失败!" directly, as does nothing when there was no line. A
// converter cut short (no closing line, or a status other than its own failures')
// without an explained line is said to have ended unexpectedly: its last line, a header
// line as likely as not, says nothing about why. Every line a converter ends a run with
// before its closing line has an explanation.
std::string ConversionJob::FailureLines() const {
    std::string line = output_.failure_line();
    const ConverterLineExplanation* entry = explain_converter_line(line);
    bool explained = entry && !entry->warning;
    if (!explained && (!output_.reached_end() || converter_status != CONVERTER_FAILURE_STATUS))
        return std::string(TEXT_FAILED) + " " + TEXT_ENDED_ABNORMALLY + "\r\n";
    if (!explained) return std::string(TEXT_FAILED) + (line.empty() ? "" : " " + line) + "\r\n";
    return std::string(TEXT_FAILED) + " " + entry->explanation + "\r\n" + line + "\r\n";
}

// "注意：<explanation>" and the warning line below it, or "".
std::string ConversionJob::WarningLines() const {
    std::string line = output_.warning_line();
    const ConverterLineExplanation* entry = explain_converter_line(line);
    if (!entry) return "";
    return std::string(TEXT_WARNING) + entry->explanation + "\r\n" + line + "\r\n";
}

// After the last file: the button and the choices, a queue's summary, the boxes, the
// window, the timer and the converter.
void ConversionJob::FinishJob() {
    dlg_.converting = 0;
    view_.set_start_text(TEXT_START);
    view_.lock_choices(false);
    if (queue_) dlg_.info_text += queue_summary_line(tally_);
    view_.show_members();
    view_.show_progress(-1, "");
    view_.show_outcome(tally_.failed > 0);
    view_.restore();
    view_.stop_timer();
    RemoveConverter();
}

// Asks, then stops the job. When the job was reported while the question was shown,
// Yes changes nothing more (the finished output stays); an output finished but not yet
// reported stays too, and is named.
void ConversionJob::Stop() {
    if (!view_.ask_yes_no(TEXT_ASK_STOP)) return;
    if (dlg_.converting == 0) return;
    view_.set_start_text(TEXT_START);
    view_.lock_choices(false);
    dlg_.converting = 0;
    view_.stop_timer();
    view_.show_progress(-1, "");
    dlg_.info_text += TEXT_USER_STOP;
    if (queue_) dlg_.info_text += "\r\n" + queue_summary_line(tally_);
    KillAndClean();
    if (!output_in_place_) return;
    dlg_.info_text += TEXT_KEPT_UNCHECKED + one_line(job_output_);
    view_.show_members();
}

// Leaves at once when idle; during a job asks first, ends the converter and removes
// the job's files. A failed removal keeps the dialog open.
void ConversionJob::OnExit() {
    if (dlg_.converting != 1) {
        view_.close_dialog();
        return;
    }
    if (!view_.ask_yes_no(TEXT_ASK_EXIT)) return;
    if (dlg_.converting != 1) {  // reported meanwhile: keep the finished output
        view_.close_dialog();
        return;
    }
    view_.stop_timer();
    dlg_.info_text += TEXT_USER_EXIT;
    if (KillAndClean()) view_.close_dialog();
}

// Ends the converter, waits 1000 ms, then removes what a converter ended mid-run wrote and
// the converter. A worker that has not stored the process yet sees stop_requested_ after
// storing it and ends it; a verification sees it before its next chunk and lets go of
// the output. A queue's remaining files are dropped, so that no late tick can start one.
bool ConversionJob::KillAndClean() {
    stop_requested_ = true;
    if (current_ < files_.size()) files_.resize(current_ + 1);
    if (ConverterProcess* p = converter_process.load()) p->terminate();
    view_.show_members();
    platform_.sleep_ms(STOP_WAIT_MS);
    { std::lock_guard<std::mutex> wait_for_verification(verify_mutex_); }
    RemoveJobOutput();
    return RemoveConverter();
}

// Removes what a converter ended mid-run left: its own temporary file. A file under the
// output's name is then the user's own and stays. An output the converter finished stays
// too (a Stop or Exit during its verification or before its report): it is whole, and it
// has already replaced the user's earlier file, which removing it would lose for good.
void ConversionJob::RemoveJobOutput() {
    unsigned long pid = converter_pid_.load();
    if (output_in_place_ || pid == 0) return;  // finished, or never started: nothing to undo
    std::string written = platform_.written_name(job_output_);  // the temporary lies by a link's target
    size_t cut = LastSeparatorOf(written, platform_.path_separator());
    std::string folder = cut == std::string::npos ? "" : written.substr(0, cut + 1);
    std::string base = written.substr(cut == std::string::npos ? 0 : cut + 1);
    for (const std::string& name : platform_.list_folder(folder)) {
        if (!is_converter_temp(name, base, pid)) continue;
        std::string error = platform_.remove_file(folder + name);
        if (!error.empty()) view_.show_error(error);  // shown, but the output is safe
    }
}

// Removes the converter file, the folder's lock, then the job's private folder; a retry
// after a failure goes on from what was left.
bool ConversionJob::RemoveConverter() {
    if (!converter_removed_ && !RemoveJobFile(converter_path, false)) return false;
    converter_removed_ = true;
    if (folder_lock_) folder_lock_->release();
    folder_lock_.reset();
    return RemoveJobFile(job_folder, true);
}

// Removes one file or folder; a failure is shown in a message box.
bool ConversionJob::RemoveJobFile(const std::string& path, bool folder) {
    std::string error = folder ? platform_.remove_folder(path) : platform_.remove_file(path);
    if (error.empty()) return true;
    view_.show_error(error);
    return false;
}

// Waits for the previous worker (it has ended or is ending) and drops its process.
void ConversionJob::JoinWorker() {
    if (worker_) worker_->join();
    worker_.reset();
    converter_process = nullptr;
    process_.reset();
}

std::string ConversionJob::GetTempFolder() {
    return platform_.temp_path();
}

// Writes the embedded converter, byte for byte, to a new file; 1 on success, else 0.
int ConversionJob::ExtractConverter(const std::string& file) {
    std::string bytes;
    if (!platform_.converter_resource(bytes)) return 0;
    return platform_.write_program_file(file, bytes) ? 1 : 0;
}

// Returns the file's size; 0 for a file that cannot be measured.
uint64_t ConversionJob::FileSize(const std::string& file) {
    uint64_t size = 0;
    if (!platform_.file_size(file, size)) return 0;
    return size;
}

// Appends one line with a number to the information box.
void ConversionJob::Append(const char* format, double value) {
    dlg_.info_text += format_number(format, value);
}
