// Conversions between the job core's UTF-8 texts and the wide texts of the Windows calls,
// and the longest name those calls take.
#pragma once
#include <cstddef>
#include <string>

// The longest name, in UTF-16 units, that the wide calls take.
const size_t LONGEST_PATH_CHARS = 32768;

// Returns text (UTF-8) as UTF-16.
std::wstring to_wide(const std::string& text);
// Returns text (UTF-16) as UTF-8.
std::string to_utf8(const std::wstring& text);
