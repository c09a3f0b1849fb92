// libFuzzer target: the dialogs' verification of arbitrary CSO bytes against images made from them.
#include <cstddef>
#include <cstdint>

#include "fuzz_entries.h"

// Silences the engines' console output once; returns 0.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_quiet_stdio();
    return 0;
}

// Runs one input; aborts (so libFuzzer keeps it) when a promise was broken.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_check(fuzz_verify(data, size));
    return 0;
}
