// A stand-in child process for the Windows platform layer's and dialog's tests.
//   args FILE ARG...   writes every ARG (UTF-8) to FILE, one per line, and exits with 0
//   progress STATUS    prints progress lines (flushed one by one), a message, exits STATUS
//   sleep              prints "ready" and sleeps until it is ended
//   -com -lN IN OUT    when IN's name begins with "damage-flip", "damage-cut" or
//                      "damage-index": a converter that writes a damaged CSO of IN and
//                      reports success (block 16's first payload byte flipped, the last
//                      10 bytes cut off, or block 16's index entry one byte too far)
// Started any other way, it leaves the file "<its own path>.ran" behind and exits with 3,
// so a test can tell that a program it planted was run in the converter's place.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tiny_cso.h"

// Returns a wide argument as UTF-8.
static std::string utf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return s;
}

// Writes the arguments from the third on to the file named by the second.
static int write_args(int argc, wchar_t** argv) {
    FILE* f = _wfopen(argv[2], L"wb");
    if (!f) return 2;
    for (int i = 3; i < argc; i++) std::fprintf(f, "%s\n", utf8(argv[i]).c_str());
    return std::fclose(f) == 0 ? 0 : 2;
}

// Prints four progress lines and a message; returns the status asked for.
static int progress(const wchar_t* status) {
    for (int p = 0; p <= 60; p += 20) {
        std::printf("decompress %d%%\r", p);
        std::fflush(stdout);
    }
    std::printf("block 7 : Write error\nTime: 0 sec\n");
    std::fflush(stdout);
    return _wtoi(status);
}

// Writes a CSO of `in` to `out`, damaged as `how` says; returns the exit status.
static int write_damaged_cso(const wchar_t* in, const wchar_t* out, const std::wstring& how) {
    std::ifstream f{std::filesystem::path(in), std::ios::binary};
    std::stringstream image;
    image << f.rdbuf();
    std::string cso = damaged_cso(image.str(), utf8(how.c_str()));
    if (!f || cso.empty()) return 2;
    std::ofstream(std::filesystem::path(out), std::ios::binary) << cso;
    std::printf("ciso compress completed\nTime: 0 sec\n");
    return 0;
}

// Returns "flip", "cut" or "index" when the file name asks for that damage, else "".
static std::wstring damage_of(const std::wstring& path) {
    std::wstring name = std::filesystem::path(path).filename().wstring();
    for (const wchar_t* how : {L"flip", L"cut", L"index"})
        if (name.rfind(std::wstring(L"damage-") + how, 0) == 0) return how;
    return L"";
}

// Leaves "<own path>.ran" as a trace of having been run.
static int leave_trace() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    FILE* f = _wfopen((std::wstring(self) + L".ran").c_str(), L"wb");
    if (f) std::fclose(f);
    return 3;
}

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && wcscmp(argv[1], L"args") == 0) return write_args(argc, argv);
    if (argc == 3 && wcscmp(argv[1], L"progress") == 0) return progress(argv[2]);
    if (argc == 2 && wcscmp(argv[1], L"sleep") == 0) {
        std::printf("ready\n");
        std::fflush(stdout);
        Sleep(INFINITE);
    }
    if (argc == 5 && wcscmp(argv[1], L"-com") == 0 && !damage_of(argv[3]).empty())
        return write_damaged_cso(argv[3], argv[4], damage_of(argv[3]));
    return leave_trace();
}
