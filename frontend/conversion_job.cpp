// The conversion job of the main dialog: start, worker, report, Stop and Exit.
#include "conversion_job.h"

#include <cctype>
#include <cstdio>
#include <utility>

const char* const TEXT_MODE_COMPRESS = "模式：ISO转换CSO\r\n";
const char* const TEXT_MODE_DECOMPRESS = "模式：CSO转换ISO\r\n";
const char* const TEXT_LEVEL = "压缩级别：%s\r\n";
const char* const TEXT_INPUT_SIZE = "文件大小：%.2f MB\r\n";
const char* const TEXT_IN_PROGRESS = "转换进行中，请稍候…………\r\n";
const char* const TEXT_FINISHED = "转换完毕!\r\n";
const char* const TEXT_FAILED = "转换失败!";
const char* const TEXT_OUTPUT_SIZE = "转换后文件大小：%.2f MB\r\n";
const char* const TEXT_RATIO = "压缩比：%.2f  \r\n";
const char* const TEXT_USER_STOP = "用户终止转换";
const char* const TEXT_USER_EXIT = "用户终止转换，退出中……";
const char* const TEXT_NO_CONVERTER = "无法写出转换程序，转换未开始：";
const char* const TEXT_START = "开始转换";
const char* const TEXT_STOP = "停止转换";
const char* const TEXT_ASK_STOP = "转换正在进行中，您确定要停止吗？";
const char* const TEXT_ASK_EXIT = "转换正在进行中，您确定要退出吗？";
const char* const TEXT_PROMPT_CAPTION = "提示";

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
}  // namespace

// Returns a printf format with one "%s" filled in, whatever the text's length.
static std::string format_text(const char* format, const std::string& text) {
    int n = snprintf(nullptr, 0, format, text.c_str());
    std::vector<char> buf(static_cast<size_t>(n > 0 ? n : 0) + 1);
    snprintf(buf.data(), buf.size(), format, text.c_str());
    return buf.data();
}

// Puts every shared value back to its start value.
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
// converter's closing "Time: " line says nothing about the outcome and is skipped.
void ConverterOutput::finish_line(char end) {
    if (end == '\r') {
        int percent = progress_percent(line_);
        if (percent >= 0) converter_progress = percent;
    } else if (!line_.empty() && line_.compare(0, 6, "Time: ") != 0) {
        last_message_ = line_;
    }
    line_.clear();
}

// Returns the last complete message line.
std::string ConverterOutput::last_message() const {
    return last_message_;
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

// Makes the job's private folder and writes the converter into it; when either fails
// the information box says so and nothing is started. Returns true when started.
bool ConversionJob::Start() {
    JoinWorker();
    temp_folder = GetTempFolder();
    job_folder = platform_.make_private_folder(temp_folder);
    converter_path = format_text(CONVERTER_NAME_FORMAT, job_folder);
    if (job_folder.empty() || ExtractConverter(converter_path) == 0) {
        dlg_.info_text = std::string(TEXT_NO_CONVERTER) +
                         (job_folder.empty() ? temp_folder : converter_path) + "\r\n";
        if (!job_folder.empty()) {  // a partly written converter goes with its folder
            platform_.remove_file(converter_path);
            platform_.remove_folder(job_folder);
        }
        view_.show_members();
        return false;
    }
    StartConversion();
    return true;
}

// Fills the information box, builds the command line (text and argument vector), then
// starts the worker thread and the timer.
void ConversionJob::StartConversion() {
    view_.take_boxes();
    job_input_ = dlg_.input_path;
    job_output_ = dlg_.output_path;
    job_running = 1;
    stop_requested_ = false;
    converter_progress = -1;
    shown_progress_ = -1;
    output_ = ConverterOutput();
    if (dlg_.mode == 0)
        PrepareCompress(view_.level_text());
    else
        PrepareDecompress();
    worker_ = platform_.start_worker([this] { ConverterWaitThread(); });
    view_.start_timer();
    dlg_.info_text += TEXT_IN_PROGRESS;
    view_.show_members();
}

// Compress job: mode, level and size lines; "-com -l<level>" command.
void ConversionJob::PrepareCompress(const std::string& level) {
    dlg_.info_text = TEXT_MODE_COMPRESS;
    dlg_.info_text += format_text(TEXT_LEVEL, level);
    Append(TEXT_INPUT_SIZE, FileSize32(job_input_) / MEGABYTE);
    dlg_.converting = 1;
    command_line = converter_path + " -com -l" + level + " \"" + job_input_ + "\" \"" +
                   job_output_ + "\"";
    converter_argv = {converter_path, "-com", "-l" + level, job_input_, job_output_};
}

// Decompress job: mode and size lines; "-dec" command.
void ConversionJob::PrepareDecompress() {
    dlg_.info_text = TEXT_MODE_DECOMPRESS;
    Append(TEXT_INPUT_SIZE, FileSize32(job_input_) / MEGABYTE);
    dlg_.converting = 1;
    command_line = converter_path + " -dec \"" + job_input_ + "\" \"" + job_output_ + "\"";
    converter_argv = {converter_path, "-dec", job_input_, job_output_};
}

// Worker thread: starts the converter from the argument vector, follows its output
// until it closes, waits for the end and keeps the exit status. job_running stays 1
// when the process cannot be started.
int ConversionJob::ConverterWaitThread() {
    std::unique_ptr<ConverterProcess> process = platform_.start_process(converter_argv);
    if (!process) return 1;
    process_ = std::move(process);
    converter_process = process_.get();
    if (stop_requested_) process_->terminate();  // Stop or Exit came before the store
    char buf[4096];
    while (size_t n = process_->read_output(buf, sizeof buf)) output_.feed(buf, n);
    converter_status = process_->wait_exit();
    job_running = 0;
    return 0;
}

// Timer 1: the report once the process has ended, else the latest percentage. Ticks
// that arrive after a Stop find no job and do nothing.
void ConversionJob::OnTimer() {
    if (dlg_.converting == 0) return;
    if (job_running == 0) {
        ReportCompletion();
        return;
    }
    int percent = converter_progress;
    if (percent != shown_progress_) view_.show_progress(shown_progress_ = percent);
}

// The completion report; job_running goes back to 1 first, so it runs once per job. A
// converter that did not exit with 0 is reported as failed, with its last message.
void ConversionJob::ReportCompletion() {
    dlg_.converting = 0;
    job_running = 1;
    view_.set_start_text(TEXT_START);
    if (converter_status == 0) {
        dlg_.info_text += TEXT_FINISHED;
    } else {
        std::string why = output_.last_message();
        dlg_.info_text += std::string(TEXT_FAILED) + (why.empty() ? "" : " " + why) + "\r\n";
    }
    uint32_t out_size = FileSize32(job_output_);
    uint32_t in_size = FileSize32(job_input_);
    Append(TEXT_OUTPUT_SIZE, out_size / MEGABYTE);
    Append(TEXT_RATIO, in_size ? static_cast<double>(out_size) / in_size * 100 : 0.0);
    view_.show_members();
    view_.show_progress(-1);
    view_.restore();
    view_.stop_timer();
    JoinWorker();
    RemoveConverter();
}

// Asks, then stops the job. When the job was reported while the question was shown,
// Yes changes nothing more (the finished output stays).
void ConversionJob::Stop() {
    if (!view_.ask_yes_no(TEXT_ASK_STOP)) return;
    if (dlg_.converting == 0) return;
    view_.set_start_text(TEXT_START);
    dlg_.converting = 0;
    view_.stop_timer();
    view_.show_progress(-1);
    dlg_.info_text += TEXT_USER_STOP;
    KillAndClean();
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

// Ends the converter, waits 1000 ms, then removes the output and the converter. A worker
// that has not stored the process yet sees stop_requested_ after storing it and ends it.
bool ConversionJob::KillAndClean() {
    stop_requested_ = true;
    if (ConverterProcess* p = converter_process.load()) p->terminate();
    view_.show_members();
    platform_.sleep_ms(STOP_WAIT_MS);
    if (!RemoveJobFile(job_output_, false)) return false;
    return RemoveConverter();
}

// Removes the converter file, then the job's private folder.
bool ConversionJob::RemoveConverter() {
    if (!RemoveJobFile(converter_path, false)) return false;
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

// Returns the user's temporary folder.
std::string ConversionJob::GetTempFolder() {
    return platform_.temp_path();
}

// Writes the embedded converter, byte for byte, to a new file; 1 on success, else 0.
int ConversionJob::ExtractConverter(const std::string& file) {
    std::string bytes;
    if (!platform_.converter_resource(bytes)) return 0;
    return platform_.write_program_file(file, bytes) ? 1 : 0;
}

// Returns the low 32 bits of the file's size; 0 for a file that cannot be measured.
uint32_t ConversionJob::FileSize32(const std::string& file) {
    uint64_t size = 0;
    if (!platform_.file_size(file, size)) return 0;
    return static_cast<uint32_t>(size);
}

// Appends one printf-formatted line with a number to the information box.
void ConversionJob::Append(const char* format, double value) {
    char line[256];
    snprintf(line, sizeof line, format, value);
    dlg_.info_text += line;
}
