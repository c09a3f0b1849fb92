// ISO 9660 directory walk and the table of NC and Lost areas.
#pragma once
#include <cstdint>
#include <cstdio>

#include "platform.h"

// One collected directory record: its first 33 bytes as on disc, then the identifier as text.
struct file_record {
    unsigned char record[33]; // length, extent (LE at 2), data length (LE at 10), flags (25), LEN_FI (32)
    char name[4096];          // identifier, zero-terminated
};
static_assert(sizeof(file_record) == 4129, "a found-file slot is 4129 bytes");

// Tests that select records during a scan.
enum {
    MATCH_NAME = 0x01,       // identifier contains `text`
    MATCH_KIND = 0x02,       // file or directory, by `entry_kind`
    MATCH_SIZE = 0x04,       // data length compared with `size_value`
    MATCH_SIGNATURE = 0x08,  // file data begins with `signature`
    MATCH_EXTENSION = 0x10,  // extension equals `text`, any case
    MATCH_UPDATE_DIR = 0x20, // file directly inside PSP_GAME/SYSDIR/UPDATE/
};

// Selection tests for one scan; the caller owns the texts.
struct search_criteria {
    uint32_t flags;               // MATCH_* bits
    const char* text;             // for MATCH_NAME / MATCH_EXTENSION
    int entry_kind;               // 0 files only, 2 directories only
    uint32_t size_value;          // for MATCH_SIZE
    int size_mode;                // 0 equal, 1 greater, 2 less
    const unsigned char* signature; // for MATCH_SIGNATURE
    int signature_len;            // bytes of signature
};

// Area kinds.
enum { NO_AREA = 0, NC_AREA = 12, LOST_AREA = 34, LOST_AREA_WHOLE = 59 };

// One area: blocks start_block <= b < end_block.
struct nc_area {
    uint32_t start_block;
    uint32_t end_block;
    uint32_t type; // NC_AREA or LOST_AREA
};

constexpr int MAX_NC_AREAS = 4096;  // room in the area table and the found-file store
constexpr int ISO_PATH_ROOM = 2048;  // bytes of a directory path, terminating zero included
constexpr int MAX_SCAN_DEPTH = 128;  // directory levels below the root the walk descends

extern int media;         // media files to NC areas: 1 audio, 2 video, 3 both (set by the driver)
extern nc_area* ncareas;  // area table, allocated by the driver
extern int NB_NC_AREAS;   // entries of ncareas in use
extern plat_output* scan_log;  // the -log file being written, opened by open_scan_log

// Puts media and the table's count back to their start values (the tests' runs in one
// process); the driver frees the table it allocated.
void reset_area_state();

// Searches the whole image from its root directory; returns the number of records stored
// (none when the stream cannot be put at the root).
int isoSearchFiles(FILE* f, file_record* store, int capacity, const search_criteria* crit);
// Scans the directory of dir_len bytes at the stream's position (and below), storing
// from slot `count` on; returns the new count. dir_len comes from the directory's own record.
int isoScanFiles(FILE* f, file_record* store, int capacity, const search_criteria* crit,
                 int count, const char* path, uint32_t dir_len);
// Finds the requested media/extension/update files and fills ncareas; returns the count,
// or -1 when no area option is set (then nothing is printed and the image is not read).
int searchMediaFiles(int unused);
// Opens the -log file when this run's area search will write one (before the output is
// opened); returns 0, or 1 after "Unable to write log file" or the same-file refusal.
int open_scan_log();
// Removes a -log file that was opened but not finished (a failed run).
void close_scan_log();
// Turns store slots from..to-1 into area entries of `kind`, reporting each one.
void TraiteNCarea(const file_record* store, long long image_size, int from, int to, int kind,
                  FILE* log);
// Returns the area kind of block b: NO_AREA, NC_AREA or LOST_AREA.
int IsNCArea_type(uint32_t b);
