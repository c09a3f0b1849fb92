// Verification of a conversion: every block decoded from a CSO must equal the same block
// of the plain image, read from both files and writing nothing. It serves both ways: the
// CSO written by a compression against its input image (a compressed input's decoded
// image), and the image written by a decompression against its input CSO. The CSO is
// decoded by the converter's block reader (the decompressors' checks, in this process, on
// the files as written), so a converter that wrote a damaged file is caught; no file can
// make it read out of bounds or allocate more than the file's own size beside its fixed
// buffers of a few megabytes.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "job_platform.h"

// The outcome of one verification.
struct VerifyResult {
    enum Kind {
        PASSED,         // every block matches
        BLOCK_DIFFERS,  // `value` is the first block (counted from 0, as in the format's
                        // index) that differs or cannot be decoded from the CSO
        TAIL_NOT_HELD,  // all blocks match, but `value` trailing bytes of the image (its
                        // size is not a multiple of the block size) are not in the CSO
        SIZE_DIFFERS,   // the image has `value` bytes; the CSO records `expected`
        UNREADABLE,     // `detail` is the file that could not be opened or read
        DAMAGED,        // the CSO's header or index is unusable; `detail` says which
        STOPPED,        // the stop flag was set
    };
    Kind kind = PASSED;
    uint64_t value = 0;
    uint64_t expected = 0;
    std::string detail;
};

// Called with the percentage of blocks checked so far, whenever it changes.
using VerifyProgress = std::function<void(int percent)>;

// What the image file is to the check.
enum class ImageRole {
    WRITTEN,  // a decompression's output: its bytes are the image
    INPUT,    // a compression's input, read as the converter reads one: a file that starts
              // with a known magic (a ZSO or DAX, say) stands for its decoded image
};

// Checks the CSO at cso_path against the image at image_path, which has the given role,
// reading both through the platform. The stop flag is looked at before every chunk of a
// few megabytes.
VerifyResult verify_cso(JobPlatform& platform, const std::string& cso_path,
                        const std::string& image_path, ImageRole role,
                        const std::atomic<bool>& stop, const VerifyProgress& progress);

// The same check on files already opened.
VerifyResult verify_cso_files(FileReader& cso, FileReader& image, const std::string& cso_path,
                              const std::string& image_path, const std::atomic<bool>& stop,
                              const VerifyProgress& progress);

// Returns the report line for a result, ending in "\r\n" ("" for STOPPED): "校验通过",
// "校验失败：第 N 块不一致", or the reason the check failed or could not run.
std::string verify_report_line(const VerifyResult& result);
