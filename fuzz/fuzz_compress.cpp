// Fuzz entry: one compressor (reference, optimised, threaded, or both estimates), chosen
// with its options by the first four bytes, on the rest as an image. A written file has
// the header and index every writer puts down, NC blocks stored plain and unchanged,
// compressed payloads under the limit, and decodes back with both decoders (Lost blocks
// as zeros); the threaded file equals the optimised one byte for byte; the two estimates
// print the same size, write nothing, and at quality 1 give the optimised file's size.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "cso_format.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"
#include "halvard.h"
#include "init.h"
#include "isosearch.h"

namespace {

constexpr int OPTION_BYTES = 4;  // leading input bytes that choose the engine and options

// Blocks of an image made by repeating the input (bit 5 of the fourth option byte):
// a head of 5 blocks and two chunks of the threaded engines.
constexpr size_t TILED_BLOCKS = 2 * CHUNK_BLOCKS + 5;

// Engines the compress target picks from (low three bits of the first option byte).
enum { REFERENCE, OPTIMISED, THREADED, ESTIMATE, ESTIMATE_MT, COMPRESS_ENGINES };

// Extension lists the compress target can give, as "-ext" would leave them.
const char* const EXT_LISTS[8] = {nullptr, ".pmf", ".at3.bin", ".", "..BIN", ".prx.PRX.sfo;1",
                                  ".PMF;1", ".bin"};

// Fills O from the option bytes as the parser would and derives the globals as the driver does.
void apply_options(const uint8_t* p) {
    fresh_options(p[3] >> 4 & 1);
    O.nc_audio = (p[0] >> 3 & 1) | (p[0] >> 5 & 1);
    O.nc_video = (p[0] >> 4 & 1) | (p[0] >> 6 & 1);
    O.rm_aud = p[0] >> 5 & 1;
    O.rm_vid = p[0] >> 6 & 1;
    O.rm_update = p[0] >> 7 & 1;
    O.comp_level = 1 + (p[1] & 15) % 9;
    O.est_quality = 1 + (p[1] >> 4) % 9;
    O.threshold_pct = p[2] % 100;
    O.ext_list = EXT_LISTS[p[3] & 7] ? own_copy(EXT_LISTS[p[3] & 7]) : nullptr;
    O.rm_ext = p[3] >> 3 & 1;
    threshold = (O.threshold_pct * 2048 + 2048) / 100;
    level = O.comp_level;
    pas_estimation = O.est_quality;
    media = (O.nc_audio ? 1 : 0) + (O.nc_video ? 2 : 0);
}

// Runs the compressor that *ctx names; returns its status.
int run_compressor(void* ctx) {
    switch (*static_cast<int*>(ctx)) {
    case REFERENCE: return comp_ciso(level);
    case OPTIMISED: return comp_ciso_no_thread_fast();
    case THREADED: return comp_ciso_MT();
    case ESTIMATE: return comp_ciso_in_memory();
    default: return comp_ciso_in_memory_MT();
    }
}

// Returns a read-write stream over a fresh in-memory file, or nullptr.
FILE* open_memfile() {
    int fd = memfd_create("vellicor-fuzz", 0);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "w+b");
    if (!f) close(fd);
    return f;
}

// Returns the whole contents of a stream's file (after flushing it).
std::vector<uint8_t> file_bytes(FILE* f) {
    std::vector<uint8_t> out;
    struct stat st;
    if (!f || fflush(f) != 0 || fstat(fileno(f), &st) != 0) return out;
    out.resize(static_cast<size_t>(st.st_size));
    if (!out.empty() && pread(fileno(f), out.data(), out.size(), 0) != st.st_size) out.clear();
    return out;
}

// One compressor run: what it wrote and printed, and the area kind of every block.
struct compressed {
    int status;
    std::vector<uint8_t> cso;
    std::vector<int> kinds;
    int limit;            // a compressed payload must be shorter than this
    std::string printed;  // standard output of the run
};

// Compresses (or estimates) the image with `engine` and the options the option bytes choose.
compressed compress_once(const uint8_t* opts, int engine, const uint8_t* image, size_t size) {
    compressed c{NO_STREAMS, {}, {}, 0, {}};
    apply_options(opts);
    c.limit = engine == REFERENCE ? 2048 : threshold;
    fin = open_input(image, size);
    fout = open_memfile();
    O.input_name = "fuzz.iso";
    O.output_name = "fuzz.cso";
    if (fin && fout && ncareas) c.status = run_printing(run_compressor, &engine, &c.printed);
    c.cso = file_bytes(fout);
    for (uint32_t b = 0; b < size / 2048; b++) c.kinds.push_back(IsNCArea_type(b));
    converter_reset_state();
    return c;
}

// Checks the header a writer must put down for an image of `size` bytes.
const char* check_cso_header(const std::vector<uint8_t>& cso, size_t size) {
    uint32_t n = static_cast<uint32_t>(size / 2048);
    if (cso.size() < 24 + 4 * (static_cast<size_t>(n) + 1)) return "the CSO is shorter than its index";
    const uint8_t* h = cso.data();
    if (!cso_magic_at(h) || rd32(h + 4) != 0 || rd32(h + 8) != size ||
        rd32(h + 12) != 0 || rd32(h + 16) != 2048 || h[20] != 1 || h[21] != 0 || h[22] || h[23])
        return "the CSO header is not the one every writer puts down";
    if ((rd32(h + 24) & CSO_OFFSET_MASK) != 24 + 4 * (n + 1)) return "entry 0 does not point past the index";
    if (rd32(h + 24 + 4 * n) != cso.size()) return "the last entry is not the file size";
    return nullptr;
}

// Checks block b's entry and payload against its area kind and the limit.
const char* check_cso_block(const compressed& c, const uint8_t* image, uint32_t b) {
    uint32_t e = rd32(c.cso.data() + 24 + 4 * b), next = rd32(c.cso.data() + 28 + 4 * b) & CSO_OFFSET_MASK;
    if (next < (e & CSO_OFFSET_MASK) || next > c.cso.size()) return "an entry points outside the file";
    uint32_t len = next - (e & CSO_OFFSET_MASK);
    if (c.kinds[b] == NC_AREA && !(e & CSO_PLAIN_FLAG)) return "a block of an NC area was compressed";
    if (!(e & CSO_PLAIN_FLAG)) return len < static_cast<uint32_t>(c.limit) ? nullptr
                                                                  : "a compressed payload reaches the limit";
    if (len != 2048) return "a plain payload is not one block long";
    if (c.kinds[b] == NC_AREA && memcmp(c.cso.data() + (e & CSO_OFFSET_MASK), image + 2048 * b, 2048))
        return "a block of an NC area was not stored as it is";
    return nullptr;
}

// Returns the CRC-32 of the image's whole blocks as they must decode (Lost blocks as zeros).
uint32_t expected_crc(const uint8_t* image, size_t size, const std::vector<int>& kinds) {
    static const uint8_t zeros[2048] = {0};
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    for (size_t b = 0; b < size / 2048; b++)
        crc = static_cast<uint32_t>(crc32(crc, kinds[b] == LOST_AREA ? zeros : image + 2048 * b, 2048));
    return crc;
}

// Decodes a written CSO with both decoders and compares with the image; returns nullptr or why.
const char* check_round_trip(const compressed& c, const uint8_t* image, size_t size) {
    for (int optimised = 0; optimised < 2; optimised++) {
        decoded d = decode_once(c.cso.data(), c.cso.size(), optimised);
        if (size == 0) {
            if (d.status != 1) return "a CSO of an empty image was not refused";
            continue;
        }
        if (d.status != 0) return "a decompressor refused a CSO the converter wrote";
        if (d.bytes != size / 2048 * 2048 || d.crc != expected_crc(image, size, c.kinds))
            return "a CSO the converter wrote does not decode to its image";
    }
    return nullptr;
}

// Checks a written CSO: header, every block against its area, and the round trip.
const char* check_written(const compressed& c, const uint8_t* image, size_t size) {
    if (c.status == NO_STREAMS) return STREAMS_FAILED;
    if (c.status != 0) return "a compressor failed on a readable image";
    const char* p = check_cso_header(c.cso, size);
    for (uint32_t b = 0; !p && b < size / 2048; b++) p = check_cso_block(c, image, b);
    return p ? p : check_round_trip(c, image, size);
}

// Returns the size an estimate printed on its final line, or -1 when there is none.
long long estimated_size(const std::string& printed) {
    static const char lead[] = "Ciso estimation completed, total size ";
    size_t at = printed.find(lead);
    if (at == std::string::npos) return -1;
    long long v = 0;
    for (size_t i = at + sizeof lead - 1; i < printed.size() && printed[i] != ' '; i++)
        if (printed[i] != ',') v = v * 10 + (printed[i] - '0');
    return v;
}

// Runs both estimates; they must agree, write nothing, and at quality 1 give the size
// of the optimised compressor's file. Returns nullptr or the problem.
const char* check_estimates(const uint8_t* opts, const uint8_t* image, size_t size) {
    compressed one = compress_once(opts, ESTIMATE, image, size);
    compressed two = compress_once(opts, ESTIMATE_MT, image, size);
    if (one.status != 0 || two.status != 0) return "an estimate failed on a readable image";
    if (!one.cso.empty() || !two.cso.empty()) return "an estimate wrote into the output";
    long long e1 = estimated_size(one.printed), e2 = estimated_size(two.printed);
    if (e1 < 0 || e1 != e2) return "the one-thread and threaded estimates differ";
    if (1 + (opts[1] >> 4) % 9 != 1) return nullptr;
    compressed written = compress_once(opts, OPTIMISED, image, size);
    if (written.status == 0 && static_cast<long long>(written.cso.size()) != e1)
        return "the estimate at quality 1 is not the size of the written file";
    return nullptr;
}

// An image that starts with a compressed format's magic is read as that format: the
// plain image's checks do not apply, but the engines must still end with status 0 or 1
// and agree with each other (the threaded file is the optimised one's; the estimates
// print the same size).
const char* check_compressed_input(const uint8_t* opts, int engine, const uint8_t* image,
                                   size_t size) {
    bool estimate = engine == ESTIMATE || engine == ESTIMATE_MT;
    compressed a = compress_once(opts, estimate ? ESTIMATE : OPTIMISED, image, size);
    compressed b = compress_once(opts, estimate ? ESTIMATE_MT : engine, image, size);
    if (a.status == NO_STREAMS || b.status == NO_STREAMS) return STREAMS_FAILED;
    // An image over the input size limit (which a compressed file's header can record)
    // ends the process through fatal_exit, with status 1.
    int ends_a = process_status(a.status), ends_b = process_status(b.status);
    if ((ends_a | ends_b) & ~1) return "a compressor of a compressed file ended with a status other than 0 or 1";
    if (ends_a != ends_b) return "the engines disagree on whether a compressed file can be read";
    if (a.status != 0 || engine == REFERENCE) return nullptr;
    if (estimate) return estimated_size(a.printed) == estimated_size(b.printed)
                             ? nullptr : "the estimates of a compressed file differ";
    return a.cso == b.cso ? nullptr : "the threaded file of a compressed file differs from the optimised one's";
}

}  // namespace

const char* fuzz_compress(const uint8_t* data, size_t size) {
    uint8_t opts[OPTION_BYTES] = {0};
    size_t head = size < OPTION_BYTES ? size : OPTION_BYTES;
    memcpy(opts, data, head);
    const uint8_t* image = data + head;
    size -= head;
    std::vector<uint8_t> tiled;
    if ((opts[3] & 0x20) && size > 0) {  // long enough for a head and two 320-block chunks
        tiled.resize(TILED_BLOCKS * 2048);
        for (size_t i = 0; i < tiled.size(); i++) tiled[i] = image[i % size];
        image = tiled.data();
        size = tiled.size();
    }
    int engine = (opts[0] & 7) % COMPRESS_ENGINES;
    if (size >= CSO_MAGIC_SIZE && format_of_magic(image) != FORMAT_NONE)
        return check_compressed_input(opts, engine, image, size);
    if (engine == ESTIMATE || engine == ESTIMATE_MT) return check_estimates(opts, image, size);
    compressed c = compress_once(opts, engine, image, size);
    const char* p = check_written(c, image, size);
    if (p || engine != THREADED) return p;
    compressed one_thread = compress_once(opts, OPTIMISED, image, size);
    return one_thread.cso == c.cso ? nullptr : "the threaded compressor's file differs from the optimised one's";
}
