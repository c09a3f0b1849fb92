// -test and -info: files are opened for reading only, and nothing is ever written.
//
// -test decodes a CSO block by block with the reference decompressor's checks and
// messages (so a damaged file gets the same verdict and block number as from -dec), or
// reads an ISO, and hands the image in 1 MiB chunks to two hashing threads (MD5; SHA-1 and
// CRC32) while the next chunk is decoded. With two files both are read in step and their
// chunks compared. -info reads the header and the index only.
#include "examine.h"

#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cso_reader.h"
#include "dax_format.h"
#include "engine_io.h"
#include "init.h"
#include "messages.h"
#include "platform.h"
#include "shape_census.h"
#include "thread_ring.h"
#include "zblock.h"

namespace {

constexpr size_t CHUNK = 1 << 20;              // image bytes per step (a block is at most this)
constexpr int SLOTS = 8;                       // chunks in flight: slack for three threads on two cores
constexpr int HASHERS = 2;                     // hasher 0: MD5; hasher 1: SHA-1 and CRC32

// One file being read: a CSO decoded block by block, or a plain image.
struct image_source {
    const char* name = nullptr;
    FILE* f = nullptr;
    uint64_t size = 0;                // the file's size
    bool is_cso = false;
    bool header_ok = false;           // the header passed the decompressors' checks
    bool unsupported = false;         // a format or version the reader does not read
    cso_reader cso{};                 // a CSO's header, layout, index and payload spans
    bool cso_loaded = false;          // cso holds what cso_close frees
    uint32_t next = 0;                // next block to decode
    unsigned char* staging = nullptr; // a decoded block that did not fit the chunk's rest
    size_t staged_at = 0, staged_len = 0;
    uint64_t produced = 0;            // image bytes handed out so far
    bool ended = false;               // no more bytes: the image's end, or a fault
    char fault[200] = "";             // the first fault, worded as the decompressors word it
    unsigned char* slot[SLOTS] = {};  // chunk buffers
    size_t slot_len[SLOTS] = {};
    plat_hash* md5 = nullptr;
    plat_hash* sha1 = nullptr;
    uint32_t crc = 0;
    bool hash_failed[HASHERS] = {};   // one flag per hasher: each thread writes its own

    image_source() = default;
    image_source(const image_source&) = delete;
    image_source& operator=(const image_source&) = delete;
    ~image_source();
};

// Frees the buffers and digests and closes the file.
image_source::~image_source() {
    if (cso_loaded) cso_close(&cso);
    free(staging);
    for (unsigned char* p : slot) free(p);
    plat_hash_free(md5);
    plat_hash_free(sha1);
    if (f) fclose(f);
}

// Records the first fault of a source and ends it; returns 1.
int set_fault(image_source& s, const char* format, ...) {
    if (!s.fault[0]) {
        va_list args;
        va_start(args, format);
        vsnprintf(s.fault, sizeof s.fault, format, args);
        va_end(args);
    }
    s.ended = true;
    return 1;
}

// Returns true when the name ends in ".cso", ".zso" or ".dax", in any case.
bool named_compressed(const char* name) {
    size_t n = strlen(name);
    if (n < 4 || name[n - 4] != '.') return false;
    char ext[4] = {};
    for (int i = 0; i < 3; i++) ext[i] = static_cast<char>(name[n - 3 + i] | 0x20);
    return strcmp(ext, "cso") == 0 || strcmp(ext, "zso") == 0 || strcmp(ext, "dax") == 0;
}

// Opens a file for reading; returns 0, or 1 after the parser's "Can't open" line.
int open_source(image_source& s, const char* name) {
    s.name = name;
    s.f = plat_fopen(name, "rb");
    if (s.f && plat_stream_is_folder(s.f)) {
        fclose(s.f);
        s.f = nullptr;
    }
    long long size = s.f ? plat_stream_size(s.f) : -1;
    if (size < 0) {
        say(MSG_CANT_OPEN, name);
        return 1;
    }
    s.size = static_cast<uint64_t>(size);
    char magic[CSO_MAGIC_SIZE] = {0, 0, 0, 0};
    plat_read_at(s.f, 0, magic, sizeof magic);
    s.is_cso = named_compressed(name) || format_of_magic(magic) != FORMAT_NONE;
    return 0;
}

// Reads and checks the header and the index as the decompressors do; returns 0, or 1 with
// the fault set in their words.
int load_cso(image_source& s) {
    int status = cso_open(&s.cso, cso_stream_source(s.f), 0);
    s.cso_loaded = true;
    s.header_ok = s.cso.lay.bs != 0;  // the layout is set once the header passed
    cso_lend_stream(&s.cso, &Z1, &Z1_mode);
    s.unsupported = status == CSO_UNSUPPORTED;
    return status ? set_fault(s, "%s", s.cso.fault) : 0;
}

// Decodes the source's next block into dst (one block); returns its image bytes, or 0
// with the fault set exactly as -dec prints it.
size_t decode_next(image_source& s, unsigned char* dst) {
    if (cso_decode(&s.cso, s.next, dst) == CSO_OK) return cso_block_bytes(s.cso.lay, s.next++);
    set_fault(s, "%s", s.cso.fault);
    return 0;
}

// Fills out with up to cap image bytes decoded from a CSO; returns the count, short only
// at the image's end or at a fault.
size_t fill_from_cso(image_source& s, unsigned char* out, size_t cap) {
    size_t got = 0, bs = s.cso.lay.bs;
    while (got < cap) {
        if (s.staged_len > 0) {
            size_t n = std::min(s.staged_len, cap - got);
            memcpy(out + got, s.staging + s.staged_at, n);
            s.staged_at += n;
            s.staged_len -= n;
            got += n;
            continue;
        }
        if (s.ended || s.next == s.cso.lay.blocks) break;
        bool direct = cap - got >= bs;
        size_t n = decode_next(s, direct ? out + got : s.staging);
        if (n == 0) break;
        if (direct) got += n;
        else s.staged_at = 0, s.staged_len = n;
    }
    if (got < cap) s.ended = true;
    return got;
}

// Fills out with up to cap bytes of a plain image; returns the count, short only at its
// end or at a read error.
size_t fill_from_image(image_source& s, unsigned char* out, size_t cap) {
    if (s.ended) return 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(cap, s.size - s.produced));
    size_t got = plat_read_at(s.f, static_cast<long long>(s.produced), out, want);
    if (got < want) set_fault(s, msg(MSG_BLOCK_READ_ERROR), static_cast<int>((s.produced + got) / BLOCK));
    if (got < cap) s.ended = true;
    return got;
}

// Allocates a source's chunk buffers, window, staging block and digests; returns 0, or 1.
int prepare_source(image_source& s) {
    size_t bs = s.header_ok ? s.cso.lay.bs : BLOCK;
    s.staging = static_cast<unsigned char*>(malloc(bs));
    bool ok = s.staging != nullptr;
    for (unsigned char*& p : s.slot) ok = (p = static_cast<unsigned char*>(malloc(CHUNK))) && ok;
    if (!ok) {
        say(MSG_NO_MEMORY);
        return 1;
    }
    s.md5 = plat_hash_new(PLAT_HASH_MD5);
    s.sha1 = plat_hash_new(PLAT_HASH_SHA1);
    s.crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    if (s.md5 && s.sha1) return 0;
    say(MSG_NO_CHECKSUMS);
    return 1;
}

// The files of one -test run, the chunks in flight and the hashing threads' counts.
struct test_run {
    image_source src[2];
    int count = 1;                        // files given
    plat_count* ready = nullptr;          // chunks filled so far; an empty one ends the run
    plat_count* hashed[HASHERS] = {};     // chunks each hasher has finished
    bool threaded[HASHERS] = {};          // the hasher has a thread (else the main thread hashes)
    long long first_diff = -1;            // first 2048-byte block where the images differ
};

// What a hashing thread is given.
struct hasher_job {
    test_run* run;
    int which;  // 0: MD5; 1: SHA-1 and CRC32
};

// Adds slot `slot` of every file to hasher `which`'s digests.
void hash_slot(test_run& r, int which, int slot) {
    for (int i = 0; i < r.count; i++) {
        image_source& s = r.src[i];
        const unsigned char* p = s.slot[slot];
        size_t n = s.slot_len[slot];
        if (n == 0) continue;
        if (which == 0) {
            s.hash_failed[0] = plat_hash_add(s.md5, p, n) != 0 || s.hash_failed[0];
            continue;
        }
        s.hash_failed[1] = plat_hash_add(s.sha1, p, n) != 0 || s.hash_failed[1];
        s.crc = static_cast<uint32_t>(crc32(s.crc, p, static_cast<uInt>(n)));
    }
}

// Returns true when no file put a byte into the slot: the run's last chunk.
bool slot_empty(const test_run& r, int slot) {
    for (int i = 0; i < r.count; i++)
        if (r.src[i].slot_len[slot] > 0) return false;
    return true;
}

// Entry point of a hashing thread: hashes every chunk in order until the empty one; returns 0.
int hash_worker(void* job) {
    hasher_job* j = static_cast<hasher_job*>(job);
    test_run& r = *j->run;
    for (uint32_t c = 0; plat_count_wait(r.ready, c + 1) == 0; c++) {
        if (slot_empty(r, c % SLOTS)) break;
        hash_slot(r, j->which, c % SLOTS);
        plat_count_add(r.hashed[j->which], 1);
    }
    return 0;
}

// Notes the first 2048-byte block of the slot where the two images differ, if none yet.
void compare_slot(test_run& r, int slot) {
    if (r.count < 2 || r.first_diff >= 0) return;
    const image_source &a = r.src[0], &b = r.src[1];
    size_t n = std::min(a.slot_len[slot], b.slot_len[slot]);
    if (memcmp(a.slot[slot], b.slot[slot], n) == 0) return;
    uint64_t base = a.produced - a.slot_len[slot];  // both stood at the same offset
    for (size_t off = 0; off < n; off += BLOCK) {
        size_t len = std::min<size_t>(BLOCK, n - off);
        if (memcmp(a.slot[slot] + off, b.slot[slot] + off, len) == 0) continue;
        r.first_diff = static_cast<long long>((base + off) / BLOCK);
        return;
    }
}

// Fills one slot from every file; returns true when any byte came.
bool fill_slot(test_run& r, int slot) {
    bool any = false;
    for (int i = 0; i < r.count; i++) {
        image_source& s = r.src[i];
        size_t n = s.is_cso ? fill_from_cso(s, s.slot[slot], CHUNK) : fill_from_image(s, s.slot[slot], CHUNK);
        s.slot_len[slot] = n;
        s.produced += n;
        any = any || n > 0;
    }
    return any;
}

// Decodes, compares and hands out chunks until every file has ended; the hashers without
// a thread run here.
void pump(test_run& r) {
    for (uint32_t c = 0;; c++) {
        int slot = c % SLOTS;
        for (int k = 0; k < HASHERS && c >= SLOTS; k++)
            if (r.threaded[k]) plat_count_wait(r.hashed[k], c - SLOTS + 1);  // slot free again
        bool any = fill_slot(r, slot);
        compare_slot(r, slot);
        for (int k = 0; k < HASHERS && any; k++)
            if (!r.threaded[k]) hash_slot(r, k, slot);
        if (r.ready) plat_count_add(r.ready, 1);
        if (!any) return;
    }
}

// Starts the hashers on threads of their own where it can, runs the chunks through them and
// waits for them.
void run_chunks(test_run& r) {
    hasher_job jobs[HASHERS] = {{&r, 0}, {&r, 1}};
    plat_thread* threads[HASHERS] = {};
    r.ready = plat_count_new();
    for (int k = 0; k < HASHERS; k++) {
        r.hashed[k] = plat_count_new();
        if (r.ready && r.hashed[k]) threads[k] = start_worker(hash_worker, &jobs[k]);
        r.threaded[k] = threads[k] != nullptr;
    }
    pump(r);
    for (plat_thread* t : threads)
        if (t) plat_thread_join(t);
    plat_count_free(r.ready);
    for (plat_count* c : r.hashed) plat_count_free(c);
}

// Prints a digest as lower-case hex after its label.
void print_hex(const char* label, const unsigned char* d, int len) {
    printf("%s", label);
    for (int i = 0; i < len; i++) printf("%02x", d[i]);
    printf("\n");
}

// Prints the image size line; a CSO that leaves out the image's partial last block says so.
void print_size(const image_source& s) {
    printf("Image size    %llu bytes", static_cast<unsigned long long>(s.produced));
    uint64_t total = s.cso.hdr.total_bytes;
    if (s.is_cso && total != s.produced)
        printf(" (the header records %llu: the last %llu bytes are not held)",
               static_cast<unsigned long long>(total), static_cast<unsigned long long>(total - s.produced));
    printf("\n");
}

// Prints size, CRC32, MD5 and SHA-1 of an intact image; returns 0, or 1 when a digest failed.
int print_checksums(image_source& s) {
    unsigned char md5[20], sha1[20];
    int lm = plat_hash_finish(s.md5, md5), ls = plat_hash_finish(s.sha1, sha1);
    if (lm != 16 || ls != 20 || s.hash_failed[0] || s.hash_failed[1]) {
        say(MSG_NO_CHECKSUMS);
        return 1;
    }
    print_size(s);
    printf("CRC32         %08x\n", static_cast<unsigned>(s.crc));
    print_hex("MD5           ", md5, lm);
    print_hex("SHA-1         ", sha1, ls);
    return 0;
}

// Prints one file's part of the report; returns 0 when it is intact, else 1.
int report_source(image_source& s) {
    printf("File          %s\n", s.name);
    if (s.header_ok)
        printf("Format        %s, %u block%s of %u bytes\n", format_name(s.cso.lay.format),
               static_cast<unsigned>(s.cso.lay.blocks), s.cso.lay.blocks == 1 ? "" : "s",
               static_cast<unsigned>(s.cso.lay.bs));
    else if (!s.is_cso)
        printf("Format        plain image\n");
    if (s.fault[0]) {  // a file we do not read may well be whole
        printf("%s\nResult        %s\n", s.fault, s.unsupported ? "unsupported" : "damaged");
        return 1;
    }
    printf("Result        intact\n");
    return print_checksums(s);
}

// Prints that the images differ in size, the first `same` bytes being the same; returns 1.
int print_size_difference(uint64_t a, uint64_t b, uint64_t same) {
    printf("Compare       the images differ in size (%llu and %llu bytes); the first %llu bytes are the same\n",
           static_cast<unsigned long long>(a), static_cast<unsigned long long>(b),
           static_cast<unsigned long long>(same));
    return 1;
}

// Prints how the two images compare; returns 0 when they are the same, else 1. A file
// damaged at or past the end of the other, whole image differs from it in size: its own
// size is what its index holds.
int report_compare(const test_run& r) {
    const image_source &a = r.src[0], &b = r.src[1];
    if (r.first_diff >= 0) {
        printf("Compare       the images differ first at block %lld\n", r.first_diff);
        return 1;
    }
    if (a.fault[0] || b.fault[0]) {
        const image_source& d = !b.fault[0] || (a.fault[0] && a.produced <= b.produced) ? a : b;
        const image_source& o = &d == &a ? b : a;
        if (d.unsupported) {  // nothing of it was read, so nothing can be said the same
            printf("Compare       not made: %s is in a format not read\n", d.name);
            return 1;
        }
        uint64_t recorded = d.is_cso ? cso_held_bytes(d.cso.lay) : d.size;
        if (!o.fault[0] && o.produced <= d.produced && o.produced != recorded) {
            return print_size_difference(&d == &a ? recorded : a.produced, &d == &b ? recorded : b.produced,
                                         o.produced);
        }
        printf("Compare       the same up to block %llu, where %s is damaged\n",
               static_cast<unsigned long long>(d.produced / BLOCK), d.name);
        return 1;
    }
    if (a.produced != b.produced) return print_size_difference(a.produced, b.produced, std::min(a.produced, b.produced));
    printf("Compare       the images are identical\n");
    return 0;
}

// Opens, loads and prepares every file of the run; returns 0, or 1 when the run can't go on.
int open_run(test_run& r) {
    const char* names[2] = {O.input_name, O.output_name};
    r.count = O.output_name ? 2 : 1;
    for (int i = 0; i < r.count; i++) {
        image_source& s = r.src[i];
        if (open_source(s, names[i])) return 1;
        if (s.is_cso) load_cso(s);  // a fault here is the file's verdict, not the run's end
    }
    for (int i = 0; i < r.count; i++)
        if (prepare_source(r.src[i])) return 1;
    return 0;
}

// Returns true when some file of the run still has CSO blocks to decode.
bool decodes_any(const test_run& r) {
    for (int i = 0; i < r.count; i++)
        if (r.src[i].is_cso && !r.src[i].ended) return true;
    return false;
}

}  // namespace

int test_ciso() {
    test_run r;
    if (open_run(r)) return 1;
    bool inflating = decodes_any(r);
    if (inflating && open_inflate()) return 1;
    run_chunks(r);
    int status = inflating && close_z1() ? 1 : 0;
    for (int i = 0; i < r.count; i++) {
        if (i > 0) printf("\n");
        status |= report_source(r.src[i]);
    }
    if (r.count == 2) {
        printf("\n");
        status |= report_compare(r);
    }
    return status;
}

namespace {

// Prints the header fields of a CSO or ZSO.
void print_cso_header(const ciso_header& h) {
    printf("Magic         %.4s\n", reinterpret_cast<const char*>(h.magic));
    printf("Header size   %u\n", static_cast<unsigned>(h.header_size));
    printf("Total bytes   %llu\n", static_cast<unsigned long long>(h.total_bytes));
    printf("Block size    %u\n", static_cast<unsigned>(h.block_size));
    printf("Version       %u\n", static_cast<unsigned>(h.version));
    printf("Index align   %u\n", static_cast<unsigned>(h.index_align));
    printf("Reserved      %u %u\n", static_cast<unsigned>(h.reserved[0]), static_cast<unsigned>(h.reserved[1]));
}

// Prints the header fields of a DAX file.
void print_dax_header(const dax_header& d) {
    printf("Magic         %s\n", DAX_MAGIC);
    printf("Total bytes   %u\n", static_cast<unsigned>(d.total_bytes));
    printf("Block size    %u\n", static_cast<unsigned>(DAX_FRAME));
    printf("Version       %u\n", static_cast<unsigned>(d.version));
    printf("NC areas      %u\n", static_cast<unsigned>(d.nc_areas));
}

// Prints the format line and the header of a file that starts with a known magic.
void print_any_header(const image_source& s) {
    unsigned char head[DAX_HEADER_SIZE] = {};
    size_t got = plat_read_at(s.f, 0, head, sizeof head);
    image_format f = got >= CSO_MAGIC_SIZE ? format_of_magic(head) : FORMAT_NONE;
    if (f == FORMAT_DAX && got >= DAX_HEADER_SIZE) {
        printf("Format        %s\n", format_name(f));
        print_dax_header(*reinterpret_cast<const dax_header*>(head));
    } else if (f != FORMAT_NONE && f != FORMAT_DAX && got >= CSO_HEADER_SIZE) {
        const ciso_header& h = *reinterpret_cast<const ciso_header*>(head);
        if (!cso_version_unknown(h)) printf("Format        %s\n", format_name(format_of_header(h)));
        print_cso_header(h);
    }
}

// Writes into `why` what is wrong with a DAX frame's tables, if anything; returns true
// when something is.
bool frame_fault(const image_source& s, uint32_t b, char* why, size_t room) {
    if (dax_length_refused(s.cso.dax_len[b], s.cso.dax_nc[b]))
        return snprintf(why, room, "stored length %u is over a frame's zlib bound", s.cso.dax_len[b]) > 0;
    return snprintf(why, room, "the offset is below the frame before") > 0;
}

// Writes into `why` what is wrong with block b's index entries, if anything; returns true
// when something is (the cases that make -dec fail at that block).
bool entry_fault(const image_source& s, uint32_t b, char* why, size_t room) {
    const cso_layout& l = s.cso.lay;
    cso_place pl{};
    if (cso_locate(&s.cso, b, &pl)) {
        if (l.format == FORMAT_DAX) return frame_fault(s, b, why, room);
        long long len = cso_stored_length(s.cso.index[b], s.cso.index[b + 1], l.shift, UINT64_MAX);
        if (len < 0) return snprintf(why, room, "the next entry is smaller") > 0;
        return snprintf(why, room, "stored length %lld is over two blocks", len) > 0;
    }
    if (pl.len == 0) return snprintf(why, room, "stored length 0") > 0;
    if (pl.off > s.size || pl.len > s.size - pl.off)
        return snprintf(why, room, "the payload ends past the end of the file") > 0;
    return false;
}

// The compressed blocks' stored lengths, counted by length in units of the index
// alignment (a CSO's lengths are whole units; a DAX file has no alignment). Their room is
// bounded by the longest payload a reader takes, whatever the number of blocks: a list of
// every length would outgrow a 32-bit process for a file of tens of millions of blocks.
struct length_counts {
    std::vector<uint32_t> of_units;  // of_units[u]: blocks of u << shift bytes
    unsigned shift;
    uint32_t total;
};

// Counts one stored length.
void count_length(length_counts* c, uint64_t stored) {
    size_t u = static_cast<size_t>(stored >> c->shift);
    if (u >= c->of_units.size()) c->of_units.resize(u + 1);
    c->of_units[u]++;
    c->total++;
}

// Returns the length of rank r (0 the smallest) among the counted ones.
uint64_t length_of_rank(const length_counts& c, uint32_t r) {
    size_t u = 0;
    for (uint32_t below = 0; below + c.of_units[u] <= r; u++) below += c.of_units[u];
    return static_cast<uint64_t>(u) << c.shift;
}

// Prints the smallest, median (the lower middle one for an even count) and largest
// stored length of the compressed blocks.
void print_compressed_sizes(const length_counts& c) {
    if (c.total == 0) {
        printf("Compressed    none\n");
        return;
    }
    printf("Compressed    smallest %llu, median %llu, largest %llu bytes\n",
           static_cast<unsigned long long>(length_of_rank(c, 0)),
           static_cast<unsigned long long>(length_of_rank(c, (c.total - 1) / 2)),
           static_cast<unsigned long long>(length_of_rank(c, c.total - 1)));
}

// Returns where the file's payloads end by its tables: the index's end entry, or (DAX,
// which has none) the end of the last frame's payload.
uint64_t tables_end(const image_source& s) {
    const cso_layout& l = s.cso.lay;
    if (l.format != FORMAT_DAX) return cso_entry_offset(s.cso.index[l.blocks], l.shift);
    cso_place pl{};
    cso_locate(&s.cso, l.blocks - 1, &pl);
    return pl.off + pl.len;
}

// Prints where the index says the file ends against its real size, and the ratio.
void print_ends(const image_source& s) {
    uint64_t end = tables_end(s);
    uint64_t size = s.size;
    printf("Index end     %llu bytes\n", static_cast<unsigned long long>(end));
    printf("File size     %llu bytes", static_cast<unsigned long long>(size));
    if (size > end) printf(" (%llu bytes after the index end)", static_cast<unsigned long long>(size - end));
    if (size < end) printf(" (%llu bytes short of the index end)", static_cast<unsigned long long>(end - size));
    printf("\n");
    printf("Ratio         %llu%% (file size to image size)\n",
           static_cast<unsigned long long>(size * 100 / s.cso.lay.total));
}

// Prints how many of the file's `blocks` are stored each way, the kinds the file has, and
// how many cannot be told because their entries are refused ("none" for no block).
void print_kinds(const uint32_t* count, uint32_t blocks) {
    printf("Stored as    ");
    const char* sep = " ";
    uint32_t known = 0;
    for (int k = BLOCK_DEFLATE; k <= BLOCK_KINDS; k++) {
        int kind = k % BLOCK_KINDS;  // plain last
        known += count[kind];
        if (count[kind] == 0) continue;
        printf("%s%u %s", sep, static_cast<unsigned>(count[kind]), block_kind_name(static_cast<block_kind>(kind)));
        sep = ", ";
    }
    if (known < blocks) printf("%s%u unreadable", sep, static_cast<unsigned>(blocks - known));
    printf("%s\n", blocks == 0 ? " none" : "");
}

// Prints a DAX file's NC areas: their count and the first few.
void print_nc_areas(const image_source& s) {
    const int shown_most = 8;
    uint32_t m = s.cso.dax.nc_areas;
    printf("NC frames     %u area%s", static_cast<unsigned>(m), m == 1 ? "" : "s");
    dax_nc_area a[shown_most];
    uint32_t shown = m < shown_most ? m : shown_most;
    if (plat_read_at(s.f, static_cast<long long>(dax_areas_at(s.cso.dax)), a, 8 * shown) != 8 * shown) shown = 0;
    for (uint32_t i = 0; i < shown; i++) {
        if (a[i].count == 0) printf("%s none at frame %u", i ? "," : ":", a[i].first);
        else printf("%s frames %u to %u", i ? "," : ":", a[i].first, a[i].first + a[i].count - 1);
    }
    printf("%s\n", m > shown ? ", ..." : "");
}

// Counts and sizes the blocks, prints them and the first index fault; returns 0, or 1 when
// the index is broken.
int print_blocks(const image_source& s) {
    length_counts lens{{}, s.cso.lay.shift, 0};
    uint32_t n = s.cso.lay.blocks, count[BLOCK_KINDS] = {};
    char why[120] = "";
    long long fault_block = -1;
    for (uint32_t b = 0; b < n; b++) {
        cso_place pl{};
        if (cso_locate(&s.cso, b, &pl) == 0) {  // else counted as compressed, of no kind
            count[pl.kind]++;
            if (pl.kind != BLOCK_PLAIN) count_length(&lens, pl.stored);
        }
        if (fault_block < 0 && entry_fault(s, b, why, sizeof why)) fault_block = b;
    }
    printf("Blocks        %u: %u stored compressed, %u stored plain\n", static_cast<unsigned>(n),
           static_cast<unsigned>(n - count[BLOCK_PLAIN]), static_cast<unsigned>(count[BLOCK_PLAIN]));
    print_kinds(count, n);
    if (s.cso.lay.format == FORMAT_DAX) print_nc_areas(s);
    print_compressed_sizes(lens);
    print_ends(s);
    if (fault_block < 0) {
        printf("Index         no fault found\n");
        return 0;
    }
    printf("Index         broken at block %lld: %s\n", fault_block, why);
    return 1;
}

// Whether block b's payload is deflate or zlib when its entry can't be located: a v1
// entry's always is; a DAX frame's outside NC areas; a v2 entry's when its flag does not
// mark LZ4; a ZSO's never.
bool deflate_entry(const cso_reader& r, uint32_t b) {
    if (r.lay.format == FORMAT_ZSO) return false;
    if (r.lay.format == FORMAT_DAX) return !r.dax_nc[b];
    return cso_flag_marks_plain(r.lay.format) || !(r.index[b] & CSO_PLAIN_FLAG);
}

// Reads the payload pl into p; false when it can't be had (a payload of no bytes is a
// broken entry's).
bool read_payload(const image_source& s, const cso_place& pl, std::vector<unsigned char>& p) {
    size_t len = static_cast<size_t>(pl.len);
    return len > 0 && len <= p.size() && plat_read_at(s.f, static_cast<long long>(pl.off), p.data(), len) == len;
}

// Returns whether every block of the file decodes, read through the image source as -com
// reads it.
bool every_payload_decodes(const image_source& s) {
    img_source* src = nullptr;
    img_fault fault{};
    if (img_open(s.f, &src, &fault) != CSO_OK) return false;
    image_cursor* c = img_cursor_new(src);
    std::vector<unsigned char> buf(16 * static_cast<size_t>(s.cso.lay.bs));
    bool decodes = c != nullptr;
    for (uint64_t off = 0, size = img_size(src); decodes && off < size; off += buf.size()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - off));
        decodes = img_read(c, off, buf.data(), n, &fault) == CSO_OK;
    }
    img_cursor_free(c);
    img_close(src);
    return decodes;
}

// Counts the deflate and zlib payloads by their shape and prints the census; a payload
// that can't be located or read is counted as such, never passed over (one of no bytes
// too: its entry is broken). A broken index (index_broken) keeps any file from being
// called ready; -com is advised only where it would read the file, every payload decoding.
void print_census(const image_source& s, bool index_broken) {
    shape_census c{};
    std::vector<unsigned char> p(static_cast<size_t>(cso_payload_most(s.cso.lay.bs)));
    size_t padding = (size_t{1} << s.cso.lay.shift) - 1;
    for (uint32_t b = 0; b < s.cso.lay.blocks; b++) {
        cso_place pl{};
        bool located = cso_locate(&s.cso, b, &pl) == 0;
        if (located ? pl.kind != BLOCK_DEFLATE && pl.kind != BLOCK_ZLIB : !deflate_entry(s.cso, b)) continue;
        if (!located || !read_payload(s, pl, p)) {
            census_add_unreadable(&c);
            continue;
        }
        census_add(&c, p.data(), static_cast<size_t>(pl.len), cso_block_bytes(s.cso.lay, b), pl.kind == BLOCK_ZLIB,
                   padding);
    }
    const cso_layout& l = s.cso.lay;
    bool com_reads = image_size_taken(cso_held_bytes(l)) &&  // the image -com would be given
                     census_advice_possible(c, l.format, l.bs, index_broken) && every_payload_decodes(s);
    census_print(c, l.format, l.bs, index_broken, com_reads);
}

}  // namespace

int info_ciso() {
    image_source s;
    if (open_source(s, O.input_name)) return 1;
    printf("File          %s\n", s.name);
    print_any_header(s);
    if (load_cso(s)) {
        printf("%s\n", s.fault);
        return 1;
    }
    int status = print_blocks(s);
    print_census(s, status != 0);
    return status;
}
