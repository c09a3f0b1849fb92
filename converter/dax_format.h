// The DAX format: a 32-byte header, then one 32-bit file offset per 8192-byte frame of the
// image (no end entry), one 16-bit stored length per frame, and the NC areas, pairs of a
// first frame and a frame count. A frame inside an NC area is stored as it is; every
// other frame is one zlib stream (two-byte header, deflate, Adler-32) that gives the
// frame's image bytes. All integers are little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr char DAX_MAGIC[] = "DAX";               // with its zero byte: the first 4 bytes
constexpr size_t DAX_MAGIC_SIZE = 4;
constexpr uint32_t DAX_HEADER_SIZE = 32;          // the offsets start right after it
constexpr uint32_t DAX_FRAME = 8192;              // image bytes per frame
constexpr uint32_t DAX_MAX_VERSION = 1;           // versions 0 and 1 are read

// The 32-byte DAX header, stored byte for byte as laid out here.
struct dax_header {
    unsigned char magic[4];  // DAX_MAGIC and its zero byte
    uint32_t total_bytes;    // image size
    uint32_t version;        // 0 or 1
    uint32_t nc_areas;       // NC area pairs after the lengths
    uint32_t reserved[4];
};
static_assert(sizeof(dax_header) == DAX_HEADER_SIZE, "DAX header must be 32 bytes");

// One NC area as stored: frames first .. first + count - 1 are stored plain.
struct dax_nc_area {
    uint32_t first;
    uint32_t count;
};

// Returns true when the bytes begin with the DAX magic (at least DAX_MAGIC_SIZE of them).
bool dax_magic_at(const void* bytes);
// Returns the frames of the image: its size divided by DAX_FRAME, rounded up.
uint32_t dax_frames(const dax_header& h);
// Returns the file offset of the stored lengths and of the NC areas.
uint64_t dax_lengths_at(const dax_header& h);
uint64_t dax_areas_at(const dax_header& h);
// Returns true when a file of file_size bytes holds the header and all three tables.
bool dax_tables_fit(const dax_header& h, uint64_t file_size);
// Returns true when a frame's stored length is refused: over zlib's bound for a frame's
// bytes (compressBound: 8207), for a zlib frame, which a frame that does not shrink comes
// near (8203 bytes as one stored block); an NC frame's stored length is never used.
bool dax_length_refused(uint32_t stored, bool nc);
// Returns true when the area reaches past the image's last frame (a count of 0 never does).
bool dax_area_refused(const dax_nc_area& a, uint32_t frames);
