// The converter's failure and warning lines, as its own table converter_messages gives
// them, each with a short Chinese explanation of what went wrong and what to do, for the
// dialogs' reports. No display, no platform.
#pragma once
#include <string>
#include <vector>

// One line the converter can print, as its printf format, and its explanation.
struct ConverterLineExplanation {
    const char* format;       // the converter's format: %d, %u, %llu, %lld, %c and %s fill in
    const char* explanation;  // what went wrong and what to do, in Chinese
    bool warning;             // printed by a run that still succeeds
};

// Returns the explained line whose format matches the whole line, or nullptr (a line
// that is none of the converter's, or one that needs no explanation).
const ConverterLineExplanation* explain_converter_line(const std::string& line);

// Returns the converter's lines that have an explanation, in the order of its table.
const std::vector<ConverterLineExplanation>& explained_converter_lines();

// Returns the formats of the converter's lines that have no explanation and are not
// marked as needing none; empty when every line has its entry.
std::vector<std::string> unmatched_converter_lines();

// Returns true when `line` is `format` with its conversions filled in: %d an optional
// minus and digits, %u, %llu and %lld digits, %c one character, %s any text.
bool line_matches_format(const std::string& line, const char* format);
