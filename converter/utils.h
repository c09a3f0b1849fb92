// Small text helpers used by the ISO scan.
#pragma once

// Returns the extension part of a name (from its last '.' after the first character,
// or the whole name when there is none), or nullptr for an empty name.
const char* PointeurExtension(const char* name);
// Returns 1 when a and b are equal ignoring the case of ASCII letters, else 0.
int equal_toupper(const char* a, const char* b);
