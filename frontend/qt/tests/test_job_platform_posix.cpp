// The real operating-system layer: argument vectors without a shell, exit statuses,
// the output pipe, ending a process, private folders and the embedded converter.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "job_platform_posix.h"
#include "output_naming.h"
#include "platform_test_files.h"

namespace {

class PosixPlatformTest : public ::testing::Test {
protected:
    PosixPlatformTest() {
        const char* tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/wendrovix-test-XXXXXX";
        dir = mkdtemp(tmpl.data()) ? tmpl + "/" : "";
    }
    ~PosixPlatformTest() override {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
    PosixJobPlatform platform;
    std::string dir;
};

// Blanks, quotes and shell characters arrive as separate, unchanged arguments.
TEST_F(PosixPlatformTest, StartsFromArgumentVectorWithoutShell) {
    std::vector<std::string> names = {"a b.iso", "q\"uote'd", "$(touch " + dir + "x)", "; ls |",
                                      "`id`", "游戏 名.cso", ""};
    std::vector<std::string> argv = {CHILD_EXE, "args", dir + "args.txt"};
    argv.insert(argv.end(), names.begin(), names.end());
    auto p = platform.start_process(argv);
    ASSERT_NE(p, nullptr);
    read_all(*p);
    EXPECT_EQ(p->wait_exit(), 0);
    std::string expected;
    for (const std::string& n : names) expected += n + "\n";
    EXPECT_EQ(slurp(dir + "args.txt"), expected);
    EXPECT_NE(access((dir + "x").c_str(), F_OK), 0);
    EXPECT_EQ(platform.start_process({dir + "missing-program"}), nullptr);
}

// The whole standard output comes through the pipe, and the exit status is kept, also
// when the dialog was started with SIGCHLD ignored (the kernel would then reap children
// itself, and no status could be had: a failure read as a success).
TEST_F(PosixPlatformTest, OutputAndExitStatusAreKept) {
    for (bool inherited_ignore : {false, true}) {
        struct sigaction before;
        sigaction(SIGCHLD, nullptr, &before);
        if (inherited_ignore) signal(SIGCHLD, SIG_IGN);
        auto p = platform.start_process({CHILD_EXE, "progress", "5"});
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(read_all(*p),
                  "decompress 0%\rdecompress 20%\rdecompress 40%\rdecompress 60%\r"
                  "block 7 : Write error\nTime: 0 sec\n");
        EXPECT_EQ(p->wait_exit(), 5) << inherited_ignore;
        sigaction(SIGCHLD, &before, nullptr);
    }
}

// terminate ends a running process (its pipe closes, the status tells the signal) and
// sends nothing once the process has been waited for.
TEST_F(PosixPlatformTest, TerminateOnlyBeforeTheWait) {
    auto p = platform.start_process({CHILD_EXE, "sleep"});
    ASSERT_NE(p, nullptr);
    char buf[16];
    ASSERT_GT(p->read_output(buf, sizeof buf), 0u);
    EXPECT_TRUE(p->terminate());
    read_all(*p);
    EXPECT_EQ(p->wait_exit(), 128 + 9);
    EXPECT_FALSE(p->terminate());
}

// Terminate racing with the end of short processes never crashes or hangs, and never
// signals after the wait.
TEST_F(PosixPlatformTest, TerminateRacingWithTheWait) {
    for (int round = 0; round < 20; round++) {
        auto p = platform.start_process({CHILD_EXE, "progress", "0"});
        ASSERT_NE(p, nullptr);
        std::atomic<bool> waited{false};
        std::atomic<int> late_signals{0};
        std::thread killer([&] {
            for (int i = 0; i < 200; i++) {
                bool was_waited = waited;
                if (p->terminate() && was_waited) late_signals++;
            }
        });
        read_all(*p);
        int status = p->wait_exit();
        waited = true;
        killer.join();
        EXPECT_TRUE(status == 0 || status == 128 + 9) << status;
        EXPECT_EQ(late_signals, 0);
    }
}

// The private folder is 0700 inside the temporary folder; the converter is written there
// byte for byte as built, is executable, runs, and is never written over a planted file.
TEST_F(PosixPlatformTest, PrivateFolderAndEmbeddedConverter) {
    const char* tmp = getenv("TMPDIR");
    std::string old_tmp = tmp ? tmp : "";
    setenv("TMPDIR", dir.c_str(), 1);
    EXPECT_EQ(platform.temp_path(), dir);
    std::string folder = platform.make_private_folder(platform.temp_path());
    if (tmp) setenv("TMPDIR", old_tmp.c_str(), 1);
    else unsetenv("TMPDIR");
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.compare(0, dir.size(), dir), 0);
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::string bytes;
    ASSERT_TRUE(platform.converter_resource(bytes));
    EXPECT_TRUE(bytes == slurp(VELLICOR_EXE));
    std::string exe = folder + "Vellicor.exe";
    ASSERT_TRUE(platform.write_program_file(exe, bytes));
    EXPECT_TRUE(slurp(exe) == bytes);
    ASSERT_EQ(stat(exe.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto p = platform.start_process({exe});
    ASSERT_NE(p, nullptr);
    EXPECT_NE(read_all(*p).find("Vellicor Ver."), std::string::npos);
    EXPECT_EQ(p->wait_exit(), 0);

    EXPECT_FALSE(platform.write_program_file(exe, "other"));  // exists: refused
    ASSERT_EQ(symlink((dir + "target").c_str(), (folder + "link").c_str()), 0);
    EXPECT_FALSE(platform.write_program_file(folder + "link", "other"));
    EXPECT_NE(access((dir + "target").c_str(), F_OK), 0);
}

// Sizes, removals and the texts of failed removals.
TEST_F(PosixPlatformTest, SizesAndRemovals) {
    std::ofstream(dir + "f.bin") << std::string(5000, 'x');
    uint64_t size = 0;
    EXPECT_TRUE(platform.file_size(dir + "f.bin", size));
    EXPECT_EQ(size, 5000u);
    EXPECT_FALSE(platform.file_size(dir + "none", size));
    EXPECT_FALSE(platform.file_size(dir, size));  // a folder is no file, as on Windows
    EXPECT_EQ(platform.remove_file(dir + "f.bin"), "");
    EXPECT_EQ(platform.remove_file(dir + "f.bin"), dir + "f.bin was not found.");
    ASSERT_EQ(mkdir((dir + "d").c_str(), 0700), 0);
    EXPECT_EQ(platform.remove_folder(dir + "d/"), "");
    EXPECT_EQ(platform.remove_folder(dir + "d/"), dir + "d/ was not found.");
    EXPECT_EQ(file_error_text(EACCES, "/x"), "Access to /x was denied.");
    EXPECT_EQ(file_error_text(ETXTBSY, "/x"), "A sharing violation occurred while accessing /x.");
}

// Names that differ only in letter case are two files here, as the platform says, so the
// core keeps both in a queue.
TEST_F(PosixPlatformTest, NamesKeepTheirCase) {
    std::ofstream(dir + "A.cso") << "x";
    uint64_t size = 0;
    EXPECT_FALSE(platform.file_size(dir + "a.cso", size));
    auto key = [&](const std::string& p) { return platform.path_key(p); };
    EXPECT_EQ(DistinctPaths({dir + "A.cso", dir + "a.cso"}, key).size(), 2u);
    EXPECT_EQ(platform.remove_file(dir + "A.cso"), "");
}

// The converter writes through a link to its target, and the platform names that file,
// so a stopped run's temporary file is looked for beside it.
TEST_F(PosixPlatformTest, WrittenNameIsALinksTarget) {
    std::ofstream(dir + "target.cso") << "x";
    ASSERT_EQ(symlink((dir + "target.cso").c_str(), (dir + "link.cso").c_str()), 0);
    EXPECT_EQ(platform.written_name(dir + "link.cso"), dir + "target.cso");
    EXPECT_EQ(platform.written_name(dir + "target.cso"), dir + "target.cso");
    EXPECT_EQ(platform.written_name(dir + "new.cso"), dir + "new.cso");
}

// Names are keyed by the file they lead to, so a folder reached through a link, or
// spelt with "." and "..", and a link into it name one file, made or not yet.
TEST_F(PosixPlatformTest, KeysResolveTheFolder) {
    ASSERT_EQ(mkdir((dir + "real").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir + "real").c_str(), (dir + "via").c_str()), 0);
    ASSERT_EQ(symlink("b.cso", (dir + "real/a.cso").c_str()), 0);  // dangling
    auto key = [&](const std::string& p) { return platform.path_key(platform.written_name(p)); };
    std::string want = key(dir + "real/b.cso");
    for (const char* name : {"via/b.cso", "real/./b.cso", "via/../real/b.cso", "via/a.cso"})
        EXPECT_EQ(key(dir + name), want) << name;
    EXPECT_NE(key(dir + "real/B.cso"), want);
}

// A name with ".." after a link is made full as opening it would take it: from the
// link's target, not by removing the link as text.
TEST_F(PosixPlatformTest, FullNamesFollowLinksBeforeParentSteps) {
    ASSERT_EQ(mkdir((dir + "real").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "real/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir + "real/sub").c_str(), (dir + "via").c_str()), 0);
    std::string full;
    ASSERT_TRUE(platform.full_path(dir + "via/../x.iso", full));
    EXPECT_EQ(full, dir + "real/x.iso");
    ASSERT_TRUE(platform.full_path(dir + "real/./x..iso", full));
    EXPECT_EQ(full, dir + "real/x..iso");
}

// Returns true when the process has ended: gone, or a zombie no one has reaped yet.
bool process_ended(pid_t pid) {
    std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
}

// Forks a process that runs `setup`, tells whether it worked, then waits to be killed
// (what setup made stays alive in it); returns its id and sets *ok.
pid_t fork_holding(const std::function<bool()>& setup, bool* ok) {
    int ready[2];
    *ok = false;
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        ssize_t ignored = write(ready[1], setup() ? "y" : "n", 1);
        (void)ignored;
        for (;;) pause();
    }
    char answer = 0;
    *ok = pid > 0 && read(ready[0], &answer, 1) == 1 && answer == 'y';
    close(ready[0]);
    close(ready[1]);
    return pid;
}

// Only left-over job folders go at start-up: one whose owner was killed while holding
// its lock, and one whose lock was dropped unreleased, with their files. A folder whose
// lock is held (here, or by another process), one without a lock file, and other
// folders stay.
TEST_F(PosixPlatformTest, StaleJobFoldersRemoved) {
    std::string live = platform.make_private_folder(dir), killed = platform.make_private_folder(dir);
    std::string dropped = platform.make_private_folder(dir), bare = platform.make_private_folder(dir);
    ASSERT_EQ(mkdir((dir + "wendrovix-other").c_str(), 0700), 0);
    std::ofstream(dir + "wendrovix-other/keep") << "x";
    auto lock = platform.lock_folder(live);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(platform.lock_folder(live), nullptr);
    platform.lock_folder(dropped).reset();
    std::unique_ptr<FolderLock> held;  // the killed owner's, alive in it only
    bool ok = false;
    pid_t owner = fork_holding([&] {
        held = platform.lock_folder(killed);
        return held && platform.write_program_file(killed + "Vellicor.exe", "program");
    }, &ok);
    ASSERT_GT(owner, 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(platform.remove_stale_folders(dir), 1);  // only the dropped one
    EXPECT_TRUE(std::filesystem::exists(killed + "Vellicor.exe"));
    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    EXPECT_EQ(platform.remove_stale_folders(dir), 1);
    for (const std::string& gone : {killed, dropped}) EXPECT_FALSE(std::filesystem::exists(gone)) << gone;
    for (const std::string& kept : {live, bare, dir + "wendrovix-other/"})
        EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
    lock->release();
    EXPECT_FALSE(std::filesystem::exists(live + "wendrovix.lock"));
    EXPECT_EQ(platform.remove_stale_folders(dir), 0);
}

// A starting dialog's clean-up racing with another's new job folder never takes that
// folder: its lock file appears already held.
TEST_F(PosixPlatformTest, NewJobFolderSurvivesACleanUpRacingWithIt) {
    std::atomic<bool> done{false};
    std::thread cleaner([&] {
        while (!done) platform.remove_stale_folders(dir);
    });
    int lost = 0;
    for (int i = 0; i < 1000; i++) {
        std::string folder = platform.make_private_folder(dir);
        auto lock = platform.lock_folder(folder);
        lost += !lock || !std::filesystem::exists(folder + "wendrovix.lock") ? 1 : 0;
        if (lock) lock->release();
    }
    done = true;
    cleaner.join();
    EXPECT_EQ(lost, 0);
}

// A converter ends when the program that started it is killed, whatever it is doing, by
// a signal it can catch to remove its temporary output (the child removes its pid file).
TEST_F(PosixPlatformTest, ChildEndsWithItsParent) {
    std::unique_ptr<ConverterProcess> p;  // the killed parent's child, alive in it only
    bool ok = false;
    pid_t parent = fork_holding([&] {
        p = platform.start_process({CHILD_EXE, "sleep", dir + "pid"});
        char buf[8];
        return p && p->read_output(buf, sizeof buf) > 0;
    }, &ok);
    ASSERT_GT(parent, 0);
    struct EndParent {  // ends it here, or where an assertion below returns early
        pid_t pid;
        void now() {
            if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
            pid = 0;
        }
        ~EndParent() { now(); }
    } end_parent{parent};
    ASSERT_TRUE(ok);
    pid_t child = static_cast<pid_t>(std::atoi(slurp(dir + "pid").c_str()));
    ASSERT_GT(child, 0);
    EXPECT_FALSE(process_ended(child));
    end_parent.now();
    for (int i = 0; i < 100 && !process_ended(child); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(process_ended(child));
    if (!process_ended(child)) kill(child, SIGKILL);
    EXPECT_FALSE(std::filesystem::exists(dir + "pid"));
}

// A file opened for the verification reads exactly the bytes asked for at any offset and
// refuses reads past its end; missing files, folders and pipes do not open, at once.
TEST_F(PosixPlatformTest, OpenForReading) {
    std::string bytes;
    for (int i = 0; i < 70000; i++) bytes += static_cast<char>(i * 7);
    std::ofstream(dir + "r.bin", std::ios::binary) << bytes;
    auto reader = platform.open_read(dir + "r.bin");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->size(), 70000u);
    std::string got(1000, '\0');
    ASSERT_TRUE(reader->read_at(65000, got.data(), got.size()));
    EXPECT_EQ(got, bytes.substr(65000, 1000));
    EXPECT_FALSE(reader->read_at(69500, got.data(), got.size()));
    EXPECT_EQ(platform.open_read(dir + "none"), nullptr);
    EXPECT_EQ(platform.open_read(dir), nullptr);
    ASSERT_EQ(mkfifo((dir + "fifo").c_str(), 0600), 0);
    EXPECT_EQ(platform.open_read(dir + "fifo"), nullptr);
}

}  // namespace
