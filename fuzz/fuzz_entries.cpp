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

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ciso.h"
#include "halvard.h"
#include "init.h"
#include "isosearch.h"

namespace {

constexpr int EXITED = 100;     // added to the status a run ended the process with
constexpr int NO_STREAMS = -1;  // the harness could not open its in-memory streams
constexpr uint32_t PLAIN = 0x80000000u;
constexpr uint32_t OFFSET = 0x7FFFFFFFu;

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

// What a decoder wrote: byte count and CRC-32, the bytes themselves are dropped.
struct sink {
    uint64_t bytes;
    uint32_t crc;
};

// Cookie write function of the sink; returns the count it was given.
ssize_t sink_write(void* cookie, const char* buf, size_t n) {
    sink* s = static_cast<sink*>(cookie);
    s->bytes += n;
    s->crc = static_cast<uint32_t>(crc32(s->crc, reinterpret_cast<const Bytef*>(buf),
                                         static_cast<uInt>(n)));
    return static_cast<ssize_t>(n);
}

// Returns a write stream that counts and checksums into *s, or nullptr.
FILE* open_sink(sink* s) {
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

// Decodes the CSO bytes with one decoder into a sink; returns what it did.
decoded decode_once(const uint8_t* data, size_t size, int optimised) {
    sink s;
    decoded d{NO_STREAMS, 0, 0};
    fin = open_input(data, size);
    fout = open_sink(&s);
    O.input_name = "fuzz.cso";
    O.output_name = "fuzz.iso";
    if (fin && fout) d.status = run_guarded(run_decoder, &optimised);
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

// Returns the bytes a successful decode must write: the header's whole blocks.
uint64_t expected_bytes(const uint8_t* data, size_t size, int optimised) {
    uint32_t bs = decoder_block_size(data, size, optimised);
    if (bs == 0) return 0;
    return static_cast<uint64_t>(rd32(data + 8) / bs) * bs;
}

// Checks one decoder's outcome against the header; returns nullptr or the problem.
const char* check_decoded(const decoded& d, uint64_t want, uint32_t bs) {
    if (d.status == NO_STREAMS) return "harness: could not open the in-memory streams";
    if (d.status >= EXITED) return "a decompressor ended the process";
    if (d.status != 0 && d.status != 1) return "a decompressor returned neither 0 nor 1";
    if (d.status == 0 && d.bytes != want)
        return "a decompressor reported success with the wrong output size";
    if (d.status == 1 && want > 0 && d.bytes >= want)
        return "a decompressor reported failure after writing the whole image";
    if (bs && d.bytes % bs != 0) return "a decompressor wrote part of a block";
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
int run_printing(int engine, std::string* printed) {
    fflush(stdout);
    int saved = dup(1), fd = memfd_create("vellicor-stdout", 0);
    if (saved < 0 || fd < 0 || dup2(fd, 1) < 0) return NO_STREAMS;
    int status = run_guarded(run_compressor, &engine);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    off_t n = lseek(fd, 0, SEEK_END);
    printed->resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (!printed->empty() && pread(fd, &(*printed)[0], printed->size(), 0) != n) printed->clear();
    close(fd);
    return status;
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
    if (fin && fout && ncareas) c.status = run_printing(engine, &c.printed);
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
    if (memcmp(h, "CISO", 4) != 0 || rd32(h + 4) != 0 || rd32(h + 8) != size ||
        rd32(h + 12) != 0 || rd32(h + 16) != 2048 || h[20] != 1 || h[21] != 0 || h[22] || h[23])
        return "the CSO header is not the one every writer puts down";
    if ((rd32(h + 24) & OFFSET) != 24 + 4 * (n + 1)) return "entry 0 does not point past the index";
    if (rd32(h + 24 + 4 * n) != cso.size()) return "the last entry is not the file size";
    return nullptr;
}

// Checks block b's entry and payload against its area kind and the limit.
const char* check_cso_block(const compressed& c, const uint8_t* image, uint32_t b) {
    uint32_t e = rd32(c.cso.data() + 24 + 4 * b), next = rd32(c.cso.data() + 28 + 4 * b) & OFFSET;
    if (next < (e & OFFSET) || next > c.cso.size()) return "an entry points outside the file";
    uint32_t len = next - (e & OFFSET);
    if (c.kinds[b] == NC_AREA && !(e & PLAIN)) return "a block of an NC area was compressed";
    if (!(e & PLAIN)) return len < static_cast<uint32_t>(c.limit) ? nullptr
                                                                  : "a compressed payload reaches the limit";
    if (len != 2048) return "a plain payload is not one block long";
    if (c.kinds[b] == NC_AREA && memcmp(c.cso.data() + (e & OFFSET), image + 2048 * b, 2048))
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
    const char* p = check_decoded(ref, expected_bytes(data, size, 0), decoder_block_size(data, size, 0));
    if (!p) p = check_decoded(opt, expected_bytes(data, size, 1), decoder_block_size(data, size, 1));
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
    if (e1 < 0 || e1 != e2) return "the one-thread and two-thread estimates differ";
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
