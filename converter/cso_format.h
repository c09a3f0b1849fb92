// The CSO format: the header, the block index, and what every reader of ours accepts.
//
// A CSO file is a 24-byte header, then the index (one little-endian 32-bit entry per
// block and one more for the end), then the payloads in block order. Entry i holds the
// file offset of block i's payload shifted right by the header's index alignment, with
// bit 31 set when the block is stored plain (as it is in the image); the next entry marks
// where a compressed payload, one raw deflate stream, ends. Every file we write has
// 2048-byte blocks, alignment 0 and an image of whole blocks; files from other tools may
// have larger blocks, an alignment, images of 4 GiB and more, and a partial last block
// that has an entry of its own (the index then holds one entry more than the whole
// blocks need).
//
// Two relatives share the header and the index. CSO v2 (version byte 2, header size 24,
// reserved bytes 0): a payload as long as a block or longer (padding included) is the
// block as is; a shorter one is a raw LZ4 block when its entry has bit 31 set, else a raw
// deflate stream. ZSO (magic "ZISO", version 0 or 1): bit 31 marks a plain block, every
// other payload is a raw LZ4 block. The DAX format is in dax_format.h.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int BLOCK = 2048;                         // ISO sector; block size of the files we write
constexpr char CSO_MAGIC[] = "CISO";                // the file's first 4 bytes
constexpr size_t CSO_MAGIC_SIZE = 4;
constexpr char ZSO_MAGIC[] = "ZISO";                // a ZSO's first 4 bytes
constexpr char JISO_MAGIC[] = "JISO";               // a format we know of but do not read
constexpr uint8_t CSO_V2 = 2;                       // version byte of CSO v2 (0 and 1: v1)
constexpr uint8_t ZSO_MAX_VERSION = 1;              // ZSO versions 0 and 1 are read
constexpr uint32_t CSO_HEADER_SIZE = 24;            // the index starts right after the header
constexpr uint32_t CSO_ENTRY_SIZE = 4;              // bytes of one index entry
constexpr uint32_t CSO_PLAIN_FLAG = 0x80000000u;    // index bit: the payload is the block as is
constexpr uint32_t CSO_OFFSET_MASK = 0x7FFFFFFFu;   // index bits holding the (shifted) offset
constexpr uint32_t CSO_MAX_BLOCK_SIZE = 1u << 20;   // readers refuse larger blocks
constexpr unsigned CSO_MAX_ALIGN = 30;              // and larger index shifts
constexpr uint64_t CSO_MAX_BLOCKS = UINT32_MAX - 2;  // whole blocks an index can count (with
                                                     // the tail's entry and the end's)

// The 24-byte CSO header, stored byte for byte as laid out here.
struct ciso_header {
    unsigned char magic[4];   // CSO_MAGIC
    uint32_t header_size;     // written as 0, never read
    uint64_t total_bytes;     // image size (our writers stay below 2^32)
    uint32_t block_size;      // BLOCK in every file we write
    uint8_t version;          // 1
    uint8_t index_align;      // offsets in the index are shifted right by this
    uint8_t reserved[2];
};
static_assert(sizeof(ciso_header) == CSO_HEADER_SIZE, "CSO header must be 24 bytes");

// The formats a reader tells apart by their first bytes.
enum image_format {
    FORMAT_NONE,  // no magic we know: a plain image
    FORMAT_CSO1,
    FORMAT_CSO2,
    FORMAT_ZSO,
    FORMAT_DAX,
    FORMAT_JISO,  // known, never read
};

// How one block is stored.
enum block_kind { BLOCK_PLAIN, BLOCK_DEFLATE, BLOCK_LZ4, BLOCK_ZLIB, BLOCK_KINDS };

// What a reader takes from an accepted header (and, for the partial block, its index).
struct cso_layout {
    uint64_t total;     // image size in bytes, all 64 bits
    uint32_t bs;        // block size
    unsigned shift;     // index alignment
    uint32_t whole;     // whole blocks of the image
    uint32_t tail;      // bytes of the image past them (0 when it is whole blocks)
    uint32_t blocks;    // blocks the index holds: `whole`, plus one when it holds the tail
    bool countable;     // the whole blocks are at most CSO_MAX_BLOCKS
    image_format format;
};

// Returns true when the bytes begin with the CSO magic (at least CSO_MAGIC_SIZE of them).
bool cso_magic_at(const void* bytes);
// Returns the format whose magic the first CSO_MAGIC_SIZE bytes hold (CSO v1 for any
// CSO_MAGIC: the version byte tells v2 apart), or FORMAT_NONE.
image_format format_of_magic(const void* bytes);
// Returns the format a CSO or ZSO header says it is, by its magic and version byte.
image_format format_of_header(const ciso_header& h);
// Returns true when a header of a format we read has a version we do not (a CSO's over
// 2, a ZSO's over 1).
bool cso_version_unknown(const ciso_header& h);
// Returns the format's name as -test and -info print it ("CSO v1", "ZSO", ...).
const char* format_name(image_format f);
// Returns the name of a kind of stored block ("plain", "deflate", "LZ4", "zlib").
const char* block_kind_name(block_kind k);
// Returns how a block of a CSO or ZSO is stored, from its entry and its stored length
// (padding included; the plain flag's meaning depends on the format).
block_kind cso_block_kind(image_format f, uint32_t entry, uint64_t stored, uint32_t bs);
// Whether an entry's bit 31 marks a plain block: in CSO v1 and ZSO; v2 knows plain blocks
// by their length and flags LZ4 with it.
inline bool cso_flag_marks_plain(image_format f) { return f != FORMAT_CSO2; }
// Returns true when a reader refuses the header as "ciso file format error": no magic,
// a block size of 0 or over the limit, an empty image, a shift over the limit, or a v2
// header whose size field is not 24 or whose reserved bytes are not 0;
// `sequential` (the optimised decoder) also refuses
// blocks of other than BLOCK bytes, any alignment, and every format but CSO v1.
bool cso_header_refused(const ciso_header& h, int sequential);
// Returns the layout of an accepted header, counting whole blocks only (see
// cso_index_fits for more than CSO_MAX_BLOCKS).
cso_layout cso_layout_of(const ciso_header& h);
// Returns where the payloads start behind an index of `entries` entries.
constexpr uint64_t cso_payload_start(uint64_t entries) {
    return CSO_HEADER_SIZE + CSO_ENTRY_SIZE * entries;
}
// Returns the bytes of the index for a layout: one entry per block and one for the end.
uint64_t cso_index_bytes(const cso_layout& l);
// Returns true when a file of file_size bytes holds the layout's whole index (never
// when the header claims more blocks than an index can count).
bool cso_index_fits(const cso_layout& l, uint64_t file_size);
// Returns the file offset of the payload an index entry points at.
uint64_t cso_entry_offset(uint32_t entry, unsigned shift);
// Returns the stored length of a compressed block from its entry and the next, or -1
// when the offsets decrease or the length is over `cap` (cso_stored_cap in the decoders).
long long cso_stored_length(uint32_t entry, uint32_t next, unsigned shift, uint64_t cap);
// Returns the most bytes a decoder reads of one payload for blocks of bs bytes: two
// blocks (a DAX frame's zlib bound is less); the buffers that hold a payload are this size.
constexpr uint64_t cso_payload_most(uint32_t bs) {
    return 2 * static_cast<uint64_t>(bs);
}
// Returns the longest stored length a block may have with index alignment `shift`: a
// payload of cso_payload_most bytes, and the padding that aligns the next payload. Past
// cso_payload_most there can only be padding.
uint64_t cso_stored_cap(uint32_t bs, unsigned shift);
// Returns true when the index (l.whole + 2 entries read) holds the partial last block:
// the image has a tail, the first payload lies past the longer index, and the extra
// entry ends the file after the tail's own entry.
bool cso_index_holds_tail(const cso_layout& l, const uint32_t* index);
// Returns the image bytes block b of the layout gives: the block size, or the tail for
// the partial last block.
uint32_t cso_block_bytes(const cso_layout& l, uint32_t b);
// Returns the image bytes all the blocks the index holds give (a file that never stored
// its partial last block ends before the size its header records).
uint64_t cso_held_bytes(const cso_layout& l);
