// Helpers shared by the test programs.
#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

// Runs a program with args (argv[0] = prog) feeding `input`; captures both outputs.
static RunResult run_program(const std::string& prog, const std::vector<std::string>& args,
                             const std::string& input) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return {-1, "", "pipe failed"};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
        posix_spawn_file_actions_addclose(&fa, fd);
    std::vector<char*> argv{const_cast<char*>(prog.c_str())};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) return {-1, "", "spawn failed"};
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    RunResult r{0, "", ""};
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, n);
            }
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

std::string fold_crlf(const std::string& text) {
    std::string folded;
    folded.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) folded += text[i];
    return folded;
}

// Returns the environment variable's value, "" when it is unset.
static std::string env_text(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

bool testing_windows_build() {
    static const bool windows = !env_text("VELLICOR_TEST_WINDOWS_EXE").empty();
    return windows;
}

std::vector<std::string> converter_command(const std::vector<std::string>& args) {
    std::vector<std::string> command;
    if (testing_windows_build()) {
        command = {env_text("VELLICOR_TEST_WINE"), env_text("VELLICOR_TEST_WINDOWS_EXE")};
    } else {
        std::string other = env_text("VELLICOR_TEST_EXE");
        command = {other.empty() ? VELLICOR_NATIVE_EXE : other};
    }
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

RunResult run_windows_tool(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> command{env_text("VELLICOR_TEST_WINDOWS_TOOLS") + "/" + tool};
    command.insert(command.end(), args.begin(), args.end());
    return run_tool(env_text("VELLICOR_TEST_WINE"), command);
}

RunResult run_vellicor(const std::vector<std::string>& args, const std::string& input) {
    std::vector<std::string> command = converter_command(args);
    RunResult r = run_program(command[0], {command.begin() + 1, command.end()}, input);
    if (!testing_windows_build()) return r;
    // Every converter run prints its banner or help first. Now and then (about one start in
    // several thousand, seen under load) Wine fails a start without a word and status 1;
    // that start is made once more, and said so, so a fault of our own still fails.
    if (r.status != 0 && r.out.empty() && r.err.empty()) {
        fprintf(stderr, "Wine started nothing (status %d); running it again\n", r.status);
        r = run_program(command[0], {command.begin() + 1, command.end()}, input);
    }
    // The Windows build's console output is in text mode (CR LF).
    return {r.status, fold_crlf(r.out), fold_crlf(r.err)};
}

std::string read_text_file(const std::string& path) {
    std::string text = read_file(path);
    if (!testing_windows_build()) return text;
    std::string folded = fold_crlf(text);
    size_t lf = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    size_t crlf = text.size() - folded.size();
    // Every line of a text-mode file ends in CR LF there; a bare LF is a fault to show.
    return lf == crlf ? folded : "bare line feeds in a text file: " + text;
}

RunResult run_native_vellicor(const std::vector<std::string>& args) {
    return run_program(VELLICOR_NATIVE_EXE, args, "");
}

namespace {
// The folders this test program made; removed when it ends, pass or fail, unless
// VELLICOR_KEEP_TEST_FILES=1 asks to keep them for a look after a failure.
struct TempDirs {
    std::vector<std::string> dirs;
    ~TempDirs() {
        const char* keep = getenv("VELLICOR_KEEP_TEST_FILES");
        if (keep && !strcmp(keep, "1")) return;
        for (const std::string& d : dirs) remove_tree(d);
    }
    // Removes a folder and everything in it, making locked folders writable first.
    static void remove_tree(const std::string& dir) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        if (!ec) return;
        for (auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
            if (e.is_directory(ec)) chmod(e.path().c_str(), 0700);
        chmod(dir.c_str(), 0700);
        std::filesystem::remove_all(dir, ec);
    }
};
TempDirs temp_dirs;
}  // namespace

std::string make_temp_dir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vellicor-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    temp_dirs.dirs.push_back(buf.data());
    return buf.data();
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void put_file(const std::string& root, const std::string& rel, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + rel).parent_path());
    write_file(root + "/" + rel, data);
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string from_hex(const char* hex) {
    std::string b;
    for (; hex[0] && hex[1]; hex += 2) b.push_back(static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16)));
    return b;
}

std::string random_bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 2654435761u + 88172645463325252ull;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

std::string text_bytes(size_t n, uint32_t seed) {
    std::string s;
    s.reserve(n + 64);
    for (uint32_t i = 0; s.size() < n; i++)
        s += "record " + std::to_string(seed * 7919u + i * (i % 13)) + " of the sample tree\n";
    s.resize(n);
    return s;
}

bool master_iso(const std::string& tree, const std::string& iso,
                const std::vector<std::string>& extra) {
    std::vector<std::string> args{"-quiet", "-o", iso};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(tree);
    RunResult r = run_program("/usr/bin/genisoimage", args, "");
    return r.status == 0;
}

std::string whole_blocks(const std::string& data) {
    return data.substr(0, data.size() / 2048 * 2048);
}

uint32_t le32(const std::string& s, size_t off) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | static_cast<unsigned char>(s[off + i]);
    return v;
}

CsoView parse_cso(const std::string& cso) {
    CsoView v{};
    if (cso.size() < 24) return v;
    v.magic = cso.substr(0, 4);
    v.header_size = le32(cso, 4);
    v.total_bytes = le32(cso, 8) | (static_cast<uint64_t>(le32(cso, 12)) << 32);
    v.block_size = le32(cso, 16);
    v.version = static_cast<uint8_t>(cso[20]);
    v.index_align = static_cast<uint8_t>(cso[21]);
    uint64_t n = v.block_size ? (v.total_bytes & 0xFFFFFFFFu) / v.block_size : 0;
    for (uint64_t i = 0; i <= n && 24 + 4 * i + 4 <= cso.size(); i++)
        v.index.push_back(le32(cso, 24 + 4 * i));
    return v;
}

HandIso::HandIso(size_t sectors) : bytes(sectors * 2048, '\0') {}

// Stores v little-endian at off.
static void put_le32(std::string& s, size_t off, uint32_t v) {
    for (int i = 0; i < 4; i++) s[off + i] = static_cast<char>(v >> (8 * i));
}

void HandIso::set_root(uint32_t extent, uint32_t len) {
    put_record(16, 156, extent, len, true, std::string(1, '\0'));
}

size_t HandIso::put_record(uint32_t sector, size_t off, uint32_t extent, uint32_t len, bool dir,
                           const std::string& name, int record_len) {
    size_t natural = 33 + name.size() + (name.size() % 2 == 0 ? 1 : 0);
    size_t rl = record_len ? static_cast<size_t>(record_len) : natural;
    size_t at = sector * 2048 + off;
    bytes[at] = static_cast<char>(rl);
    put_le32(bytes, at + 2, extent);
    put_le32(bytes, at + 10, len);
    bytes[at + 25] = dir ? 2 : 0;
    bytes[at + 32] = static_cast<char>(name.size());
    bytes.replace(at + 33, name.size(), name);
    return off + rl;
}

size_t HandIso::put_dots(uint32_t sector, uint32_t len, uint32_t parent_extent,
                         uint32_t parent_len) {
    size_t off = put_record(sector, 0, sector, len, true, std::string(1, '\0'));
    return put_record(sector, off, parent_extent, parent_len, true, std::string(1, '\1'));
}

void HandIso::put_data(uint32_t sector, const std::string& data) {
    bytes.replace(sector * 2048, data.size(), data);
}

RunResult run_tool(const std::string& prog, const std::vector<std::string>& args) {
    return run_program(prog, args, "");
}

bool master_iso_xorriso(const std::string& tree, const std::string& iso,
                        const std::vector<std::string>& extra) {
    std::vector<std::string> args{"-outdev", iso};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const char* a : {"-map", tree.c_str(), "/", "-commit"}) args.push_back(a);
    return run_program("/usr/bin/xorriso", args, "").status == 0;
}

const std::string kBanner =
    "/\\/\\                                                   /\\/\\\n"
    "/\\/\\     Vellicor Ver.1.0.11  by Orsolan Brede         /\\/\\\n"
    "/\\/\\                                                   /\\/\\\n"
    " Based on Halvard's CISO v1.01 by Halvard Ostmark\n"
    "          and Tessaly Scan v0.3 by Marrow Fenn\n"
    " Icon by Quillane\t(http://vellicor.example.org)\n"
    " 27/09/07\n"
    "\n";

// Returns the engine's last message and whether the driver's time line came after it.
tail_line engine_tail(std::string out) {
    tail_line t{"", false};
    size_t time_at = out.rfind("Time: ");
    if (time_at != std::string::npos && out.size() >= 5 && out.compare(out.size() - 5, 5, " sec\n") == 0 &&
        (time_at == 0 || out[time_at - 1] == '\n')) {
        t.time_line = true;
        out.resize(time_at);
    }
    if (!out.empty() && out.back() == '\n') out.pop_back();
    size_t cut = out.find_last_of("\r\n");
    t.message = cut == std::string::npos ? out : out.substr(cut + 1);
    return t;
}

// Returns n when text is `form` with n and nothing more, else -1.
long block_number(const std::string& text, const char* form) {
    unsigned long n = 0;
    int used = 0;
    std::string pattern = std::string(form) + "%n";
    if (sscanf(text.c_str(), pattern.c_str(), &n, &used) != 1 || used != static_cast<int>(text.size()))
        return -1;
    return static_cast<long>(n);
}

// Returns every file of a folder by name, with its contents (a large file by its size).
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        files[name] = e.file_size() > (1u << 20) ? std::to_string(e.file_size())
                                                  : read_file(e.path().string());
    }
    return files;
}

// The label's column is 14 characters wide.
std::string field(const std::string& out, const std::string& label, size_t from) {
    std::string key = "\n" + label + std::string(14 - label.size(), ' ');
    size_t at = out.find(key, from);
    if (at == std::string::npos) return "(missing)";
    at += key.size();
    return out.substr(at, out.find('\n', at) - at);
}

// The tools print the digest, then the file name.
std::string digest(const char* tool, const std::string& path) {
    std::string out = run_tool(std::string("/usr/bin/") + tool, {path}).out;
    return out.substr(0, out.find(' '));
}
