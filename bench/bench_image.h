// The benchmarks' image and the in-memory loops they are measured against: a mixed
// image (text-like data, noise as in video, zero runs), plain zlib deflate and inflate
// loops over its blocks, and a libdeflate decompression loop over the same payloads.
#pragma once
#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

constexpr size_t kBlock = 2048;

// Returns wall-clock seconds since an arbitrary start.
inline double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Fills one block of kind k: 0 text-like, 1 noise, 2 zeros, 3 half text half zeros.
inline void fill_block(unsigned char* p, int kind, uint64_t& x, uint32_t n) {
    if (kind == 2) { memset(p, 0, kBlock); return; }
    for (size_t i = 0; i < kBlock; i++) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        if (kind == 1) p[i] = static_cast<unsigned char>(x >> 32);
        else if (kind == 3 && i >= kBlock / 2) p[i] = 0;
        else p[i] = "etaoin shrdlu cmfwyp vbgkqjxz\n,.0123456789"[(x >> 40) % (n % 7 + 36)];
    }
}

// Returns a mixed image of `blocks` blocks, in runs of one kind as files would be.
inline std::vector<unsigned char> make_image(size_t blocks) {
    std::vector<unsigned char> img(blocks * kBlock);
    uint64_t x = 88172645463325252ull;
    static const int kinds[] = {0, 0, 1, 0, 2, 1, 3, 0, 1, 2};
    for (size_t b = 0; b < blocks; b++)
        fill_block(&img[b * kBlock], kinds[(b / 97) % 10], x, static_cast<uint32_t>(b / 97));
    return img;
}

// Returns the image a benchmark's argument names: "-N" the mixed image of N MB (none:
// default_mb), any other the file of that name (its whole blocks); sets *label to say which.
inline std::vector<unsigned char> load_image(const char* arg, size_t default_mb, std::string* label) {
    if (!arg || arg[0] == '-') {
        size_t mb = arg ? strtoul(arg + 1, nullptr, 10) : default_mb;
        *label = "mixed image of " + std::to_string(mb) + " MB";
        return make_image(mb * 1024 * 1024 / kBlock);
    }
    *label = arg;
    std::vector<unsigned char> img;
    FILE* f = fopen(arg, "rb");
    unsigned char b[kBlock];
    while (f && fread(b, 1, kBlock, f) == kBlock) img.insert(img.end(), b, b + kBlock);
    if (f) fclose(f);
    return img;
}

// Deflates every block with one reused stream (fresh=false) or a fresh stream per block;
// returns seconds and collects the payloads (empty string = stored plain).
inline double deflate_loop(const std::vector<unsigned char>& img, bool fresh,
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
inline double inflate_loop(const std::vector<std::string>& payloads, const std::vector<unsigned char>& img) {
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


// Decompresses the payloads with one libdeflate decompressor, each into exactly one block
// (plain blocks are copied); returns seconds.
inline double libdeflate_loop(const std::vector<std::string>& payloads,
                              const std::vector<unsigned char>& img) {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    unsigned char out[kBlock];
    size_t bad = 0;
    double t0 = now();
    for (size_t b = 0; b < payloads.size(); b++) {
        if (payloads[b].empty()) { memcpy(out, &img[b * kBlock], kBlock); continue; }
        if (libdeflate_deflate_decompress(d, payloads[b].data(), payloads[b].size(), out, kBlock,
                                          nullptr) != LIBDEFLATE_SUCCESS)
            bad++;
    }
    double t = now() - t0;
    libdeflate_free_decompressor(d);
    if (bad) fprintf(stderr, "%zu blocks did not decompress\n", bad);
    return t;
}
