// The Windows platform layer's one service beyond platform.h, shared with the Windows
// dialog, which opens the same names as the converter.
#pragma once
#include <string>

// Returns the extended-length form ("\\?\C:\..." or "\\?\UNC\server\...") of a UTF-8
// name made absolute, so names of 260 characters and more open on every Windows; devices
// ("NUL" is "\\.\NUL") stay as they are. Returns "" for a name that can't be converted.
std::wstring plat_long_name(const char* name);
