// The POSIX platform layer's one service beyond platform.h, shared with the Linux dialog,
// which compares names as the converter resolves them.
#pragma once

// Returns the malloc'd `path` with its folder resolved as realpath does (links, "." and
// ".." gone), so that one file in an existing folder has one such name; a copy of `path`
// when its folder can't be resolved; nullptr when out of memory.
char* plat_resolved_name(const char* path);
