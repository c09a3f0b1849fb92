// The conversion job: extracts the embedded converter into a private folder, runs it on
// a worker thread, reports sizes and ratio in the information box, and stops it on
// request. Needs no display and no real process: the dialog and the operating system
// are reached through JobView and JobPlatform.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "job_platform.h"

// The dialog members that the job reads and writes (CWendrovixDlg derives from this).
struct DialogMembers {
    std::string input_path;   // input image, bound to the input box
    std::string output_path;  // output image, bound to the output box
    int32_t mode = 0;         // 0 = ISO to CSO (compress), 1 = CSO to ISO (decompress)
    std::string info_text;    // contents of the information box
    uint8_t converting = 0;   // 1 while a job is under way
    // Files chosen together. With more than one, and the input box showing
    // QueueBoxText of them, Start converts them all one after another.
    std::vector<std::string> input_paths;
    std::string output_folder;  // queue: folder for every output (trailing separator);
                                // "" = each output beside its input
    // Returns true when `box_text` is what the input box shows for input_paths as a queue.
    bool shows_queue(const std::string& box_text) const;
};

// The period of timer 1, which runs the report and shows the progress.
const int TIMER_PERIOD_MS = 100;

// What the job asks of the dialog window.
class JobView {
public:
    virtual ~JobView() = default;
    // Copies the boxes' contents into the members.
    virtual void take_boxes() = 0;
    // Copies the members into the boxes.
    virtual void show_members() = 0;
    // Returns the level list's current text ("9" to "1").
    virtual std::string level_text() = 0;
    // Sets the Start/Stop button's text.
    virtual void set_start_text(const std::string& text) = 0;
    // Minimises the dialog window.
    virtual void minimise() = 0;
    // Restores the dialog window.
    virtual void restore() = 0;
    // Asks a Yes/No question with the caption "提示" and the question icon; returns true
    // on Yes.
    virtual bool ask_yes_no(const std::string& question) = 0;
    // Shows a failure text in a message box.
    virtual void show_error(const std::string& text) = 0;
    // Starts timer 1 (100 ms).
    virtual void start_timer() = 0;
    // Stops timer 1.
    virtual void stop_timer() = 0;
    // Shows the progress: `percent` in the bar and `label` ("42%", "2/5 42%", "校验 42%",
    // "2/5 校验 42%") as its text and, while minimised, in the title; -1 hides it.
    virtual void show_progress(int percent, const std::string& label) = 0;
    // Disables (true) or enables again (false) the controls that choose the files and
    // the level, so that nothing chosen during a job can be mistaken for what it converts.
    virtual void lock_choices(bool locked) = 0;
    // Shows how the job ended where the platform shows progress outside the window (the
    // taskbar button's error state when a file failed); nothing elsewhere.
    virtual void show_outcome(bool failed) = 0;
    // Closes the dialog, which ends the program.
    virtual void close_dialog() = 0;
};

// Texts of the information box, the button and the questions.
extern const char* const TEXT_MODE_COMPRESS;    // first line of a compress job
extern const char* const TEXT_MODE_DECOMPRESS;  // first line of a decompress job
extern const char* const TEXT_LEVEL;            // "%s": the level text
extern const char* const TEXT_INPUT_SIZE;       // "%.2f": input megabytes
extern const char* const TEXT_IN_PROGRESS;      // last line written at the start
extern const char* const TEXT_FINISHED;         // first report line of a successful job
extern const char* const TEXT_FAILED;           // first report line when the converter failed
extern const char* const TEXT_WARNING;          // heads a successful run's warning
extern const char* const TEXT_OUTPUT_SIZE;      // "%.2f": output megabytes
extern const char* const TEXT_RATIO;            // "%.2f": output size in percent of the input
extern const char* const TEXT_USER_STOP;        // appended by Stop
extern const char* const TEXT_USER_EXIT;        // appended by Exit during a job
extern const char* const TEXT_NO_CONVERTER;     // the converter could not be written
extern const char* const TEXT_NOT_STARTED;      // the converter could not be started
extern const char* const TEXT_ENDED_ABNORMALLY; // the converter was killed or crashed
extern const char* const TEXT_START;            // Start button
extern const char* const TEXT_STOP;             // Stop button
extern const char* const TEXT_ASK_STOP;         // question before stopping
extern const char* const TEXT_ASK_EXIT;         // question before leaving during a job
extern const char* const TEXT_PROMPT_CAPTION;   // caption of both questions
extern const char* const TEXT_QUEUE_FILE;       // heads a file's block: "文件 2/5：a.iso"
extern const char* const TEXT_SKIPPED;          // a queued file with neither extension
extern const char* const TEXT_SKIPPED_OVER_INPUT;  // its output is another queued input
extern const char* const TEXT_ASK_OVERWRITE;    // "%s": outputs that exist or repeat
extern const char* const TEXT_VERIFYING;        // progress label while verifying

// Values shared between the dialog thread and the worker thread (one instance each).
extern std::atomic<int> job_running;                     // 0 only between process end and report
extern std::atomic<ConverterProcess*> converter_process;  // running converter, stored by the worker
extern std::string command_line;     // converter command line as text, written before the worker starts
extern std::vector<std::string> converter_argv;  // the same command as the argument vector the worker starts
extern std::string temp_folder;      // the user's temporary folder, trailing separator
extern std::string job_folder;       // the job's private folder inside temp_folder, trailing separator
extern std::string converter_path;   // job_folder followed by "Vellicor.exe"
extern std::atomic<int> converter_status;    // exit status of the last converter, kept by the worker
extern std::atomic<int> converter_progress;  // latest percentage the converter printed, -1 before any

// Puts every shared value back to its start value (for tests).
void conversion_job_reset_state();

// Follows the converter's standard output: the latest percentage of its progress lines
// (which end in a carriage return) and its last message line (ending in a line feed).
class ConverterOutput {
public:
    // Takes the next piece of output.
    void feed(const char* data, size_t size);
    // Returns the last complete message line, without the closing time line. Written by
    // the worker: read it only after job_running has gone to 0.
    std::string last_message() const;
    // Returns the line that tells why the run failed: the last line with an explanation
    // (its standard error may arrive before lines its standard output held back), else
    // the last message line. Read it as last_message.
    std::string failure_line() const;
    // Returns the last warning line with an explanation, "" when there was none.
    std::string warning_line() const { return warning_line_; }
    // True once the closing time line came: the converter prints it at the end of every
    // run it ends itself, so without it the run was cut short (killed, crashed). Read it
    // as last_message.
    bool reached_end() const { return reached_end_; }

private:
    // Handles one finished line that ended with `end` ('\r' or '\n').
    void finish_line(char end);
    std::string line_;          // the line being received
    std::string last_message_;  // the last message line
    std::string failure_line_;  // the last explained failure line
    std::string warning_line_;  // the last explained warning line
    bool reached_end_ = false;  // the closing time line came
};

// Returns the percentage in a progress line ("compress  42% ..."), or -1 when it has none.
int progress_percent(const std::string& line);

// One file of a job: its names, its direction, and whether it is skipped and why.
struct JobFile {
    std::string input, output;
    int32_t mode = 0;
    bool skipped = false;
    const char* skip_text = TEXT_SKIPPED;
};

// Counts and sizes for a queue's summary line; sizes count successful files only.
struct JobTally {
    int files = 0, converted = 0, failed = 0, skipped = 0;
    uint64_t input_bytes = 0, output_bytes = 0;
};

// Returns the queue's summary line ("共 3 个文件：成功 2 个，失败 1 个；成功文件输入 …");
// skipped files and files not converted (after a Stop) are counted only when there are
// any.
std::string queue_summary_line(const JobTally& tally);

// Returns whether `name` is the temporary file that converter `pid` writes beside the
// output named `base`, by the naming rule of PLAT_TEMP_MARK in the converter's platform.h.
bool is_converter_temp(const std::string& name, const std::string& base, unsigned long pid);

// Returns the progress label for file `number` of `count` (count 1: no file part).
std::string progress_label(size_t number, size_t count, bool verifying, int percent);

// The conversion job of the main dialog.
class ConversionJob {
public:
    ConversionJob(DialogMembers& dlg, JobView& view, JobPlatform& platform);
    // Ends a converter that still runs and waits for the worker thread.
    ~ConversionJob();
    // Start/Stop button: starts a job when none runs, else asks and stops it.
    void OnStartStop();
    // Timer 1: runs the report once the process has ended; shows the progress.
    void OnTimer();
    // Exit button, Esc key and close box: leaves, asking first during a job.
    void OnExit();
    // Returns the last message line of the current or last converter.
    std::string last_message() const { return output_.last_message(); }
    // Start-up: removes the job folders that dialogs which were killed or crashed left in
    // the temporary folder.
    void RemoveStaleFolders();

private:
    // Starts a job: plan, private folder, converter, first file; false when nothing started.
    bool Start();
    // Lists the job's files from the boxes (one) or the chosen files (a queue); false
    // when nothing is to start (all skipped, or an overwrite was declined).
    bool PlanFiles();
    // Returns a chosen file's plan: output derived beside it or in the chosen folder.
    JobFile QueuedFile(const std::string& input) const;
    // Skips the files whose output is another queued file's input.
    void SkipOutputsOverInputs();
    // Returns the key of the file a name leads to, links followed, in the platform's rule
    // for letter case: equal keys, one file.
    std::string FileKey(const std::string& name) const;
    // With nothing to convert, lists every file as skipped and sums up; true then.
    bool ReportAllSkipped();
    // Asks once about outputs that exist or that two inputs share; true to go on.
    bool ConfirmOverwrites();
    // Lists skipped files up to the next one to convert and starts it; false at the end.
    bool StartNextFile();
    // Returns the line that heads the current file's block in a queue.
    std::string FileHeader() const;
    // Fills the information box, builds the command line, starts the worker and the timer.
    void StartConversion();
    // Compress job: information lines and command for the level text.
    void PrepareCompress(const std::string& level);
    // Decompress job: information lines and command.
    void PrepareDecompress();
    // Body of the worker thread: runs the converter and waits; returns 0, or 1 when it
    // could not be started (the file is then reported as failed).
    int ConverterWaitThread();
    // Marks the current file as not started, so that the next tick reports it failed.
    void EndUnstarted();
    // Verifies the finished output on the worker thread, unless the converter failed or
    // a stop was asked for.
    void VerifyOutput();
    // Writes the completion report of the current file and goes on with the next one;
    // runs once per file.
    void ReportCompletion();
    // The report lines of the current file and its verification line; counts it.
    void ReportFile();
    // Ends the job after its last file: button, summary, window, timer, converter.
    void FinishJob();
    // Shows the converter's or the verification's latest percentage when it changed.
    void ShowProgress();
    // Asks and stops the running job.
    void Stop();
    // Returns the user's temporary folder.
    std::string GetTempFolder();
    // Writes the embedded converter to file; returns 1 on success, 0 on failure.
    int ExtractConverter(const std::string& file);
    // Returns the file's whole size (0 when it cannot be measured): an image decoded from a
    // compressed file can pass 4 GiB, and its low 32 bits alone would report a remainder.
    uint64_t FileSize(const std::string& file);
    // Removes a file or folder of the job; false (after a message box) when it fails.
    bool RemoveJobFile(const std::string& path, bool folder);
    // Removes the converter file and the job folder; false when a removal failed.
    bool RemoveConverter();
    // Ends the converter (if any), waits 1000 ms, removes what a converter ended mid-run
    // wrote and the converter; false when a removal failed.
    bool KillAndClean();
    // Removes the temporary file of a converter ended mid-run; a finished output stays.
    void RemoveJobOutput();
    // The report lines of a failed converter: the explanation and the converter's line.
    std::string FailureLines() const;
    // The explanation and line of a warning the converter printed, "" when none.
    std::string WarningLines() const;
    // Makes the job folder, locks it and writes the converter into it; false (with the
    // information box saying so) when any of it fails.
    bool PrepareJobFolder();
    // Waits for the previous worker thread and drops its process.
    void JoinWorker();
    // Appends a line with one "%.2f" number, formatted as in the "C" locale.
    void Append(const char* format, double value);

    DialogMembers& dlg_;
    JobView& view_;
    JobPlatform& platform_;
    std::string job_input_;   // the input name the job was started with
    std::string job_output_;  // the output name the job was started with
    int32_t job_mode_ = 0;    // the current file's direction
    std::string job_level_;   // the level text, read once at Start for every file
    std::vector<JobFile> files_;
    size_t current_ = 0;      // index in files_ of the file being converted
    bool queue_ = false;      // several files: headers, summary, window restored at the end
    JobTally tally_;
    std::string verify_line_;  // the verification's report line; written by the worker
    bool verify_passed_ = false;
    std::atomic<int> verify_progress_{-1};  // -1 while not verifying
    std::mutex verify_mutex_;  // held by the worker while it verifies (it reads the output)
    std::unique_ptr<ConverterProcess> process_;  // set by the worker; used after joining it
    std::unique_ptr<WorkerThread> worker_;
    std::unique_ptr<FolderLock> folder_lock_;  // held while the job folder is in use
    ConverterOutput output_;
    std::atomic<bool> stop_requested_{false};  // Stop or Exit asked to end the converter
    std::atomic<unsigned long> converter_pid_{0};  // the running converter's id, 0 before it
    std::atomic<bool> output_in_place_{false};  // the converter ended well: its output is whole
    std::atomic<bool> start_failed_{false};  // the converter or its worker could not be started
    bool converter_removed_ = false;  // the job's converter file is gone; its folder may not be
    int shown_progress_ = -1;
    std::string shown_label_;
};
