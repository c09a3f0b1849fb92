// The CSO format's rules, in one place for every reader.
#include "cso_format.h"

#include <cstring>

#include "dax_format.h"

// Compares the first four bytes with the magic.
bool cso_magic_at(const void* bytes) {
    return memcmp(bytes, CSO_MAGIC, CSO_MAGIC_SIZE) == 0;
}

// Every magic is four bytes long.
image_format format_of_magic(const void* bytes) {
    if (cso_magic_at(bytes)) return FORMAT_CSO1;
    if (memcmp(bytes, ZSO_MAGIC, CSO_MAGIC_SIZE) == 0) return FORMAT_ZSO;
    if (dax_magic_at(bytes)) return FORMAT_DAX;
    if (memcmp(bytes, JISO_MAGIC, CSO_MAGIC_SIZE) == 0) return FORMAT_JISO;
    return FORMAT_NONE;
}

// Version 2 is the only CSO version that reads differently.
image_format format_of_header(const ciso_header& h) {
    image_format f = format_of_magic(h.magic);
    return f == FORMAT_CSO1 && h.version == CSO_V2 ? FORMAT_CSO2 : f;
}

// Versions past those the formats define.
bool cso_version_unknown(const ciso_header& h) {
    image_format f = format_of_magic(h.magic);
    return (f == FORMAT_CSO1 && h.version > CSO_V2) || (f == FORMAT_ZSO && h.version > ZSO_MAX_VERSION);
}

const char* format_name(image_format f) {
    static const char* const names[] = {"plain image", "CSO v1", "CSO v2", "ZSO", "DAX", "JISO"};
    return names[f];
}

// The names -info counts blocks by.
const char* block_kind_name(block_kind k) {
    static const char* const names[] = {"plain", "deflate", "LZ4", "zlib"};
    return names[k];
}

block_kind cso_block_kind(image_format f, uint32_t entry, uint64_t stored, uint32_t bs) {
    bool flag = (entry & CSO_PLAIN_FLAG) != 0;
    if (!cso_flag_marks_plain(f))
        return stored >= bs ? BLOCK_PLAIN : flag ? BLOCK_LZ4 : BLOCK_DEFLATE;
    if (flag) return BLOCK_PLAIN;
    return f == FORMAT_ZSO ? BLOCK_LZ4 : BLOCK_DEFLATE;
}

// A v2 header's fixed fields.
static bool v2_fields_refused(const ciso_header& h) {
    return h.header_size != CSO_HEADER_SIZE || h.reserved[0] != 0 || h.reserved[1] != 0;
}

// The checks every decoder makes before it reads the index.
bool cso_header_refused(const ciso_header& h, int sequential) {
    image_format f = format_of_header(h);
    if (f != FORMAT_CSO1 && f != FORMAT_CSO2 && f != FORMAT_ZSO) return true;
    if (h.block_size == 0 || h.total_bytes == 0) return true;
    if (h.block_size > CSO_MAX_BLOCK_SIZE || h.index_align > CSO_MAX_ALIGN) return true;
    if (f == FORMAT_CSO2 && v2_fields_refused(h)) return true;
    return sequential && (f != FORMAT_CSO1 || h.block_size != static_cast<uint32_t>(BLOCK) ||
                          h.index_align != 0);
}

// Whole blocks only: whether the tail has an entry is known once the index is read.
cso_layout cso_layout_of(const ciso_header& h) {
    cso_layout l{};
    l.total = h.total_bytes;
    l.bs = h.block_size;
    l.shift = h.index_align;
    l.countable = l.total / l.bs <= CSO_MAX_BLOCKS;
    l.whole = l.countable ? static_cast<uint32_t>(l.total / l.bs) : 0;
    l.tail = static_cast<uint32_t>(l.total % l.bs);
    l.blocks = l.whole;
    l.format = format_of_header(h);
    return l;
}

uint64_t cso_index_bytes(const cso_layout& l) {
    return CSO_ENTRY_SIZE * (static_cast<uint64_t>(l.blocks) + 1);
}

// The header and the whole index must be in the file.
bool cso_index_fits(const cso_layout& l, uint64_t file_size) {
    return l.countable && file_size >= CSO_HEADER_SIZE &&
           file_size - CSO_HEADER_SIZE >= cso_index_bytes(l);
}

// Entries hold offsets shifted right by the alignment; 64 bits, since shifted they may
// lie past 4 GiB.
uint64_t cso_entry_offset(uint32_t entry, unsigned shift) {
    return static_cast<uint64_t>(entry & CSO_OFFSET_MASK) << shift;
}

// The distance to the next payload, padding included.
long long cso_stored_length(uint32_t entry, uint32_t next, unsigned shift, uint64_t cap) {
    uint32_t cur = entry & CSO_OFFSET_MASK, end = next & CSO_OFFSET_MASK;
    if (end < cur) return -1;
    uint64_t len = static_cast<uint64_t>(end - cur) << shift;
    return len > cap ? -1 : static_cast<long long>(len);
}

uint64_t cso_stored_cap(uint32_t bs, unsigned shift) {
    return cso_payload_most(bs) + (static_cast<uint64_t>(1) << shift) - 1;
}

// A file that does not store its tail has only zero padding (or block 0's payload)
// where the longer index's last entry would be, so that entry would not end the file.
bool cso_index_holds_tail(const cso_layout& l, const uint32_t* index) {
    if (l.tail == 0) return false;
    uint64_t longer = cso_payload_start(static_cast<uint64_t>(l.whole) + 2);
    uint32_t last = index[l.whole], end = index[l.whole + 1];
    return cso_entry_offset(index[0], l.shift) >= longer && (end & CSO_PLAIN_FLAG) == 0 &&
           (end & CSO_OFFSET_MASK) > (last & CSO_OFFSET_MASK);
}

uint32_t cso_block_bytes(const cso_layout& l, uint32_t b) {
    return b == l.whole && l.tail ? l.tail : l.bs;
}

uint64_t cso_held_bytes(const cso_layout& l) {
    if (l.blocks == 0) return 0;
    return static_cast<uint64_t>(l.blocks - 1) * l.bs + cso_block_bytes(l, l.blocks - 1);
}
