// The converter's failure and warning lines, each with a short Chinese explanation of
// what went wrong and what to do, for the dialogs' reports. No display, no platform.
#pragma once
#include <string>

// One line the converter can print, as its printf format, and its explanation.
struct ConverterLineExplanation {
    const char* format;       // the converter's format: %d, %u, %lld, %c and %s fill in
    const char* explanation;  // what went wrong and what to do, in Chinese
    bool warning;             // printed by a run that still succeeds
};

// Returns the table entry whose format matches the whole line, or nullptr.
const ConverterLineExplanation* explain_converter_line(const std::string& line);

// Returns true when `line` is `format` with its conversions filled in: %d an optional
// minus and digits, %u and %lld digits, %c one character, %s any text.
bool line_matches_format(const std::string& line, const char* format);
