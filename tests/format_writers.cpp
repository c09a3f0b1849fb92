// Writers of CSO v2, ZSO and DAX files for the tests.
#include "format_writers.h"

#include <lz4.h>
#include <zlib.h>

#include <tuple>

namespace {

// Runs deflate over data with the window bits that choose raw (-15) or zlib (15) framing.
std::string deflate_with(const std::string& data, int window) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, window, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

// Returns block b's payload and whether it is stored plain.
std::pair<std::string, bool> payload_of(const std::string& block, Store how, uint32_t bs) {
    std::string p = how == Store::DEFLATE ? raw_deflate_of(block) : how == Store::LZ4 ? lz4_of(block) : "";
    if (how != Store::PLAIN && p.size() < bs) return {p, false};
    return {block, true};
}

}  // namespace

std::string raw_deflate_of(const std::string& data) {
    return deflate_with(data, -15);
}

std::string zlib_of(const std::string& data) {
    return deflate_with(data, 15);
}

std::string lz4_of(const std::string& data) {
    std::string out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(data.size()))), '\0');
    int n = LZ4_compress_default(data.data(), &out[0], static_cast<int>(data.size()), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string le(uint64_t v, int width) {
    std::string s;
    for (int i = 0; i < width; i++) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::string write_cso_family(const char* magic, uint8_t version, const std::string& image,
                             uint32_t bs, const std::function<Store(uint32_t)>& store,
                             unsigned shift) {
    uint32_t n = static_cast<uint32_t>((image.size() + bs - 1) / bs), unit = 1u << shift;
    std::string head = std::string(magic, 4) + le(24, 4) + le(image.size(), 8) + le(bs, 4) +
                       static_cast<char>(version) + static_cast<char>(shift) + std::string(2, '\0');
    std::string index, data;
    uint32_t start = 24 + 4 * (n + 1), pos = (start + unit - 1) / unit * unit;
    data.resize(pos - start, '\0');
    for (uint32_t b = 0; b < n; b++) {
        Store how = store(b);
        std::string block = image.substr(static_cast<size_t>(b) * bs, bs);
        auto [p, plain] = payload_of(block, how, bs);
        // A v2 reader takes a payload whose padded length reaches a block as plain.
        if (version == 2 && !plain && (p.size() + unit - 1) / unit * unit >= bs)
            std::tie(p, plain) = payload_of(block, Store::PLAIN, bs);
        if (plain && version == 2) p.resize(bs, '\0');
        uint32_t flag = version == 2 ? (!plain && how == Store::LZ4) : plain;
        index += le((pos >> shift) | flag << 31, 4);
        p.resize((p.size() + unit - 1) / unit * unit, '\0');
        data += p;
        pos += static_cast<uint32_t>(p.size());
    }
    return head + index + le(pos >> shift, 4) + data;
}

std::string write_dax(const std::string& image, const std::vector<std::pair<uint32_t, uint32_t>>& nc) {
    const uint32_t frame = 8192;
    uint32_t n = static_cast<uint32_t>((image.size() + frame - 1) / frame);
    std::vector<bool> plain(n, false);
    std::string areas;
    for (auto [first, count] : nc) {
        areas += le(first, 4) + le(count, 4);
        for (uint32_t f = first; f < first + count && f < n; f++) plain[f] = true;
    }
    std::string offsets, lengths, data;
    uint32_t pos = 32 + 6 * n + static_cast<uint32_t>(areas.size());
    for (uint32_t f = 0; f < n; f++) {
        std::string bytes = image.substr(static_cast<size_t>(f) * frame, frame);
        std::string p = plain[f] ? bytes : zlib_of(bytes);
        offsets += le(pos, 4);
        lengths += le(p.size(), 2);
        data += p;
        pos += static_cast<uint32_t>(p.size());
    }
    std::string head = std::string("DAX\0", 4) + le(image.size(), 4) + le(1, 4) + le(nc.size(), 4) + std::string(16, '\0');
    return head + offsets + lengths + areas + data;
}
