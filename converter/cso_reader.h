// The one block reader behind both decompressors, -test, -info and the dialogs'
// verification: it checks the header and the index as the decompressors always have,
// reads the payloads in large spans (a thread of its own reads the next span while the
// current one is decoded) and decodes each block whole. It reads CSO v1 and v2, ZSO and
// DAX (a DAX frame is a block here), and refuses JISO and versions it does not know.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "cso_format.h"
#include "dax_format.h"
#include "platform.h"

// Where a reader's bytes come from: a converter stream, or a file of the dialogs.
struct cso_source {
    size_t (*read_at)(void* ctx, uint64_t off, void* buf, size_t len);  // bytes read: fewer
                                                                       // past the end or on an error
    void* ctx;      // what read_at reads
    uint64_t size;  // the file's size in bytes
};

// Why a reader stopped; fault holds the decompressors' line for it.
enum cso_status {
    CSO_OK = 0,
    CSO_SHORT_HEADER,  // the file is shorter than a header: "file read error"
    CSO_FORMAT,        // the header is refused: "ciso file format error"
    CSO_SHORT_INDEX,   // the index is not all in the file: "file read error"
    CSO_NO_MEMORY,     // "Can't allocate memory"
    CSO_IO,            // bytes inside the file could not be read (the header's, the
                       // index's: "file read error"; a payload's: its block's read error)
    CSO_BAD_BLOCK,     // a block can't be decoded: payload outside the file or where the
                       // walk can't take it, a bad stream, a short block, no inflate stream
    CSO_UNSUPPORTED,   // JISO, or a version we do not read: "Unsupported ..."
};

// Where block b's stored bytes are and how they are stored.
struct cso_place {
    uint64_t off;     // file offset
    uint64_t len;     // bytes to read: the image bytes of a plain block, else the stored
                      // length up to two blocks (past them lies only alignment padding)
    uint64_t stored;  // a compressed block's stored length, padding included
    block_kind kind;
};

// What decoding one payload needs beside its bytes: the inflate stream that decodes again
// (and words) whatever the fast decoders refuse, and room for the failure line.
struct cso_scratch {
    z_stream* z;     // opened at the first deflate or zlib payload when *z_mode is 0
    int* z_mode;     // 0 nothing open, 2 inflate
    char* fault;
    size_t room;
};

// Payload bytes in hand: what the file held at `off` when last read.
struct cso_span {
    unsigned char* buf;  // the span
    size_t cap;          // its size
    uint64_t off;        // file offset of buf[0]
    size_t len;          // bytes read there
};

// The span after the one in hand, read by the reader's own thread while that one is
// decoded. Only one thread reads the file at any time.
struct cso_read_ahead {
    cso_span next;        // the span asked for, once `done` has counted it
    uint64_t overlap;     // bytes it shares with the span before: the longest payload
    int pending;          // 1 while a span is asked for and not taken
    int started;          // 1 once the thread was tried (it may not have started)
    uint32_t asked;       // spans asked for so far
    plat_count* wanted;   // spans asked for, counted for the thread
    plat_count* done;     // spans the thread has read
    plat_thread* thread;  // the thread, or nullptr: every span is then read when needed
    const cso_source* src;
};

// One CSO being read.
struct cso_reader {
    cso_source src;
    ciso_header hdr;       // as read from the file (a DAX header in these fields' terms)
    dax_header dax;        // a DAX file's own header
    cso_layout lay;        // what the header and the index say
    int sequential;        // 1: each payload must follow the one before, unshifted, from
                           // the end of the index (the optimised decoder's walk); an
                           // empty one reads nothing and fails as the decoder's error
    uint64_t walk_pos;     // end of the previous payload
    uint32_t* index;       // lay.whole + 2 entries; lay.blocks + 1 of them in use (DAX:
                           // the frames' offsets, no end entry)
    uint16_t* dax_len;     // DAX: each frame's stored length
    uint8_t* dax_nc;       // DAX: 1 for a frame inside an NC area
    unsigned char* spans;  // the payload span in hand and the one read ahead
    cso_span in;
    cso_read_ahead ahead;
    z_stream own_z;        // the inflate stream, unless the caller lends one
    int own_z_mode;
    z_stream* z;           // the stream blocks are inflated with
    int* z_mode;           // what *z holds open: 0 nothing, 2 inflate
    char fault[160];       // the first failure, worded as the decompressors print it
};

// Returns the source of bytes for an open converter stream.
cso_source cso_stream_source(FILE* f);
// Reads and checks the header and the index of src; `sequential` as in cso_reader.
// Returns CSO_OK, or the status with r->fault set. Close the reader either way.
int cso_open(cso_reader* r, const cso_source& src, int sequential);
// Inflates with *z (opened at the first compressed block when *z_mode is 0) instead of
// the reader's own stream; call before the first cso_decode.
void cso_lend_stream(cso_reader* r, z_stream* z, int* z_mode);
// Finds block b (below lay.blocks) of an opened reader, without the sequential walk's
// check; returns 0, or -1 when its entries are refused (a read error of the block).
// Reads nothing: safe from several threads at once.
int cso_locate(const cso_reader* r, uint32_t b, cso_place* p);
// Decodes block b's payload p[0..len) of the given kind into dst (room bytes, at least
// l.bs; any past the block's may be written) and checks it gives the block's image bytes;
// returns CSO_OK, or CSO_BAD_BLOCK with the decompressors' line in s.fault.
int cso_decode_payload(const cso_layout& l, uint32_t b, block_kind kind, const unsigned char* p,
                       size_t len, unsigned char* dst, size_t room, const cso_scratch& s);
// Decodes block b (blocks in order) into dst, lay.bs bytes of which
// cso_block_bytes(lay, b) are the image's; returns CSO_OK, CSO_IO or CSO_BAD_BLOCK with
// r->fault set.
int cso_decode(cso_reader* r, uint32_t b, unsigned char* dst);
// Stops the thread, ends the reader's own stream and frees what the reader holds.
void cso_close(cso_reader* r);
