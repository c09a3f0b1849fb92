// Output naming and file titles of the front-end: plain text functions, no window.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Returns the output name for an input path: the same path with "cso" for an "iso"
// ending and "iso" for a "cso", "zso" or "dax" ending (any case), setting mode to 0 or 1;
// any other ending gives "ERROR!" and leaves mode as it was.
std::string DeriveOutputName(const std::string& path, int32_t& mode);

// Returns the position of the last folder separator in path (npos when it has none) on a
// platform whose separator is `separator`: with '\\' the last backslash or slash (Windows
// takes both), with '/' the last slash only (a backslash is a letter of POSIX names).
size_t LastSeparatorOf(const std::string& path, char separator);

// Returns the file name of path without its folder (after LastSeparatorOf), cut at its
// last dot when the extension is not wanted.
std::string FileTitleOf(const std::string& path, bool with_extension, char separator);

// Returns the input box's text for files chosen together: the first name and, when there
// are more, how many more ("/games/a.iso (+2)").
std::string QueueBoxText(const std::string& first, size_t count);

// Returns the output name of one queued input: its derived name beside it, or in
// `folder` (given with its trailing separator) when that is not empty; sets mode as
// DeriveOutputName does, and gives "ERROR!" for an input with neither extension.
std::string QueueOutputName(const std::string& input, const std::string& folder, char separator,
                            int32_t& mode);

// Returns a name's key as the platform compares names: equal keys name one file.
using PathKeyOf = std::function<std::string(const std::string&)>;

// Returns the paths with every repeat of an earlier one (an equal key) left out, in their
// order.
std::vector<std::string> DistinctPaths(const std::vector<std::string>& paths, const PathKeyOf& key);
