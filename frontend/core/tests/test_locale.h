// A locale made for one test while it lives: one category from a source text, compiled
// with localedef into a folder that is removed at the end, then set for that category.
#pragma once
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>

class TestLocale {
public:
    // `category` is LC_NUMERIC or LC_CTYPE; `source` a localedef source defining it.
    TestLocale(int category, const std::string& source) : category_(category) {
        const char* tmp = getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/wendrovix-locale-XXXXXX";
        if (!mkdtemp(name.data())) return;
        folder_ = name;
        std::ofstream(folder_ + "/src") << source;
        std::string make = "localedef -c -i " + folder_ + "/src " + folder_ + "/made >/dev/null 2>&1";
        if (std::system(make.c_str()) == -1) return;
        setenv("LOCPATH", folder_.c_str(), 1);
        setlocale(category_, "made");  // each test checks that the locale took effect
    }
    ~TestLocale() {
        setlocale(category_, "C");
        unsetenv("LOCPATH");
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

private:
    int category_;
    std::string folder_;
};
