// What the fuzz entries share: guarded runs, in-memory streams, decoding into a counting
// sink, the scratch folder and the sample image.
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "ciso.h"
#include "dax_format.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "fuzz_entries.h"
#include "halvard.h"
#include "init.h"
#include "isosearch.h"

int ended_process;

namespace {

jmp_buf exit_jump;
int exit_status;

// Takes the place of fatal_exit: goes back to the guarded call instead of ending the process.
[[noreturn]] void jump_back(int status) {
    exit_status = status;
    longjmp(exit_jump, 1);
}

}  // namespace

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

int process_status(int result) {
    return result >= EXITED ? result - EXITED : result;
}

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

uint32_t rd32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A memory file rather than a memory stream: seeking past its end must succeed as on a
// disc file.
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

char* own_copy(const char* text) {
    size_t n = strlen(text) + 1;
    char* copy = static_cast<char*>(malloc(n));
    if (copy) memcpy(copy, text, n);
    return copy;
}

// ------------------------------------------------------------------ decoding into a sink

namespace {

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
FILE* open_sink(sink* s, int copy_fd) {
    s->copy_fd = copy_fd;
    s->bytes = 0;
    s->crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    cookie_io_functions_t io{nullptr, sink_write, nullptr, nullptr};
    return fopencookie(s, "w", io);
}

// Runs the decoder that *ctx names (0 reference, 1 optimised); returns its status.
int run_decoder(void* ctx) {
    return *static_cast<int*>(ctx) ? MY_decomp_ciso() : decomp_ciso();
}

}  // namespace

decoded decode_once(const uint8_t* data, size_t size, int optimised, std::string* printed, int copy_fd) {
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

uint64_t recorded_size(const uint8_t* data, size_t size) {
    if (size >= DAX_HEADER_SIZE && dax_magic_at(data)) return rd32(data + 4);  // a DAX header's
    return size < 24 ? 0 : rd32(data + 8) | static_cast<uint64_t>(rd32(data + 12)) << 32;
}

// ------------------------------------------------------------------ scratch folder

void fresh_options(int log) {
    std::string log_path = scratch().path + "/scan.log";  // making the folder runs the converter: before O
    reset_options(&O);
    O.log = static_cast<unsigned char>(log);
    O.log_name = log ? own_copy(log_path.c_str()) : nullptr;
    ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
}

namespace {

// Runs converter_main on the argument vector in *ctx; returns its status.
int run_main(void* ctx) {
    std::vector<char*>& argv = *static_cast<std::vector<char*>*>(ctx);
    return converter_main(static_cast<int>(argv.size()) - 1, argv.data());
}

}  // namespace

int run_converter(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return run_guarded(run_main, &argv);
}

int enter_folder(const std::string& path) {
    int here = open(".", O_RDONLY | O_DIRECTORY);
    if (here >= 0 && chdir(path.c_str()) != 0) {
        close(here);
        return -1;
    }
    return here;
}

const char* leave_folder(int here) {
    const char* p = fchdir(here) == 0 ? nullptr : "harness: could not leave the scratch folder";
    close(here);
    return p;
}

void put_file(const std::string& name, const std::string& data) {
    FILE* f = fopen(name.c_str(), "wb");
    if (!f) return;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

std::string get_file(const std::string& name) {
    std::string data;
    FILE* f = fopen(name.c_str(), "rb");
    if (!f) return data;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) data.append(buf, n);
    fclose(f);
    return data;
}

namespace {

std::string scratch_made;  // the folder scratch() made, removed at exit

// Deletes the scratch folder and everything in it; registered with atexit.
void remove_scratch() {
    DIR* d = opendir(scratch_made.c_str());
    for (dirent* e; d && (e = readdir(d));)
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            unlink((scratch_made + "/" + e->d_name).c_str());
    if (d) closedir(d);
    rmdir(scratch_made.c_str());
}

// Puts the fixtures into the current folder and notes them in s: the sample image, the
// CSO the converter makes of it and a short text file.
void put_fixtures(scratch_folder& s) {
    uint8_t* iso = nullptr;
    size_t n = fuzz_sample_iso(&iso);
    put_file("a.iso", std::string(reinterpret_cast<char*>(iso), n));
    free(iso);
    std::vector<std::string> args{"vellicor", "-com", "-l6", "a.iso", "a.cso"};
    run_converter(args);
    converter_reset_state();
    put_file("t.txt", std::string(5000, 'v'));
    for (const char* name : {"a.iso", "a.cso", "t.txt"}) s.fixtures.push_back({name, get_file(name)});
}

}  // namespace

const scratch_folder& scratch() {
    static scratch_folder s;
    if (!s.path.empty()) return s;
    // Under TMPDIR, where the caller can remove what a target ended by a crash left.
    const char* env = getenv("TMPDIR");
    std::string base = env && *env ? env : "/tmp", tmpl = base + "/vellicor-fuzz-XXXXXX";
    s.path = mkdtemp(&tmpl[0]) ? tmpl : base;
    if (s.path == tmpl) {
        scratch_made = tmpl;
        atexit(remove_scratch);
    }
    int here = enter_folder(s.path);
    if (here < 0) return s;
    put_fixtures(s);
    if (const char* p = leave_folder(here)) fprintf(stderr, "vellicor fuzz: %s\n", p);
    return s;
}

// ------------------------------------------------------------------ sample image

namespace {

// Stores v little-endian at p.
void wr32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

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

// 32 sectors: the volume descriptors, four directories and the files' data.
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
