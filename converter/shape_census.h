// -info's count of the deflate payloads that keep zlib's shape (deflate_shape.h), by
// feature, and its verdict for handheld firmware, which starts games from CSO v1 files
// of 2048-byte blocks whose payloads all keep that shape.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cso_format.h"

// The payloads counted so far: how many there were, kept zlib's shape, and had each feature.
struct shape_census {
    uint32_t payloads, in_shape, unreadable, invalid, several, stored, incomplete_litlen,
        incomplete_dist, few_dist, crossing, wrong_size, trailing;
};

// Counts one payload that should decode to `expected` bytes: a raw deflate stream, or a
// zlib stream (`zlib`: its two-byte header and Adler-32 around one) whose deflate part is
// judged. Up to `padding` bytes after a raw stream are the file's alignment, not the
// stream's.
void census_add(shape_census* c, const unsigned char* p, size_t len, uint64_t expected, bool zlib,
                size_t padding);
// Counts one payload whose bytes can't be had (its index entry is broken).
void census_add_unreadable(shape_census* c);
// Prints the census (one line, then one per feature some payload has) and the handheld
// line: ready, or the first reason it is not (block size, format, a feature and its count)
// with the advice that -com from the file writes one that is, given only where -com reads
// the file (`com_reads_file`: it takes an image of the file's size and every payload
// decodes); a broken index (`index_broken`, or an entry the census could not read), then
// an invalid stream, is the reason without that advice, since -com can't read such a file
// either.
void census_print(const shape_census& c, image_format f, uint32_t block_size, bool index_broken,
                  bool com_reads_file);
// Returns whether census_print would give the -com advice were com_reads_file true: the
// file may not start and nothing -com can't read either is the reason. The costly check
// of com_reads_file is needed only then.
bool census_advice_possible(const shape_census& c, image_format f, uint32_t block_size, bool index_broken);
