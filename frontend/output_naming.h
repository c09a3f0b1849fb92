// Output naming and file titles of the front-end: plain text functions, no window.
#pragma once
#include <cstdint>
#include <string>

// Returns the output name for an input path: the same path with "cso" for an "iso"
// ending and "iso" for a "cso" ending (any case), setting mode to 0 or 1; any other
// ending gives "ERROR!" and leaves mode as it was.
std::string DeriveOutputName(const std::string& path, int32_t& mode);

// Returns the file name of path without its folder (after the last backslash, else the
// last slash), cut at its last dot when the extension is not wanted.
std::string FileTitleOf(const std::string& path, bool with_extension);
