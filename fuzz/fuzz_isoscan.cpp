// Fuzz entry: the area search (searchMediaFiles) with every area class on, the image's
// second byte choosing NC or Lost kinds, then the direct walk (isoSearchFiles) into a
// small store with a test its first byte chooses. No exit; the table's size and kinds
// valid and every area within the file it was made from; the input left at offset 0; the
// store never overrun.
#include <cstdlib>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"
#include "init.h"
#include "isosearch.h"

namespace {

// Sets every area class on; `lost` sends media and extension files to Lost areas and
// writes the scan log.
void all_area_classes(int lost) {
    fresh_options(lost);
    O.nc_audio = O.nc_video = 1;
    O.rm_aud = O.rm_vid = O.rm_ext = lost;
    O.rm_update = 1;
    O.ext_list = own_copy(".BIN.pmf;1..at3");
    O.input_name = "fuzz.iso";
    media = 3;
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

// Walks the image once per scan of the classes all_area_classes(lost) turns on, in the
// search's order (video, audio, each extension piece, update), into one store; returns
// the number of records, which stand in the order of the area table's entries.
int class_records(FILE* f, std::vector<file_record>& store, int lost) {
    static const unsigned char psmf[] = "PSMF", riff[] = "RIFF";
    uint32_t ext = MATCH_EXTENSION | (lost ? MATCH_KIND : 0);  // Lost extension areas: files only
    const search_criteria scans[] = {
        {MATCH_KIND | MATCH_SIGNATURE, nullptr, 0, 0, 0, psmf, 4},
        {MATCH_KIND | MATCH_SIGNATURE, nullptr, 0, 0, 0, riff, 4},
        {ext, ".BIN", 0, 0, 0, nullptr, 0},
        {ext, ".pmf;1", 0, 0, 0, nullptr, 0},
        {ext, ".", 0, 0, 0, nullptr, 0},
        {ext, ".at3", 0, 0, 0, nullptr, 0},
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
const char* check_areas_within_files(int lost) {
    static std::vector<file_record> store;  // 16 MB: allocated once
    if (class_records(fin, store, lost) != NB_NC_AREAS) return "the area table does not match the files found";
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
    const char* p = STREAMS_FAILED;
    if (fin && ncareas) p = check_area_table(run_guarded(run_area_search, nullptr));
    if (!p) p = check_areas_within_files(lost);
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
    const char* p = STREAMS_FAILED;
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

}  // namespace

// The image's second byte (system area, unused by the walk) chooses NC or Lost kinds.
const char* fuzz_isoscan(const uint8_t* data, size_t size) {
    const char* p = search_areas(data, size, size > 1 ? data[1] & 1 : 0);
    return p ? p : walk_into_small_store(data, size);
}
