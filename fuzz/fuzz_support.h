// What the fuzz entries share.
//
// The engines work on the converter's globals (fin, fout, O, the header and buffers), so
// an entry opens the input as an in-memory stream, points the output at a memory file or
// a counting sink, fills O, runs one engine and calls converter_reset_state(). The parser
// and the size check end the process through fatal_exit; a guarded run swaps it for a
// longjmp back to the call (that code is C-style: no destructors are skipped on the way).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

constexpr int EXITED = 100;     // added to the status a run ended the process with
constexpr int NO_STREAMS = -1;  // the harness could not open its in-memory streams

// Problems reported by more than one entry.
constexpr char STREAMS_FAILED[] = "harness: could not open the in-memory streams";
constexpr char SCRATCH_NOT_ENTERED[] = "harness: could not enter the scratch folder";
constexpr char DECODER_EXITED[] = "a decompressor ended the process";

extern int ended_process;  // the last guarded run went through fatal_exit

typedef int (*guarded_fn)(void* ctx);

// Runs fn(ctx) with fatal_exit caught; returns its result, or EXITED + the exit status
// (and sets ended_process).
int run_guarded(guarded_fn fn, void* ctx);
// Returns the status the process ends with for a guarded run's result.
int process_status(int result);
// Runs fn(ctx) as run_guarded does with standard output kept in *printed; returns its
// result, or NO_STREAMS when standard output could not be caught.
int run_printing(guarded_fn fn, void* ctx, std::string* printed);

// Returns the little-endian 32-bit value at p.
uint32_t rd32(const uint8_t* p);
// Returns a read stream over a memory file holding the bytes, or nullptr.
FILE* open_input(const uint8_t* data, size_t size);
// Returns a heap copy of text for the options record to own.
char* own_copy(const char* text);

// Outcome of one decoder run: its status, and the byte count and CRC-32 of what it wrote.
struct decoded {
    int status;
    uint64_t bytes;
    uint32_t crc;
};

// Decodes the CSO bytes with the reference (`optimised` 0) or the optimised decoder into
// a counting sink; returns what it did. With `printed` its standard output is kept there,
// with `copy_fd` the image is written there too.
decoded decode_once(const uint8_t* data, size_t size, int optimised, std::string* printed = nullptr,
                    int copy_fd = -1);
// Returns the image size the header records, all 64 bits as the readers take it (a DAX
// header's 32; 0 when the header is short).
uint64_t recorded_size(const uint8_t* data, size_t size);

// The folder the whole-converter runs happen in, with its input files: a sample image,
// its CSO and a short text file.
struct scratch_folder {
    std::string path;
    std::vector<std::pair<std::string, std::string>> fixtures;  // name, contents
};

// Returns the scratch folder, creating it on first use (removed at exit).
const scratch_folder& scratch();
// Resets O with the scan log (in the scratch folder) on or off, and gives the area table
// its storage as the driver does.
void fresh_options(int log);
// Runs converter_main guarded on the argument vector (program name first); returns its
// status. O may point into args until converter_reset_state().
int run_converter(std::vector<std::string>& args);

// Enters the folder; returns a descriptor of the one left, or -1 (staying) when it can't.
int enter_folder(const std::string& path);
// Goes back to the folder enter_folder left and closes its descriptor; returns nullptr,
// or the problem when it can't go back.
const char* leave_folder(int here);
// Writes data to a file in the current folder, replacing it.
void put_file(const std::string& name, const std::string& data);
// Returns the contents of a file in the current folder ("" when it can't be read).
std::string get_file(const std::string& name);
