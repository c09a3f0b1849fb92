// NC and Lost areas through the built converter, on images mastered by real tools.
// The expected areas come from the image's listing by isoinfo and the image's own
// bytes, never from the converter's walk; decoding the output must give NC blocks
// stored plain and intact, Lost blocks as zeros and every other block intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "test_util.h"

namespace {

// One file or directory as isoinfo lists it.
struct IsoEntry {
    std::string dir;   // "/PSP_GAME/SYSDIR/UPDATE/"
    std::string name;  // identifier as recorded, version suffix included
    uint32_t extent, size;
    bool is_dir;
};

// One expected area with its report line.
struct Area {
    uint32_t start, end;
    bool lost;
    std::string line;
};

// Writes a PSP-like tree: update folder with a subfolder, videos ("PSMF"), audio
// ("RIFF" and a "riff" impostor), listed extensions, a folder named with one of them, a
// folder of many names of varied lengths, a deep chain of folders and an empty file.
void make_psp_tree(const std::string& root) {
    put_file(root, "PSP_GAME/PARAM.SFO", text_bytes(900, 1));
    put_file(root, "PSP_GAME/SYSDIR/EBOOT.BIN", random_bytes(9000, 2));
    put_file(root, "PSP_GAME/SYSDIR/UPDATE/DATA.BIN", text_bytes(20000, 3));
    put_file(root, "PSP_GAME/SYSDIR/UPDATE/EBOOT.PBP", "PSMF" + text_bytes(5000, 4));
    put_file(root, "PSP_GAME/SYSDIR/UPDATE/SUB/KEEP.BIN", text_bytes(3000, 5));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/OPEN.PMF", "PSMF" + text_bytes(30000, 6));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/NOISE.PMF", "PSMF" + random_bytes(1500000, 7));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/SHORT.PMF", "PSMF" + text_bytes(1000, 8));
    put_file(root, "PSP_GAME/USRDIR/MOVIE/INTRO.PRX", "PSMF" + text_bytes(7000, 9));
    put_file(root, "PSP_GAME/USRDIR/SOUND/BGM.AT3", "RIFF" + text_bytes(12000, 10));
    put_file(root, "PSP_GAME/USRDIR/SOUND/SE.WAV", "riff" + text_bytes(6000, 11));
    put_file(root, "PSP_GAME/USRDIR/DATA/A.PRX", text_bytes(8000, 12));
    put_file(root, "PSP_GAME/USRDIR/DATA/PACK.RES", text_bytes(4100, 13));
    put_file(root, "PSP_GAME/USRDIR/DATA/MODULE.XPAC", text_bytes(4000, 14));
    put_file(root, "PSP_GAME/USRDIR/OLD.PRX/NOTE.TXT", text_bytes(3000, 16));
    for (int i = 0; i < 150; i++)
        put_file(root, "PSP_GAME/USRDIR/BIG/F" + std::string(i % 24, 'X') + std::to_string(i) + ".DAT",
            text_bytes(100 + (i * 37) % 3000, 100 + i));
    std::string deep = "DEEP";
    for (int i = 1; i <= 14; i++) deep += "/D" + std::to_string(i);
    put_file(root, deep + "/LEAF.RES", text_bytes(2500, 15));
    put_file(root, "EMPTY.DAT", "");
}

// Parses one isoinfo row ("d---------  0 0 0  2048 Dec  7 2026 [  23 02]  NAME ");
// returns false for other lines and for the self and parent entries.
bool parse_row(const std::string& line, const std::string& dir, IsoEntry* e) {
    size_t open = line.find('['), close = line.find(']');
    if (line.empty() || (line[0] != 'd' && line[0] != '-') || close == std::string::npos ||
        open > close)
        return false;
    std::istringstream head(line.substr(0, open)), ext(line.substr(open + 1));
    std::string perm, links, uid, gid;
    unsigned long size = 0, extent = 0;
    if (!(head >> perm >> links >> uid >> gid >> size) || !(ext >> extent)) return false;
    std::string name = line.substr(close + 3);
    name.erase(name.find_last_not_of(' ') + 1);
    if (name == "." || name == "..") return false;
    *e = {dir, name, static_cast<uint32_t>(extent), static_cast<uint32_t>(size), line[0] == 'd'};
    return true;
}

// Lists every file and directory of an image with isoinfo.
std::vector<IsoEntry> isoinfo_listing(const std::string& iso) {
    RunResult r = run_tool("/usr/bin/isoinfo", {"-l", "-i", iso});
    std::vector<IsoEntry> out;
    std::istringstream in(r.out);
    std::string line, dir;
    IsoEntry e;
    while (std::getline(in, line)) {
        if (line.rfind("Directory listing of ", 0) == 0) dir = line.substr(21);
        else if (parse_row(line, dir, &e)) out.push_back(e);
    }
    return out;
}

// Returns s in upper case (ASCII letters only).
std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

// Returns the tail of a name from its last dot after the first character, else the name.
std::string extension(const std::string& name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(dot);
}

// Returns true when any token equals t; `value` gets the text after a prefix match.
bool has(const std::vector<std::string>& args, const std::string& t) {
    return std::find(args.begin(), args.end(), t) != args.end();
}
std::string value_of(const std::vector<std::string>& args, const std::string& prefix) {
    for (const auto& a : args)
        if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
    return "";
}

// Makes the area of one listed file; `keep_first` keeps its first block out of a Lost area.
Area make_area(const IsoEntry& e, bool lost, bool keep_first) {
    uint32_t n = (e.size + 2047) / 2048;
    char line[512];
    snprintf(line, sizeof line, "%sFile: %35s (offset=%08X, size=%dKB)", lost ? "RM  " : "NC  ",
             e.name.c_str(), e.extent * 2048u, static_cast<int>(e.size / 1024));
    return {e.extent + (lost && keep_first ? 1 : 0), e.extent + n, lost, line};
}

// Returns the areas the options ask for, class by class, from the listing and the bytes.
std::vector<Area> expected_areas(const std::vector<IsoEntry>& ls, const std::string& image,
                                 const std::vector<std::string>& args) {
    std::vector<Area> out;
    auto media = [&](const char* sig, bool lost) {
        for (const auto& e : ls)
            if (!e.is_dir && image.compare(e.extent * 2048ull, 4, sig) == 0)
                out.push_back(make_area(e, lost, true));
    };
    if (has(args, "-vid") || has(args, "-rm_vid")) media("PSMF", has(args, "-rm_vid"));
    if (has(args, "-aud") || has(args, "-rm_aud")) media("RIFF", has(args, "-rm_aud"));
    std::string list = value_of(args, "-ext");
    for (size_t i = 0; i < list.size();) {
        size_t j = list.find('.', i + 1);
        std::string piece = list.substr(i, j - i);
        for (const auto& e : ls)  // Lost extension areas take files only
            if (upper(extension(e.name)) == upper(piece) && !(e.is_dir && has(args, "-rm_ext")))
                out.push_back(make_area(e, has(args, "-rm_ext"), true));
        i = j == std::string::npos ? list.size() : j;
    }
    if (has(args, "-rm_update"))
        for (const auto& e : ls)
            if (!e.is_dir && upper(e.dir) == "/PSP_GAME/SYSDIR/UPDATE/")
                out.push_back(make_area(e, true, false));
    return out;
}

// Returns the kind of block b: 'N' (NC), 'L' (Lost) or '-'; the first area holding it decides.
char kind_of(const std::vector<Area>& areas, uint32_t b) {
    for (const auto& a : areas)
        if (a.start <= b && b < a.end) return a.lost ? 'L' : 'N';
    return '-';
}

// Returns the per-file report lines of a run's output, sorted.
std::vector<std::string> report_lines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (l.rfind("NC  File: ", 0) == 0 || l.rfind("RM  File: ", 0) == 0) lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// An image of the PSP-like tree mastered one way, with its isoinfo listing.
struct Mastered {
    std::string path, bytes;
    std::vector<IsoEntry> listing;
};

// Masters the tree once per variant and keeps it for every test of this program.
const Mastered& mastered(const std::string& variant) {
    static std::map<std::string, Mastered> cache;
    auto it = cache.find(variant);
    if (it != cache.end()) return it->second;
    std::string dir = make_temp_dir(), iso = dir + "/" + variant + ".iso";
    make_psp_tree(dir + "/tree");
    bool ok = variant == "genisoimage"     ? master_iso(dir + "/tree", iso, {"-D", "-l"})
              : variant == "genisoimage-N" ? master_iso(dir + "/tree", iso, {"-D", "-l", "-N"})
              : variant == "xorriso"       ? master_iso_xorriso(dir + "/tree", iso)
                                           : master_iso_xorriso(dir + "/tree", iso,
                                                                {"-compliance", "omit_version"});
    Mastered m{iso, ok ? read_file(iso) : "", ok ? isoinfo_listing(iso) : std::vector<IsoEntry>{}};
    return cache[variant] = m;
}

class RealImage : public ::testing::TestWithParam<std::string> {
protected:
    const Mastered& img() { return mastered(GetParam()); }
    // Compresses with `opts`, decodes, and checks areas, report and every block.
    void check(const std::vector<std::string>& opts);
};

void RealImage::check(const std::vector<std::string>& opts) {
    const Mastered& m = img();
    std::string trace;
    for (const auto& o : opts) trace += o + " ";
    SCOPED_TRACE(trace);
    std::string dir = make_temp_dir();
    std::vector<std::string> args = opts;
    args.insert(args.end(), {m.path, dir + "/out.cso"});
    RunResult c = run_vellicor(args);
    ASSERT_EQ(c.status, 0) << c.out;
    ASSERT_EQ(run_vellicor({"-dec", dir + "/out.cso", dir + "/back.iso"}).status, 0);
    std::vector<Area> areas = expected_areas(m.listing, m.bytes, opts);
    std::vector<std::string> want;
    for (const auto& a : areas) want.push_back(a.line);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(report_lines(c.out), want);
    if (!areas.empty()) {
        char count[64];
        snprintf(count, sizeof count, areas.size() <= 1 ? "  %4d file found\n" : "  %4d files found\n",
                 static_cast<int>(areas.size()));
        EXPECT_NE(c.out.find(count), std::string::npos) << c.out;
    }
    std::string pct = value_of(opts, "-t");
    uint32_t threshold = pct.empty() ? 2048 : (std::stoi(pct) * 2048 + 2048) / 100;
    std::string cso = read_file(dir + "/out.cso"), back = read_file(dir + "/back.iso");
    CsoView v = parse_cso(cso);
    uint32_t n = static_cast<uint32_t>(m.bytes.size() / 2048);
    ASSERT_EQ(v.index.size(), n + 1);
    ASSERT_EQ(back.size(), m.bytes.size());
    const std::string zeros(2048, '\0');
    for (uint32_t b = 0; b < n; b++) {
        std::string orig = m.bytes.substr(b * 2048ull, 2048), got = back.substr(b * 2048ull, 2048);
        uint32_t off = v.index[b] & 0x7FFFFFFF, len = (v.index[b + 1] & 0x7FFFFFFF) - off;
        bool plain = v.index[b] >> 31;
        char kind = kind_of(areas, b);
        if (kind == 'N') {
            ASSERT_TRUE(plain && cso.compare(off, 2048, orig) == 0) << "NC block " << b;
        }
        ASSERT_TRUE(got == (kind == 'L' ? zeros : orig)) << "block " << b << " kind " << kind;
        ASSERT_TRUE(plain || len < threshold) << "block " << b << " stored " << len;
    }
}

TEST_P(RealImage, TreeIsWhatTheTestsNeed) {
    const Mastered& m = img();
    ASSERT_FALSE(m.bytes.empty());
    bool deep = false, big = false, empty = false;
    for (const auto& e : m.listing) {
        deep |= e.name.rfind("LEAF.RES", 0) == 0 && std::count(e.dir.begin(), e.dir.end(), '/') > 12;
        big |= e.is_dir && e.name == "BIG" && e.size > 2 * 2048;
        empty |= e.name.rfind("EMPTY.DAT", 0) == 0 && e.size == 0;
    }
    EXPECT_TRUE(deep && big && empty);
    // Each class finds something, so no check below passes on an empty table.
    for (auto opt : {"-vid", "-aud", "-rm_update", "-ext.prx.res;1.prx;1.RES"})
        EXPECT_FALSE(expected_areas(m.listing, m.bytes, {opt}).empty()) << opt;
}

TEST_P(RealImage, NcAreas) {
    check({"-com", "-opt", "-vid"});
    check({"-com", "-aud"});
    check({"-com", "-opt", "-ext.prx.res;1.prx;1.RES"});
    check({"-com", "-opt", "-vid", "-aud", "-ext.prx.res;1.prx;1.RES", "-l5"});
}

TEST_P(RealImage, LostAreas) {
    check({"-com", "-opt", "-rm_vid"});
    check({"-com", "-opt", "-rm_aud"});
    check({"-com", "-ext.prx.res;1.prx;1.RES", "-rm_ext"});
    check({"-com", "-opt", "-rm_update"});
    // A video with a listed extension follows the video setting.
    check({"-com", "-opt", "-vid", "-ext.prx.prx;1", "-rm_ext", "-rm_update"});
}

TEST_P(RealImage, Thresholds) {
    check({"-com", "-t0"});
    check({"-com", "-t50"});
    check({"-com", "-t98", "-l1"});
    check({"-com", "-opt", "-t50", "-rm_vid", "-aud"});
}

TEST_P(RealImage, OptimisedWithoutAreasEqualsReference) {
    std::string dir = make_temp_dir();
    for (const char* lvl : {"-l1", "-l9"}) {
        ASSERT_EQ(run_vellicor({"-com", lvl, img().path, dir + "/ref.cso"}).status, 0);
        ASSERT_EQ(run_vellicor({"-com", "-opt", lvl, img().path, dir + "/opt.cso"}).status, 0);
        EXPECT_TRUE(read_file(dir + "/ref.cso") == read_file(dir + "/opt.cso")) << lvl;
    }
}

INSTANTIATE_TEST_SUITE_P(Masters, RealImage,
                         ::testing::Values("genisoimage", "genisoimage-N", "xorriso",
                                           "xorriso-noversion"),
                         [](const auto& info) {
                             std::string s = info.param;
                             std::replace(s.begin(), s.end(), '-', '_');
                             return s;
                         });

}  // namespace
