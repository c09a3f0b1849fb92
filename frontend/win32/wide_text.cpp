// UTF-8 and UTF-16 conversions: the system's own converter, except for unpaired
// surrogates, which keep their own form both ways (see utf16_text.h).
#include "wide_text.h"

#include <windows.h>

#include "utf16_text.h"

// Returns valid UTF-8 as UTF-16 (a byte that starts no sequence gives U+FFFD).
static std::wstring system_wide(const char* text, size_t size) {
    if (size == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), &wide[0], n);
    return wide;
}

// Returns text (UTF-8) as UTF-16, each surrogate's own form as that surrogate.
std::wstring to_wide(const std::string& text) {
    std::wstring wide;
    size_t from = 0;
    for (size_t at = 0; at < text.size(); at++) {
        uint16_t surrogate = encoded_surrogate_at(text, at);
        if (!surrogate) continue;
        wide += system_wide(text.data() + from, at - from);
        wide += static_cast<wchar_t>(surrogate);
        from = at + 3;
        at += 2;
    }
    return wide + system_wide(text.data() + from, text.size() - from);
}

std::string to_utf8(const std::wstring& text) {
    return utf16_to_utf8(text.data(), text.size());
}
