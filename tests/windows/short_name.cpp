// Test tool for the Windows build: prints the short 8.3 form of a path (the alias a test
// hands the converter to prove that one file under two spellings is still one file).
#include <windows.h>

#include <cstdio>
#include <string>

// Prints GetShortPathNameW of the first argument as UTF-8; returns 0, or 1 on failure.
int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 1;
    std::wstring shortened(32768, L'\0');
    DWORD n = GetShortPathNameW(argv[1], &shortened[0], static_cast<DWORD>(shortened.size()));
    if (n == 0 || n >= shortened.size()) return 1;
    shortened.resize(n);
    std::string utf8(4 * n + 1, '\0');
    int len = WideCharToMultiByte(CP_UTF8, 0, shortened.c_str(), static_cast<int>(n), &utf8[0],
                                  static_cast<int>(utf8.size()), nullptr, nullptr);
    fwrite(utf8.data(), 1, static_cast<size_t>(len), stdout);
    return 0;
}
