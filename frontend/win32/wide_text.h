// Conversions between the job core's UTF-8 texts and the wide texts of the Windows calls,
// and the longest name those calls take.
#pragma once
#include <cstddef>
#include <string>

// The longest name, in UTF-16 units, that the wide calls take.
const size_t LONGEST_PATH_CHARS = 32768;

// Returns text (UTF-8) as UTF-16. The form to_utf8 gives an unpaired surrogate comes back
// as that surrogate, so a name holding one never turns into another file's name.
std::wstring to_wide(const std::string& text);
// Returns text (UTF-16) as UTF-8, an unpaired surrogate as its own 3-byte form.
std::string to_utf8(const std::wstring& text);
