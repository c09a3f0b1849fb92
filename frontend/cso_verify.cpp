// Verification of a CSO against its plain image, with a CSO reader of its own that
// checks every header field, index entry and payload bound before it uses them.
#include "cso_verify.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const uint32_t PLAIN_FLAG = 0x80000000u;   // index entry: the payload is the block as is
const uint32_t OFFSET_MASK = 0x7FFFFFFFu;  // index entry: the (shifted) file offset
const size_t HEADER_SIZE = 24;
const uint32_t MAX_BLOCK_SIZE = 16u << 20;  // larger block sizes are taken as damage
const unsigned MAX_INDEX_ALIGN = 31;        // offsets then still fit 62 bits
const size_t CHUNK_BYTES = 1u << 20;        // image bytes read (and stop flag looked at) per step

// The header fields the check needs.
struct CsoLayout {
    uint32_t block_size = 0;
    uint32_t total = 0;  // low 32 bits of total_bytes, the only ones readers use
    unsigned align = 0;
    uint32_t blocks = 0;
};

// Returns the little-endian 32-bit value at p.
uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Returns a result of one kind with its number and detail.
VerifyResult result_of(VerifyResult::Kind kind, uint64_t value = 0, std::string detail = "") {
    VerifyResult r;
    r.kind = kind;
    r.value = value;
    r.detail = std::move(detail);
    return r;
}

// Hands out pointers to byte ranges of a file, reading it a large window at a time, so
// payloads that follow each other cost one read per window.
class WindowReader {
public:
    explicit WindowReader(FileReader& file) : file_(file), size_(file.size()) {}
    // Returns the `n` bytes at `offset`, or nullptr when they lie (partly) outside the
    // file or cannot be read; read_failed() then tells which.
    const unsigned char* get(uint64_t offset, size_t n);
    bool read_failed() const { return failed_; }

private:
    FileReader& file_;
    uint64_t size_;
    std::vector<unsigned char> buf_;
    uint64_t start_ = 0;
    size_t length_ = 0;
    bool failed_ = false;
};

// Serves the range from the window, refilling the window at `offset` when needed.
const unsigned char* WindowReader::get(uint64_t offset, size_t n) {
    if (offset > size_ || n > size_ - offset) return nullptr;
    if (offset >= start_ && offset - start_ + n <= length_) return buf_.data() + (offset - start_);
    size_t want = static_cast<size_t>(std::min<uint64_t>(std::max(n, CHUNK_BYTES), size_ - offset));
    if (buf_.size() < want) buf_.resize(want);
    if (!file_.read_at(offset, buf_.data(), want)) {
        length_ = 0;
        failed_ = true;
        return nullptr;
    }
    start_ = offset;
    length_ = want;
    return buf_.data();
}

// Decodes the CSO block by block and compares each with the image's block.
class BlockChecker {
public:
    BlockChecker(FileReader& cso, FileReader& image, const std::string& cso_path,
                 const std::string& image_path, const std::atomic<bool>& stop,
                 const VerifyProgress& progress);
    ~BlockChecker() {
        inflateEnd(&z_);
        libdeflate_free_decompressor(fast_);
    }
    // Runs the whole check; returns its result.
    VerifyResult run();

private:
    // Reads and checks the header into layout_; false with result_ set when unusable.
    bool read_header();
    // Reads the n + 1 index entries; false with result_ set when they are not all there.
    bool read_index();
    // Accepts an image of the recorded size, or of the blocks held; false otherwise.
    bool image_size_fits();
    // Compares the blocks of one chunk starting at `first`; false with result_ set.
    bool check_chunk(uint32_t first, uint32_t count);
    // Returns 0 when block b decodes to `expected`, 1 when it differs or cannot be
    // decoded, 2 when the CSO could not be read.
    int check_block(uint32_t b, const unsigned char* expected);
    // Inflates a payload into out_ and compares; true when it gives exactly `expected`.
    bool inflate_equals(const unsigned char* payload, size_t len, const unsigned char* expected);

    FileReader& cso_;
    FileReader& image_;
    const std::string& cso_path_;
    const std::string& image_path_;
    const std::atomic<bool>& stop_;
    const VerifyProgress& progress_;
    WindowReader window_;
    CsoLayout layout_;
    std::vector<uint32_t> index_;
    std::vector<unsigned char> image_buf_, out_;
    z_stream z_{};
    bool z_ready_ = false;
    libdeflate_decompressor* fast_ = nullptr;  // this check's thread decodes with it
    VerifyResult result_;
};

BlockChecker::BlockChecker(FileReader& cso, FileReader& image, const std::string& cso_path,
                           const std::string& image_path, const std::atomic<bool>& stop,
                           const VerifyProgress& progress)
    : cso_(cso), image_(image), cso_path_(cso_path), image_path_(image_path), stop_(stop),
      progress_(progress), window_(cso) {
    z_ready_ = inflateInit2(&z_, -15) == Z_OK;
    fast_ = libdeflate_alloc_decompressor();
    z_ready_ = z_ready_ && fast_;
}

// Header, index and sizes first, then the blocks chunk by chunk, then the tail.
VerifyResult BlockChecker::run() {
    if (!z_ready_) return result_of(VerifyResult::UNREADABLE, 0, cso_path_);
    if (!read_header() || !read_index() || !image_size_fits()) return result_;
    uint32_t bs = layout_.block_size, n = layout_.blocks;
    uint32_t per_chunk = static_cast<uint32_t>(std::max<size_t>(1, CHUNK_BYTES / bs));
    image_buf_.resize(static_cast<size_t>(std::min(per_chunk, std::max(n, 1u))) * bs);
    out_.resize(bs);
    int shown = -1;
    for (uint32_t first = 0; first < n;) {
        if (stop_) return result_of(VerifyResult::STOPPED);
        uint32_t count = std::min(per_chunk, n - first);
        if (!check_chunk(first, count)) return result_;
        first += count;
        int percent = static_cast<int>(static_cast<uint64_t>(first) * 100 / n);
        if (percent != shown && progress_) progress_(shown = percent);
    }
    if (stop_) return result_of(VerifyResult::STOPPED);
    uint64_t held = static_cast<uint64_t>(n) * bs;
    if (layout_.total != held) return result_of(VerifyResult::TAIL_NOT_HELD, layout_.total - held);
    return result_of(VerifyResult::PASSED);
}

// Magic "CISO", a block size from 1 to 16 MiB, a non-zero size, an alignment below 32.
bool BlockChecker::read_header() {
    unsigned char h[HEADER_SIZE];
    if (cso_.size() < HEADER_SIZE) {
        result_ = result_of(VerifyResult::DAMAGED, 0, "文件头不完整");
        return false;
    }
    if (!cso_.read_at(0, h, HEADER_SIZE)) {
        result_ = result_of(VerifyResult::UNREADABLE, 0, cso_path_);
        return false;
    }
    layout_.block_size = le32(h + 16);
    layout_.total = le32(h + 8);
    layout_.align = h[21];
    if (memcmp(h, "CISO", 4) != 0 || layout_.block_size == 0 || layout_.block_size > MAX_BLOCK_SIZE ||
        layout_.total == 0 || layout_.align > MAX_INDEX_ALIGN) {
        result_ = result_of(VerifyResult::DAMAGED, 0, "文件头无效");
        return false;
    }
    layout_.blocks = layout_.total / layout_.block_size;
    return true;
}

// The index must lie wholly inside the file, which also bounds its allocation.
bool BlockChecker::read_index() {
    uint64_t entries = static_cast<uint64_t>(layout_.blocks) + 1;
    if (cso_.size() < HEADER_SIZE || (cso_.size() - HEADER_SIZE) / 4 < entries) {
        result_ = result_of(VerifyResult::DAMAGED, 0, "索引不完整");
        return false;
    }
    std::vector<unsigned char> raw(static_cast<size_t>(entries) * 4);
    if (!cso_.read_at(HEADER_SIZE, raw.data(), raw.size())) {
        result_ = result_of(VerifyResult::UNREADABLE, 0, cso_path_);
        return false;
    }
    index_.resize(static_cast<size_t>(entries));
    for (size_t i = 0; i < index_.size(); i++) index_[i] = le32(&raw[i * 4]);
    return true;
}

// The image a compression read has the recorded size; the one a decompression wrote has
// the blocks the CSO holds. Any other size cannot match.
bool BlockChecker::image_size_fits() {
    uint64_t size = image_.size();
    uint64_t held = static_cast<uint64_t>(layout_.blocks) * layout_.block_size;
    if (size == layout_.total || size == held) return true;
    result_ = result_of(VerifyResult::SIZE_DIFFERS, size);
    result_.expected = layout_.total;
    return false;
}

// Reads the chunk's image bytes in one go and checks each block against them.
bool BlockChecker::check_chunk(uint32_t first, uint32_t count) {
    size_t bs = layout_.block_size;
    if (!image_.read_at(static_cast<uint64_t>(first) * bs, image_buf_.data(), count * bs)) {
        result_ = result_of(VerifyResult::UNREADABLE, 0, image_path_);
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        int verdict = check_block(first + i, &image_buf_[i * bs]);
        if (verdict == 0) continue;
        result_ = verdict == 1 ? result_of(VerifyResult::BLOCK_DIFFERS, first + i)
                               : result_of(VerifyResult::UNREADABLE, 0, cso_path_);
        return false;
    }
    return true;
}

// A plain payload is the block itself; a compressed one lies between its entry and the
// next (which must not decrease) and is at most two blocks long, as the decompressors
// require. A payload outside the file makes the block differ.
int BlockChecker::check_block(uint32_t b, const unsigned char* expected) {
    uint32_t e = index_[b], bs = layout_.block_size;
    uint64_t offset = static_cast<uint64_t>(e & OFFSET_MASK) << layout_.align;
    uint64_t len = bs;
    if (!(e & PLAIN_FLAG)) {
        uint32_t cur = e & OFFSET_MASK, next = index_[b + 1] & OFFSET_MASK;
        if (next <= cur) return 1;
        len = static_cast<uint64_t>(next - cur) << layout_.align;
        if (len > 2ull * bs) return 1;
    }
    const unsigned char* payload = window_.get(offset, static_cast<size_t>(len));
    if (!payload) return window_.read_failed() ? 2 : 1;
    if (e & PLAIN_FLAG) return memcmp(payload, expected, bs) == 0 ? 0 : 1;
    return inflate_equals(payload, static_cast<size_t>(len), expected) ? 0 : 1;
}

// One raw deflate stream that must end within the payload and fill exactly one block.
// libdeflate decodes it; a payload it refuses gets zlib's verdict, as the decoders do.
bool BlockChecker::inflate_equals(const unsigned char* payload, size_t len,
                                  const unsigned char* expected) {
    if (libdeflate_deflate_decompress(fast_, payload, len, out_.data(), out_.size(), nullptr) ==
        LIBDEFLATE_SUCCESS)
        return memcmp(out_.data(), expected, out_.size()) == 0;
    inflateReset(&z_);
    z_.next_in = const_cast<Bytef*>(payload);
    z_.avail_in = static_cast<uInt>(len);
    z_.next_out = out_.data();
    z_.avail_out = static_cast<uInt>(out_.size());
    if (inflate(&z_, Z_FULL_FLUSH) != Z_STREAM_END || z_.avail_out != 0) return false;
    return memcmp(out_.data(), expected, out_.size()) == 0;
}

}  // namespace

// Runs the check on two opened files.
VerifyResult verify_cso_files(FileReader& cso, FileReader& image, const std::string& cso_path,
                              const std::string& image_path, const std::atomic<bool>& stop,
                              const VerifyProgress& progress) {
    BlockChecker checker(cso, image, cso_path, image_path, stop, progress);
    return checker.run();
}

// Opens both files through the platform and runs the check.
VerifyResult verify_cso(JobPlatform& platform, const std::string& cso_path,
                        const std::string& image_path, const std::atomic<bool>& stop,
                        const VerifyProgress& progress) {
    std::unique_ptr<FileReader> cso = platform.open_read(cso_path);
    if (!cso) return result_of(VerifyResult::UNREADABLE, 0, cso_path);
    std::unique_ptr<FileReader> image = platform.open_read(image_path);
    if (!image) return result_of(VerifyResult::UNREADABLE, 0, image_path);
    return verify_cso_files(*cso, *image, cso_path, image_path, stop, progress);
}

// Returns the report line for a result.
std::string verify_report_line(const VerifyResult& r) {
    switch (r.kind) {
    case VerifyResult::PASSED:
        return "校验通过\r\n";
    case VerifyResult::BLOCK_DIFFERS:
        return "校验失败：第 " + std::to_string(r.value) + " 块不一致\r\n";
    case VerifyResult::TAIL_NOT_HELD:
        return "校验失败：CSO 未保存镜像末尾不足一块的 " + std::to_string(r.value) + " 字节\r\n";
    case VerifyResult::SIZE_DIFFERS:
        return "校验失败：镜像大小 " + std::to_string(r.value) + " 字节，与 CSO 记录的 " +
               std::to_string(r.expected) + " 字节不符\r\n";
    case VerifyResult::UNREADABLE:
        return "无法校验：无法读取 " + r.detail + "\r\n";
    case VerifyResult::DAMAGED:
        return "校验失败：CSO 文件已损坏（" + r.detail + "）\r\n";
    case VerifyResult::STOPPED:
        break;
    }
    return "";
}
