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
// Checks that the file can hold n + 1 index entries, allocates the index and buffers of
// size1 and size2 bytes, and reads the index; returns 0, or 1 after printing why.
int read_cso_index(uint32_t n, size_t size1, size_t size2);
// Returns the stored length of compressed block b (entries shifted left by `shift`), or
// -1 when the entries decrease or the payload would not fit a `cap`-byte buffer.
long long stored_length(uint32_t b, unsigned shift, uint32_t cap);
// Inflates `len` bytes of block_buf2 into block_buf1 as one block of `bs` bytes;
// returns 0, or 1 after printing the block's inflate or size error.
int inflate_payload(uint32_t b, unsigned len, uint32_t bs);
