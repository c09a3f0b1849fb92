// Output naming and file titles of the front-end.
#include "output_naming.h"

#include <algorithm>

// Lower-cases the last three characters, ASCII letters only: tolower follows the user's
// locale, which in Turkish leaves 'I' as it is. "" when the path is shorter.
static std::string last_three_lower(const std::string& path) {
    if (path.size() < 3) return "";
    std::string tail = path.substr(path.size() - 3);
    for (char& c : tail)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return tail;
}

// Removes from the end every character that occurs among the last three (as written),
// up to the first one that does not, and appends the new ending.
static std::string replace_ending(const std::string& path, const char* ending) {
    std::string set = path.substr(path.size() - 3);
    size_t keep = path.size();
    while (keep > 0 && set.find(path[keep - 1]) != std::string::npos) keep--;
    return path.substr(0, keep) + ending;
}

// Returns the output name for path, switching mode by its ending.
std::string DeriveOutputName(const std::string& path, int32_t& mode) {
    std::string tail = last_three_lower(path);
    if (tail == "iso") {
        mode = 0;
        return replace_ending(path, "cso");
    }
    if (tail == "cso" || tail == "zso" || tail == "dax") {
        mode = 1;
        return replace_ending(path, "iso");
    }
    return "ERROR!";
}

// Either separator on Windows; only '/' where it is the one.
size_t LastSeparatorOf(const std::string& path, char separator) {
    return path.find_last_of(separator == '/' ? "/" : "/\\");
}

// Returns the file name of path, with or without its extension.
std::string FileTitleOf(const std::string& path, bool with_extension, char separator) {
    size_t sep = LastSeparatorOf(path, separator);
    std::string name = sep == std::string::npos ? path : path.substr(sep + 1);
    if (with_extension) return name;
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

// Returns the first name, followed by " (+N)" for N more files.
std::string QueueBoxText(const std::string& first, size_t count) {
    if (count <= 1) return first;
    return first + " (+" + std::to_string(count - 1) + ")";
}

// Returns the derived name, moved into `folder` when one is given.
std::string QueueOutputName(const std::string& input, const std::string& folder, char separator,
                            int32_t& mode) {
    std::string output = DeriveOutputName(input, mode);
    if (output == "ERROR!" || folder.empty()) return output;
    return folder + FileTitleOf(output, true, separator);
}

// Keeps the first of each name.
std::vector<std::string> DistinctPaths(const std::vector<std::string>& paths, const PathKeyOf& key_of) {
    std::vector<std::string> kept, keys;
    for (const std::string& path : paths) {
        std::string key = key_of(path);
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
        keys.push_back(key);
        kept.push_back(path);
    }
    return kept;
}
