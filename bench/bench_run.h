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
// to its peak memory and *cpu_s (when given) to its processor seconds, user and system.
// fork, not vfork: the child must not inherit this process's peak.
inline double run_once(const std::vector<std::string>& args, long* peak_kb = nullptr,
                       double* cpu_s = nullptr) {
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
    if (cpu_s) *cpu_s = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) fprintf(stderr, "converter failed\n");
    return t;
}

// Returns the best wall seconds of `runs` runs of the converter with args; `fresh`, when
// given, is removed before each run (outside the timing), so a run that writes it always
// writes a new file; *peak_kb as in run_once.
inline double best_run(int runs, const std::vector<std::string>& args,
                       const std::string& fresh = "", long* peak_kb = nullptr) {
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        if (!fresh.empty()) unlink(fresh.c_str());
        double t = run_once(args, peak_kb);
        best = t < best ? t : best;
    }
    return best;
}

// Processor and wall seconds summed over one command's runs.
struct run_totals {
    double cpu = 0, wall = 0;
};

// Returns the best wall seconds of each command of `commands` over `runs` rounds, a round
// running each once in turn, so a burst of other load on a shared machine falls on all of
// them alike; `fresh` as in best_run. Sums each command's runs into (*totals)[c] when given.
inline std::vector<double> best_runs_interleaved(int runs,
                                                 const std::vector<std::vector<std::string>>& commands,
                                                 const std::string& fresh,
                                                 std::vector<run_totals>* totals = nullptr) {
    std::vector<double> best(commands.size(), 1e30);
    if (totals) totals->assign(commands.size(), run_totals{});
    for (int i = 0; i < runs; i++)
        for (size_t c = 0; c < commands.size(); c++) {
            if (!fresh.empty()) unlink(fresh.c_str());
            double cpu = 0, t = run_once(commands[c], nullptr, &cpu);
            best[c] = t < best[c] ? t : best[c];
            if (totals) (*totals)[c].cpu += cpu, (*totals)[c].wall += t;
        }
    return best;
}
