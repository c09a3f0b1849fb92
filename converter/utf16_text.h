// UTF-16 names in the converter's and the dialogs' UTF-8: an unpaired surrogate keeps a
// 3-byte form of its own (bytes ED A0..BF, then one more) instead of becoming U+FFFD,
// which could be another file's name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Returns n UTF-16 units (Windows' wide text; each unit's low 16 bits) as UTF-8: a pair
// as its one code point, an unpaired surrogate as its own 3-byte form.
std::string utf16_to_utf8(const wchar_t* units, size_t n);
// Returns the surrogate whose 3-byte form starts at byte `at` of text, or 0 when none does.
uint16_t encoded_surrogate_at(const std::string& text, size_t at);
