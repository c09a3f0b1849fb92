// Speed of the front-end's verification against the in-memory inflate loop over the same
// image: writes the benchmark image, compresses it with the built converter at level 9,
// then times the verification of the CSO against the image (best of three runs) and
// prints both in MB/s of image and their ratio, which must be at least 1.0; the
// libdeflate loop over the same payloads is shown beside them.
//   bench_verify [megabytes, default 128]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "bench_image.h"
#include "cso_verify.h"

namespace {

const int kRuns = 3;  // each figure is the best of this many runs: the machine is shared

// A file read with positioned reads, as the front-end's POSIX layer reads it.
class PreadFile : public FileReader {
public:
    explicit PreadFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY)) {
        struct stat st;
        size_ = fd_ >= 0 && fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    ~PreadFile() override { if (fd_ >= 0) close(fd_); }
    uint64_t size() override { return size_; }
    bool read_at(uint64_t offset, void* buf, size_t size) override {
        for (char* p = static_cast<char*>(buf); size > 0;) {
            ssize_t n = pread(fd_, p, size, static_cast<off_t>(offset));
            if (n <= 0) return false;
            p += n, offset += static_cast<uint64_t>(n), size -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_ = 0;
};

// Runs the converter with args, output to /dev/null; returns true when it exits with 0.
bool run_converter(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(VELLICOR_EXE)};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_WRONLY), 1);
        execv(VELLICOR_EXE, argv.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

// Verifies the CSO against the image once; returns seconds, or -1 when it did not pass.
double verify_once(const std::string& cso_path, const std::string& iso_path) {
    PreadFile cso(cso_path), iso(iso_path);
    std::atomic<bool> stop{false};
    double t0 = now();
    VerifyResult r = verify_cso_files(cso, iso, cso_path, iso_path, stop, [](int) {});
    double t = now() - t0;
    return r.kind == VerifyResult::PASSED ? t : -1;
}

}  // namespace

int main(int argc, char** argv) {
    size_t mb = argc > 1 ? strtoul(argv[1], nullptr, 10) : 128;
    std::string dir = "/tmp/vellicor-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) return 1;
    std::string iso = dir + "/image.iso", cso = dir + "/image.cso";
    std::vector<unsigned char> img = make_image(mb * 1024 * 1024 / kBlock);
    FILE* f = fopen(iso.c_str(), "wb");
    fwrite(img.data(), 1, img.size(), f);
    fclose(f);
    double mbytes = img.size() / 1e6, t_inf = 1e30, t_ld = 1e30, t_ver = 1e30;
    int status = run_converter({"-com", "-l9", iso, cso}) ? 0 : 1;
    std::vector<std::string> payloads;
    deflate_loop(img, false, &payloads);
    for (int i = 0; i < kRuns; i++) t_inf = std::min(t_inf, inflate_loop(payloads, img));
    for (int i = 0; i < kRuns; i++) t_ld = std::min(t_ld, libdeflate_loop(payloads, img));
    for (int i = 0; i < kRuns && status == 0; i++) {
        double t = verify_once(cso, iso);
        if (t < 0) status = 1;
        else t_ver = std::min(t_ver, t);
    }
    printf("image: %.1f MB mixed\n", mbytes);
    printf("inflate loop, reused stream           %7.1f MB/s\n", mbytes / t_inf);
    printf("libdeflate decompression loop         %7.1f MB/s\n", mbytes / t_ld);
    if (status == 0)
        printf("verify CSO against image (files)      %7.1f MB/s  (%.2f of the inflate loop, target "
               "1.00; %.2f of the libdeflate loop)\n", mbytes / t_ver, t_inf / t_ver, t_ld / t_ver);
    else
        printf("verification did not pass\n");
    unlink(iso.c_str());
    unlink(cso.c_str());
    rmdir(dir.c_str());
    return status;
}
