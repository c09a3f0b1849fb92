// The POSIX platform layer's services beyond platform.h, shared with the Linux dialog,
// which compares names as the converter resolves them and starts with the same streams.
#pragma once

// Returns the malloc'd `path` with its folder resolved as realpath does (links, "." and
// ".." gone), so that one file in an existing folder has one such name; a copy of `path`
// when its folder can't be resolved; nullptr when out of memory.
char* plat_resolved_name(const char* path);
// Gives each standard stream that is closed a stand-in opened on /dev/null for reading
// only, so that no file or pipe the program opens later takes its number and receives
// what is written to the stream; writes to a stand-in fail as they did to the closed
// stream. Ends the program with status 1 when /dev/null can't be opened. Call it first.
void plat_keep_standard_streams();
