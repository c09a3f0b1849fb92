// Fuzz entry: the dialogs' verify_cso_files over in-memory readers, on the CSO after four
// bytes that choose an image: as decoded, one byte changed, a tail added, cut short, or
// decoded by a reader that checks nothing. The CSO is verified against the reference
// decoder's image, then against the chosen one. No read outside either file; no single
// allocation beyond the larger file by more than the inflate state (watched through the
// sanitizer's allocation hooks); progress only rises; a file the reference decoder
// decodes passes against its image (or misses only the tail it left out); passed means
// exactly that decoder's image, tail not held its image with or without the recorded
// tail, damaged only a file it refuses.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "cso_format.h"
#include "cso_verify.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"

// The sanitizer runtime's allocation hooks; absent (null) in a plain build.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                          void (*)(const volatile void*))
    __attribute__((weak));

namespace {

// Leading input bytes of the verify entry that choose the image; the CSO follows them.
constexpr size_t IMAGE_CHOICE_BYTES = 4;
// Largest image the harness makes or grows itself, so one input stays quick.
constexpr uint64_t MADE_IMAGE_LIMIT = 16u << 20;
// Largest allocation a verification may make whatever the files' sizes: the block
// reader's fixed buffers, at most its two payload spans with room for two of the largest
// blocks each.
constexpr uint64_t FIXED_BUFFERS = 4ull * CSO_MAX_BLOCK_SIZE;

// Images the verification is given besides the decoded one (first choice byte).
enum { AS_DECODED, ONE_BYTE_CHANGED, TAIL_ADDED, CUT_SHORT, LOOSELY_DECODED, IMAGE_KINDS };

// Returns the size of the file behind fd (0 when it can't be taken).
uint64_t fd_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Returns the CRC-32 of the first n bytes of the file behind fd.
uint32_t fd_crc(int fd, uint64_t n) {
    static unsigned char buf[1 << 16];
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    for (uint64_t at = 0; at < n;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buf, n - at));
        ssize_t got = pread(fd, buf, want, static_cast<off_t>(at));
        if (got <= 0) break;
        crc = static_cast<uint32_t>(crc32(crc, buf, static_cast<uInt>(got)));
        at += static_cast<uint64_t>(got);
    }
    return crc;
}

// A file as the verification reads it: the fuzz bytes, or a memory file. A read outside
// it is noted: the verification must check every range before it reads.
class fuzz_reader : public FileReader {
public:
    fuzz_reader(const uint8_t* bytes, size_t size) : bytes_(bytes), fd_(-1), size_(size) {}
    explicit fuzz_reader(int fd) : bytes_(nullptr), fd_(fd), size_(fd_size(fd)) {}
    uint64_t size() override { return size_; }
    bool read_at(uint64_t offset, void* buf, size_t n) override {
        if (offset > size_ || n > size_ - offset) {
            outside = true;
            return false;
        }
        if (bytes_) {
            if (n) memcpy(buf, bytes_ + offset, n);
            return true;
        }
        return pread(fd_, buf, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
    }
    bool outside = false;  // a read reached past the end

private:
    const uint8_t* bytes_;
    int fd_;
    uint64_t size_;
};

// The largest allocation seen while `watching` is set (any thread).
std::atomic<bool> watching{false};
std::atomic<uint64_t> largest_allocation{0};

// Allocation hook of the sanitizer runtime: notes the size.
void note_allocation(const volatile void*, size_t n) {
    if (!watching.load(std::memory_order_relaxed)) return;
    uint64_t seen = largest_allocation.load();
    while (n > seen && !largest_allocation.compare_exchange_weak(seen, n)) {
    }
}

// Free hook of the sanitizer runtime: nothing to note.
void note_free(const volatile void*) {}

// Returns true when allocations can be watched: only where a sanitizer runtime is linked in
// (the fuzz targets, a sanitized test build), not in a plain build of the replay.
bool allocations_watched() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks &&
                                  __sanitizer_install_malloc_and_free_hooks(note_allocation, note_free) != 0;
    return installed;
}

// A verification's verdict, or the promise it broke on the way.
struct verified {
    VerifyResult result;
    const char* problem;
};

// Verifies the CSO bytes against the image in image_fd; notes a read outside either file,
// an allocation larger than both files and the reader's fixed buffers, a progress that
// goes back, and a verdict that only a failing read or a stop request can give.
verified verify_once(const uint8_t* cso, size_t size, int image_fd) {
    fuzz_reader c(cso, size), image(image_fd);
    std::atomic<bool> stop{false};
    int shown = -1;
    bool bad_progress = false;
    VerifyProgress progress = [&](int percent) {
        bad_progress = bad_progress || percent <= shown || percent > 100;
        shown = percent;
    };
    bool watched = allocations_watched();
    largest_allocation = 0;
    watching = watched;
    verified v{verify_cso_files(c, image, "fuzz.cso", "fuzz.iso", stop, progress), nullptr};
    watching = false;
    uint64_t allowed = std::max<uint64_t>({size, image.size(), FIXED_BUFFERS});
    if (c.outside || image.outside) v.problem = "the verification read outside a file";
    else if (watched && largest_allocation > allowed)
        v.problem = "the verification allocated more than the files hold";
    else if (bad_progress) v.problem = "the verification's progress went back or past 100";
    else if (v.result.kind == VerifyResult::UNREADABLE || v.result.kind == VerifyResult::STOPPED)
        v.problem = "the verification could not read a readable file, or stopped unasked";
    return v;
}

// A CSO the reference decoder decodes verifies against the image it wrote: passed, or the
// tail not held when the decoder wrote less than the header records.
const char* check_decoded_verifies(const VerifyResult& r, const decoded& ref, uint64_t recorded) {
    if (r.kind == VerifyResult::PASSED && ref.bytes == recorded) return nullptr;
    if (r.kind == VerifyResult::TAIL_NOT_HELD && ref.bytes + r.value == recorded) return nullptr;
    return "a CSO the reference decompressor decodes does not verify against its image";
}

// Checks a verdict on the image in image_fd against the reference decoder's run: passed only
// for exactly its image, the tail not held only for its image with or without the tail the
// header records, damaged only for a file it refuses.
const char* check_verdict(const VerifyResult& r, const decoded& ref, int image_fd) {
    uint64_t size = fd_size(image_fd);
    bool decoded_ok = ref.status == 0;
    switch (r.kind) {
    case VerifyResult::PASSED:
        return decoded_ok && ref.bytes == size && fd_crc(image_fd, size) == ref.crc
                   ? nullptr
                   : "the verification passed an image the reference decompressor does not decode the CSO to";
    case VerifyResult::TAIL_NOT_HELD:  // the image holds the tail, or ends where the CSO's blocks do
        return decoded_ok && (size == ref.bytes || size == ref.bytes + r.value) &&
                       fd_crc(image_fd, ref.bytes) == ref.crc
                   ? nullptr
                   : "the verification says only the tail is missing where the reference decoder differs";
    case VerifyResult::DAMAGED:
        return decoded_ok ? "the verification calls damaged a CSO the reference decoder decodes" : nullptr;
    default:
        return nullptr;
    }
}

// Inflates a payload as far as it goes into bytes at..at+bs of fd, as a reader that checks
// nothing would.
void loose_inflate(const uint8_t* in, uint64_t len, int fd, uint64_t at, uint32_t bs) {
    static unsigned char buf[1 << 16];
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return;
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(std::min<uint64_t>(len, UINT32_MAX));
    for (uint64_t done = 0; done < bs;) {
        z.next_out = buf;
        z.avail_out = static_cast<uInt>(std::min<uint64_t>(sizeof buf, bs - done));
        int ret = inflate(&z, Z_NO_FLUSH);
        size_t made = static_cast<size_t>(z.next_out - buf);
        if (made && pwrite(fd, buf, made, static_cast<off_t>(at + done)) != static_cast<ssize_t>(made)) break;
        done += made;
        if (ret != Z_OK || made == 0) break;
    }
    inflateEnd(&z);
}

// Writes block b as a reader that checks nothing would: a plain payload as it is when the
// file holds it, a compressed one inflated as far as it goes, zeros for the rest.
void loose_block(const uint8_t* d, size_t size, uint64_t b, uint32_t bs, unsigned shift, int fd) {
    uint32_t e = rd32(d + 24 + 4 * b), cur = e & CSO_OFFSET_MASK;
    uint32_t next = rd32(d + 28 + 4 * b) & CSO_OFFSET_MASK;
    uint64_t off = static_cast<uint64_t>(cur) << shift, at = b * bs;
    if (off > size) return;
    if (e & CSO_PLAIN_FLAG) {
        if (bs <= size - off) (void)!pwrite(fd, d + off, bs, static_cast<off_t>(at));
        return;
    }
    uint64_t len = next > cur ? static_cast<uint64_t>(next - cur) << shift : 0;
    loose_inflate(d + off, std::min<uint64_t>(len, size - off), fd, at, bs);
}

// Replaces the file behind fd with the CSO's whole blocks as a reader that checks nothing
// would decode them; returns false when the header gives no such image or a large one.
bool loose_decode(const uint8_t* d, size_t size, int fd) {
    if (size < 24) return false;
    uint32_t bs = rd32(d + 16);
    unsigned shift = d[21];
    if (bs == 0 || shift > 31) return false;
    uint64_t n = rd32(d + 8) / bs;
    if ((size - 24) / 4 < n + 1 || n * bs > MADE_IMAGE_LIMIT) return false;
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(n * bs)) != 0) return false;
    for (uint64_t b = 0; b < n; b++) loose_block(d, size, b, bs, shift, fd);
    return true;
}

// Appends `more` bytes of value `fill` to the n-byte file behind fd; returns false when
// that would pass MADE_IMAGE_LIMIT or a write fails.
bool grow_image(int fd, uint64_t n, uint64_t more, unsigned char fill) {
    static unsigned char buf[1 << 16];
    if (more > MADE_IMAGE_LIMIT) return false;
    memset(buf, fill, sizeof buf);
    for (uint64_t done = 0; done < more;) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(sizeof buf, more - done));
        if (pwrite(fd, buf, len, static_cast<off_t>(n + done)) != static_cast<ssize_t>(len)) return false;
        done += len;
    }
    return true;
}

// Turns the decoded image in fd into the one the choice bytes ask for; returns false when
// there is nothing new to verify (the image as decoded was verified already, or the loose
// decoder made none).
bool choose_image(const uint8_t* choice, const uint8_t* cso, size_t size, const decoded& ref, int fd) {
    uint32_t param = choice[1] | choice[2] << 8 | static_cast<uint32_t>(choice[3]) << 16;
    uint64_t n = fd_size(fd), recorded = recorded_size(cso, size);
    unsigned char byte = 0;
    switch (choice[0] % IMAGE_KINDS) {
    case AS_DECODED:
        return ref.status != 0;  // what a failed run left
    case ONE_BYTE_CHANGED:
        if (n == 0 || pread(fd, &byte, 1, param % n) != 1) return false;
        byte ^= choice[1] | 1;
        return pwrite(fd, &byte, 1, param % n) == 1;
    case TAIL_ADDED:
        return grow_image(fd, n, recorded > n ? recorded - n : 1 + param % 4096, choice[1]);
    case CUT_SHORT:
        return n > 0 && ftruncate(fd, static_cast<off_t>(n - 1 - param % n)) == 0;
    default:
        return loose_decode(cso, size, fd);
    }
}

}  // namespace

const char* fuzz_verify(const uint8_t* data, size_t size) {
    uint8_t choice[IMAGE_CHOICE_BYTES] = {0};
    size_t head = std::min(size, IMAGE_CHOICE_BYTES);
    memcpy(choice, data, head);
    const uint8_t* cso = data + head;
    size -= head;
    int fd = memfd_create("vellicor-fuzz-image", 0);
    if (fd < 0) return "harness: could not make a memory file";
    decoded ref = decode_once(cso, size, 0, nullptr, fd);
    const char* p = ref.status == NO_STREAMS ? STREAMS_FAILED : nullptr;
    if (!p && ref.status >= EXITED) p = DECODER_EXITED;
    if (!p && ref.status == 0) {
        verified v = verify_once(cso, size, fd);
        p = v.problem ? v.problem : check_decoded_verifies(v.result, ref, recorded_size(cso, size));
    }
    if (!p && choose_image(choice, cso, size, ref, fd)) {
        verified v = verify_once(cso, size, fd);
        p = v.problem ? v.problem : check_verdict(v.result, ref, fd);
    }
    close(fd);
    return p;
}
