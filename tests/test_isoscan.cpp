// The directory walk, its selection tests, the text helpers and the area table, run
// in-process on byte-level images built by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "isosearch.h"
#include "test_util.h"
#include "utils.h"

namespace {

// An image written to a temporary file and open for reading.
struct OpenImage {
    FILE* f = nullptr;
    explicit OpenImage(const HandIso& iso) {
        std::string path = make_temp_dir() + "/hand.iso";
        write_file(path, iso.bytes);
        f = fopen(path.c_str(), "rb");
    }
    ~OpenImage() {
        if (f) fclose(f);
    }
};

// Returns the identifiers that a whole-image search collects, in store order.
std::vector<std::string> search(const HandIso& iso, const search_criteria* crit,
                                int capacity = MAX_NC_AREAS) {
    OpenImage img(iso);
    std::vector<file_record> store(capacity > 0 ? capacity : 1);
    int n = isoSearchFiles(img.f, store.data(), capacity, crit);
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) names.push_back(store[i].name);
    return names;
}

// Returns the identifiers collected by a search without criteria.
std::vector<std::string> all_records(const HandIso& iso) {
    return search(iso, nullptr);
}

using Names = std::vector<std::string>;

// ---------------------------------------------------------------- text helpers

TEST(TextHelpers, ExtensionIsTheTailFromTheLastInnerDot) {
    EXPECT_STREQ(PointeurExtension("EBOOT.BIN"), ".BIN");
    EXPECT_STREQ(PointeurExtension("MOVIE.PMF;1"), ".PMF;1");
    EXPECT_STREQ(PointeurExtension("ICON0"), "ICON0");
    EXPECT_STREQ(PointeurExtension("A."), ".");
    EXPECT_STREQ(PointeurExtension(".X"), ".X");
    EXPECT_STREQ(PointeurExtension("."), ".");
    EXPECT_STREQ(PointeurExtension("A.B.C"), ".C");
    EXPECT_EQ(PointeurExtension(""), nullptr);
}

TEST(TextHelpers, EqualityIgnoresOnlyTheCaseOfLetters) {
    EXPECT_EQ(equal_toupper(".bin", ".BIN"), 1);
    EXPECT_EQ(equal_toupper("psp_game/sysdir/update/", "PSP_GAME/SYSDIR/UPDATE/"), 1);
    EXPECT_EQ(equal_toupper("", ""), 1);
    EXPECT_EQ(equal_toupper(".BIN;1", ".BIN"), 0);
    EXPECT_EQ(equal_toupper(".BI", ".BIN"), 0);
    // Bytes that differ by the case bit but are not letters stay different.
    EXPECT_EQ(equal_toupper("[", "{"), 0);
    EXPECT_EQ(equal_toupper("@", "`"), 0);
    EXPECT_EQ(equal_toupper("\xe9", "\xc9"), 0);
    EXPECT_EQ(equal_toupper(nullptr, ".BIN"), 0);
}

// ---------------------------------------------------------------- tree shape

// Root at sector 18 holding FILE.TXT and SUB, SUB at 19 holding INNER.BIN.
HandIso small_tree() {
    HandIso iso(24);
    iso.set_root(18, 2048);
    size_t off = iso.put_dots(18, 2048, 18, 2048);
    off = iso.put_record(18, off, 20, 100, false, "FILE.TXT;1");
    iso.put_record(18, off, 19, 2048, true, "SUB");
    off = iso.put_dots(19, 2048, 18, 2048);
    iso.put_record(19, off, 21, 3000, false, "INNER.BIN;1");
    return iso;
}

TEST(WalkShape, SkipsSelfAndParentAndListsChildrenBeforeTheirDirectory) {
    EXPECT_EQ(all_records(small_tree()), (Names{"FILE.TXT;1", "INNER.BIN;1", "SUB"}));
}

TEST(WalkShape, StoresTheRecordBytesAndIdentifier) {
    HandIso iso = small_tree();
    OpenImage img(iso);
    std::vector<file_record> store(4);
    ASSERT_EQ(isoSearchFiles(img.f, store.data(), 4, nullptr), 3);
    const file_record& inner = store[1];
    EXPECT_EQ(0, memcmp(inner.record, iso.bytes.data() + 19 * 2048 + 68, 33));
    EXPECT_EQ(le32(std::string(reinterpret_cast<const char*>(inner.record), 33), 2), 21u);
    EXPECT_EQ(le32(std::string(reinterpret_cast<const char*>(inner.record), 33), 10), 3000u);
    EXPECT_STREQ(inner.name, "INNER.BIN;1");
}

TEST(WalkShape, EmptyRootsYieldNothing) {
    HandIso zero_first(20);
    zero_first.set_root(18, 2048);  // first length byte 0
    EXPECT_TRUE(all_records(zero_first).empty());
    HandIso zero_length = small_tree();
    zero_length.set_root(18, 0);  // records present, but the root claims no bytes
    EXPECT_TRUE(all_records(zero_length).empty());
    HandIso no_descriptor(4);  // shorter than the volume descriptor
    EXPECT_TRUE(all_records(no_descriptor).empty());
}

TEST(WalkShape, DirectoryGoesOnAfterAGapInItsSector) {
    // Sector 18 ends with a gap much longer than its last record: a record that did not
    // fit moved on. Sector 19 is left wholly unused, sector 20 carries on.
    HandIso iso(26);
    iso.set_root(18, 3 * 2048);
    size_t off = iso.put_dots(18, 3 * 2048, 18, 3 * 2048);
    off = iso.put_record(18, off, 22, 10, false, "A;1");
    iso.put_record(18, off, 22, 10, false, "B;1");
    iso.put_record(20, 0, 23, 10, false, "C;1");
    EXPECT_EQ(all_records(iso), (Names{"A;1", "B;1", "C;1"}));
}

TEST(WalkShape, DirectoryStopsAtTheEndOfItsExtent) {
    // UPDATE (sector 20, one sector) is packed so that the space left is shorter than
    // its last record; sector 21, right after it, is the OTHER directory.
    HandIso iso(40);
    iso.set_root(18, 2048);
    size_t off = iso.put_dots(18, 2048, 18, 2048);
    iso.put_record(18, off, 19, 2048, true, "PSP_GAME");
    off = iso.put_dots(19, 2048, 18, 2048);
    off = iso.put_record(19, off, 22, 2048, true, "SYSDIR");
    iso.put_record(19, off, 21, 2048, true, "OTHER");
    off = iso.put_dots(22, 2048, 19, 2048);
    iso.put_record(22, off, 20, 2048, true, "UPDATE");
    const int rec = 70;
    off = iso.put_dots(20, 2048, 22, 2048);
    for (int i = 0; off + rec <= 2048; i++)
        off = iso.put_record(20, off, 30, 10, false, "U" + std::to_string(1000 + i), rec);
    ASSERT_LT(2048 - off, static_cast<size_t>(rec));
    off = iso.put_dots(21, 2048, 19, 2048);
    iso.put_record(21, off, 31, 10, false, "FOREIGN.BIN;1");
    search_criteria update{MATCH_UPDATE_DIR, nullptr, 0, 0, 0, nullptr, 0};
    Names found = search(iso, &update);
    EXPECT_EQ(found.size(), static_cast<size_t>((2048 - 68) / rec));
    for (const auto& n : found) EXPECT_EQ(n[0], 'U') << n;
    Names all = all_records(iso);
    EXPECT_EQ(std::count(all.begin(), all.end(), "FOREIGN.BIN;1"), 1);
}

// ---------------------------------------------------------------- damaged trees

TEST(WalkDamage, LoopsBackToAnAncestorAreNotFollowed) {
    HandIso iso(30);
    iso.set_root(18, 2048);
    size_t off = iso.put_dots(18, 2048, 18, 2048);
    off = iso.put_record(18, off, 25, 5, false, "TOP;1");
    iso.put_record(18, off, 19, 2048, true, "A");
    off = iso.put_dots(19, 2048, 18, 2048);
    off = iso.put_record(19, off, 18, 2048, true, "BACK_TO_ROOT");
    iso.put_record(19, off, 20, 2048, true, "B");
    off = iso.put_dots(20, 2048, 19, 2048);
    off = iso.put_record(20, off, 19, 2048, true, "BACK_TO_A");
    off = iso.put_record(20, off, 20, 2048, true, "SELF");
    iso.put_record(20, off, 26, 5, false, "LEAF;1");
    EXPECT_EQ(all_records(iso),
              (Names{"TOP;1", "BACK_TO_ROOT", "BACK_TO_A", "SELF", "LEAF;1", "B", "A"}));
}

// Builds a chain root/D/D/... of `levels` directories, each holding one file, with
// directory identifiers of `name_len` characters. Sector 18 + k is level k.
HandIso chain(int levels, size_t name_len) {
    HandIso iso(20 + levels);
    iso.set_root(18, 2048);
    std::string dname(name_len, 'D');
    for (int k = 0; k <= levels; k++) {
        uint32_t s = 18 + k;
        size_t off = iso.put_dots(s, 2048, k ? s - 1 : s, 2048);
        off = iso.put_record(s, off, 5, 10, false, "F" + std::to_string(k));
        if (k < levels) iso.put_record(s, off, s + 1, 2048, true, dname);
    }
    return iso;
}

// Directories that each claim the rest of the image: the walk stops once it has read an
// image's worth of directory bytes, which a sound image (disjoint extents) never reaches.
TEST(WalkDamage, OverlappingDirectoriesStopAfterAnImagesWorth) {
    HandIso iso(30);
    iso.set_root(18, 12 * 2048);  // sectors 18..29, the rest of the image
    for (uint32_t s = 18; s <= 21; s++) {
        uint32_t len = (30 - s) * 2048;
        size_t off = iso.put_dots(s, len, s > 18 ? s - 1 : s, len + 2048);
        off = iso.put_record(s, off, 5, 10, false, "F" + std::to_string(s));
        if (s < 21) iso.put_record(s, off, s + 1, len - 2048, true, "D" + std::to_string(s + 1));
    }
    search_criteria files{MATCH_KIND, nullptr, 0, 0, 0, nullptr, 0};
    // The root (12 sectors) and D19 (11) read their whole spans, D20 gets the 7 sectors
    // left, D21 none: F21 comes first from D20, not from D21. Each parent, spanning its
    // children's sectors, lists their files again.
    EXPECT_EQ(search(iso, &files),
              (Names{"F18", "F19", "F20", "F21", "F20", "F21", "F19", "F20", "F21"}));
}

// Records shorter than their own fixed fields end their sector, like a zero length byte.
TEST(WalkDamage, RecordTooShortForItsFieldsEndsTheSector) {
    HandIso iso(24);
    iso.set_root(18, 2 * 2048);
    size_t off = iso.put_dots(18, 2 * 2048, 18, 2 * 2048);
    off = iso.put_record(18, off, 5, 10, false, "A;1");
    iso.bytes[18 * 2048 + off] = 20;  // a 20-byte "record" where the next one would be
    iso.put_record(19, 0, 6, 10, false, "B;1");
    EXPECT_EQ(all_records(iso), (Names{"A;1", "B;1"}));
}

TEST(WalkDamage, VeryDeepChainStopsAtTheDepthCap) {
    search_criteria files{MATCH_KIND, nullptr, 0, 0, 0, nullptr, 0};
    Names shallow = search(chain(20, 1), &files);
    EXPECT_EQ(shallow.size(), 21u);  // a chain within the cap is walked to its end
    Names deep = search(chain(MAX_SCAN_DEPTH + 60, 1), &files);
    ASSERT_EQ(deep.size(), static_cast<size_t>(MAX_SCAN_DEPTH) + 1);
    EXPECT_EQ(deep.front(), "F0");  // each file precedes its level's subdirectory
    EXPECT_EQ(deep.back(), "F" + std::to_string(MAX_SCAN_DEPTH));
}

TEST(WalkDamage, PathTextNeverOverflows) {
    // Each level adds 201 bytes ("DDD...D/"); only paths of up to 2047 bytes are formed.
    const size_t len = 200;
    search_criteria files{MATCH_KIND, nullptr, 0, 0, 0, nullptr, 0};
    Names found = search(chain(30, len), &files);
    size_t deepest = (ISO_PATH_ROOM - 1) / (len + 1);
    EXPECT_EQ(found.size(), deepest + 1);
    // The directory that did not fit is still collected as a record of its parent.
    search_criteria dirs{MATCH_KIND, nullptr, 2, 0, 0, nullptr, 0};
    EXPECT_EQ(search(chain(30, len), &dirs).size(), deepest + 1);
}

TEST(WalkDamage, OutOfRangeExtentsAndLengthsEndQuietly) {
    HandIso past_end = small_tree();
    past_end.set_root(5000, 2048);  // root beyond the image
    EXPECT_TRUE(all_records(past_end).empty());
    HandIso huge(24);  // root at 20, its subdirectory before it at 19
    huge.set_root(20, 0xFFFFFFFFu);  // bounded by the image instead
    size_t off = huge.put_dots(20, 2048, 20, 2048);
    huge.put_record(20, off, 19, 2048, true, "SUB");
    huge.put_record(19, huge.put_dots(19, 2048, 20, 2048), 21, 5, false, "IN;1");
    EXPECT_EQ(all_records(huge), (Names{"IN;1", "SUB"}));
    HandIso tiny_record = small_tree();
    tiny_record.bytes[18 * 2048 + 68] = 1;  // a record of one byte: step over it
    EXPECT_LE(all_records(tiny_record).size(), 3u);
}

// ---------------------------------------------------------------- selection

// A tree with names, kinds, sizes and contents for every test:
//   /EBOOT.BIN  /eboot.bin  /EBOOT.BIN;1  /EBOOTBIN  /X.BIN/ (dir, holds IN.TXT)
//   /SND.AT3 ("RIFF")  /LOW.AT3 ("riff")  /PSP_GAME/SYSDIR/UPDATE/{DATA.BIN, SUB/DEEP.BIN}
//   /psp_game/sysdir/update/LOWER.BIN
HandIso selection_tree() {
    HandIso iso(60);
    iso.set_root(18, 2048);
    size_t off = iso.put_dots(18, 2048, 18, 2048);
    off = iso.put_record(18, off, 40, 4096, false, "EBOOT.BIN");
    off = iso.put_record(18, off, 40, 100, false, "eboot.bin");
    off = iso.put_record(18, off, 40, 5000, false, "EBOOT.BIN;1");
    off = iso.put_record(18, off, 40, 100, false, "EBOOTBIN");
    off = iso.put_record(18, off, 19, 2048, true, "X.BIN");
    off = iso.put_record(18, off, 41, 30, false, "SND.AT3");
    off = iso.put_record(18, off, 42, 30, false, "LOW.AT3");
    off = iso.put_record(18, off, 20, 2048, true, "PSP_GAME");
    iso.put_record(18, off, 24, 2048, true, "psp_game");
    iso.put_record(19, iso.put_dots(19, 2048, 18, 2048), 43, 7, false, "IN.TXT");
    iso.put_record(20, iso.put_dots(20, 2048, 18, 2048), 21, 2048, true, "SYSDIR");
    iso.put_record(21, iso.put_dots(21, 2048, 20, 2048), 22, 2048, true, "UPDATE");
    off = iso.put_record(22, iso.put_dots(22, 2048, 21, 2048), 44, 2048, false, "DATA.BIN");
    iso.put_record(22, off, 23, 2048, true, "SUB");
    iso.put_record(23, iso.put_dots(23, 2048, 22, 2048), 45, 10, false, "DEEP.BIN");
    iso.put_record(24, iso.put_dots(24, 2048, 18, 2048), 25, 2048, true, "sysdir");
    iso.put_record(25, iso.put_dots(25, 2048, 24, 2048), 26, 2048, true, "update");
    iso.put_record(26, iso.put_dots(26, 2048, 25, 2048), 46, 10, false, "LOWER.BIN");
    iso.put_data(41, "RIFF....WAVE");
    iso.put_data(42, "riff....WAVE");
    iso.put_data(44, "RIFFupdate");
    return iso;
}

TEST(Selection, ExtensionIgnoresCaseButNotTheVersionSuffix) {
    search_criteria c{MATCH_EXTENSION, ".bin", 0, 0, 0, nullptr, 0};
    Names found = search(selection_tree(), &c);
    std::set<std::string> got(found.begin(), found.end());
    EXPECT_EQ(got, (std::set<std::string>{"EBOOT.BIN", "eboot.bin", "X.BIN", "DATA.BIN",
                                          "DEEP.BIN", "LOWER.BIN"}));
    c.flags |= MATCH_KIND;  // files only: the directory X.BIN drops out
    EXPECT_EQ(search(selection_tree(), &c).size(), 5u);
}

TEST(Selection, KindAndName) {
    search_criteria dirs{MATCH_KIND, nullptr, 2, 0, 0, nullptr, 0};
    EXPECT_EQ(search(selection_tree(), &dirs),
              (Names{"X.BIN", "SUB", "UPDATE", "SYSDIR", "PSP_GAME", "update", "sysdir",
                     "psp_game"}));
    search_criteria any{MATCH_KIND, nullptr, 7, 0, 0, nullptr, 0};
    EXPECT_EQ(search(selection_tree(), &any), all_records(selection_tree()));
    search_criteria name{MATCH_NAME, "OOT", 0, 0, 0, nullptr, 0};
    EXPECT_EQ(search(selection_tree(), &name), (Names{"EBOOT.BIN", "EBOOT.BIN;1", "EBOOTBIN"}));
}

TEST(Selection, UpdateFolderFilesOnlyInAnyCase) {
    search_criteria c{MATCH_UPDATE_DIR, nullptr, 0, 0, 0, nullptr, 0};
    EXPECT_EQ(search(selection_tree(), &c), (Names{"DATA.BIN", "LOWER.BIN"}));
    // The update test decides alone over an extension test that rejected the file.
    search_criteria both{MATCH_UPDATE_DIR | MATCH_EXTENSION, ".xyz", 0, 0, 0, nullptr, 0};
    EXPECT_EQ(search(selection_tree(), &both), (Names{"DATA.BIN", "LOWER.BIN"}));
}

TEST(Selection, SignatureIsReadFromTheFileDataAndSizeTestWins) {
    const unsigned char riff[] = {'R', 'I', 'F', 'F'};
    search_criteria audio{MATCH_KIND | MATCH_SIGNATURE, nullptr, 0, 0, 0, riff, 4};
    EXPECT_EQ(search(selection_tree(), &audio), (Names{"SND.AT3", "DATA.BIN"}));
    audio.signature_len = 0;  // an empty signature matches every file
    EXPECT_EQ(search(selection_tree(), &audio).size(), 10u);
    search_criteria sized{MATCH_SIZE | MATCH_SIGNATURE, nullptr, 0, 4096, 1, riff, 4};
    EXPECT_EQ(search(selection_tree(), &sized), (Names{"EBOOT.BIN;1"}));
    sized.size_mode = 0;
    EXPECT_EQ(search(selection_tree(), &sized), (Names{"EBOOT.BIN"}));
    sized.size_mode = 2;
    sized.size_value = 11;
    EXPECT_EQ(search(selection_tree(), &sized), (Names{"IN.TXT", "DEEP.BIN", "LOWER.BIN"}));
}

TEST(Selection, CapacityIsNeverExceeded) {
    EXPECT_TRUE(search(selection_tree(), nullptr, 0).empty());
    HandIso iso = selection_tree();
    OpenImage img(iso);
    std::vector<file_record> store(4);
    memset(store.data(), 0x5A, sizeof(file_record) * store.size());
    EXPECT_EQ(isoSearchFiles(img.f, store.data(), 3, nullptr), 3);
    EXPECT_STREQ(store[2].name, "EBOOT.BIN;1");
    EXPECT_EQ(store[3].record[0], 0x5A);  // the slot past the capacity stays untouched
    // A scan started at a directory appends after the given count.
    ASSERT_EQ(fseek(img.f, 22 * 2048, SEEK_SET), 0);
    EXPECT_EQ(isoScanFiles(img.f, store.data(), 4, nullptr, 2, "PSP_GAME/SYSDIR/UPDATE/", 2048), 4);
    EXPECT_STREQ(store[2].name, "DATA.BIN");
    EXPECT_STREQ(store[3].name, "DEEP.BIN");
}

// ---------------------------------------------------------------- area table

// A store slot for a file at `extent` of `len` bytes.
file_record slot(uint32_t extent, uint32_t len, const char* name) {
    file_record r{};
    HandIso one(1);
    one.put_record(0, 0, extent, len, false, name);
    memcpy(r.record, one.bytes.data(), 33);
    snprintf(r.name, sizeof r.name, "%s", name);
    return r;
}

class AreaTable : public ::testing::Test {
protected:
    void SetUp() override {
        converter_reset_state();
        ncareas = static_cast<nc_area*>(calloc(MAX_NC_AREAS, sizeof(nc_area)));
    }
    void TearDown() override { converter_reset_state(); }
    // Makes entries from `store` with `kind` in an image of `size` bytes; returns the report.
    std::string make(const std::vector<file_record>& store, int kind, long long size) {
        FILE* log = tmpfile();
        TraiteNCarea(store.data(), size, 0, static_cast<int>(store.size()), kind, log);
        NB_NC_AREAS = static_cast<int>(store.size());
        std::string text(4096, '\0');
        rewind(log);
        text.resize(fread(&text[0], 1, text.size(), log));
        fclose(log);
        return text;
    }
};

TEST_F(AreaTable, EntriesByKind) {
    std::vector<file_record> s{slot(1000, 3 * 2048, "U.BIN")};
    make(s, LOST_AREA_WHOLE, 4000 * 2048LL);
    EXPECT_EQ(ncareas[0].start_block, 1000u);
    EXPECT_EQ(ncareas[0].end_block, 1003u);
    EXPECT_EQ(ncareas[0].type, 34u);
    make(s, LOST_AREA, 4000 * 2048LL);
    EXPECT_EQ(ncareas[0].start_block, 1001u);
    EXPECT_EQ(ncareas[0].end_block, 1003u);
    EXPECT_EQ(ncareas[0].type, 34u);
    make(s, NC_AREA, 4000 * 2048LL);
    EXPECT_EQ(ncareas[0].start_block, 1000u);
    EXPECT_EQ(ncareas[0].type, 12u);
    // A damaged record longer than the image zeroes nothing (it would take every later
    // file); stored plain it costs only size.
    std::vector<file_record> past{slot(1000, 0xFFFFFFFF, "U.BIN"), slot(3998, 3 * 2048, "E")};
    for (int kind : {LOST_AREA_WHOLE, LOST_AREA}) {
        EXPECT_EQ(make(past, kind, 4000 * 2048LL), "") << kind;  // nor reported as removed
        EXPECT_EQ(IsNCArea_type(1001), NO_AREA) << kind;
        EXPECT_EQ(IsNCArea_type(3999), NO_AREA) << kind;
    }
    make(past, NC_AREA, 4000 * 2048LL);
    EXPECT_EQ(IsNCArea_type(1001), NC_AREA);
}

TEST_F(AreaTable, BlockCountRoundsUpAndStaysInsideTheImage) {
    std::vector<file_record> s{slot(10, 2049, "A"), slot(20, 2048, "B"), slot(30, 0, "C"),
                               slot(9, 4096, "D")};
    make(s, NC_AREA, 10 * 2048 + 100);
    EXPECT_EQ(ncareas[0].end_block, 11u);  // beyond the image: one block is taken off
    EXPECT_EQ(ncareas[1].end_block, 20u);
    EXPECT_EQ(ncareas[2].end_block, 29u);  // holds no block either way
    EXPECT_EQ(ncareas[3].end_block, 10u);
    make(s, NC_AREA, 100 * 2048);
    EXPECT_EQ(ncareas[0].end_block, 12u);
    EXPECT_EQ(ncareas[1].end_block, 21u);
    EXPECT_EQ(ncareas[3].end_block, 11u);
}

TEST_F(AreaTable, QueryFirstEntryDecides) {
    EXPECT_EQ(IsNCArea_type(0), NO_AREA);
    std::vector<file_record> s{slot(100, 2048 * 4, "V"), slot(98, 2048 * 10, "E"),
                               slot(200, 2048, "ONE")};
    make(s, NC_AREA, 1000 * 2048LL);
    ncareas[1].type = LOST_AREA;
    ncareas[2].type = LOST_AREA;
    ncareas[2].start_block = 201;  // a one-block Lost file holds no block
    EXPECT_EQ(IsNCArea_type(97), NO_AREA);
    EXPECT_EQ(IsNCArea_type(98), LOST_AREA);
    EXPECT_EQ(IsNCArea_type(100), NC_AREA);
    EXPECT_EQ(IsNCArea_type(103), NC_AREA);
    EXPECT_EQ(IsNCArea_type(104), LOST_AREA);
    EXPECT_EQ(IsNCArea_type(108), NO_AREA);
    EXPECT_EQ(IsNCArea_type(200), NO_AREA);
    EXPECT_EQ(IsNCArea_type(201), NO_AREA);
}

// A crafted name's control characters print as '?': clear the screen, ring the bell, and
// the 8-bit and UTF-8 forms of CSI; UTF-8 text ("中文", whose bytes include 0x96 and 0x87)
// stays.
TEST_F(AreaTable, ReportLines) {
    std::string longname(40, 'N');
    std::vector<file_record> s{slot(0x3E8, 3 * 2048, "DATA.BIN;1"), slot(1, 1023, longname.c_str()),
                               slot(2, 2048, "\x1b[2JOPEN\x07\x7f\x9b" "1m\xc2\x9b" "2m.PMF;1"),
                               slot(3, 2048, "\xe4\xb8\xad\xe6\x96\x87.PMF;1")};
    EXPECT_EQ(make(s, LOST_AREA_WHOLE, 1 << 24),
              "RM  File: " + std::string(25, ' ') + "DATA.BIN;1 (offset=001F4000, size=6KB)\n"
              "RM  File: " + longname + " (offset=00000800, size=0KB)\n"
              "RM  File: " + std::string(13, ' ') + "?[2JOPEN???1m?2m.PMF;1 (offset=00001000, size=2KB)\n"
              "RM  File: " + std::string(23, ' ') + "\xe4\xb8\xad\xe6\x96\x87.PMF;1 (offset=00001800, size=2KB)\n");
    EXPECT_EQ(make(s, NC_AREA, 1 << 24).substr(0, 10), "NC  File: ");
    EXPECT_EQ(make(s, LOST_AREA, 1 << 24).substr(0, 10), "RM  File: ");
}

}  // namespace
