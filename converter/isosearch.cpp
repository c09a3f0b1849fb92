// ISO 9660 directory walk and the table of NC and Lost areas.
//
// The walk reads directory records one by one through `fin`, descends into every
// subdirectory and collects the records that pass a set of tests into a store the
// caller owns. Each directory is read only within its own extent (the data length of
// the record that names it), never into an ancestor again, never twice in one walk
// (records that name one extent many times over would otherwise multiply the work level
// by level), never when it starts past the image's end (it holds nothing to read there),
// and no deeper than MAX_SCAN_DEPTH levels, so a damaged image cannot make it collect
// foreign records, recurse without end, run for ages or take memory beyond one bit per
// sector of the image. The area search runs one walk per file class and turns what it
// found into entries of `ncareas`, which the engines query for every block.
#include "isosearch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cso_reader.h"
#include "engine_io.h"
#include "init.h"
#include "messages.h"
#include "platform.h"
#include "utils.h"

int media = 0;
nc_area* ncareas = nullptr;
int NB_NC_AREAS = 0;

void reset_area_state() {
    media = 0;
    NB_NC_AREAS = 0;
}

static const long long ROOT_RECORD_AT = 32924;  // sector 16, byte 156: the root's record
// One record read: the most a record can span, its 33 fixed bytes and an identifier of up
// to 255. Nothing past it is looked at, and a larger read would cost a compressed input
// the decoding of a further block for every record.
static const int WINDOW = 33 + 255;
static const char UPDATE_PATH[] = "PSP_GAME/SYSDIR/UPDATE/";

// What every level of one walk shares.
struct walk {
    FILE* f;
    file_record* store;
    int capacity;
    const search_criteria* crit;
    long long image_size;                // nothing past the image's end is read as a record
    int depth;                           // level of the directory being scanned (root 0)
    std::vector<bool> entered;           // per image sector: a directory entered there (ancestors too)
    long long budget;                    // directory bytes this walk may still read
};

// Returns the little-endian 32-bit value at p.
static uint32_t get_le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads up to n image bytes at pos of f, past the stream's buffer (a seek would make it
// refill all of it for each record); returns the bytes read. Walking fin, it reads the
// engines' image: a compressed input decoded, a block that fails to decode read as none.
static size_t scan_read(FILE* f, long long pos, void* buf, size_t n) {
    if (f != fin || !image) return plat_read_at(f, pos, buf, n);
    uint64_t size = img_size(image);
    if (pos < 0 || static_cast<uint64_t>(pos) >= size) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size - pos));
    img_fault fault;
    return img_read(image_main, static_cast<uint64_t>(pos), buf, n, &fault) == CSO_OK ? n : 0;
}

// Returns the size of the image f holds (the decoded one for the engines' image), or -1.
static long long scan_size(FILE* f) {
    if (f != fin || !image) return plat_stream_size(f);
    return static_cast<long long>(img_size(image));
}

// Fills win with the WINDOW bytes at image offset pos; bytes past the end stay zero.
static void read_window(FILE* f, long long pos, unsigned char* win) {
    memset(win, 0, WINDOW);
    scan_read(f, pos, win, WINDOW);
}

// Returns 1 when the data length passes the criteria's size test (or there is none).
static int size_passes(const search_criteria* c, uint32_t len) {
    switch (c->size_mode) {
        case 0: return len == c->size_value;
        case 1: return len > c->size_value;
        case 2: return len < c->size_value;
        default: return 1;
    }
}

// Returns 1 when the data at the record's extent begins with the criteria's signature.
static int signature_matches(const walk* w, const unsigned char* rec) {
    int n = w->crit->signature_len;
    if (n <= 0) return 1;
    unsigned char* buf = static_cast<unsigned char*>(malloc(n));
    int ok = 0;
    if (buf && scan_read(w->f, get_le32(rec + 2) * static_cast<long long>(BLOCK), buf, n) == static_cast<size_t>(n))
        ok = memcmp(buf, w->crit->signature, n) == 0;
    free(buf);
    return ok;
}

// Returns 1 when the record passes the criteria's tests, in their fixed order.
static int is_selected(const walk* w, const unsigned char* rec, const char* name,
                       const char* path) {
    const search_criteria* c = w->crit;
    if (!c) return 1;
    int is_dir = (rec[25] & 2) != 0, sel = 1;
    if (c->flags & MATCH_NAME) sel = c->text && strstr(name, c->text) != nullptr;
    if ((c->flags & MATCH_EXTENSION) && !equal_toupper(PointeurExtension(name), c->text)) sel = 0;
    // The update test overrides the name tests: it alone decides up to here.
    if (c->flags & MATCH_UPDATE_DIR) sel = !is_dir && equal_toupper(path, UPDATE_PATH);
    if ((c->flags & MATCH_KIND) && ((c->entry_kind == 0 && is_dir) || (c->entry_kind == 2 && !is_dir)))
        sel = 0;
    if (c->flags & MATCH_SIZE) sel = sel && size_passes(c, get_le32(rec + 10));
    else if (sel && (c->flags & MATCH_SIGNATURE)) sel = signature_matches(w, rec);
    return sel;
}

// Returns 1 when the walk may enter the directory at `extent` named `name` below
// `path`: it starts inside the image, it was not entered before in this walk, the depth
// cap is not reached and its path fits the path text.
static int may_descend(const walk* w, uint32_t extent, const char* path, const char* name) {
    if (w->depth >= MAX_SCAN_DEPTH || extent >= w->entered.size() || w->entered[extent]) return 0;
    return strlen(path) + strlen(name) + 2 <= static_cast<size_t>(ISO_PATH_ROOM);
}

static int scan_dir(walk* w, long long start, uint32_t len, const char* path, int count);

// Scans the subdirectory that `rec` names; returns the new count.
static int descend(walk* w, const unsigned char* rec, const char* path, const char* name,
                   int count) {
    char sub[ISO_PATH_ROOM];  // may_descend made sure that path, name and "/" fit
    size_t p = strlen(path), n = strlen(name);
    memcpy(sub, path, p);
    memcpy(sub + p, name, n);
    memcpy(sub + p + n, "/", 2);
    uint32_t extent = get_le32(rec + 2);
    w->depth++;
    w->entered[extent] = true;
    count = scan_dir(w, extent * static_cast<long long>(BLOCK), get_le32(rec + 10), sub, count);
    w->depth--;
    return count;
}

// Selects, descends into and stores one record that is not a self or parent entry;
// returns the new count. A directory's selected descendants precede its own record.
static int handle_record(walk* w, const unsigned char* win, const char* path, int count) {
    char name[256];
    memcpy(name, win + 33, win[32]);
    name[win[32]] = '\0';
    int selected = is_selected(w, win, name, path);
    if ((win[25] & 2) && may_descend(w, get_le32(win + 2), path, name))
        count = descend(w, win, path, name, count);
    if (count >= w->capacity || !selected) return count;
    file_record* slot = &w->store[count];
    memcpy(slot->record, win, sizeof slot->record);
    memcpy(slot->name, win + 33, win[32]);
    slot->name[win[32]] = '\0';
    return count + 1;
}

// Scans the directory of `len` bytes at byte `start` and everything below it, storing
// from slot `count` on; returns the new count. A zero length byte only ends the records
// of its sector: the directory ends where its extent (or the image) ends.
// The directories of a sound image never overlap, so together they fit in the image:
// a walk that has read an image's worth of directory bytes stops (a hostile image could
// otherwise nest directories that each span the rest of it). A record too short to hold
// its own fixed fields ends its sector's records, as a zero length byte does.
static int scan_dir(walk* w, long long start, uint32_t len, const char* path, int count) {
    unsigned char win[WINDOW];
    long long pos = start, end = std::min(start + len, w->image_size);
    end = std::min(end, pos + w->budget);
    w->budget -= std::max(0LL, end - pos);
    while (pos < end && count < w->capacity) {
        read_window(w->f, pos, win);
        if (win[0] < 34) {
            pos = pos - pos % BLOCK + BLOCK;
            continue;
        }
        if (win[33] > 1) count = handle_record(w, win, path, count);
        pos += win[0];
    }
    return count;
}

int isoScanFiles(FILE* f, file_record* store, int capacity, const search_criteria* crit,
                 int count, const char* path, uint32_t dir_len) {
    // The root's extent may point past 4 GiB whatever the image's size: 64 bits, so that
    // it never wraps round into the image.
    long long start = plat_tell(f);
    long long size = scan_size(f);
    walk w{f, store, capacity, crit, size, 0, {}, size};
    if (start < 0 || w.image_size < 0 || strlen(path) >= static_cast<size_t>(ISO_PATH_ROOM))
        return count;
    w.entered.resize(static_cast<size_t>((size + BLOCK - 1) / BLOCK));
    size_t root = static_cast<size_t>(start / BLOCK);
    if (root < w.entered.size()) w.entered[root] = true;
    return scan_dir(&w, start, dir_len, path, count);
}

int isoSearchFiles(FILE* f, file_record* store, int capacity, const search_criteria* crit) {
    unsigned char root[34] = {0};
    scan_read(f, ROOT_RECORD_AT, root, sizeof root);  // a short image leaves the root zero
    // The scan starts where the stream stands: a refused seek would leave it elsewhere.
    if (plat_seek(f, get_le32(root + 2) * static_cast<long long>(BLOCK)) != 0) return 0;
    return isoScanFiles(f, store, capacity, crit, 0, "", get_le32(root + 10));
}

// ---------------------------------------------------------------- areas

// Prints one area's report line to the log, or to standard output without one.
static void report_area(FILE* log, const char* label, const file_record* slot) {
    uint32_t extent = get_le32(slot->record + 2), len = get_le32(slot->record + 10);
    char shown[sizeof slot->name];
    printable_name(shown, slot->name);
    fprintf(log ? log : stdout, "%sFile: %35s (offset=%08X, size=%dKB)\n", label, shown,
            extent * static_cast<uint32_t>(BLOCK), static_cast<int>(len / 1024));
}

void TraiteNCarea(const file_record* store, long long image_size, int from, int to, int kind,
                  FILE* log) {
    for (int i = from; i < to; i++) {
        uint32_t first = get_le32(store[i].record + 2), len = get_le32(store[i].record + 10);
        // In 64 bits: a record near the last extent must not wrap round to block 0.
        uint64_t end64 = first + static_cast<uint64_t>(len / BLOCK + (len % BLOCK != 0));
        uint32_t end = end64 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end64);
        // Keep the area within the image's whole blocks.
        if (image_size % BLOCK != 0 && end >= image_size / BLOCK + 1) end--;
        ncareas[i] = {first, end, static_cast<uint32_t>(kind)};
        const char* label = "NC  ";
        if (kind == LOST_AREA_WHOLE || kind == LOST_AREA) {
            label = "RM  ";
            // Update files lose every block; other Lost files keep their first one.
            if (kind == LOST_AREA && first < UINT32_MAX) ncareas[i].start_block = first + 1;
            ncareas[i].type = LOST_AREA;
            // A record that runs past the image is damaged: zeroing by it would take every
            // later file with it, so it holds no block and is not reported as removed.
            if (end64 > static_cast<uint64_t>((image_size + BLOCK - 1) / BLOCK)) {
                ncareas[i].start_block = end;
                continue;
            }
        }
        report_area(log, label, &store[i]);
    }
}

// Scans the whole image once into the store's free part; NB_NC_AREAS grows by what it found.
static void scan_into_store(file_record* store, const search_criteria* crit) {
    NB_NC_AREAS += isoSearchFiles(fin, store + NB_NC_AREAS, MAX_NC_AREAS - NB_NC_AREAS, crit);
}

// Runs the media class whose files begin with `sig` and makes them areas of `kind`.
static void media_class(file_record* store, long long size, FILE* log, const char* sig, int kind) {
    search_criteria c{MATCH_KIND | MATCH_SIGNATURE, nullptr, 0, 0, 0,
                      reinterpret_cast<const unsigned char*>(sig), 4};
    int from = NB_NC_AREAS;
    scan_into_store(store, &c);
    TraiteNCarea(store, size, from, NB_NC_AREAS, kind, log);
}

// Runs one extension scan per piece of the list (".a.b" gives ".a" and ".b"). Lost
// extension areas take files only: a folder whose name has the extension would lose its
// records, and with them files the user kept.
static void extension_class(file_record* store, long long size, FILE* log) {
    const char* list = O.ext_list;
    int from = NB_NC_AREAS;
    for (size_t i = 0, n = strlen(list); i < n;) {
        size_t j = i + 1;
        while (j < n && list[j] != '.') j++;
        std::string piece(list + i, j - i);
        uint32_t tests = MATCH_EXTENSION | (O.rm_ext ? MATCH_KIND : 0);
        search_criteria c{tests, piece.c_str(), 0, 0, 0, nullptr, 0};
        scan_into_store(store, &c);
        i = j;
    }
    TraiteNCarea(store, size, from, NB_NC_AREAS, O.rm_ext ? LOST_AREA : NC_AREA, log);
}

// Runs the update class: every file directly inside the update folder loses all its blocks.
static void update_class(file_record* store, long long size, FILE* log) {
    search_criteria c{MATCH_UPDATE_DIR, nullptr, 0, 0, 0, nullptr, 0};
    int from = NB_NC_AREAS;
    scan_into_store(store, &c);
    TraiteNCarea(store, size, from, NB_NC_AREAS, LOST_AREA_WHOLE, log);
}

// Prints the scan line naming what is searched.
static void print_scan_line() {
    printf(media ? "  Scanning media files" : "  Scanning");
    if (O.ext_list) printf(media ? " and %s files" : " %s files", O.ext_list);
    printf("...\n");
}

plat_output* scan_log = nullptr;

// Returns 1 when `name` is the input or the output: by identity, by the file it would
// become (through a link, or spelt another way), or by name.
static int is_input_or_output(const char* name) {
    if (fin && plat_stream_is_file(fin, name)) return 1;
    return O.output_name && (plat_same_output(O.output_name, name) || !strcmp(O.output_name, name));
}

int open_scan_log() {
    if (!O.log || (media == 0 && !O.ext_list && !O.rm_update)) return 0;
    // The log would replace the input or the output.
    if (is_input_or_output(O.log_name)) {
        say(MSG_LOG_IS_IO, O.log_name);
        return 1;
    }
    scan_log = plat_output_open(O.log_name, 1);
    if (scan_log) return 0;
    say(MSG_LOG_UNWRITABLE, O.log_name);
    return 1;
}

void close_scan_log() {
    if (scan_log) plat_output_discard(scan_log);
    scan_log = nullptr;
}

// Ends the process with status 1 after a failed search; returns -1 if it goes on.
static int search_failed(file_record* store) {
    free(store);
    fflush(stdout);
    fatal_exit(1);
    return -1;
}

// Prints the count line, ends the log with its own count line and puts it in place;
// returns 0, or 1 after "Can't write log" when it could not be written whole.
static int report_count(FILE* log) {
    printf(NB_NC_AREAS <= 1 ? "  %4d file found\n" : "  %4d files found\n", NB_NC_AREAS);
    if (!log) return 0;
    fprintf(log, NB_NC_AREAS <= 1 ? "%d file found\n" : "%d files found\n", NB_NC_AREAS);
    plat_output* done = scan_log;
    scan_log = nullptr;
    if (plat_output_commit(done) != 0) {
        say(MSG_CANT_WRITE_LOG, O.log_name);
        return 1;
    }
    printf("  Log has been written in '%s'\n", O.log_name);
    return 0;
}

int searchMediaFiles(int) {
    NB_NC_AREAS = 0;
    if (media == 0 && !O.ext_list && !O.rm_update) return -1;
    file_record* store = static_cast<file_record*>(malloc(MAX_NC_AREAS * sizeof(file_record)));
    if (!store) {
        say(MSG_NO_MEMORY);  // without the store no requested area can be made
        return search_failed(store);
    }
    long long size = image_bytes();
    print_scan_line();
    if (O.log && !scan_log && open_scan_log()) return search_failed(store);  // run without the driver
    FILE* log = scan_log ? plat_output_stream(scan_log) : nullptr;
    if (media & 2) media_class(store, size, log, "PSMF", O.rm_vid ? LOST_AREA : NC_AREA);
    if (media & 1) media_class(store, size, log, "RIFF", O.rm_aud ? LOST_AREA : NC_AREA);
    if (O.ext_list) extension_class(store, size, log);
    if (O.rm_update) update_class(store, size, log);
    if (report_count(log)) return search_failed(store);
    plat_seek(fin, 0);
    free(store);
    return NB_NC_AREAS;
}

// The first entry holding the block decides.
int IsNCArea_type(uint32_t b) {
    for (int i = 0; i < NB_NC_AREAS; i++)
        if (ncareas[i].start_block <= b && b < ncareas[i].end_block) return ncareas[i].type;
    return NO_AREA;
}
