// Fuzz entry: both decompressors, then -test and -info on the bytes as a file in the
// scratch folder. -test's status is the reference decoder's; intact, its size and CRC32
// are that decoder's image's (and the optimised one's, which it must accept whenever that
// decodes); damaged, its fault line is the one the reference decoder printed last. -info
// calls no index broken in a file the reference decoder decodes. Neither creates or
// changes a file (the folder's names, sizes, times and modes, and the file's bytes).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "examine.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"
#include "init.h"

namespace {

// Name of the file -test and -info look at, in the scratch folder.
const char EXAMINED[] = "examined.cso";
const char NO_STDOUT[] = "harness: could not catch standard output";

// One entry of a folder listing.
struct listed {
    std::string name;
    long long size, mtime_ns;
    unsigned mode;
    bool operator==(const listed& o) const {
        return name == o.name && size == o.size && mtime_ns == o.mtime_ns && mode == o.mode;
    }
};

// Returns the current folder's entries (name, size, modification time, mode), sorted by name.
std::vector<listed> list_here() {
    std::vector<listed> out;
    DIR* d = opendir(".");
    for (dirent* e; d && (e = readdir(d));) {
        struct stat st;
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || lstat(e->d_name, &st) != 0) continue;
        long long mtime_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        out.push_back({e->d_name, static_cast<long long>(st.st_size), mtime_ns,
                       static_cast<unsigned>(st.st_mode)});
    }
    if (d) closedir(d);
    std::sort(out.begin(), out.end(), [](const listed& a, const listed& b) { return a.name < b.name; });
    return out;
}

// Runs -test (*ctx 1) or -info (*ctx 0) on O.input_name; returns its status.
int run_examiner(void* ctx) {
    return *static_cast<int*>(ctx) ? test_ciso() : info_ciso();
}

// What -test or -info did.
struct examined {
    int status;
    std::string printed;
};

// Runs -test (`test` 1) or -info on the examined file in the current folder; sets *problem
// when the folder's listing is not `before` afterwards.
examined examine_once(int test, const std::vector<listed>& before, const char** problem) {
    examined x{NO_STREAMS, {}};
    reset_options(&O);
    O.input_name = EXAMINED;
    x.status = run_printing(run_examiner, &test, &x.printed);
    converter_reset_state();
    if (!*problem && list_here() != before)
        *problem = test ? "-test created or changed a file" : "-info created or changed a file";
    return x;
}

// Returns the lines of console text as a console shows them: a carriage return starts
// the line again, so a progress line is overwritten by what follows it.
std::vector<std::string> console_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') lines.push_back(cur);
        if (c == '\n' || c == '\r') cur.clear();
        else cur.push_back(c);
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// Sets *value to the rest of the first line that starts with `label`; returns false when
// no line does.
bool field(const std::vector<std::string>& lines, const std::string& label, std::string* value) {
    for (const std::string& l : lines)
        if (l.compare(0, label.size(), label) == 0) {
            *value = l.substr(label.size());
            return true;
        }
    return false;
}

// Checks the size and CRC32 lines of an intact report against a decoder's image; returns
// nullptr or the problem.
const char* check_intact_report(const std::vector<std::string>& lines, const decoded& d) {
    std::string crc, size;
    if (!field(lines, "CRC32         ", &crc) || !field(lines, "Image size    ", &size))
        return "-test called a file intact without its size and CRC32";
    char want[16];
    snprintf(want, sizeof want, "%08x", static_cast<unsigned>(d.crc));
    if (crc != want) return "-test's CRC32 is not that of the decompressors' image";
    if (strtoull(size.c_str(), nullptr, 10) != d.bytes) return "-test's image size is not the decompressors'";
    return nullptr;
}

// Checks -test's report against the decoders' runs (`ref_printed`: what the reference one
// printed): the same status as the reference decoder, its image's checksum when intact, its
// failure line when damaged (or unsupported, for a format or version it does not read), and
// intact whenever the optimised decoder decodes the file.
const char* check_test_report(const examined& t, const decoded& ref, const std::string& ref_printed,
                              const decoded& opt) {
    if (t.status == NO_STREAMS) return NO_STDOUT;
    if (t.status >= EXITED) return "-test ended the process";
    if (t.status != ref.status) return "-test's status is not the reference decompressor's";
    std::vector<std::string> lines = console_lines(t.printed);
    if (opt.status == 0) {
        if (t.status != 0) return "-test calls damaged a file the optimised decompressor decodes";
        if (const char* p = check_intact_report(lines, opt)) return p;
    }
    if (t.status == 0) return check_intact_report(lines, ref);
    auto verdict = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l == "Result        damaged" || l == "Result        unsupported";
    });
    std::vector<std::string> dec = console_lines(ref_printed);
    if (verdict == lines.begin() || verdict == lines.end() || dec.empty() || *(verdict - 1) != dec.back())
        return "-test's fault line is not the one the reference decompressor printed";
    bool unsupported = dec.back().rfind("Unsupported", 0) == 0;  // JISO or an unknown version
    if (*verdict != (unsupported ? "Result        unsupported" : "Result        damaged"))
        return "-test's verdict does not follow from its fault line";
    return nullptr;
}

// Checks -info's run: 0 or 1, and no index fault in a file the reference decoder decodes.
const char* check_info_run(const examined& i, const decoded& ref) {
    if (i.status == NO_STREAMS) return NO_STDOUT;
    if (i.status >= EXITED) return "-info ended the process";
    if (i.status != 0 && i.status != 1) return "-info returned neither 0 nor 1";
    if (i.status == 1 && ref.status == 0)
        return "-info calls broken a file the reference decompressor decodes";
    return nullptr;
}

// Puts the bytes into the current folder as EXAMINED, runs -test and -info on them and
// checks both against the decoders' runs; returns nullptr or the problem.
const char* examine_here(const uint8_t* data, size_t size, const decoded& ref, const std::string& ref_printed,
                         const decoded& opt) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    put_file(EXAMINED, bytes);
    const char* p = get_file(EXAMINED) == bytes ? nullptr : "harness: could not write the examined file";
    std::vector<listed> before = list_here();
    examined t = examine_once(1, before, &p);
    examined i = examine_once(0, before, &p);
    if (!p && get_file(EXAMINED) != bytes) p = "-test or -info changed the file they looked at";
    if (!p) p = check_test_report(t, ref, ref_printed, opt);
    if (!p) p = check_info_run(i, ref);
    unlink(EXAMINED);
    return p;
}

}  // namespace

const char* fuzz_examine(const uint8_t* data, size_t size) {
    std::string ref_printed;
    decoded ref = decode_once(data, size, 0, &ref_printed), opt = decode_once(data, size, 1);
    if (ref.status == NO_STREAMS || opt.status == NO_STREAMS) return STREAMS_FAILED;
    int here = enter_folder(scratch().path);
    if (here < 0) return SCRATCH_NOT_ENTERED;
    const char* p = examine_here(data, size, ref, ref_printed, opt);
    const char* left = leave_folder(here);
    return p ? p : left;
}
