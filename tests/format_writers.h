// Small writers of the compressed formats other tools make (CSO v2, ZSO, DAX), built from
// the formats' published facts with zlib and liblz4, for the tests to read back.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// How a writer stores one block.
enum class Store { PLAIN, DEFLATE, LZ4 };

// Returns a raw deflate stream of data (level 9).
std::string raw_deflate_of(const std::string& data);
// Returns a zlib stream of data (header, deflate, Adler-32).
std::string zlib_of(const std::string& data);
// Returns a raw LZ4 block of data (no frame header).
std::string lz4_of(const std::string& data);
// Returns the little-endian bytes of v, `width` of them.
std::string le(uint64_t v, int width);

// Writes `image` as a CSO (magic "CISO") or ZSO ("ZISO") file with the given version byte
// and blocks of bs bytes, the partial last block with an entry of its own; store(b) picks
// each block's way (a ZSO's blocks are LZ4 or plain). Version 2 pads plain blocks to a
// block and flags LZ4, the others flag plain blocks. A compressed payload that would not be
// shorter than a block is stored plain. Each payload starts at a multiple of 1 << shift,
// the bytes between zero.
std::string write_cso_family(const char* magic, uint8_t version, const std::string& image,
                             uint32_t bs, const std::function<Store(uint32_t)>& store,
                             unsigned shift = 0);
// Writes `image` as a DAX file (version 1) whose NC areas are the (first, count) pairs.
std::string write_dax(const std::string& image, const std::vector<std::pair<uint32_t, uint32_t>>& nc);
