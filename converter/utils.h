// Small text helpers used by the ISO scan.
#pragma once

// Returns the extension part of a name (from its last '.' after the first character,
// or the whole name when there is none), or nullptr for an empty name.
const char* PointeurExtension(const char* name);
// Returns 1 when a and b are equal ignoring the case of ASCII letters, else 0.
int equal_toupper(const char* a, const char* b);
// Copies name into out (room for strlen(name) + 1 bytes) with each control character
// (below 0x20, and 0x7F) as '?': a damaged or crafted image's names must not reach the
// console or the log as terminal commands.
void printable_name(char* out, const char* name);
