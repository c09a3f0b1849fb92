// Helpers shared by the tests of the threaded compressor and of the estimates: mixed
// images, output lines, in-process runs with captured output, and inputs whose reads fail.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "init.h"
#include "isosearch.h"
#include "test_util.h"

namespace engine_helpers {

// Returns `blocks` blocks of text, noise and zero runs whose lengths cross chunk and
// half-chunk boundaries, then `tail` bytes of a partial block.
inline std::string mixed_image(size_t blocks, size_t tail = 0) {
    static const size_t runs[] = {37, 113, 9, 200, 61, 150, 3};
    std::string img;
    for (uint32_t r = 0; img.size() < blocks * 2048; r++) {
        size_t n = runs[r % 7] * 2048;
        if (r % 3 == 0) img += text_bytes(n, r);
        else if (r % 3 == 1) img += random_bytes(n, r);
        else img += std::string(n, '\0');
    }
    img.resize(blocks * 2048);
    return img + text_bytes(tail, 99);
}

// Returns the line of `out` that starts with `prefix` (up to its line feed), or "".
inline std::string line_of(const std::string& out, const std::string& prefix) {
    size_t at = out.find(prefix);
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

// Returns the progress line for `shown` and `rate`.
inline std::string progress(unsigned shown, unsigned rate) {
    char buf[64];
    snprintf(buf, sizeof buf, "Compress %3u%% average rate %3u%%  \r", shown, rate);
    return buf;
}

// Returns the output's progress lines from the summary's last one up to the final line
// (or the end).
inline std::vector<std::string> progress_lines(const std::string& out) {
    size_t from = out.find("Compress   0% average rate 100%  \r");
    std::vector<std::string> lines;
    if (from == std::string::npos) return lines;
    std::string body = out.substr(from, out.find("Ciso ") - from);
    for (size_t at = 0, cr; (cr = body.find('\r', at)) != std::string::npos; at = cr + 1)
        lines.push_back(body.substr(at, cr - at + 1));
    return lines;
}

// Sets the converter up in this process as the parser would for a run from `in` (already
// open) to the file `out` ("" for none), with no area option.
inline void set_up_in_process(FILE* in, const std::string& out) {
    converter_reset_state();
    static char in_name[] = "in.iso", out_name[] = "out.cso";
    O.input_name = in_name;
    O.output_name = out.empty() ? nullptr : out_name;
    fin = in;
    fout = out.empty() ? nullptr : fopen(out.c_str(), "wb");
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
}

// Runs an engine in this process; returns its status and puts what it printed in *printed.
inline int run_captured(int (*engine)(), std::string* printed) {
    testing::internal::CaptureStdout();
    int status = engine();
    *printed = testing::internal::GetCapturedStdout();
    return status;
}

// A stream over `data` that has its whole size but whose reads fail from byte `fail_at`
// on, up to byte `heal_at`.
struct FailingInput {
    long long fail_at, pos;
    const std::string* data;
    long long heal_at = LLONG_MAX;
};

inline ssize_t failing_read(void* c, char* buf, size_t n) {
    auto* f = static_cast<FailingInput*>(c);
    if (f->pos >= f->fail_at && f->pos < f->heal_at) return -1;
    long long size = static_cast<long long>(f->data->size());
    long long end = f->pos < f->fail_at ? std::min(f->fail_at, size) : size;
    size_t k = static_cast<size_t>(std::max(0LL, std::min(static_cast<long long>(n), end - f->pos)));
    memcpy(buf, f->data->data() + f->pos, k);
    f->pos += static_cast<long long>(k);
    return static_cast<ssize_t>(k);
}

inline int failing_seek(void* c, off64_t* off, int whence) {
    auto* f = static_cast<FailingInput*>(c);
    long long end = static_cast<long long>(f->data->size());
    f->pos = (whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : end) + *off;
    *off = f->pos;
    return 0;
}

// Opens a read stream over f's data that fails as f says.
inline FILE* open_failing(FailingInput* f) {
    return fopencookie(f, "rb", {failing_read, nullptr, failing_seek, nullptr});
}

}  // namespace engine_helpers
