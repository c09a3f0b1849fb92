// The image an engine reads, whatever holds it: a plain image read at offsets, or a file
// that starts with a compressed format's magic (CSO v1 or v2, ZSO, DAX), decoded through
// the block reader. Once open, a source is only read: several worker threads may read it
// at once, each through its own cursor (its own payload and block buffers and inflate
// stream).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cso_format.h"
#include "cso_reader.h"

struct img_source;
struct image_cursor;

// Why a read or an open failed: the block that failed (-1 when none did) and the line the
// decompressors print for it.
struct img_fault {
    long long block;
    char line[160];
};

// Opens the image src reads (what it reads stays the caller's, readable until img_close):
// a file with a known magic through the block reader, any other as a plain image. Returns
// CSO_OK with *out set, or the reader's status (cso_status) with fault set; JISO and
// unknown versions are refused here.
int img_open_source(const cso_source& src, img_source** out, img_fault* fault);
// img_open_source on the file f.
int img_open(FILE* f, img_source** out, img_fault* fault);
// Returns the image's size in bytes: what its blocks hold (a CSO that never stored its
// partial last block ends before the size its header records).
uint64_t img_size(const img_source* s);
// Returns the image bytes past img_size that a compressed file's header records but its
// index never held (0 for a plain image).
uint64_t img_unheld_bytes(const img_source* s);
// Returns the format of the file (FORMAT_NONE for a plain image).
image_format img_format(const img_source* s);
// Returns a new cursor for one thread, or nullptr when memory runs out.
image_cursor* img_cursor_new(const img_source* s);
// Reads len image bytes at off (off + len at most img_size) into buf through the cursor;
// returns CSO_OK, or CSO_IO / CSO_BAD_BLOCK with fault set (bytes of buf before the failing
// block are read).
int img_read(image_cursor* c, uint64_t off, void* buf, size_t len, img_fault* fault);
// Frees a cursor (nullptr is allowed).
void img_cursor_free(image_cursor* c);
// Closes the source (nullptr is allowed); free its cursors first.
void img_close(img_source* s);
