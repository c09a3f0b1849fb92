// libFuzzer's hooks for one target, built once a target with FUZZ_ENTRY naming its entry
// (fuzz_<target>, see CMakeLists.txt): the entries themselves carry none, so that the
// regression replay links them all into one program.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fuzz_entries.h"

// Sends stdout to /dev/null and feeds stdin from it once (the engines print a lot); returns 0.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) return 0;
    fflush(stdout);
    dup2(null_fd, 1);
    dup2(null_fd, 0);
    close(null_fd);
    return 0;
}

// Runs one input; aborts with the problem on stderr (so libFuzzer keeps the input) when
// a promise was broken.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* problem = FUZZ_ENTRY(data, size);
    if (!problem) return 0;
    fprintf(stderr, "vellicor fuzz: %s\n", problem);
    abort();
}
