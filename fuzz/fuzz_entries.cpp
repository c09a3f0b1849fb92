// In-process entries shared by the fuzz targets and the regression replay.
//
// The engines work on the converter's globals (fin, fout, O, the header and buffers),
// so an entry opens the input as an in-memory stream, points the output at a memory
// file or a counting sink, fills O, runs one engine and calls converter_reset_state().
// The parser and the size check end the process through fatal_exit; the entries swap
// it for a longjmp back to the guarded call (that code is C-style: no destructors are
// skipped on the way).
#include "fuzz_entries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "cso_format.h"
#include "cso_verify.h"
#include "examine.h"
#include "halvard.h"
#include "init.h"
#include "isosearch.h"

// The sanitizer runtime's allocation hooks; absent (null) in a plain build.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                          void (*)(const volatile void*))
    __attribute__((weak));

namespace {

constexpr int EXITED = 100;     // added to the status a run ended the process with
constexpr int NO_STREAMS = -1;  // the harness could not open its in-memory streams

jmp_buf exit_jump;
int exit_status;
int ended_process;  // the last guarded call went through fatal_exit

// Takes the place of fatal_exit: goes back to the guarded call instead of ending the process.
[[noreturn]] void jump_back(int status) {
    exit_status = status;
    longjmp(exit_jump, 1);
}

typedef int (*guarded_fn)(void* ctx);

// Runs fn(ctx) with fatal_exit caught; returns its result, or EXITED + the exit status
// (and sets ended_process).
int run_guarded(guarded_fn fn, void* ctx) {
    void (*saved)(int) = fatal_exit;
    fatal_exit = jump_back;
    ended_process = 0;
    volatile int result = 0;
    if (setjmp(exit_jump) == 0) {
        result = fn(ctx);
    } else {
        result = EXITED + exit_status;
        ended_process = 1;
    }
    fatal_exit = saved;
    return result;
}

// Runs fn(ctx) as run_guarded does with standard output kept in *printed; returns its
// result, or NO_STREAMS when standard output could not be caught.
int run_printing(guarded_fn fn, void* ctx, std::string* printed) {
    fflush(stdout);
    int saved = dup(1), fd = memfd_create("vellicor-stdout", 0);
    if (saved < 0 || fd < 0 || dup2(fd, 1) < 0) {
        if (saved >= 0) close(saved);
        if (fd >= 0) close(fd);
        return NO_STREAMS;
    }
    int status = run_guarded(fn, ctx);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    off_t n = lseek(fd, 0, SEEK_END);
    printed->resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (!printed->empty() && pread(fd, &(*printed)[0], printed->size(), 0) != n) printed->clear();
    close(fd);
    return status;
}

// Returns the little-endian 32-bit value at p.
uint32_t rd32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Stores v little-endian at p.
void wr32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Returns a read stream over a memory file holding the bytes, or nullptr. A memory file
// rather than a memory stream: seeking past its end must succeed as on a disc file.
FILE* open_input(const uint8_t* data, size_t size) {
    int fd = memfd_create("vellicor-fuzz-in", 0);
    if (fd < 0) return nullptr;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

// ------------------------------------------------------------------ counting sink

// What a decoder wrote: byte count and CRC-32; the bytes themselves are dropped, or
// copied to copy_fd when it is not -1.
struct sink {
    uint64_t bytes;
    uint32_t crc;
    int copy_fd;
};

// Cookie write function of the sink; returns the count it was given (-1 when the copy
// failed).
ssize_t sink_write(void* cookie, const char* buf, size_t n) {
    sink* s = static_cast<sink*>(cookie);
    if (s->copy_fd >= 0 && write(s->copy_fd, buf, n) != static_cast<ssize_t>(n)) return -1;
    s->bytes += n;
    s->crc = static_cast<uint32_t>(crc32(s->crc, reinterpret_cast<const Bytef*>(buf),
                                         static_cast<uInt>(n)));
    return static_cast<ssize_t>(n);
}

// Returns a write stream that counts and checksums into *s (and copies to copy_fd when it
// is not -1), or nullptr.
FILE* open_sink(sink* s, int copy_fd = -1) {
    s->copy_fd = copy_fd;
    s->bytes = 0;
    s->crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    cookie_io_functions_t io{nullptr, sink_write, nullptr, nullptr};
    return fopencookie(s, "w", io);
}

// ------------------------------------------------------------------ decompressors

// Outcome of one decoder run.
struct decoded {
    int status;
    uint64_t bytes;
    uint32_t crc;
};

// Runs the decoder that *ctx names (0 reference, 1 optimised); returns its status.
int run_decoder(void* ctx) {
    return *static_cast<int*>(ctx) ? MY_decomp_ciso() : decomp_ciso();
}

// Decodes the CSO bytes with one decoder into a sink; returns what it did. With `printed`
// its standard output is kept there, with `copy_fd` the image is written there too.
decoded decode_once(const uint8_t* data, size_t size, int optimised, std::string* printed = nullptr,
                    int copy_fd = -1) {
    sink s;
    decoded d{NO_STREAMS, 0, 0};
    fin = open_input(data, size);
    fout = open_sink(&s, copy_fd);
    O.input_name = "fuzz.cso";
    O.output_name = "fuzz.iso";
    if (fin && fout)
        d.status = printed ? run_printing(run_decoder, &optimised, printed)
                           : run_guarded(run_decoder, &optimised);
    converter_reset_state();  // closes fout, which flushes the last bytes into the sink
    d.bytes = s.bytes;
    d.crc = s.crc;
    return d;
}

// Returns the block size a decoder uses for these bytes (0 when the header is short).
uint32_t decoder_block_size(const uint8_t* data, size_t size, int optimised) {
    if (size < 24) return 0;
    return optimised ? 2048 : rd32(data + 16);
}

// Returns the image size the header records, all 64 bits as the readers take it (0 when
// the header is short).
uint64_t recorded_size(const uint8_t* data, size_t size) {
    return size < 24 ? 0 : rd32(data + 8) | static_cast<uint64_t>(rd32(data + 12)) << 32;
}

// Returns the bytes of the header's whole blocks for a decoder.
uint64_t expected_bytes(const uint8_t* data, size_t size, int optimised) {
    uint32_t bs = decoder_block_size(data, size, optimised);
    if (bs == 0) return 0;
    return recorded_size(data, size) / bs * bs;
}

// Checks one decoder's outcome against the header (`whole`: its whole blocks' bytes,
// `recorded`: the image size the reference decoder also gives when the file stores the
// partial last block); returns nullptr or the problem.
const char* check_decoded(const decoded& d, uint64_t whole, uint64_t recorded, uint32_t bs) {
    if (d.status == NO_STREAMS) return "harness: could not open the in-memory streams";
    if (d.status >= EXITED) return "a decompressor ended the process";
    if (d.status != 0 && d.status != 1) return "a decompressor returned neither 0 nor 1";
    if (d.status == 0 && d.bytes != whole && d.bytes != recorded)
        return "a decompressor reported success with the wrong output size";
    // A failure leaves less than the whole blocks, or all of them when it comes at the
    // partial last block the header has.
    uint64_t most = recorded > whole ? whole : whole > 0 ? whole - 1 : 0;
    if (d.status == 1 && d.bytes > most) return "a decompressor reported failure after writing the whole image";
    if (d.status == 1 && bs && d.bytes % bs != 0) return "a decompressor wrote part of a block";
    return nullptr;
}

// ------------------------------------------------------------------ memory files

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

// ------------------------------------------------------------------ compressors

// Returns the folder the harness may write scratch files in.
const std::string& scratch_path();

constexpr int OPTION_BYTES = 4;  // leading input bytes that choose the engine and options

// Blocks of an image made by repeating the input (bit 5 of the fourth option byte):
// a head of 5 blocks and two chunks of the two-thread engines.
constexpr size_t TILED_BLOCKS = 2 * CHUNK_BLOCKS + 5;

// Engines the compress target picks from (low three bits of the first option byte).
enum { REFERENCE, OPTIMISED, THREADED, ESTIMATE, ESTIMATE_MT, COMPRESS_ENGINES };

// Extension lists the compress target can give, as "-ext" would leave them.
const char* const EXT_LISTS[8] = {nullptr, ".pmf", ".at3.bin", ".", "..BIN", ".prx.PRX.sfo;1",
                                  ".PMF;1", ".bin"};

// Returns a heap copy of text for the options record to own.
char* own_copy(const char* text) {
    size_t n = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(n));
    if (copy) memcpy(copy, text, n);
    return copy;
}

// Fills O from the option bytes as the parser would and derives the globals as the driver does.
void apply_options(const uint8_t* p) {
    std::string log_path = scratch_path() + "/scan.log";  // first use sets up the folder: before O
    reset_options(&O);
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
    O.log = p[3] >> 4 & 1;
    O.log_name = O.log ? own_copy(log_path.c_str()) : nullptr;
    threshold = (O.threshold_pct * 2048 + 2048) / 100;
    level = O.comp_level;
    pas_estimation = O.est_quality;
    media = (O.nc_audio ? 1 : 0) + (O.nc_video ? 2 : 0);
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
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

// One compressor run: what it wrote and printed, and the area kind of every block.
struct compressed {
    int status;
    std::vector<uint8_t> cso;
    std::vector<int> kinds;
    int limit;            // a compressed payload must be shorter than this
    std::string printed;  // standard output of the run
};

// Runs the engine with fatal_exit caught and standard output kept; returns its status.
int run_engine_printing(int engine, std::string* printed) {
    return run_printing(run_compressor, &engine, printed);
}

// Compresses (or estimates) the image with `engine` and the options the option bytes choose.
compressed compress_once(const uint8_t* opts, int engine, const uint8_t* image, size_t size) {
    compressed c{NO_STREAMS, {}, {}, 0, {}};
    apply_options(opts);
    c.limit = engine == REFERENCE ? 2048 : threshold;
    fin = open_input(image, size);
    fout = open_memfile();
    O.input_name = "fuzz.iso";
    O.output_name = "fuzz.cso";
    if (fin && fout && ncareas) c.status = run_engine_printing(engine, &c.printed);
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


// ------------------------------------------------------------------ ISO walk and areas

// Sets every area class on; `lost` sends media and extension files to Lost areas and
// writes the scan log.
void all_area_classes(int lost) {
    std::string log_path = scratch_path() + "/scan.log";  // first use sets up the folder: before O
    reset_options(&O);
    O.nc_audio = O.nc_video = 1;
    O.rm_aud = O.rm_vid = O.rm_ext = lost;
    O.rm_update = 1;
    O.ext_list = own_copy(".BIN.pmf;1..at3");
    O.log = static_cast<unsigned char>(lost);
    O.log_name = lost ? own_copy(log_path.c_str()) : nullptr;
    O.input_name = "fuzz.iso";
    media = 3;
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
}

// Runs the area search; returns its result.
int run_area_search(void*) {
    return searchMediaFiles(0);
}

// Checks the area table the search left; returns nullptr or the problem.
const char* check_area_table(int found) {
    if (ended_process) return "the area search ended the process";
    if (found != NB_NC_AREAS) return "the area search returned other than its table size";
    if (found < 0 || found > MAX_NC_AREAS) return "the area table size is out of range";
    for (int i = 0; i < found; i++)
        if (ncareas[i].type != NC_AREA && ncareas[i].type != LOST_AREA) return "an area has no valid kind";
    return ftell(fin) == 0 ? nullptr : "the area search did not leave the input at offset 0";
}

// Walks the image once per scan of the classes all_area_classes() turns on, in the
// search's order (video, audio, each extension piece, update), into one store; returns
// the number of records, which stand in the order of the area table's entries.
int class_records(FILE* f, std::vector<file_record>& store) {
    static const unsigned char psmf[] = "PSMF", riff[] = "RIFF";
    static const search_criteria scans[] = {
        {MATCH_KIND | MATCH_SIGNATURE, nullptr, 0, 0, 0, psmf, 4},
        {MATCH_KIND | MATCH_SIGNATURE, nullptr, 0, 0, 0, riff, 4},
        {MATCH_EXTENSION, ".BIN", 0, 0, 0, nullptr, 0},
        {MATCH_EXTENSION, ".pmf;1", 0, 0, 0, nullptr, 0},
        {MATCH_EXTENSION, ".", 0, 0, 0, nullptr, 0},
        {MATCH_EXTENSION, ".at3", 0, 0, 0, nullptr, 0},
        {MATCH_UPDATE_DIR, nullptr, 0, 0, 0, nullptr, 0},
    };
    store.resize(MAX_NC_AREAS);
    int count = 0;
    for (const search_criteria& c : scans)
        count += isoSearchFiles(f, store.data() + count, MAX_NC_AREAS - count, &c);
    return count;
}

// Checks that every area holds only blocks of the file it was made from; returns
// nullptr or the problem.
const char* check_areas_within_files() {
    static std::vector<file_record> store;  // 16 MB: allocated once
    if (class_records(fin, store) != NB_NC_AREAS) return "the area table does not match the files found";
    for (int i = 0; i < NB_NC_AREAS; i++) {
        uint64_t first = rd32(store[i].record + 2), len = rd32(store[i].record + 10);
        uint64_t end = first + (len + 2047) / 2048;
        const nc_area& a = ncareas[i];
        if (a.start_block < a.end_block && (a.start_block < first || a.end_block > end))
            return "an area holds blocks outside the file it was made from";
    }
    return nullptr;
}

// Runs the area search on the image with every class on; returns nullptr or the problem.
const char* search_areas(const uint8_t* data, size_t size, int lost) {
    all_area_classes(lost);
    fin = open_input(data, size);
    const char* p = "harness: could not open the in-memory streams";
    if (fin && ncareas) p = check_area_table(run_guarded(run_area_search, nullptr));
    if (!p) p = check_areas_within_files();
    converter_reset_state();
    return p;
}

// Selection tests the direct walk picks from by the image's first byte (which no ISO
// 9660 structure uses).
const search_criteria* walk_criteria(uint8_t choice) {
    static const unsigned char sig[] = "PSMF";
    static const search_criteria table[] = {
        {MATCH_NAME, "A", 0, 0, 0, nullptr, 0},
        {MATCH_KIND, nullptr, 2, 0, 0, nullptr, 0},
        {MATCH_SIZE, nullptr, 0, 4096, 2, nullptr, 0},
        {MATCH_SIGNATURE | MATCH_SIZE, nullptr, 0, 0, 1, sig, 4},
        {MATCH_EXTENSION, ".bin", 0, 0, 0, nullptr, 0},
        {MATCH_UPDATE_DIR | MATCH_KIND, nullptr, 0, 0, 0, nullptr, 0},
        {MATCH_SIGNATURE, nullptr, 0, 0, 0, sig, 4},
    };
    size_t n = sizeof table / sizeof table[0];
    return choice % (n + 1) == n ? nullptr : &table[choice % (n + 1)];
}

// Walks the image into a store of exactly `capacity` slots; returns nullptr or the problem.
const char* walk_into_small_store(const uint8_t* data, size_t size) {
    int capacity = size ? data[0] >> 4 : 0;
    file_record* store = static_cast<file_record*>(malloc((capacity ? capacity : 1) * sizeof(file_record)));
    FILE* f = open_input(data, size);
    const char* p = "harness: could not open the in-memory streams";
    if (store && f) {
        int found = isoSearchFiles(f, store, capacity, walk_criteria(size ? data[0] & 15 : 0));
        p = found >= 0 && found <= capacity ? nullptr : "the walk stored more than its capacity";
        for (int i = 0; !p && i < found; i++)
            if (store[i].record[0] == 0) p = "the walk stored a record of length 0";
    }
    if (f) fclose(f);
    free(store);
    return p;
}

// ------------------------------------------------------------------ parser and driver

// The folder every argument-vector run happens in, with its input files.
struct scratch_folder {
    std::string path;
    std::vector<std::pair<std::string, std::string>> fixtures;  // name, contents
};

// Writes data to a file in the current folder, replacing it.
void put_file(const std::string& name, const std::string& data) {
    FILE* f = fopen(name.c_str(), "wb");
    if (!f) return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

// Returns the contents of a file in the current folder ("" when it can't be read).
std::string get_file(const std::string& name) {
    std::string data;
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return data;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) data.append(buf, n);
    fclose(f);
    return data;
}

// Runs converter_main on the argument vector in *ctx; returns its status.
int run_main(void* ctx) {
    std::vector<char*>& argv = *static_cast<std::vector<char*>*>(ctx);
    return converter_main(static_cast<int>(argv.size()) - 1, argv.data());
}

// Returns 1 when the name is one of the fixtures, else 0.
int is_fixture(const scratch_folder& s, const char* name) {
    for (auto& f : s.fixtures)
        if (f.first == name) return 1;
    return 0;
}

// Deletes whatever a run left in the current folder and puts the fixtures back.
void tidy_scratch(const scratch_folder& s) {
    DIR* d = opendir(".");
    while (d) {
        dirent* e = readdir(d);
        if (!e) break;
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && !is_fixture(s, e->d_name))
            unlink(e->d_name);
    }
    if (d) closedir(d);
    for (auto& f : s.fixtures)
        if (get_file(f.first) != f.second) put_file(f.first, f.second);
}

// Path of the scratch folder once it exists, for the clean-up at exit.
char scratch_made[64];

// Deletes the scratch folder and everything in it; registered with atexit.
void remove_scratch() {
    DIR* d = opendir(scratch_made);
    for (dirent* e; d && (e = readdir(d));)
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            unlink((std::string(scratch_made) + "/" + e->d_name).c_str());
    if (d) closedir(d);
    rmdir(scratch_made);
}

// Creates the scratch folder once: a sample image, its CSO and a short text file.
const scratch_folder& scratch() {
    static scratch_folder s;
    if (!s.path.empty()) return s;
    char tmpl[] = "/tmp/vellicor-fuzz-XXXXXX";
    s.path = mkdtemp(tmpl) ? tmpl : "/tmp";
    if (s.path != "/tmp") {
        memcpy(scratch_made, tmpl, sizeof tmpl);
        atexit(remove_scratch);
    }
    int here = open(".", O_RDONLY | O_DIRECTORY);
    if (here < 0 || chdir(s.path.c_str()) != 0) {
        if (here >= 0) close(here);
        return s;
    }
    uint8_t* iso = nullptr;
    size_t n = fuzz_sample_iso(&iso);
    put_file("a.iso", std::string(reinterpret_cast<char*>(iso), n));
    free(iso);
    std::vector<std::string> args{"vellicor", "-com", "-l6", "a.iso", "a.cso"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    run_guarded(run_main, &argv);
    converter_reset_state();
    put_file("t.txt", std::string(5000, 'v'));
    for (const char* name : {"a.iso", "a.cso", "t.txt"}) s.fixtures.push_back({name, get_file(name)});
    if (fchdir(here) != 0) perror("vellicor fuzz: fchdir");
    close(here);
    return s;
}

// Returns the folder the harness may write scratch files in.
const std::string& scratch_path() {
    return scratch().path;
}

// Cuts the bytes at each zero into at most 16 arguments after the program name; '/'
// becomes '_' so that every name stays inside the scratch folder.
std::vector<std::string> split_arguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"vellicor"};
    std::string cur;
    for (size_t i = 0; i <= size && args.size() < 17; i++) {
        if (i == size || data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(data[i] == '/' ? '_' : static_cast<char>(data[i]));
        }
    }
    if (size == 0) args.pop_back();  // no bytes: no arguments at all
    return args;
}

// Checks the outcome of a whole-converter run; returns nullptr or the problem.
const char* check_main_run(const scratch_folder& s, int status, const char* in, const char* out) {
    if (status == NO_STREAMS) return "harness: could not enter the scratch folder";
    if (status != 0 && status != 1 && status != EXITED + 1)
        return "the converter ended with a status other than 0 or 1";
    if (!in || !is_fixture(s, in) || (out && !strcmp(in, out))) return nullptr;
    for (auto& f : s.fixtures)
        if (f.first == in && get_file(in) != f.second) return "the converter changed its input file";
    return nullptr;
}

// ------------------------------------------------------------------ -test and -info

// Name of the file -test and -info look at, in the scratch folder.
const char EXAMINED[] = "examined.cso";

// One entry of a folder listing.
struct listed {
    std::string name;
    long long size, mtime_ns;
    unsigned mode;
    bool operator==(const listed& o) const {
        return name == o.name && size == o.size && mtime_ns == o.mtime_ns && mode == o.mode;
    }
};

// Returns the current folder's entries (name, size, modification time, mode), sorted by name.
std::vector<listed> list_here() {
    std::vector<listed> out;
    DIR* d = opendir(".");
    for (dirent* e; d && (e = readdir(d));) {
        struct stat st;
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || lstat(e->d_name, &st) != 0) continue;
        long long mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        out.push_back({e->d_name, static_cast<long long>(st.st_size), mtime_ns,
                       static_cast<unsigned>(st.st_mode)});
    }
    if (d) closedir(d);
    std::sort(out.begin(), out.end(), [](const listed& a, const listed& b) { return a.name < b.name; });
    return out;
}

// Runs -test (*ctx 1) or -info (*ctx 0) on O.input_name; returns its status.
int run_examiner(void* ctx) {
    return *static_cast<int*>(ctx) ? test_ciso() : info_ciso();
}

// What -test or -info did.
struct examined {
    int status;
    std::string printed;
};

// Runs -test (`test` 1) or -info on the examined file in the current folder; sets *problem
// when the folder's listing is not `before` afterwards.
examined examine_once(int test, const std::vector<listed>& before, const char** problem) {
    examined x{NO_STREAMS, {}};
    reset_options(&O);
    O.input_name = EXAMINED;
    x.status = run_printing(run_examiner, &test, &x.printed);
    converter_reset_state();
    if (!*problem && list_here() != before)
        *problem = test ? "-test created or changed a file" : "-info created or changed a file";
    return x;
}

// Returns the lines of console text as a console shows them: a carriage return starts
// the line again, so a progress line is overwritten by what follows it.
std::vector<std::string> console_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') lines.push_back(cur);
        if (c == '\n' || c == '\r') cur.clear();
        else cur.push_back(c);
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// Sets *value to the rest of the first line that starts with `label`; returns false when
// no line does.
bool field(const std::vector<std::string>& lines, const std::string& label, std::string* value) {
    for (const std::string& l : lines)
        if (l.compare(0, label.size(), label) == 0) {
            *value = l.substr(label.size());
            return true;
        }
    return false;
}

// Checks the size and CRC32 lines of an intact report against a decoder's image; returns
// nullptr or the problem.
const char* check_intact_report(const std::vector<std::string>& lines, const decoded& d) {
    std::string crc, size;
    if (!field(lines, "CRC32         ", &crc) || !field(lines, "Image size    ", &size))
        return "-test called a file intact without its size and CRC32";
    char want[16];
    snprintf(want, sizeof want, "%08x", static_cast<unsigned>(d.crc));
    if (crc != want) return "-test's CRC32 is not that of the decompressors' image";
    if (strtoull(size.c_str(), nullptr, 10) != d.bytes) return "-test's image size is not the decompressors'";
    return nullptr;
}

// Checks -test's report against the decoders' runs (`ref_printed`: what the reference one
// printed): the same status as the reference decoder, its image's checksum when intact, its
// failure line when damaged, and intact whenever the optimised decoder decodes the file.
const char* check_test_report(const examined& t, const decoded& ref, const std::string& ref_printed,
                              const decoded& opt) {
    if (t.status == NO_STREAMS) return "harness: could not catch standard output";
    if (t.status >= EXITED) return "-test ended the process";
    if (t.status != ref.status) return "-test's status is not the reference decompressor's";
    std::vector<std::string> lines = console_lines(t.printed);
    if (opt.status == 0) {
        if (t.status != 0) return "-test calls damaged a file the optimised decompressor decodes";
        if (const char* p = check_intact_report(lines, opt)) return p;
    }
    if (t.status == 0) return check_intact_report(lines, ref);
    auto damaged = std::find(lines.begin(), lines.end(), "Result        damaged");
    std::vector<std::string> dec = console_lines(ref_printed);
    if (damaged == lines.begin() || damaged == lines.end() || dec.empty() || *(damaged - 1) != dec.back())
        return "-test's fault line is not the one the reference decompressor printed";
    return nullptr;
}

// Checks -info's run: 0 or 1, and no index fault in a file the reference decoder decodes.
const char* check_info_run(const examined& i, const decoded& ref) {
    if (i.status == NO_STREAMS) return "harness: could not catch standard output";
    if (i.status >= EXITED) return "-info ended the process";
    if (i.status != 0 && i.status != 1) return "-info returned neither 0 nor 1";
    if (i.status == 1 && ref.status == 0)
        return "-info calls broken a file the reference decompressor decodes";
    return nullptr;
}

// Puts the bytes into the current folder as EXAMINED, runs -test and -info on them and
// checks both against the decoders' runs; returns nullptr or the problem.
const char* examine_here(const uint8_t* data, size_t size, const decoded& ref, const std::string& ref_printed,
                         const decoded& opt) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    put_file(EXAMINED, bytes);
    const char* p = get_file(EXAMINED) == bytes ? nullptr : "harness: could not write the examined file";
    std::vector<listed> before = list_here();
    examined t = examine_once(1, before, &p);
    examined i = examine_once(0, before, &p);
    if (!p && get_file(EXAMINED) != bytes) p = "-test or -info changed the file they looked at";
    if (!p) p = check_test_report(t, ref, ref_printed, opt);
    if (!p) p = check_info_run(i, ref);
    unlink(EXAMINED);
    return p;
}

// ------------------------------------------------------------------ the dialogs' verification

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

// ------------------------------------------------------------------ sample image

// Writes one directory record at p; returns its length.
size_t put_record(uint8_t* p, uint32_t extent, uint32_t size, int is_dir, const char* id) {
    size_t idlen = id[0] ? strlen(id) : 1;
    size_t len = 33 + idlen + ((33 + idlen) & 1);
    p[0] = static_cast<uint8_t>(len);
    wr32(p + 2, extent);
    wr32(p + 10, size);
    p[25] = is_dir ? 2 : 0;
    p[28] = 1;
    p[32] = static_cast<uint8_t>(idlen);
    memcpy(p + 33, id, idlen);
    return len;
}

// One entry of a sample directory.
struct sample_entry {
    const char* id;
    uint32_t extent, size;
    int is_dir;
};

// Writes a directory's "." and ".." records and then the given ones at sector `at`.
void put_directory(uint8_t* img, uint32_t at, uint32_t parent, const std::vector<sample_entry>& recs) {
    uint8_t* p = img + 2048 * at;
    p += put_record(p, at, 2048, 1, "");
    p += put_record(p, parent, 2048, 1, "\x01");
    for (auto& r : recs) p += put_record(p, r.extent, r.size, r.is_dir, r.id);
}

// Fills bytes from..to of the image with text that deflates to a few hundred bytes a block.
void put_file_data(uint8_t* img, size_t from, size_t to) {
    for (size_t i = from; i < to; i++)
        img[i] = static_cast<uint8_t>("vellicor "[i % 9] ^ ((i * 2654435761u) >> 29 & 3));
}

}  // namespace

// ------------------------------------------------------------------ public entries

// Builds a 32-sector ISO 9660 image with video, audio, update and plain files; returns its size.
size_t fuzz_sample_iso(uint8_t** out) {
    const size_t size = 32 * 2048;
    uint8_t* img = static_cast<uint8_t*>(calloc(size, 1));
    memcpy(img + 16 * 2048, "\x01" "CD001\x01", 7);
    put_record(img + 16 * 2048 + 156, 18, 2048, 1, "");
    memcpy(img + 17 * 2048, "\xff" "CD001\x01", 7);
    put_directory(img, 18, 18, {{"EBOOT.BIN;1", 23, 3000, 0}, {"MOVIE.PMF;1", 25, 4096, 0},
                                {"SOUND.AT3;1", 27, 2049, 0}, {"PSP_GAME", 19, 2048, 1}});
    put_directory(img, 19, 18, {{"SYSDIR", 20, 2048, 1}});
    put_directory(img, 20, 19, {{"UPDATE", 21, 2048, 1}});
    put_directory(img, 21, 20, {{"DATA.BIN;1", 29, 5000, 0}});
    put_file_data(img, 23 * 2048, size);
    memcpy(img + 25 * 2048, "PSMF0015", 8);
    memcpy(img + 27 * 2048, "RIFF", 4);
    *out = img;
    return size;
}

// Runs both decompressors on arbitrary CSO bytes; returns nullptr or what went wrong.
const char* fuzz_decompress(const uint8_t* data, size_t size) {
    decoded ref = decode_once(data, size, 0), opt = decode_once(data, size, 1);
    uint64_t whole = expected_bytes(data, size, 0), recorded = recorded_size(data, size);
    const char* p = check_decoded(ref, whole, recorded, decoder_block_size(data, size, 0));
    whole = expected_bytes(data, size, 1);  // the optimised decoder never decodes a partial block
    if (!p) p = check_decoded(opt, whole, whole, decoder_block_size(data, size, 1));
    if (!p && opt.status == 0 && (ref.status != 0 || ref.bytes != opt.bytes || ref.crc != opt.crc))
        p = "the two decompressors disagree on a file the optimised one accepts";
    return p;
}

// Checks a written CSO: header, every block against its area, and the round trip.
const char* check_written(const compressed& c, const uint8_t* image, size_t size) {
    if (c.status == NO_STREAMS) return "harness: could not open the in-memory streams";
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

// Runs one compressor chosen by the first bytes on the rest as an image, then decodes it;
// the threaded compressor must also write the optimised one's file byte for byte.
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
    if (engine == ESTIMATE || engine == ESTIMATE_MT) return check_estimates(opts, image, size);
    compressed c = compress_once(opts, engine, image, size);
    const char* p = check_written(c, image, size);
    if (p || engine != THREADED) return p;
    compressed one_thread = compress_once(opts, OPTIMISED, image, size);
    return one_thread.cso == c.cso ? nullptr : "the threaded compressor's file differs from the optimised one's";
}

// Runs the whole converter on an argument vector cut from the bytes at each zero.
const char* fuzz_parser(const uint8_t* data, size_t size) {
    const scratch_folder& s = scratch();
    std::vector<std::string> args = split_arguments(data, size);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int here = open(".", O_RDONLY | O_DIRECTORY), status = NO_STREAMS;
    int saved_stdin = dup(0), null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);  // the no-argument screen waits for Enter: give it an end of file
    if (here >= 0 && chdir(s.path.c_str()) == 0) status = run_guarded(run_main, &argv);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    close(null_fd);
    clearerr(stdin);
    const char* p = check_main_run(s, status, O.input_name, O.output_name);
    converter_reset_state();
    if (status != NO_STREAMS) tidy_scratch(s);
    if (here >= 0) {
        if (fchdir(here) != 0) p = p ? p : "harness: could not leave the scratch folder";
        close(here);
    }
    return p;
}

// Runs the ISO walk and the area search with every area class on; the image's second
// byte (system area, unused by the walk) chooses NC or Lost kinds.
const char* fuzz_isoscan(const uint8_t* data, size_t size) {
    const char* p = search_areas(data, size, size > 1 ? data[1] & 1 : 0);
    return p ? p : walk_into_small_store(data, size);
}

// Runs the reference and the optimised decompressor, then -test and -info in a scratch
// folder, on arbitrary CSO bytes; returns nullptr or what went wrong.
const char* fuzz_examine(const uint8_t* data, size_t size) {
    std::string ref_printed;
    decoded ref = decode_once(data, size, 0, &ref_printed), opt = decode_once(data, size, 1);
    if (ref.status == NO_STREAMS || opt.status == NO_STREAMS)
        return "harness: could not open the in-memory streams";
    const scratch_folder& s = scratch();
    int here = open(".", O_RDONLY | O_DIRECTORY);
    const char* p = "harness: could not enter the scratch folder";
    if (here >= 0 && chdir(s.path.c_str()) == 0) {
        p = examine_here(data, size, ref, ref_printed, opt);
        if (fchdir(here) != 0 && !p) p = "harness: could not leave the scratch folder";
    }
    if (here >= 0) close(here);
    return p;
}

// Verifies the CSO that follows the choice bytes against the image the reference
// decompressor makes of it, then against the image the choice bytes ask for.
const char* fuzz_verify(const uint8_t* data, size_t size) {
    uint8_t choice[IMAGE_CHOICE_BYTES] = {0};
    size_t head = std::min(size, IMAGE_CHOICE_BYTES);
    memcpy(choice, data, head);
    const uint8_t* cso = data + head;
    size -= head;
    int fd = memfd_create("vellicor-fuzz-image", 0);
    if (fd < 0) return "harness: could not make a memory file";
    decoded ref = decode_once(cso, size, 0, nullptr, fd);
    const char* p = ref.status == NO_STREAMS ? "harness: could not open the in-memory streams" : nullptr;
    if (!p && ref.status >= EXITED) p = "a decompressor ended the process";
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

// Sends stdout to /dev/null and feeds stdin from it (the engines print a lot).
void fuzz_quiet_stdio() {
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) return;
    fflush(stdout);
    dup2(null_fd, 1);
    dup2(null_fd, 0);
    close(null_fd);
}

// Ends the process with the problem text on stderr when there is one.
void fuzz_check(const char* problem) {
    if (!problem) return;
    fprintf(stderr, "vellicor fuzz: %s\n", problem);
    abort();
}
