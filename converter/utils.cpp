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

void printable_name(char* out, const char* name) {
    for (; *name; name++, out++) {
        unsigned char c = static_cast<unsigned char>(*name);
        *out = c < 0x20 || c == 0x7F ? '?' : *name;
    }
    *out = '\0';
}
