// -dec of a ZSO against -dec of the CSO of the same image: the LZ4 blocks must decode at
// least 1.5 times as fast; and "-com -opt -MT0" from that CSO against the same from the
// image: at least 0.95 of its speed (and, to show what decoding costs, from the ZSO).
// Makes the benchmarks' mixed image ("-N": of N MB) or takes the image a path names,
// compresses it with "-com -l9" and writes the ZSO with the tests' writer (a block LZ4
// does not shrink is stored plain), then prints each run's MB/s and the ratios: -dec
// best of five runs, the three recompressions best of seven rounds, each round running
// all three in turn. Last, the bound of the CSO's ratio where every processor is busy: level-9
// deflate's time over deflate's and libdeflate's decoding's, both timed on one thread in
// memory; and, from the processor time of the same rounds, the most the CSO's could reach
// if it kept every processor busy while the image's leaves some idle.
#include <sched.h>

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

// Prints deflate / (deflate + decoding) over the image's blocks, the recompression's best
// ratio when decoding cannot run on an idle processor.
void print_decoding_bound(const std::vector<unsigned char>& img) {
    std::vector<std::string> payloads;
    double t_deflate = deflate_loop(img, false, &payloads);
    double t_decode = libdeflate_loop(payloads, img);
    printf("bound with every processor busy: %.3f (deflate %.3f s, decoding %.3f s, one thread)\n",
           t_deflate / (t_deflate + t_decode), t_deflate, t_decode);
}

// Prints, from the recompressions' summed runs, the ratio of their processor time, how
// many processors each keeps busy, and the CSO's ratio if it kept all busy.
void print_processor_ceiling(const run_totals& iso, const run_totals& cso) {
    cpu_set_t set;
    int n = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    printf("processor time from the CSO over the image's: %.3f; processors busy of %d: %.2f from the "
           "image, %.2f from the CSO; the CSO's ratio with all busy: %.3f\n",
           iso.cpu / cso.cpu, n, iso.cpu / iso.wall, cso.cpu / cso.wall, iso.wall / (cso.cpu / n));
}

// Writes the image the argument names (load_image; the mixed one of 128 MB when none) and
// its ZSO into dir; sets *label and *img; returns the image's MB, or 0.
double write_inputs(const std::string& dir, const char* arg, std::string* label,
                    std::vector<unsigned char>* img) {
    *img = load_image(arg, 128, label);
    std::string image(img->begin(), img->end());
    if (image.empty()) return 0;
    std::string zso = write_cso_family("ZISO", 1, image, kBlock, [](uint32_t) { return Store::LZ4; });
    bool ok = put(dir + "/image.iso", image) && put(dir + "/image.zso", zso);
    return ok ? image.size() / 1e6 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = "/tmp/vellicor-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) return 1;
    std::string label;
    std::vector<unsigned char> img;
    double mbytes = write_inputs(dir, argc > 1 ? argv[1] : nullptr, &label, &img);
    if (mbytes > 0) {
        run_once({"-com", "-l9", dir + "/image.iso", dir + "/image.cso"});
        double t_cso = best_run(5, {"-dec", dir + "/image.cso", dir + "/back.iso"}, dir + "/back.iso");
        double t_zso = best_run(5, {"-dec", dir + "/image.zso", dir + "/back.iso"}, dir + "/back.iso");
        std::string out = dir + "/again.cso";
        std::vector<std::vector<std::string>> com;
        for (auto in : {"/image.iso", "/image.cso", "/image.zso"})
            com.push_back({"-com", "-opt", "-MT0", dir + in, out});
        std::vector<run_totals> totals;
        std::vector<double> t_com = best_runs_interleaved(7, com, out, &totals);
        double t_iso_com = t_com[0], t_cso_com = t_com[1], t_zso_com = t_com[2];
        printf("image: %.1f MB, %s\n", mbytes, label.c_str());
        printf("vellicor -dec of the CSO   %7.1f MB/s\n", mbytes / t_cso);
        printf("vellicor -dec of the ZSO   %7.1f MB/s  (%.2f times the CSO's; target 1.5)\n",
               mbytes / t_zso, t_cso / t_zso);
        printf("-com -opt -MT0 from the image %7.1f MB/s\n", mbytes / t_iso_com);
        printf("-com -opt -MT0 from the CSO   %7.1f MB/s  (%.3f of the image's; target 0.95)\n",
               mbytes / t_cso_com, t_iso_com / t_cso_com);
        printf("-com -opt -MT0 from the ZSO   %7.1f MB/s  (%.3f of the image's)\n",
               mbytes / t_zso_com, t_iso_com / t_zso_com);
        print_decoding_bound(img);
        print_processor_ceiling(totals[0], totals[1]);
    }
    for (auto name : {"/image.iso", "/image.cso", "/image.zso", "/back.iso", "/again.cso"})
        unlink((dir + name).c_str());
    rmdir(dir.c_str());
    return mbytes > 0 ? 0 : 1;
}
