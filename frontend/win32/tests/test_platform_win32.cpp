// The Windows job platform against real processes, files and folders: arguments and the
// exact program started, output and exit status, ending a process (also racing its end),
// private folders, the embedded converter, sizes, reading and removals.
#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "check.h"
#include "job_platform_win32.h"
#include "output_naming.h"
#include "platform_test_files.h"
#include "wide_text.h"

namespace {

Win32JobPlatform platform;
std::string child;     // the stand-in child program
std::string dir;       // this run's scratch folder, trailing backslash

// Returns true when a file or folder exists.
bool exists(const std::string& path) {
    return GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The command line gives the system's own parser back exactly the arguments; the child
// receives them unchanged, Chinese included; a missing program is not started.
void arguments_arrive_unchanged() {
    std::vector<std::string> names = {"a b.iso", "q\"uote", "tail\\", "two\\\\ \\\"x",
                                      "游戏 名.cso", "", "%TEMP%"};
    std::vector<std::string> argv = {child, "args", dir + "args.txt"};
    argv.insert(argv.end(), names.begin(), names.end());
    int n = 0;
    wchar_t** parsed = CommandLineToArgvW(windows_command_line(argv).c_str(), &n);
    CHECK(parsed && n == static_cast<int>(argv.size()));
    for (int i = 0; parsed && i < n && i < static_cast<int>(argv.size()); i++)
        CHECK(to_utf8(parsed[i]) == argv[i]);
    LocalFree(parsed);
    auto p = platform.start_process(argv);
    CHECK(p != nullptr);
    if (!p) return;
    read_all(*p);
    CHECK(p->wait_exit() == 0);
    std::string expected;
    for (const std::string& name : names) expected += name + "\n";
    CHECK(slurp(to_wide(dir + "args.txt")) == expected);
    CHECK(platform.start_process({dir + "missing.exe"}) == nullptr);
}

// A name holding an unpaired surrogate is the same name after a trip through UTF-8, never
// the name with U+FFFD in its place (another file's); a pair is one code point.
void unpaired_surrogates_keep_their_name() {
    for (const wchar_t* name : {L"x\xD800y.iso", L"\xDC00", L"a\xD83D", L"\xDE00\xD83D\xDE00 \xD83D"}) {
        std::string utf8 = to_utf8(name);
        CHECK(to_wide(utf8) == name);
        CHECK(utf8.find("\xEF\xBF\xBD") == std::string::npos);
    }
    CHECK(to_utf8(L"\xD83D\xDE00") == "\xF0\x9F\x98\x80");
    CHECK(to_wide("\xFF") == L"\xFFFD");  // bytes that are no UTF-8 at all, as before
}

// A program in a folder whose name has a blank is the one started: "<dir>temp.exe",
// which a command line read without quotes would run first, is never run.
void exact_program_started() {
    std::string folder = dir + "temp folder\\";
    CreateDirectoryW(to_wide(folder).c_str(), nullptr);
    CHECK(CopyFileW(to_wide(child).c_str(), to_wide(folder + "child.exe").c_str(), TRUE));
    CHECK(CopyFileW(to_wide(child).c_str(), to_wide(dir + "temp.exe").c_str(), TRUE));
    auto p = platform.start_process({folder + "child.exe", "progress", "0"});
    CHECK(p != nullptr);
    if (!p) return;
    CHECK(read_all(*p).find("block 7 : Write error\n") != std::string::npos);
    CHECK(p->wait_exit() == 0);
    CHECK(!exists(dir + "temp.exe.ran"));
}

// The whole standard output comes through the pipe, and the exit status is kept.
void output_and_exit_status_kept() {
    auto p = platform.start_process({child, "progress", "5"});
    CHECK(p != nullptr);
    if (!p) return;
    CHECK(read_all(*p) ==
          "decompress 0%\rdecompress 20%\rdecompress 40%\rdecompress 60%\r"
          "block 7 : Write error\nTime: 0 sec\n");
    CHECK(p->wait_exit() == 5);
}

// terminate ends a running process (its pipe closes, its status is 1) and does nothing
// once the process has been waited for.
void terminate_only_before_the_wait() {
    auto p = platform.start_process({child, "sleep"});
    CHECK(p != nullptr);
    if (!p) return;
    char buf[16];
    CHECK(p->read_output(buf, sizeof buf) > 0);
    CHECK(p->terminate());
    read_all(*p);
    CHECK(p->wait_exit() == 1);
    CHECK(!p->terminate());
}

// terminate racing with the end of short processes never hangs and never acts after
// the wait; the status is the process's own (0) or the terminated one (1).
void terminate_racing_with_the_wait() {
    for (int round = 0; round < 20; round++) {
        auto p = platform.start_process({child, "progress", "0"});
        CHECK(p != nullptr);
        if (!p) return;
        std::atomic<bool> waited{false};
        std::atomic<int> late{0};
        std::thread killer([&] {
            for (int i = 0; i < 200; i++) {
                bool was_waited = waited;
                if (p->terminate() && was_waited) late++;
            }
        });
        read_all(*p);
        int status = p->wait_exit();
        waited = true;
        killer.join();
        CHECK(status == 0 || status == 1);
        CHECK(late == 0);
    }
}

// Each job gets its own new folder in the temporary folder; the embedded converter is
// the built one byte for byte, is written new (never over an existing file), runs from
// there, and file and folder are removed.
void private_folders_and_converter() {
    SetEnvironmentVariableW(L"TMP", to_wide(dir).c_str());
    CHECK(platform.temp_path() == dir);
    std::string a = platform.make_private_folder(dir), b = platform.make_private_folder(dir);
    CHECK(!a.empty() && a != b && a.compare(0, dir.size(), dir) == 0 && exists(a) && exists(b));
    CHECK(a.size() == dir.size() + std::string("wendrovix-12345678\\").size());  // every digit kept
    std::string bytes;
    CHECK(platform.converter_resource(bytes));
    CHECK(!bytes.empty() && bytes == slurp(program_folder() + L"..\\..\\converter\\vellicor.exe"));
    std::string exe = a + "Vellicor.exe";
    CHECK(platform.write_program_file(exe, bytes));
    CHECK(slurp(to_wide(exe)) == bytes);
    CHECK(!platform.write_program_file(exe, "other"));
    auto p = platform.start_process({exe});
    CHECK(p != nullptr);
    if (p) {
        CHECK(read_all(*p).find("Vellicor Ver.") != std::string::npos);
        CHECK(p->wait_exit() == 0);
    }
    p.reset();
    CHECK(platform.remove_file(exe) == "");
    CHECK(platform.remove_folder(a) == "" && platform.remove_folder(b) == "");
    CHECK(!exists(a) && !exists(b));
}

// 64-bit sizes, positioned reads, and removals whose failures name the file.
void sizes_reads_and_removals() {
    std::string big = dir + "大文件.bin";
    HANDLE f = CreateFileW(to_wide(big).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = 5000000000LL;
    CHECK(SetFilePointerEx(f, at, nullptr, FILE_BEGIN));
    DWORD written = 0;
    CHECK(WriteFile(f, "xyz", 3, &written, nullptr) && written == 3);
    CloseHandle(f);
    uint64_t size = 0;
    CHECK(platform.file_size(big, size) && size == 5000000003ULL);
    CHECK(!platform.file_size(dir + "none", size) && !platform.file_size(dir, size));
    auto reader = platform.open_read(big);
    char buf[4] = {};
    CHECK(reader && reader->size() == 5000000003ULL && reader->read_at(5000000000ULL, buf, 3) &&
          std::string(buf) == "xyz");
    CHECK(reader && !reader->read_at(5000000001ULL, buf, 3));
    CHECK(!platform.open_read(dir + "none") && !platform.open_read(dir));
    reader.reset();
    HANDLE held = CreateFileW(to_wide(big).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string busy = platform.remove_file(big);  // open unshared: a sharing violation
    CloseHandle(held);
    CHECK(busy.find(big) != std::string::npos);
    CHECK(platform.remove_file(big) == "");
    std::string missing = platform.remove_file(big);
    CHECK(missing.find(big) != std::string::npos && missing != busy);
    CHECK(platform.remove_folder(dir) != "");  // not empty: refused, with the name
}

// A file whose full name has more than 260 characters is found, listed, measured, read
// and removed, and its folder too, through the extended-length names. Wine has no such limit, so there this shows
// only that those names reach the right file; Windows enforces it.
void long_names() {
    std::string folder = dir + std::string(200, 'd'), file = folder + "\\" + std::string(100, 'f') + ".cso";
    CHECK(CreateDirectoryW(to_wide(folder).c_str(), nullptr));
    std::ofstream(std::filesystem::path(L"\\\\?\\" + to_wide(file)), std::ios::binary) << "xyz";
    uint64_t size = 0;
    CHECK(platform.is_file(file) && platform.file_size(file, size) && size == 3);
    CHECK(platform.list_folder(folder + "\\") == std::vector<std::string>{std::string(100, 'f') + ".cso"});
    auto reader = platform.open_read(file);
    char buf[3];
    CHECK(reader && reader->read_at(0, buf, 3));
    reader.reset();
    CHECK(platform.remove_file(file) == "" && !platform.is_file(file));
    CHECK(platform.remove_folder(folder) == "" && !platform.is_folder(folder));
}

// Names that differ only in letter case, in ASCII or beyond ("Ä" and "ä"), are one file
// here, and the platform's keys say so, so the core counts them once; the file system
// does not fold letters past the basic plane, and neither do the keys.
void names_ignore_case() {
    auto key = [](const std::string& p) { return platform.path_key(p); };
    for (auto [upper, lower] : {std::pair<std::string, std::string>{"A.cso", "a.CSO"}, {"\xC3\x84.cso", "\xC3\xA4.cso"}}) {
        std::ofstream(std::filesystem::path(to_wide(dir + upper)), std::ios::binary) << "x";
        uint64_t size = 0;
        CHECK(platform.file_size(dir + lower, size) && size == 1);
        CHECK(DistinctPaths({dir + upper, dir + lower}, key).size() == 1);
        CHECK(platform.remove_file(dir + upper) == "");
    }
    std::string upper = dir + "\xF0\x90\x90\x80.cso", lower = dir + "\xF0\x90\x90\xA8.cso";  // past the basic plane
    std::ofstream(std::filesystem::path(to_wide(upper)), std::ios::binary) << "x";
    uint64_t size = 0;
    CHECK(!platform.file_size(lower, size) && DistinctPaths({upper, lower}, key).size() == 2);
    CHECK(platform.remove_file(upper) == "");
}

}  // namespace

int wmain() {
    ScratchFolder scratch(L"wendrovix-platform-test-");
    dir = to_utf8(scratch.path);
    child = to_utf8(program_folder()) + "wendrovix_test_child.exe";
    RUN(arguments_arrive_unchanged);
    RUN(unpaired_surrogates_keep_their_name);
    RUN(exact_program_started);
    RUN(output_and_exit_status_kept);
    RUN(terminate_only_before_the_wait);
    RUN(terminate_racing_with_the_wait);
    RUN(private_folders_and_converter);
    RUN(sizes_reads_and_removals);
    RUN(long_names);
    RUN(names_ignore_case);
    std::printf("%d failed check(s)\n", check_failures);
    return check_failures == 0 ? 0 : 1;
}
