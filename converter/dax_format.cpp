// The DAX format's rules, in one place for every reader.
#include "dax_format.h"

#include <zlib.h>

#include <cstring>

// Compares the first four bytes with the magic and its zero byte.
bool dax_magic_at(const void* bytes) {
    return memcmp(bytes, DAX_MAGIC, DAX_MAGIC_SIZE) == 0;
}

// The last frame holds the image's tail.
uint32_t dax_frames(const dax_header& h) {
    return static_cast<uint32_t>((static_cast<uint64_t>(h.total_bytes) + DAX_FRAME - 1) / DAX_FRAME);
}

// The offsets fill the room between the header and the lengths.
uint64_t dax_lengths_at(const dax_header& h) {
    return DAX_HEADER_SIZE + 4 * static_cast<uint64_t>(dax_frames(h));
}

// The areas follow the lengths.
uint64_t dax_areas_at(const dax_header& h) {
    return dax_lengths_at(h) + 2 * static_cast<uint64_t>(dax_frames(h));
}

// 64-bit sums: a hostile count can't wrap them.
bool dax_tables_fit(const dax_header& h, uint64_t file_size) {
    return file_size >= dax_areas_at(h) + sizeof(dax_nc_area) * static_cast<uint64_t>(h.nc_areas);
}

// zlib's own bound, not a copy of its formula.
bool dax_length_refused(uint32_t stored, bool nc) {
    return !nc && stored > compressBound(DAX_FRAME);
}

// 64-bit end: first + count may pass 2^32.
bool dax_area_refused(const dax_nc_area& a, uint32_t frames) {
    return a.count > 0 && static_cast<uint64_t>(a.first) + a.count > frames;
}
