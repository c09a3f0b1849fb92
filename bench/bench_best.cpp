// Sizes and speeds of -best's encoders and mixes, run by hand (never by CTest). Over the
// 2048-byte blocks of an image (a file, or the benchmarks' mixed image of MB megabytes;
// bench/make_libs_iso.sh masters one of real executables), it runs zlib 9, libdeflate 12
// and zopfli at 1, 3, 5 and 15 iterations on every STEP-th block and prints for each
// encoder alone (its streams whatever their shape) and for each mix (the shortest stream
// of zlib's shape, zlib 9's otherwise): the stored total, with the converter's plain rule
// (a stream of 2048 bytes or more stores the block as it is), against zlib 9's; the
// candidates rejected for their shape (streams under 2048 bytes that are not of zlib's
// shape, with what they had); and one thread's MB/s in CPU time, the encoders' and the
// checks' time summed. Then zbest_block itself runs the default mix and zlib 9 + libdeflate 12, and
// its totals must equal the mixes' figures.
//   bench_best [IMAGE | -MB] [STEP]      (default: the mixed image of 16 MB, every block)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "bench_image.h"
#include "deflate_shape.h"
#include "zbest.h"

namespace {

// Returns this thread's CPU seconds: the machine is shared, and one thread's speed is
// what the encoders allow whatever else runs.
double cpu_now() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// One encoder as the benchmark runs it.
struct Encoder {
    const char* name;
    zbest_encoder e;
    int iterations;
};
const Encoder kEncoders[] = {{"zlib 9", ZBEST_ZLIB9, 0},    {"libdeflate 12", ZBEST_LIBDEFLATE12, 0},
                             {"zopfli 1", ZBEST_ZOPFLI, 1}, {"zopfli 3", ZBEST_ZOPFLI, 3},
                             {"zopfli 5", ZBEST_ZOPFLI, 5}, {"zopfli 15", ZBEST_ZOPFLI, 15}};
constexpr int kCount = sizeof kEncoders / sizeof kEncoders[0];

// A mix: zlib 9 and the encoders flagged (by their index in kEncoders).
struct Mix {
    const char* name;
    unsigned members;  // bit i: kEncoders[i]
    zbest_mix real;    // the same mix for zbest_block
};
const Mix kMixes[] = {{"zlib9+libdeflate12", 0x03, ZBEST_FAST_MIX},
                      {"zlib9+libdeflate12+zopfli 1", 0x07, {true, 1}},
                      {"zlib9+libdeflate12+zopfli 3", 0x0B, {true, 3}},
                      {"zlib9+libdeflate12+zopfli 5", 0x13, {true, 5}},
                      {"zlib9+libdeflate12+zopfli 15", 0x23, {true, 15}}};
constexpr int kMixCount = sizeof kMixes / sizeof kMixes[0];

// What one encoder gave over the image.
struct Tally {
    double seconds = 0;     // encoding and checking
    uint64_t stored = 0;    // its streams, whatever their shape, under the plain rule
    unsigned long rejected = 0;
    unsigned long features[6] = {0};  // of the rejected: blocks, stored, incomplete, few,
                                      // cross, other
};

// One encoder's stream of the current block.
struct Candidate {
    unsigned len;
    bool fit;
};

// Bytes a stream of len bytes takes in the file: the block plain when it does not shrink it.
uint64_t stored_size(unsigned len) { return len == 0 || len >= kBlock ? kBlock : len; }

// Counts a rejected stream's features.
void note_rejected(Tally& t, const DeflateShape& s) {
    t.rejected++;
    t.features[0] += s.blocks > 1;
    t.features[1] += s.stored > 0;
    t.features[2] += s.incomplete_litlen + s.incomplete_dist > 0;
    t.features[3] += s.few_dist > 0;
    t.features[4] += s.crossing_runs > 0;
    t.features[5] += s.invalid || s.wrong_size || s.trailing;
}

// Runs encoder i on one block, timing it with its shape check; returns its candidate.
Candidate run_encoder(zbest_state* st, int i, const unsigned char* block, Tally& t) {
    unsigned char out[2 * kBlock];
    double t0 = cpu_now();
    const Encoder& e = kEncoders[i];
    unsigned n = zbest_encode(st, e.e, block, kBlock, out, sizeof out, e.iterations);
    DeflateShape s = deflate_shape(out, n, kBlock);
    t.seconds += cpu_now() - t0;
    t.stored += stored_size(n);
    bool fit = n > 0 && deflate_shape_ok(s);
    if (!fit && n > 0 && n < kBlock) note_rejected(t, s);
    return {n, fit};
}

// Adds one block's outcome under each mix.
void add_to_mixes(const Candidate* c, uint64_t* mix_stored) {
    for (int m = 0; m < kMixCount; m++) {
        unsigned best = c[0].len;
        for (int i = 1; i < kCount; i++)
            if ((kMixes[m].members >> i & 1) && c[i].fit && c[i].len < best) best = c[i].len;
        mix_stored[m] += stored_size(best);
    }
}

// Prints one row: its stored total against zlib 9's, and its speed.
void print_row(const char* name, uint64_t stored, uint64_t zlib, double seconds, double mbytes) {
    printf("%-30s %12llu  %7.2f %%  %8.2f MB/s", name, static_cast<unsigned long long>(stored),
           100.0 * stored / zlib, mbytes / seconds);
}

// Runs zbest_block with a mix over the sampled blocks; prints its total, speed and
// whether the total is the mix's figure.
void run_real(const Mix& m, uint64_t expected, const std::vector<unsigned char>& img, size_t step,
              uint64_t zlib, double mbytes) {
    zbest_state* st = zbest_create(m.real);
    unsigned char out[2 * kBlock];
    uint64_t total = 0;
    double t0 = cpu_now();
    for (size_t off = 0; off < img.size(); off += step * kBlock) {
        unsigned len = 0;
        zbest_block(st, &img[off], kBlock, out, sizeof out, &len);
        total += stored_size(len);
    }
    double t = cpu_now() - t0;
    zbest_free(st);
    printf("zbest_block ");
    print_row(m.name, total, zlib, t, mbytes);
    printf("  %s\n", total == expected ? "(= the mix)" : "DIFFERS FROM THE MIX");
}

}  // namespace

int main(int argc, char** argv) {
    std::string label;
    std::vector<unsigned char> img = load_image(argc > 1 ? argv[1] : nullptr, 16, &label);
    size_t step = argc > 2 ? strtoul(argv[2], nullptr, 10) : 1;
    if (img.empty() || step == 0) return fprintf(stderr, "no blocks\n"), 1;
    zbest_state* st = zbest_create(ZBEST_DEFAULT_MIX);
    Tally tally[kCount];
    uint64_t mix_stored[kMixCount] = {0};
    size_t blocks = 0;
    for (size_t off = 0; off < img.size(); off += step * kBlock, blocks++) {
        Candidate c[kCount];
        for (int i = 0; i < kCount; i++) c[i] = run_encoder(st, i, &img[off], tally[i]);
        add_to_mixes(c, mix_stored);
    }
    zbest_free(st);
    double mbytes = blocks * kBlock / 1e6;
    uint64_t zlib = tally[0].stored;
    printf("%s: %zu blocks of %zu (every %zu), %.1f MB\n", label.c_str(), blocks,
           img.size() / kBlock, step, mbytes);
    printf("%-30s %12s  %9s  %13s  rejected (several blocks/stored/incomplete/one distance/"
           "cross/other)\n", "encoder or mix", "stored", "vs zlib 9", "one thread");
    for (const Tally& t : tally) {
        print_row(kEncoders[&t - tally].name, t.stored, zlib, t.seconds, mbytes);
        printf("  %lu (%lu/%lu/%lu/%lu/%lu/%lu)\n", t.rejected, t.features[0], t.features[1],
               t.features[2], t.features[3], t.features[4], t.features[5]);
    }
    for (int m = 0; m < kMixCount; m++) {
        double seconds = 0;
        for (int i = 0; i < kCount; i++)
            if (kMixes[m].members >> i & 1) seconds += tally[i].seconds;
        print_row(kMixes[m].name, mix_stored[m], zlib, seconds, mbytes);
        printf("\n");
    }
    for (int m = 0; m < kMixCount; m++)
        if (m == 0 || kMixes[m].real.zopfli_iterations == ZBEST_DEFAULT_MIX.zopfli_iterations)
            run_real(kMixes[m], mix_stored[m], img, step, zlib, mbytes);
    return 0;
}
