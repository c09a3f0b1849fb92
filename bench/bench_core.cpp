// Speed of the one-thread engines against plain in-memory zlib loops over the same
// blocks. Makes its own mixed image (text-like data, noise as in video, zero runs),
// times "-com -l9", "-dec" and "-dec -opt" through the built converter, and prints MB/s
// (best of three runs), the ratios the engines must reach, and each run's peak memory.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const size_t kBlock = 2048;

const int kRuns = 3;  // each figure is the best of this many runs: the machine is shared

// Returns wall-clock seconds since an arbitrary start.
double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Fills one block of kind k: 0 text-like, 1 noise, 2 zeros, 3 half text half zeros.
void fill_block(unsigned char* p, int kind, uint64_t& x, uint32_t n) {
    if (kind == 2) { memset(p, 0, kBlock); return; }
    for (size_t i = 0; i < kBlock; i++) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        if (kind == 1) p[i] = static_cast<unsigned char>(x >> 32);
        else if (kind == 3 && i >= kBlock / 2) p[i] = 0;
        else p[i] = "etaoin shrdlu cmfwyp vbgkqjxz\n,.0123456789"[(x >> 40) % (n % 7 + 36)];
    }
}

// Returns a mixed image of `blocks` blocks, in runs of one kind as files would be.
std::vector<unsigned char> make_image(size_t blocks) {
    std::vector<unsigned char> img(blocks * kBlock);
    uint64_t x = 88172645463325252ull;
    static const int kinds[] = {0, 0, 1, 0, 2, 1, 3, 0, 1, 2};
    for (size_t b = 0; b < blocks; b++)
        fill_block(&img[b * kBlock], kinds[(b / 97) % 10], x, static_cast<uint32_t>(b / 97));
    return img;
}

// Runs the converter with args; returns its wall seconds and sets *peak_kb to its peak
// memory. fork, not vfork: the child must not inherit this process's peak.
double run_once(const std::vector<std::string>& args, long* peak_kb) {
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
    *peak_kb = ru.ru_maxrss;
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) fprintf(stderr, "converter failed\n");
    return t;
}

// Returns the best wall time of kRuns runs of the converter; *peak_kb as in run_once.
double run_converter(const std::vector<std::string>& args, long* peak_kb) {
    double best = 1e30;
    for (int i = 0; i < kRuns; i++) best = std::min(best, run_once(args, peak_kb));
    return best;
}

// Deflates every block with one reused stream (fresh=false) or a fresh stream per block;
// returns seconds and collects the payloads (empty string = stored plain).
double deflate_loop(const std::vector<unsigned char>& img, bool fresh,
                    std::vector<std::string>* payloads) {
    z_stream z{};
    unsigned char out[2 * kBlock];
    double t0 = now();
    if (!fresh) deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    for (size_t off = 0; off < img.size(); off += kBlock) {
        if (fresh) deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        else deflateReset(&z);
        z.next_in = const_cast<unsigned char*>(&img[off]);
        z.avail_in = kBlock;
        z.next_out = out;
        z.avail_out = sizeof out;
        deflate(&z, Z_FINISH);
        size_t len = sizeof out - z.avail_out;
        if (payloads) payloads->push_back(len < kBlock ? std::string(reinterpret_cast<char*>(out), len) : "");
        if (fresh) deflateEnd(&z);
    }
    if (!fresh) deflateEnd(&z);
    return now() - t0;
}

// Inflates the payloads with one reused stream (plain blocks are copied); returns seconds.
double inflate_loop(const std::vector<std::string>& payloads, const std::vector<unsigned char>& img) {
    z_stream z{};
    inflateInit2(&z, -15);
    unsigned char out[kBlock];
    size_t bad = 0;
    double t0 = now();
    for (size_t b = 0; b < payloads.size(); b++) {
        if (payloads[b].empty()) { memcpy(out, &img[b * kBlock], kBlock); continue; }
        inflateReset(&z);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payloads[b].data()));
        z.avail_in = static_cast<uInt>(payloads[b].size());
        z.next_out = out;
        z.avail_out = kBlock;
        if (inflate(&z, Z_FULL_FLUSH) != Z_STREAM_END) bad++;
    }
    double t = now() - t0;
    inflateEnd(&z);
    if (bad) fprintf(stderr, "%zu blocks did not inflate\n", bad);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = argc > 1 ? strtoul(argv[1], nullptr, 10) : 128;
    std::string dir = "/tmp/vellicor-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) return 1;
    double mbytes = 0;
    {
        // The image lives in memory only while it is written: a spawned child's peak
        // memory would otherwise include this process's pages.
        std::vector<unsigned char> img = make_image(mb * 1024 * 1024 / kBlock);
        FILE* f = fopen((dir + "/image.iso").c_str(), "wb");
        fwrite(img.data(), 1, img.size(), f);
        fclose(f);
        mbytes = img.size() / 1e6;
    }
    long kb_com = 0, kb_dec = 0, kb_opt = 0;
    double t_com = run_converter({"-com", "-l9", dir + "/image.iso", dir + "/image.cso"}, &kb_com);
    double t_dec = run_converter({"-dec", dir + "/image.cso", dir + "/back.iso"}, &kb_dec);
    double t_opt = run_converter({"-dec", "-opt", dir + "/image.cso", dir + "/back2.iso"}, &kb_opt);
    std::vector<unsigned char> img = make_image(mb * 1024 * 1024 / kBlock);
    std::vector<std::string> payloads;
    double t_def = deflate_loop(img, false, &payloads), t_fresh = 1e30, t_inf = 1e30;
    for (int i = 1; i < kRuns; i++) t_def = std::min(t_def, deflate_loop(img, false, nullptr));
    for (int i = 0; i < kRuns; i++) t_fresh = std::min(t_fresh, deflate_loop(img, true, nullptr));
    for (int i = 0; i < kRuns; i++) t_inf = std::min(t_inf, inflate_loop(payloads, img));
    struct stat st;
    stat((dir + "/image.cso").c_str(), &st);
    printf("image: %.1f MB mixed, CSO %.1f MB\n", mbytes, st.st_size / 1e6);
    printf("deflate loop, level 9, reused stream  %7.1f MB/s\n", mbytes / t_def);
    printf("deflate loop, level 9, fresh stream   %7.1f MB/s\n", mbytes / t_fresh);
    printf("inflate loop, reused stream           %7.1f MB/s\n", mbytes / t_inf);
    printf("vellicor -com -l9                     %7.1f MB/s  (%.2f of the deflate loop, peak %ld KB)\n",
           mbytes / t_com, t_def / t_com, kb_com);
    printf("vellicor -dec                         %7.1f MB/s  (%.2f of the inflate loop, peak %ld KB)\n",
           mbytes / t_dec, t_inf / t_dec, kb_dec);
    printf("vellicor -dec -opt                    %7.1f MB/s  (%.2f of the inflate loop, peak %ld KB)\n",
           mbytes / t_opt, t_inf / t_opt, kb_opt);
    for (auto name : {"/image.iso", "/image.cso", "/back.iso", "/back2.iso"}) unlink((dir + name).c_str());
    rmdir(dir.c_str());
    return 0;
}
