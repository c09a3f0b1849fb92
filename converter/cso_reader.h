// The one block reader behind both decompressors, -test, -info and the dialogs'
// verification: it checks the header and the index as the decompressors always have,
// reads the payloads in large spans (a thread of its own reads the next span while the
// current one is decoded) and decodes each block whole.
#pragma once
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "cso_format.h"
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
    ciso_header hdr;       // as read from the file
    cso_layout lay;        // what the header and the index say
    int sequential;        // 1: each payload must follow the one before, unshifted, from
                           // the end of the index (the optimised decoder's walk)
    uint64_t walk_pos;     // end of the previous payload
    uint32_t* index;       // lay.whole + 2 entries; lay.blocks + 1 of them in use
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
// Decodes block b (blocks in order) into dst, lay.bs bytes of which
// cso_block_bytes(lay, b) are the image's; returns CSO_OK, CSO_IO or CSO_BAD_BLOCK with
// r->fault set.
int cso_decode(cso_reader* r, uint32_t b, unsigned char* dst);
// Stops the thread, ends the reader's own stream and frees what the reader holds.
void cso_close(cso_reader* r);
