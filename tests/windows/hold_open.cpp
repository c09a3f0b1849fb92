// Test tool for the Windows build: holds a file open for a while, as a virus scanner or an
// indexer does, sharing it for reading, writing and removal but never closing it early;
// with "keep", not sharing its removal, as a program reading it through fopen does.
//   hold_open FILE MILLISECONDS|release READY [keep]
// Creates READY once FILE is open, sleeps (with "release": until READY is removed, at most
// a minute), then closes FILE; returns 1 when it can't open.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 && !(argc == 5 && wcscmp(argv[4], L"keep") == 0)) return 1;
    bool keep = argc == 5;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (keep ? 0 : FILE_SHARE_DELETE);
    HANDLE held = CreateFileW(argv[1], keep ? GENERIC_READ : 0, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    if (wcscmp(argv[2], L"release") == 0) {
        for (int waited = 0; waited < 60000 && GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES; waited += 20)
            Sleep(20);
    } else {
        Sleep(static_cast<DWORD>(wcstoul(argv[2], nullptr, 10)));
    }
    CloseHandle(held);
    return 0;
}
