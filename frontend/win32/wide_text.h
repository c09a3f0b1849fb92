// Conversions between the job core's UTF-8 texts and the wide texts of the Windows calls.
#pragma once
#include <string>

// Returns text (UTF-8) as UTF-16.
std::wstring to_wide(const std::string& text);
// Returns text (UTF-16) as UTF-8.
std::string to_utf8(const std::wstring& text);
