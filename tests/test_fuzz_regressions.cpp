// Replays every input kept from fuzzing (tests/data/fuzz-regressions/<target>/) through
// the same in-process entries as the fuzz targets, compiled here without libFuzzer.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_entries.h"
#include "test_util.h"

namespace {

// One fuzz target: its regression folder and its entry.
struct target {
    const char* name;
    const char* (*entry)(const uint8_t*, size_t);
};

// Returns the sorted paths of the regular files in a folder (none when it is missing).
std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    for (dirent* e; d && (e = readdir(d));)
        if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    if (d) closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// Runs one kept input through the entry with the engines' console output dropped;
// returns the entry's verdict (nullptr when every promise held).
const char* replay(const target& t, const std::string& path) {
    std::string data = read_file(path);
    fflush(stdout);
    int saved = dup(1), null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    const char* problem = t.entry(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null_fd);
    return problem;
}

// Names a target in test output.
void PrintTo(const target& t, std::ostream* os) {
    *os << t.name;
}

class FuzzRegressions : public ::testing::TestWithParam<target> {};

TEST_P(FuzzRegressions, EveryKeptInputStillPasses) {
    std::vector<std::string> files = files_in(std::string(TEST_DATA_DIR) + "/fuzz-regressions/" + GetParam().name);
    ASSERT_FALSE(files.empty()) << "no kept inputs for " << GetParam().name;
    for (const std::string& f : files) {
        const char* problem = replay(GetParam(), f);
        EXPECT_EQ(problem, nullptr) << f << ": " << problem;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegressions,
                         ::testing::Values(target{"decompress", fuzz_decompress},
                                           target{"compress", fuzz_compress},
                                           target{"isoscan", fuzz_isoscan},
                                           target{"parser", fuzz_parser},
                                           target{"examine", fuzz_examine},
                                           target{"verify", fuzz_verify}),
                         [](const ::testing::TestParamInfo<target>& i) { return std::string(i.param.name); });

// The sample image goes through every engine and area option of the compress entry:
// written, checked block by block against its areas and decoded back by both decoders.
TEST(FuzzEntries, SampleImageSurvivesEveryEngineAndAreaOption) {
    uint8_t* iso = nullptr;
    size_t n = fuzz_sample_iso(&iso);
    std::string input(4, '\0');
    input.append(reinterpret_cast<char*>(iso), n);
    free(iso);
    for (int engine_and_areas = 0; engine_and_areas < 256; engine_and_areas += 7) {
        input[0] = static_cast<char>(engine_and_areas);
        input[1] = static_cast<char>(engine_and_areas * 3);
        input[2] = static_cast<char>(engine_and_areas % 100);
        input[3] = static_cast<char>(engine_and_areas >> 3);
        std::string path = make_temp_dir() + "/case";
        write_file(path, input);
        const char* problem = replay(target{"compress", fuzz_compress}, path);
        EXPECT_EQ(problem, nullptr) << "option bytes from " << engine_and_areas << ": " << problem;
    }
}

}  // namespace
