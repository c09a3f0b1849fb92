// Test tool for the Windows build: presses Ctrl-C on a converter run in a console and
// reports the console's output code page before, during and after the run.
//   console_break RESULT CONVERTER [ARGUMENTS...]
// Needs a console (run it on a terminal). Sets code page 850, starts the converter on
// the console, waits until the converter has switched the code page, sends Ctrl-C to
// the console (ignoring it itself), and writes "before B during D after A" to RESULT.
// Returns 0 when that is written, 1 when it can't run.
#include <windows.h>

#include <cstdio>
#include <string>

// Quotes one argument for a command line (no argument here holds a quote).
static std::wstring quoted(const wchar_t* arg) {
    return L"\"" + std::wstring(arg) + L"\"";
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || !SetConsoleOutputCP(850)) return 1;
    std::wstring line = quoted(argv[2]);
    for (int i = 3; i < argc; i++) line += L" " + quoted(argv[i]);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    UINT before = 850, during = GetConsoleOutputCP();
    for (int waited = 0; during != CP_UTF8 && waited < 20000; waited += 5) {
        Sleep(5);
        during = GetConsoleOutputCP();
    }
    SetConsoleCtrlHandler(nullptr, TRUE);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    WaitForSingleObject(pi.hProcess, 60000);
    UINT after = GetConsoleOutputCP();
    FILE* f = _wfopen(argv[1], L"wb");
    if (!f) return 1;
    fprintf(f, "before %u during %u after %u\n", before, during, after);
    return fclose(f) == 0 ? 0 : 1;
}
