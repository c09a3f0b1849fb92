// Speed of "vellicor -test" on a CSO against "-dec" of the same CSO to a new file: the
// same decoding without the writes, plus CRC32, MD5 and SHA-1 of the image. -test must
// reach 0.8 of -dec. Also times -test of the ISO and of the CSO against the ISO. Makes
// its own mixed image (default 128 MiB; the first argument gives another size in MiB),
// prints MB/s of the image (best of three runs) and removes its files.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_image.h"
#include "bench_run.h"

namespace {

const int kRuns = 3;  // each figure is the best of this many runs: the machine is shared

// Returns the best wall time of kRuns runs; `fresh` is removed before each, so a
// decompression always writes a new file.
double best_of(const std::vector<std::string>& args, const std::string& fresh = "") {
    return best_run(kRuns, args, fresh);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = argc > 1 ? strtoul(argv[1], nullptr, 10) : 128;
    std::string dir = "/tmp/vellicor-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) return 1;
    std::string iso = dir + "/image.iso", cso = dir + "/image.cso", back = dir + "/back.iso";
    double mbytes = 0;
    {
        std::vector<unsigned char> img = make_image(mb * 1024 * 1024 / kBlock);
        FILE* f = fopen(iso.c_str(), "wb");
        if (!f || fwrite(img.data(), 1, img.size(), f) != img.size() || fclose(f) != 0) return 1;
        mbytes = img.size() / 1e6;
    }
    run_once({"-com", "-l9", iso, cso});
    double t_dec = best_of({"-dec", cso, back}, back);
    unlink(back.c_str());
    double t_test = best_of({"-test", cso});
    double t_iso = best_of({"-test", iso});
    double t_both = best_of({"-test", cso, iso});
    printf("image: %.1f MB mixed\n", mbytes);
    printf("vellicor -dec to a new file           %7.1f MB/s\n", mbytes / t_dec);
    printf("vellicor -test of the CSO             %7.1f MB/s  (%.2f of -dec; must reach 0.80)\n",
           mbytes / t_test, t_dec / t_test);
    printf("vellicor -test of the ISO             %7.1f MB/s\n", mbytes / t_iso);
    printf("vellicor -test of the CSO and the ISO %7.1f MB/s\n", mbytes / t_both);
    unlink(iso.c_str());
    unlink(cso.c_str());
    rmdir(dir.c_str());
    return 0;
}
