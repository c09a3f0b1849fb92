// Fuzz entry: the whole converter on an argument vector cut from the bytes at each zero,
// run in the scratch folder that holds a.iso, a.cso and t.txt. Status 0 or 1; an input
// file is never changed unless it is also the output.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "ciso.h"
#include "engine_io.h"
#include "isosearch.h"
#include "thread_ring.h"
#include "fuzz_entries.h"
#include "fuzz_support.h"
#include "init.h"

namespace {

// Returns 1 when the name is one of the fixtures, else 0.
int is_fixture(const scratch_folder& s, const char* name) {
    for (auto& f : s.fixtures)
        if (f.first == name) return 1;
    return 0;
}

// Deletes whatever a run left in the current folder and puts the fixtures back.
void tidy_scratch(const scratch_folder& s) {
    DIR* d = opendir(".");
    while (d) {
        dirent* e = readdir(d);
        if (!e) break;
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..") && !is_fixture(s, e->d_name))
            unlink(e->d_name);
    }
    if (d) closedir(d);
    for (auto& f : s.fixtures)
        if (get_file(f.first) != f.second) put_file(f.first, f.second);
}

// Cuts the bytes at each zero into at most 16 arguments after the program name; '/'
// becomes '_' so that every name stays inside the scratch folder.
std::vector<std::string> split_arguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"vellicor"};
    std::string cur;
    for (size_t i = 0; i <= size && args.size() < 17; i++) {
        if (i == size || data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(data[i] == '/' ? '_' : static_cast<char>(data[i]));
        }
    }
    if (size == 0) args.pop_back();  // no bytes: no arguments at all
    return args;
}

// Runs the converter on the arguments with end of file on standard input (the
// no-argument screen waits for Enter); returns its status.
int run_without_stdin(std::vector<std::string>& args) {
    int saved_stdin = dup(0), null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    int status = run_converter(args);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    close(null_fd);
    clearerr(stdin);
    return status;
}

// Checks the outcome of a whole-converter run; returns nullptr or the problem.
const char* check_main_run(const scratch_folder& s, int status, const char* in, const char* out) {
    if (status == NO_STREAMS) return SCRATCH_NOT_ENTERED;
    if (status != 0 && status != 1 && status != EXITED + 1)
        return "the converter ended with a status other than 0 or 1";
    if (!in || !is_fixture(s, in) || (out && !strcmp(in, out))) return nullptr;
    for (auto& f : s.fixtures)
        if (f.first == in && get_file(in) != f.second) return "the converter changed its input file";
    return nullptr;
}

}  // namespace

const char* fuzz_parser(const uint8_t* data, size_t size) {
    const scratch_folder& s = scratch();
    std::vector<std::string> args = split_arguments(data, size);
    int here = enter_folder(s.path);
    int status = here >= 0 ? run_without_stdin(args) : NO_STREAMS;
    const char* p = check_main_run(s, status, O.input_name, O.output_name);
    converter_reset_state();
    if (here < 0) return p;
    tidy_scratch(s);
    const char* left = leave_folder(here);
    return p ? p : left;
}
