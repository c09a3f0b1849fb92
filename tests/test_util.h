// Helpers shared by the test programs: run the built converter, temporary folders,
// files, and ISO images mastered with a real tool.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What one run of the converter printed and returned.
struct RunResult {
    int status;       // exit status, or 128 + signal
    std::string out;  // everything written to stdout
    std::string err;  // everything written to stderr
};

// Runs the built converter with args (no shell), feeding `input` on stdin.
RunResult run_vellicor(const std::vector<std::string>& args, const std::string& input = "");
// Returns text with every CR LF pair turned into a bare LF (a bare CR stays).
std::string fold_crlf(const std::string& text);
// Returns true when the converter under test is the Windows build, run through Wine: when
// the environment names it in VELLICOR_TEST_WINDOWS_EXE, with the Wine loader in
// VELLICOR_TEST_WINE and the build's test tools in VELLICOR_TEST_WINDOWS_TOOLS
// (scripts/test-windows.sh sets all three). Otherwise it is this machine's build: the
// program VELLICOR_TEST_EXE names (the test command's sanitizer build), else this build's.
bool testing_windows_build();
// Returns the command line that starts the converter under test with args: the program
// first (Wine, then the .exe, for the Windows build).
std::vector<std::string> converter_command(const std::vector<std::string>& args);
// Runs the converter built for this machine (even when the Windows build is under test).
RunResult run_native_vellicor(const std::vector<std::string>& args);
// Returns a new empty folder under the system's temporary folder; it and everything in it
// are removed when the test program ends (VELLICOR_KEEP_TEST_FILES=1 keeps them).
std::string make_temp_dir();
// Returns the whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string& path);
// Returns a text file the converter wrote, with the Windows build's CR LF line ends
// folded to LF (a bare LF from it shows as a fault in the returned text).
std::string read_text_file(const std::string& path);
// Writes data to a file, replacing it.
void write_file(const std::string& path, const std::string& data);
// Writes data to root/rel, making the folders on the way.
void put_file(const std::string& root, const std::string& rel, const std::string& data);
// Returns true when the file exists.
bool file_exists(const std::string& path);
// Returns bytes that deflate poorly (a fixed pseudo-random sequence).
std::string random_bytes(size_t n, uint32_t seed);
// The bytes a string of hex digit pairs spells.
std::string from_hex(const char* hex);
// Returns bytes that deflate well but not trivially (repeated text with a counter).
std::string text_bytes(size_t n, uint32_t seed);
// Masters an ISO 9660 image of the folder `tree` with genisoimage into `iso`; returns
// true on success. Extra arguments go before the folder name.
bool master_iso(const std::string& tree, const std::string& iso,
                const std::vector<std::string>& extra = {});
// Returns the first `n` whole blocks of data (data rounded down to 2048-byte blocks).
std::string whole_blocks(const std::string& data);
// The 24-byte header fields and the index of a CSO held in memory.
struct CsoView {
    std::string magic;
    uint32_t header_size, block_size;
    uint64_t total_bytes;
    uint8_t version, index_align;
    std::vector<uint32_t> index;
};
// Parses a CSO held in memory (header and index only).
CsoView parse_cso(const std::string& cso);
// Returns the little-endian 32-bit value at offset off.
uint32_t le32(const std::string& s, size_t off);

// A hand-built ISO 9660 image: zeroed sectors with directory records placed byte by byte.
struct HandIso {
    std::string bytes;  // the whole image
    // Makes an image of `sectors` zeroed sectors.
    explicit HandIso(size_t sectors);
    // Writes the root's directory record into the volume descriptor (image byte 32,924).
    void set_root(uint32_t extent, uint32_t len);
    // Writes a directory record at byte `off` of `sector`; record_len 0 means the natural
    // length (33 + name, padded to even). Returns the offset after the record.
    size_t put_record(uint32_t sector, size_t off, uint32_t extent, uint32_t len, bool dir,
                      const std::string& name, int record_len = 0);
    // Writes the self and parent entries at the start of directory `sector`; returns 68.
    size_t put_dots(uint32_t sector, uint32_t len, uint32_t parent_extent, uint32_t parent_len);
    // Writes data at the start of `sector`.
    void put_data(uint32_t sector, const std::string& data);
};
// Runs any program (full path) with args and captures both outputs.
RunResult run_tool(const std::string& prog, const std::vector<std::string>& args);
// Returns the text after "Label" (padded to 14 columns) on the first line from `from` on
// that has it in -test's or -info's report, or "(missing)".
std::string field(const std::string& out, const std::string& label, size_t from = 0);
// Returns the first word a coreutils digest tool (md5sum, sha1sum) prints for a file.
std::string digest(const char* tool, const std::string& path);
// Runs one of the Windows build's test tools (e.g. "short_name.exe") under Wine.
RunResult run_windows_tool(const std::string& tool, const std::vector<std::string>& args);
// Masters an ISO 9660 image of the folder `tree` with xorriso into `iso`; `extra` goes
// before the mapping (e.g. {"-compliance", "omit_version"}). Returns true on success.
bool master_iso_xorriso(const std::string& tree, const std::string& iso,
                        const std::vector<std::string>& extra = {});

// The engine's last message (the text after the last line feed or carriage return) and
// whether the driver's time line followed it.
struct tail_line {
    std::string message;
    bool time_line;
};
// Splits the converter's stdout into its engine's last message and the time line.
tail_line engine_tail(std::string out);
// Returns N when text is exactly `form` (e.g. "block %lu : Write error") with N, else -1.
long block_number(const std::string& text, const char* form);
// Returns every file of a folder: its name and contents (a file over 1 MiB by its size).
std::map<std::string, std::string> snapshot(const std::string& dir);

// The converter's banner: the seven lines and the empty line it begins every run with.
extern const std::string kBanner;
