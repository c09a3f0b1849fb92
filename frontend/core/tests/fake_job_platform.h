// A fake operating-system layer and a fake dialog for the conversion job's tests: files
// live in a map, processes are driven by the test, and every step is logged in order.
#pragma once
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "conversion_job.h"
#include "messages.h"

// The ordered record of what the job asked of the platform and the view.
class EventLog {
public:
    void add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Returns the position of the first event equal to `event`, or -1.
    int index_of(const std::string& event) {
        std::vector<std::string> all = events();
        for (size_t i = 0; i < all.size(); i++)
            if (all[i] == event) return static_cast<int>(i);
        return -1;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// The process id of every fake converter run.
const unsigned long FAKE_PID = 4321;
// The line a converter prints last when it ends a run itself, whether it succeeded or not.
const std::string CONVERTER_CLOSING_LINE = CLOSING_LINE_START "0 sec\n";

// One fake converter run, finished (or killed) by the test.
struct FakeProcessState {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> output;  // pieces not yet read
    bool output_closed = false;
    bool exited = false;
    bool killed = false;
    bool waited = false;
    int status = 0;
    int signals = 0;  // terminate calls that sent a signal
    EventLog* log = nullptr;

    // Sends a piece of standard output.
    void write(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        output.push_back(text);
        changed.notify_all();
    }
    // Ends the process with `exit_status`, after printing `text` (by default the line a
    // converter that ends itself prints last).
    void finish(int exit_status, const std::string& text = CONVERTER_CLOSING_LINE) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!text.empty()) output.push_back(text);
        output_closed = exited = true;
        status = exit_status;
        changed.notify_all();
    }
};

class FakeProcess : public ConverterProcess {
public:
    explicit FakeProcess(std::shared_ptr<FakeProcessState> state) : state_(std::move(state)) {}
    size_t read_output(char* buf, size_t size) override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->output.empty() || state_->output_closed; });
        if (state_->output.empty()) return 0;
        std::string& piece = state_->output.front();
        size_t n = piece.copy(buf, size);
        piece.erase(0, n);
        if (piece.empty()) state_->output.pop_front();
        return n;
    }
    int wait_exit() override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->changed.wait(lock, [&] { return state_->exited; });
        state_->waited = true;
        return state_->status;
    }
    // Like the real layer: a process that was waited for is never signalled.
    bool terminate() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->waited) return false;
        state_->signals++;
        state_->log->add("terminate");
        if (!state_->exited) {
            state_->killed = state_->exited = state_->output_closed = true;
            state_->status = 137;
        }
        state_->changed.notify_all();
        return true;
    }
    unsigned long id() const override { return FAKE_PID; }

private:
    std::shared_ptr<FakeProcessState> state_;
};

// A snapshot of a fake file's bytes; every read is logged, runs `hook` first, and fails
// when `failing` is set.
class FakeReader : public FileReader {
public:
    FakeReader(std::string path, std::string bytes, bool failing, EventLog& log, std::function<void()> hook)
        : path_(std::move(path)), bytes_(std::move(bytes)), failing_(failing), log_(log), hook_(std::move(hook)) {}
    uint64_t size() override { return bytes_.size(); }
    bool read_at(uint64_t offset, void* buf, size_t size) override {
        if (hook_) hook_();
        log_.add("read " + path_ + " " + std::to_string(offset));
        if (failing_ || offset > bytes_.size() || size > bytes_.size() - offset) return false;
        bytes_.copy(static_cast<char*>(buf), size, static_cast<size_t>(offset));
        return true;
    }

private:
    std::string path_;
    std::string bytes_;
    bool failing_;
    EventLog& log_;
    std::function<void()> hook_;
};

// A folder lock that logs its release.
class FakeLock : public FolderLock {
public:
    FakeLock(std::string folder, EventLog& log) : folder_(std::move(folder)), log_(log) {}
    void release() override { log_.add("unlock " + folder_); }

private:
    std::string folder_;
    EventLog& log_;
};

class FakeWorker : public WorkerThread {
public:
    explicit FakeWorker(std::function<void()> fn) : thread_(std::move(fn)) {}
    ~FakeWorker() override { join(); }
    void join() override {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// Files in a map; folders in a set; processes handed to the test.
class FakePlatform : public JobPlatform {
public:
    explicit FakePlatform(EventLog& log) : log_(log) {}
    std::string resource = "CONVERTER-EXECUTABLE\x7f" + std::string(1, '\0') + "ELF";
    bool fail_folder = false, fail_write = false, fail_start = false, fail_worker = false;
    std::string temp = "/fake/tmp/";  // what temp_path gives; "" when the system gives none
    std::map<std::string, uint64_t> files;             // path -> size
    std::map<std::string, std::string> written;        // programs written: path -> bytes
    std::set<std::string> folders;
    std::set<std::string> locked;                      // removal is refused
    std::map<std::string, std::string> contents;       // files that can be read: path -> bytes
    std::set<std::string> unreadable;                  // open, but every read fails
    std::vector<std::vector<std::string>> started;     // argument vectors started
    std::vector<std::shared_ptr<FakeProcessState>> processes;
    int folder_count = 0;
    bool ignore_case = false;  // names as on POSIX systems, unless a test sets it
    std::map<std::string, std::string> links;          // symbolic links: path -> target

    std::string path_key(const std::string& path) const override {
        std::string key = path;
        if (ignore_case)
            for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return key;
    }
    char path_separator() const override { return '/'; }
    // Relative names are taken from the folder /cwd.
    static std::string absolute(const std::string& path) {
        return !path.empty() && path[0] == '/' ? path : "/cwd/" + path;
    }
    bool is_file(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return files.count(absolute(path)) > 0;
    }
    bool is_folder(const std::string& path) override {
        return folders.count(absolute(path)) || folders.count(absolute(path) + "/");
    }
    bool full_path(const std::string& path, std::string& full) override {
        full = absolute(path);
        return true;
    }
    std::string temp_path() override { return temp; }
    std::string make_private_folder(const std::string& parent) override {
        if (fail_folder) return "";
        std::string folder = parent + "wendrovix-" + std::to_string(++folder_count) + "/";
        folders.insert(folder);
        log_.add("mkdir " + folder);
        return folder;
    }
    std::unique_ptr<FolderLock> lock_folder(const std::string& folder) override {
        log_.add("lock " + folder);
        return std::make_unique<FakeLock>(folder, log_);
    }
    int remove_stale_folders(const std::string& parent) override {
        log_.add("stale " + parent);
        return 0;
    }
    bool converter_resource(std::string& bytes) override {
        bytes = resource;
        return true;
    }
    bool write_program_file(const std::string& path, const std::string& bytes) override {
        if (fail_write || files.count(path)) return false;
        files[path] = bytes.size();
        written[path] = bytes;
        log_.add("write " + path);
        return true;
    }
    std::string written_name(const std::string& path) override {
        return links.count(path) ? links[path] : path;
    }
    bool file_size(const std::string& path, uint64_t& size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!files.count(path)) return false;
        size = files[path];
        return true;
    }
    std::string remove_file(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.add("remove " + path);
        if (locked.count(path)) return "Access to " + path + " was denied.";
        if (!files.erase(path)) return path + " was not found.";
        return "";
    }
    std::vector<std::string> list_folder(const std::string& folder) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> names;
        for (const auto& [path, size] : files)
            if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                path.find('/', folder.size()) == std::string::npos)
                names.push_back(path.substr(folder.size()));
        return names;
    }
    std::string remove_folder(const std::string& path) override {
        log_.add("rmdir " + path);
        return folders.erase(path) ? "" : path + " was not found.";
    }
    std::function<void()> while_starting;  // runs on the worker inside start_process
    std::function<void()> while_reading;   // runs on the worker before every file read
    std::unique_ptr<ConverterProcess> start_process(const std::vector<std::string>& argv) override {
        std::shared_ptr<FakeProcessState> state;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            started.push_back(argv);
            log_.add("start");
            if (fail_start) return nullptr;
            state = std::make_shared<FakeProcessState>();
            state->log = &log_;
            processes.push_back(state);
            process_started_.notify_all();
        }
        if (while_starting) while_starting();
        return std::make_unique<FakeProcess>(state);
    }
    std::unique_ptr<WorkerThread> start_worker(std::function<void()> fn) override {
        if (fail_worker) return nullptr;
        return std::make_unique<FakeWorker>(std::move(fn));
    }
    void sleep_ms(int ms) override { log_.add("sleep " + std::to_string(ms)); }
    std::unique_ptr<FileReader> open_read(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!files.count(path) || !contents.count(path)) return nullptr;
        return std::make_unique<FakeReader>(path, contents[path], unreadable.count(path) > 0, log_,
                                            while_reading);
    }

    // Sets a file's size as the converter would while it runs.
    void set_file(const std::string& path, uint64_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        files[path] = size;
    }
    // Gives a file readable bytes (and their size).
    void set_content(const std::string& path, const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        files[path] = bytes.size();
        contents[path] = bytes;
    }
    // Waits until the worker has started process number n (1-based); returns it.
    std::shared_ptr<FakeProcessState> process(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        process_started_.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return processes.size() >= n; });
        return processes.size() >= n ? processes[n - 1] : nullptr;
    }
    // Waits until the worker has asked to start n processes.
    bool wait_started(size_t n) {
        for (int i = 0; i < 1000; i++) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (started.size() >= n) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    EventLog& log_;
    std::mutex mutex_;
    std::condition_variable process_started_;
};

// The dialog as the job sees it: boxes, button, window state, questions, timer.
class FakeView : public JobView {
public:
    FakeView(DialogMembers& dlg, EventLog& log) : dlg_(dlg), log_(log) {}
    std::string input_box, output_box, info_box, level = "9", button = "开始转换";
    bool minimised = false, timer_on = false, closed = false, choices_locked = false;
    std::vector<bool> outcomes;  // what show_outcome was told, in order
    int progress = -1;
    std::string progress_label;
    std::vector<std::string> questions, errors;
    std::deque<bool> answers;             // answers to the next questions
    std::function<void()> on_question;   // runs while a question is shown

    void take_boxes() override {
        dlg_.input_path = input_box;
        dlg_.output_path = output_box;
    }
    void show_members() override {
        input_box = dlg_.input_path;
        output_box = dlg_.output_path;
        info_box = dlg_.info_text;
    }
    std::string level_text() override { return level; }
    void set_start_text(const std::string& text) override { button = text; }
    void minimise() override { minimised = true; }
    void restore() override { minimised = false; }
    bool ask_yes_no(const std::string& question) override {
        questions.push_back(question);
        if (on_question) on_question();
        bool yes = !answers.empty() && answers.front();
        if (!answers.empty()) answers.pop_front();
        return yes;
    }
    void show_error(const std::string& text) override {
        errors.push_back(text);
        log_.add("error " + text);
    }
    void start_timer() override { timer_on = true; }
    void stop_timer() override { timer_on = false; }
    void show_progress(int percent, const std::string& label) override {
        progress = percent;
        progress_label = label;
    }
    void lock_choices(bool locked) override { choices_locked = locked; }
    void show_outcome(bool failed) override { outcomes.push_back(failed); }
    void close_dialog() override { closed = true; }

private:
    DialogMembers& dlg_;
    EventLog& log_;
};
