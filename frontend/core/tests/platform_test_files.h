// What the tests of both operating-system layers share: a file read whole, and a
// converter's output read to its end.
#pragma once
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "job_platform.h"

// Returns a file's whole contents, "" when it can't be read (on Windows, give the name
// as UTF-16: a narrow one would be taken in the ANSI code page).
inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Reads a process's output until it closes.
inline std::string read_all(ConverterProcess& p) {
    std::string text;
    char buf[7];  // small on purpose: lines arrive in several pieces
    while (size_t n = p.read_output(buf, sizeof buf)) text.append(buf, n);
    return text;
}
