// Reference compressor and decompressor.
#pragma once

// Compresses fin into fout at deflate level `lvl`; returns 0 or 1.
int comp_ciso(int lvl);
// Decompresses the CSO in fin into fout, following its header; returns 0 or 1.
int decomp_ciso();

// Shared by both decompressors:
#include <cstddef>
#include <cstdint>
// Reads and checks the header; `optimised` also requires 2048-byte blocks and no
// alignment. Returns 0, or 1 after printing why.
int read_cso_header(int optimised);
// Checks that the file can hold n + 1 index entries, allocates the index and the buffers
// decode_blocks needs for blocks of bs bytes, and reads the index; returns 0, or 1 after
// printing why.
int read_cso_index(uint32_t n, uint32_t bs);
// Returns the stored length of compressed block b (entries shifted left by `shift`), or
// -1 when the entries decrease or the payload would not fit a `cap`-byte buffer.
long long stored_length(uint32_t b, unsigned shift, uint32_t cap);
// Decodes the n blocks of bs bytes whose index read_cso_index read into fout, with the
// progress lines; `optimised` requires each payload right after the previous one and
// unshifted entries. Returns 0, or 1 after printing the first block's read, inflate,
// size or write error.
int decode_blocks(uint32_t n, uint32_t bs, int optimised);
