// Test tool for the Windows build: serves a named pipe of one instance, as a program that
// takes a converter's output through a pipe does, and counts what its first client writes.
//   pipe_sink NAME READY
// Creates READY once the pipe exists, waits up to 30 s for a client, then prints the number
// of bytes read until it closes; returns 1 when it can't serve.
#include <windows.h>

#include <cstdio>

// Waits for the overlapped operation on the pipe; true with *got set when it completed.
static bool finish(HANDLE pipe, OVERLAPPED* ov, BOOL started, DWORD wait_ms, DWORD* got) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(ov->hEvent, wait_ms) != WAIT_OBJECT_0) return false;
    return GetOverlappedResult(pipe, ov, got, FALSE) != 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 1;
    HANDLE pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   1, 0, 65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL connected = ConnectNamedPipe(pipe, &ov);
    if (!connected && GetLastError() != ERROR_PIPE_CONNECTED && !finish(pipe, &ov, connected, 30000, &got)) return 1;
    unsigned long long total = 0;
    static char buf[65536];
    for (;;) {
        ResetEvent(ov.hEvent);
        if (!finish(pipe, &ov, ReadFile(pipe, buf, sizeof buf, nullptr, &ov), INFINITE, &got) || got == 0) break;
        total += got;
    }
    printf("%llu\n", total);
    CloseHandle(pipe);
    return 0;
}
