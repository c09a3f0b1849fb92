// A small CSO writer for tests: 2048-byte blocks, one raw deflate stream per block,
// blocks stored plain when their stream is not shorter, payloads padded to 1 << align.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// Appends a little-endian 32-bit value.
inline void tiny_cso_put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; i++) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Returns the raw deflate stream of one block, or "" when it is not shorter than the block.
inline std::string tiny_cso_deflate(const char* block, size_t size) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> out(2 * size + 64);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block));
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    size_t len = out.size() - z.avail_out;
    deflateEnd(&z);
    return len < size ? std::string(out.begin(), out.begin() + len) : "";
}

// Returns the CSO file of `image`.
inline std::string make_cso(const std::string& image, unsigned align = 0) {
    const size_t bs = 2048, n = image.size() / bs;
    std::string head = "CISO";
    tiny_cso_put32(head, 0);
    tiny_cso_put32(head, static_cast<uint32_t>(image.size()));
    tiny_cso_put32(head, 0);
    tiny_cso_put32(head, bs);
    head += std::string{1, static_cast<char>(align), 0, 0};
    std::string payloads, index;
    size_t pos = head.size() + 4 * (n + 1);
    for (size_t b = 0; b <= n; b++) {
        while ((pos + payloads.size()) % (size_t(1) << align)) payloads += '\0';
        uint32_t entry = static_cast<uint32_t>((pos + payloads.size()) >> align);
        if (b == n) { tiny_cso_put32(index, entry); break; }
        std::string z = tiny_cso_deflate(&image[b * bs], bs);
        tiny_cso_put32(index, z.empty() ? entry | 0x80000000u : entry);
        payloads += z.empty() ? image.substr(b * bs, bs) : z;
    }
    return head + index + payloads;
}

// Returns the CSO of `image` damaged as `how` says ("flip": the first byte of block 16's
// payload flipped, the last-block bit of its stream; "cut": the last 10 bytes cut off;
// "index": block 16's index entry one byte too far), or "" when the image is too short.
inline std::string damaged_cso(const std::string& image, const std::string& how) {
    std::string cso = make_cso(image);
    if (cso.size() < 24 + 4 * 18) return "";
    const size_t at = 24 + 4 * 16;  // block 16's index entry
    uint32_t entry = 0;
    for (int i = 3; i >= 0; i--) entry = (entry << 8) | static_cast<unsigned char>(cso[at + i]);
    if (how == "flip") cso[entry & 0x7FFFFFFF] ^= 0x01;
    if (how == "cut") cso.resize(cso.size() - 10);
    if (how == "index") {
        std::string moved;
        tiny_cso_put32(moved, entry + 1);
        cso.replace(at, 4, moved);
    }
    return cso;
}
