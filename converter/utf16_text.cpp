// UTF-16 to UTF-8 with unpaired surrogates kept.
#include "utf16_text.h"

// Appends code point c as UTF-8 (a surrogate as its own 3-byte form).
static void append_utf8(std::string* s, uint32_t c) {
    if (c < 0x80) {
        *s += static_cast<char>(c);
    } else if (c < 0x800) {
        *s += static_cast<char>(0xC0 | (c >> 6));
        *s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *s += static_cast<char>(0xE0 | (c >> 12));
        *s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *s += static_cast<char>(0xF0 | (c >> 18));
        *s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf16_to_utf8(const wchar_t* units, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) {
        uint32_t c = static_cast<uint16_t>(units[i]);
        uint32_t next = i + 1 < n ? static_cast<uint16_t>(units[i + 1]) : 0;
        if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            i++;
        }
        append_utf8(&s, c);
    }
    return s;
}

uint16_t encoded_surrogate_at(const std::string& text, size_t at) {
    if (at + 3 > text.size()) return 0;
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
    if (byte(0) != 0xED || (byte(1) & 0xE0) != 0xA0 || (byte(2) & 0xC0) != 0x80) return 0;
    return static_cast<uint16_t>(0xD000 | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F));
}
