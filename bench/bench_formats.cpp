// -dec of a ZSO against -dec of the CSO of the same image: the LZ4 blocks must decode at
// least 1.5 times as fast. Makes the benchmarks' mixed image, compresses it with
// "-com -l9" and writes the ZSO with the tests' writer (a block LZ4 does not shrink is
// stored plain), then prints each -dec's MB/s (best of five runs) and the ratio.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_image.h"
#include "bench_run.h"
#include "format_writers.h"

namespace {

// Writes data to path; returns false when it can't.
bool put(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(data.data(), 1, data.size(), f) == data.size();
    return f && fclose(f) == 0 && ok;
}

// Writes the mixed image of `mb` MiB and its ZSO into dir; returns the image's MB, or 0.
double write_inputs(const std::string& dir, size_t mb) {
    std::vector<unsigned char> img = make_image(mb * 1024 * 1024 / kBlock);
    std::string image(img.begin(), img.end());
    std::string zso = write_cso_family("ZISO", 1, image, kBlock, [](uint32_t) { return Store::LZ4; });
    bool ok = put(dir + "/image.iso", image) && put(dir + "/image.zso", zso);
    return ok ? image.size() / 1e6 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = "/tmp/vellicor-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) return 1;
    double mbytes = write_inputs(dir, argc > 1 ? strtoul(argv[1], nullptr, 10) : 128);
    if (mbytes > 0) {
        run_once({"-com", "-l9", dir + "/image.iso", dir + "/image.cso"});
        double t_cso = best_run(5, {"-dec", dir + "/image.cso", dir + "/back.iso"}, dir + "/back.iso");
        double t_zso = best_run(5, {"-dec", dir + "/image.zso", dir + "/back.iso"}, dir + "/back.iso");
        printf("image: %.1f MB mixed\n", mbytes);
        printf("vellicor -dec of the CSO   %7.1f MB/s\n", mbytes / t_cso);
        printf("vellicor -dec of the ZSO   %7.1f MB/s  (%.2f times the CSO's; target 1.5)\n",
               mbytes / t_zso, t_cso / t_zso);
    }
    for (auto name : {"/image.iso", "/image.cso", "/image.zso", "/back.iso"}) unlink((dir + name).c_str());
    rmdir(dir.c_str());
    return mbytes > 0 ? 0 : 1;
}
