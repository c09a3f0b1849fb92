// Test tool for the Windows build: runs a program with arguments in which every "<D800>"
// stands for the unpaired UTF-16 surrogate U+D800 (no other way puts one on a command
// line), with this tool's standard handles, and returns its exit status.
#include <windows.h>

#include <string>

// Returns arg with each "<D800>" replaced by the lone surrogate, in double quotes.
static std::wstring quoted(std::wstring arg) {
    for (size_t at; (at = arg.find(L"<D800>")) != std::wstring::npos;)
        arg.replace(at, 6, 1, static_cast<wchar_t>(0xD800));
    return L"\"" + arg + L"\"";
}

// Runs argv[1] with argv[2...]; returns its exit status, or 255 when it could not run.
int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 255;
    std::wstring line;
    for (int i = 1; i < argc; i++) line += (i > 1 ? L" " : L"") + quoted(argv[i]);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 255;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(status);
}
