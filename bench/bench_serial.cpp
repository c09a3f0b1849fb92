// The threaded compressor's serial share, run by hand (bench_threads.sh runs it): runs
// the converter in this process on the command line given, then splits the CPU time it
// took between the main thread (reading, ordering, writing, the index, the head) and the
// workers, from the system's per-thread and per-process clocks, and prints the share and
// the speed-up it allows on 4, 8 and 16 cores (Amdahl: 1 / (s + (1 - s) / cores)).
//
// usage: bench_serial -com -MT IMAGE OUTPUT
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <initializer_list>

#include "ciso.h"

namespace {

// Returns the calling thread's CPU seconds.
double thread_cpu() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Returns the process's CPU seconds, user and system, over every thread it ever had.
double process_cpu() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s CONVERTER-ARGUMENTS...\n", argv[0]);
        return 2;
    }
    int console = dup(1), null = open("/dev/null", O_WRONLY);
    fflush(stdout);
    dup2(null, 1);  // the converter's lines are not what is measured
    double main0 = thread_cpu(), all0 = process_cpu();
    int status = converter_main(argc, argv);
    double main_cpu = thread_cpu() - main0, all = process_cpu() - all0;
    fflush(stdout);
    dup2(console, 1);
    if (status != 0) {
        fprintf(stderr, "the converter failed\n");
        return 1;
    }
    double s = all > 0 ? main_cpu / all : 1;
    printf("main thread %.3f s, workers %.3f s of CPU: serial share %.2f %%\n", main_cpu,
           all - main_cpu, 100 * s);
    for (int cores : {4, 8, 16})
        printf("speed-up bound on %2d cores: %.1fx\n", cores, 1 / (s + (1 - s) / cores));
    return 0;
}
