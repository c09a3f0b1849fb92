// Small text helpers used by the ISO scan.
#include "utils.h"

#include <cstring>

const char* PointeurExtension(const char* name) {
    size_t len = strlen(name);
    if (len == 0) return nullptr;
    for (size_t i = len - 1; i >= 1; i--)
        if (name[i] == '.') return name + i;
    return name;  // a leading dot alone does not start an extension
}

// Returns the byte with ASCII a..z mapped to A..Z; other bytes unchanged (no locale).
static unsigned char upper_ascii(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

int equal_toupper(const char* a, const char* b) {
    if (!a || !b) return 0;  // a missing text (empty name's extension) equals nothing
    if (strlen(a) != strlen(b)) return 0;
    for (; *a; a++, b++)
        if (upper_ascii(static_cast<unsigned char>(*a)) != upper_ascii(static_cast<unsigned char>(*b)))
            return 0;
    return 1;
}

// Returns how many continuation bytes a UTF-8 lead byte announces (0 for any other byte).
static int continuations_after(unsigned char c) {
    return c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
}

void printable_name(char* out, const char* name) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
    int pending = 0;  // continuation bytes still due in the current UTF-8 sequence
    for (; *p; p++) {
        bool continuation = *p >= 0x80 && *p <= 0xBF;
        if (p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {  // U+0080..U+009F
            *out++ = '?';
            p++;
            pending = 0;
        } else if (*p < 0x20 || *p == 0x7F || (*p <= 0x9F && continuation && pending == 0)) {
            *out++ = '?';
            pending = 0;
        } else {
            *out++ = static_cast<char>(*p);
            pending = continuation && pending > 0 ? pending - 1 : continuations_after(*p);
        }
    }
    *out = '\0';
}
