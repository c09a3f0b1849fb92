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
#include <initializer_list>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"

namespace {

// Returns the CPU seconds of the calling thread (RUSAGE_THREAD) or of the process over
// every thread it ever had (RUSAGE_SELF), in user mode (`system` 0) or in the system.
double cpu(int who, int system) {
    rusage ru;
    getrusage(who, &ru);
    const timeval& t = system ? ru.ru_stime : ru.ru_utime;
    return t.tv_sec + t.tv_usec / 1e6;
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
    double user0 = cpu(RUSAGE_THREAD, 0), sys0 = cpu(RUSAGE_THREAD, 1);
    double all0 = cpu(RUSAGE_SELF, 0) + cpu(RUSAGE_SELF, 1);
    int status = converter_main(argc, argv);
    double user = cpu(RUSAGE_THREAD, 0) - user0, sys = cpu(RUSAGE_THREAD, 1) - sys0;
    double main_cpu = user + sys, all = cpu(RUSAGE_SELF, 0) + cpu(RUSAGE_SELF, 1) - all0;
    fflush(stdout);
    dup2(console, 1);
    if (status != 0) {
        fprintf(stderr, "the converter failed\n");
        return 1;
    }
    double s = all > 0 ? main_cpu / all : 1;
    printf("main thread %.3f s (%.3f s of it in the system), workers %.3f s of CPU: serial "
           "share %.2f %%\n", main_cpu, sys, all - main_cpu, 100 * s);
    for (int cores : {4, 8, 16})
        printf("speed-up bound on %2d cores: %.1fx\n", cores, 1 / (s + (1 - s) / cores));
    return 0;
}
