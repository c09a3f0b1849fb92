// Small text helpers used by the ISO scan.
#pragma once

// Returns the extension part of a name (from its last '.' after the first character,
// or the whole name when there is none), or nullptr for an empty name.
const char* PointeurExtension(const char* name);
// Returns 1 when a and b are equal ignoring the case of ASCII letters, else 0.
int equal_toupper(const char* a, const char* b);
// Copies name into out (room for strlen(name) + 1 bytes) with each control character as
// '?': bytes below 0x20 and 0x7F, U+0080 to U+009F in UTF-8 (C2 80 to C2 9F), and the
// bytes 0x80 to 0x9F outside a UTF-8 sequence (8-bit controls, such as 0x9B for CSI). A
// damaged or crafted image's names must not reach the console or the log as terminal
// commands; UTF-8 text stays as it is.
void printable_name(char* out, const char* name);
