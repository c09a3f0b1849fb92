// Verification of a CSO against its plain image, decoded by the converter's own block
// reader, which checks every header field, index entry and payload bound before it uses
// them.
#include "cso_verify.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "cso_reader.h"
#include "image_source.h"

namespace {

const size_t CHUNK_BYTES = 1u << 20;  // image bytes read (and stop flag looked at) per step

// Returns a result of one kind with its number and detail.
VerifyResult result_of(VerifyResult::Kind kind, uint64_t value = 0, std::string detail = "") {
    VerifyResult r;
    r.kind = kind;
    r.value = value;
    r.detail = std::move(detail);
    return r;
}

// Reads what the block reader asks for: as much of the range as lies in the file, or
// nothing when that can't be read.
size_t read_from(void* ctx, uint64_t off, void* buf, size_t len) {
    FileReader& file = *static_cast<FileReader*>(ctx);
    uint64_t size = file.size();
    if (off >= size) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(len, size - off));
    return file.read_at(off, buf, n) ? n : 0;
}

// Decodes the CSO block by block through the converter's block reader and compares each
// with the image's block.
class BlockChecker {
public:
    BlockChecker(FileReader& cso, FileReader& image, const std::string& cso_path,
                 const std::string& image_path, const std::atomic<bool>& stop,
                 const VerifyProgress& progress)
        : cso_(cso), image_(image), cso_path_(cso_path), image_path_(image_path), stop_(stop),
          progress_(progress) {}
    ~BlockChecker() { cso_close(&reader_); }
    // Runs the whole check; returns its result.
    VerifyResult run();

private:
    // Reads and checks the header and the index; false with result_ set when unusable.
    bool open();
    // Accepts an image of the recorded size, or of the blocks held; false otherwise.
    bool image_size_fits();
    // Returns the image bytes of `count` blocks from `first` on.
    size_t bytes_of(uint32_t first, uint32_t count) const;
    // Compares the blocks of one chunk starting at `first`; false with result_ set.
    bool check_chunk(uint32_t first, uint32_t count);
    // Returns 0 when block b decodes to `expected`, 1 when it differs or cannot be
    // decoded, 2 when the CSO could not be read.
    int check_block(uint32_t b, const unsigned char* expected);

    FileReader& cso_;
    FileReader& image_;
    const std::string& cso_path_;
    const std::string& image_path_;
    const std::atomic<bool>& stop_;
    const VerifyProgress& progress_;
    cso_reader reader_{};
    std::vector<unsigned char> image_buf_, out_;
    VerifyResult result_;
};

// Header, index and sizes first, then the blocks chunk by chunk, then the tail.
VerifyResult BlockChecker::run() {
    if (!open() || !image_size_fits()) return result_;
    uint32_t bs = reader_.lay.bs, n = reader_.lay.blocks;
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
    uint64_t held = cso_held_bytes(reader_.lay);
    if (reader_.lay.total != held) return result_of(VerifyResult::TAIL_NOT_HELD, reader_.lay.total - held);
    return result_of(VerifyResult::PASSED);
}

// The reader's refusals, in the dialog's words.
bool BlockChecker::open() {
    int status = cso_open(&reader_, cso_source{read_from, &cso_, cso_.size()}, 0);
    if (status == CSO_OK) return true;
    if (status == CSO_SHORT_HEADER) result_ = result_of(VerifyResult::DAMAGED, 0, "文件头不完整");
    else if (status == CSO_FORMAT) result_ = result_of(VerifyResult::DAMAGED, 0, "文件头无效");
    else if (status == CSO_SHORT_INDEX) result_ = result_of(VerifyResult::DAMAGED, 0, "索引不完整");
    else if (status == CSO_UNSUPPORTED) result_ = result_of(VerifyResult::DAMAGED, 0, "不支持的格式或版本");
    else result_ = result_of(VerifyResult::UNREADABLE, 0, cso_path_);
    return false;
}

// The image a compression read has the recorded size; the one a decompression wrote has
// the blocks the CSO holds. Any other size cannot match.
bool BlockChecker::image_size_fits() {
    uint64_t size = image_.size();
    if (size == reader_.lay.total || size == cso_held_bytes(reader_.lay)) return true;
    result_ = result_of(VerifyResult::SIZE_DIFFERS, size);
    result_.expected = reader_.lay.total;
    return false;
}

// Whole blocks, but the tail's own bytes for the partial last block.
size_t BlockChecker::bytes_of(uint32_t first, uint32_t count) const {
    size_t bytes = 0;
    for (uint32_t b = first; b < first + count; b++) bytes += cso_block_bytes(reader_.lay, b);
    return bytes;
}

// Reads the chunk's image bytes in one go and checks each block against them.
bool BlockChecker::check_chunk(uint32_t first, uint32_t count) {
    size_t bs = reader_.lay.bs;
    if (!image_.read_at(static_cast<uint64_t>(first) * bs, image_buf_.data(), bytes_of(first, count))) {
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

// A block the reader can't decode differs, unless the CSO itself could not be read.
int BlockChecker::check_block(uint32_t b, const unsigned char* expected) {
    int status = cso_decode(&reader_, b, out_.data());
    if (status == CSO_IO) return 2;
    if (status != CSO_OK) return 1;
    return memcmp(out_.data(), expected, cso_block_bytes(reader_.lay, b)) == 0 ? 0 : 1;
}

// A compression's input as the converter's engines read it: a plain image as it is, a
// file with a known magic as its decoded image.
class InputImage : public FileReader {
public:
    explicit InputImage(FileReader& file) : file_(file) {}
    ~InputImage() override {
        img_cursor_free(cursor_);
        img_close(source_);
    }
    // Opens the image; false when the file is refused.
    bool open();
    uint64_t size() override { return img_size(source_); }
    bool read_at(uint64_t offset, void* buf, size_t len) override;

private:
    FileReader& file_;
    img_source* source_ = nullptr;
    image_cursor* cursor_ = nullptr;
};

bool InputImage::open() {
    img_fault fault{};
    if (img_open_source(cso_source{read_from, &file_, file_.size()}, &source_, &fault) != CSO_OK)
        return false;
    cursor_ = img_cursor_new(source_);
    return cursor_ != nullptr;
}

bool InputImage::read_at(uint64_t offset, void* buf, size_t len) {
    img_fault fault{};
    if (offset > size() || len > size() - offset) return false;
    return img_read(cursor_, offset, buf, len, &fault) == CSO_OK;
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
                        const std::string& image_path, ImageRole role,
                        const std::atomic<bool>& stop, const VerifyProgress& progress) {
    std::unique_ptr<FileReader> cso = platform.open_read(cso_path);
    if (!cso) return result_of(VerifyResult::UNREADABLE, 0, cso_path);
    std::unique_ptr<FileReader> image = platform.open_read(image_path);
    if (!image) return result_of(VerifyResult::UNREADABLE, 0, image_path);
    if (role == ImageRole::WRITTEN)
        return verify_cso_files(*cso, *image, cso_path, image_path, stop, progress);
    InputImage input(*image);
    if (!input.open()) return result_of(VerifyResult::UNREADABLE, 0, image_path);
    return verify_cso_files(*cso, input, cso_path, image_path, stop, progress);
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
