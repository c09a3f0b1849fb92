// Runs the built converter for the benchmarks: one timed run with its output to
// /dev/null, and its peak memory.
#pragma once
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_image.h"

// Runs the converter with args; returns its wall seconds and sets *peak_kb (when given)
// to its peak memory. fork, not vfork: the child must not inherit this process's peak.
inline double run_once(const std::vector<std::string>& args, long* peak_kb = nullptr) {
    std::vector<char*> argv{const_cast<char*>(VELLICOR_EXE)};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    double t0 = now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execv(VELLICOR_EXE, argv.data());
        _exit(127);
    }
    int st = 0;
    struct rusage ru;
    wait4(pid, &st, 0, &ru);
    double t = now() - t0;
    if (peak_kb) *peak_kb = ru.ru_maxrss;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) fprintf(stderr, "converter failed\n");
    return t;
}
