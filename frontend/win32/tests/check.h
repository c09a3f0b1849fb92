// A few checks for the Windows test programs, which run under Wine without a test
// framework: each failed check prints its place and counts; main returns the count.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

inline int check_failures = 0;

// Counts and reports a failed condition.
#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            check_failures++;                                                          \
        }                                                                              \
    } while (0)

// Returns wide text as UTF-8 for the failure lines.
inline std::string check_utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &s[0], n, nullptr, nullptr);
    return s.c_str();
}

// Compares two wide texts; a failure prints both.
#define CHECK_TEXT(actual, expected)                                                    \
    do {                                                                                \
        std::wstring a_ = (actual), e_ = (expected);                                    \
        if (a_ != e_) {                                                                 \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n  got:  [%s]\n  want: [%s]\n", \
                         __FILE__, __LINE__, #actual, check_utf8(a_).c_str(),          \
                         check_utf8(e_).c_str());                                       \
            check_failures++;                                                           \
        }                                                                               \
    } while (0)

// Runs one named group of checks and prints its outcome.
#define RUN(group)                                                              \
    do {                                                                        \
        int before = check_failures;                                            \
        group();                                                                \
        std::printf("%s %s\n", check_failures == before ? "PASS" : "FAIL", #group); \
        std::fflush(stdout);                                                    \
    } while (0)

// Returns the folder of the running program, with its trailing backslash.
inline std::wstring program_folder() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.rfind(L'\\') + 1);
}

// A new folder inside the temporary folder, removed with everything in it at the end
// (kept when VELLICOR_KEEP_TEST_FILES=1).
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* prefix) {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        for (unsigned i = GetTickCount(); path.empty(); i++) {
            std::wstring name = std::wstring(temp) + prefix + std::to_wstring(i);
            if (CreateDirectoryW(name.c_str(), nullptr)) path = name + L"\\";
        }
    }
    ~ScratchFolder() {
        const char* keep = std::getenv("VELLICOR_KEEP_TEST_FILES");
        if (keep && std::string(keep) == "1") return;
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::wstring path;  // with its trailing backslash
};
