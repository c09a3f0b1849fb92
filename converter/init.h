// Options record, command-line parser, help texts, CSO header routines.
#pragma once
#include <cstdint>
#include <cstdio>

#include "cso_format.h"
#include "platform.h"

// Action codes: an action token sets one, "-opt" and "-MT" add theirs to it.
constexpr int ACTION_NONE = 0;         // no action token: the no-argument screen
constexpr int ACTION_SHORT_HELP = 1;   // "-help"
constexpr int ACTION_FULL_HELP = 2;    // "-fullhelp", or two bare names
constexpr int ACTION_COMPRESS = 12;    // "-com"
constexpr int ACTION_DECOMPRESS = 13;  // "-dec"
constexpr int ACTION_ESTIMATE = 14;    // "-est"
constexpr int ACTION_TEST = 15;        // "-test FILE [FILE2]"
constexpr int ACTION_INFO = 16;        // "-info FILE"
constexpr int ACTION_OPT = 100;        // added by "-opt"
constexpr int ACTION_MT = 1000;        // added by "-MT" (and "-MTn")

constexpr int DEFAULT_LEVEL = 9;          // deflate level without -ln
constexpr int LEVEL_BEST = 10;            // "-best": per block the smallest of several encoders
constexpr int LEVEL_BETTER = 11;          // "-better": the same without the slowest encoder

// Returns true when level lvl picks each block's stream from several encoders.
constexpr bool is_mix_level(int lvl) {
    return lvl == LEVEL_BEST || lvl == LEVEL_BETTER;
}
constexpr int DEFAULT_QUALITY = 1;        // estimate samples without -qn: every block
constexpr int THRESHOLD_PCT_MAX = 99;     // largest -tnn, and the threshold without one
constexpr int THRESHOLD_NOT_GIVEN = 100;  // threshold_pct without -tnn
constexpr int MT_WORKERS = 2;          // workers of "-MT" alone
constexpr int MT_MAX_WORKERS = 64;     // largest n of "-MTn"

// Returns 1 when action a is of the family `family` (ACTION_COMPRESS, ACTION_DECOMPRESS or
// ACTION_ESTIMATE) whatever its modifiers, else 0.
constexpr int action_in(int a, int family) {
    return a % ACTION_OPT == family;
}
// Returns 1 when action a asks for the threaded engines (a code over ACTION_MT).
constexpr int is_threaded(int a) {
    return a > ACTION_MT;
}
// Returns 1 when action a runs an estimate (every code of its family does).
constexpr int is_estimate(int a) {
    return action_in(a, ACTION_ESTIMATE);
}
// Returns 1 when action a runs an engine that writes an output file, else 0: the reference
// and optimised codes, the threaded compressor and the optimised decompressor with "-MT".
constexpr int writes_output(int a) {
    if (action_in(a, ACTION_DECOMPRESS))
        return a == ACTION_DECOMPRESS || a == ACTION_DECOMPRESS + ACTION_OPT ||
               a == ACTION_DECOMPRESS + ACTION_OPT + ACTION_MT;
    return action_in(a, ACTION_COMPRESS) &&
           (a == ACTION_COMPRESS || a == ACTION_COMPRESS + ACTION_OPT || is_threaded(a));
}
// Returns 1 when action a runs an engine that searches the image for NC and Lost areas
// (the optimised and threaded compressors and the estimates), else 0.
constexpr int searches_areas(int a) {
    return (action_in(a, ACTION_COMPRESS) && a != ACTION_COMPRESS && writes_output(a)) ||
           is_estimate(a);
}

// Everything the command line can ask for.
struct options {
    int action;              // an ACTION_ code, plus ACTION_OPT and ACTION_MT as given
    int comp_level;          // deflate level 1..9, LEVEL_BEST or LEVEL_BETTER
    int nc_audio;            // audio files go to NC areas
    int nc_video;            // video files go to NC areas
    int threshold_pct;       // 0..99, or THRESHOLD_NOT_GIVEN
    int est_quality;         // estimate samples every n-th block
    const char* input_name;  // points into argv
    const char* output_name; // points into argv
    char* ext_list;          // owned copy of ".x.y" from -ext
    int rm_update;           // update files go to Lost areas
    int rm_aud;              // audio files go to Lost areas
    int rm_vid;              // video files go to Lost areas
    int rm_ext;              // -ext files go to Lost areas instead of NC
    unsigned char log;       // -log was given
    char* log_name;          // owned copy of the -log file name
    int mt_workers;          // MT_WORKERS, n of -MTn, or 0 (-MT0): one per processor
};

extern options O;                   // the parsed command line
extern FILE* fin;                   // input stream, opened by the parser
extern FILE* fout;                  // output stream, opened by open_output
extern plat_output* output_file;    // the file fout writes until it replaces the output
extern ciso_header ciso;            // header of the file being written or read
extern uint32_t ciso_total_block;   // whole blocks in the image
extern void (*fatal_exit)(int status); // ends the process; in-process fuzzers swap it

// Sets every field of an options record to its default.
void reset_options(options* o);
// Parses argv into O and opens fin; ends the process with status 1 on a bad option, an
// input that can't be opened or an output name this user could not write.
void parse_ligne_commande(int argc, char** argv);
// Opens the file that will replace the output as fout; returns 0, or 1 after "Can't create".
int open_output();
// Puts the output in place after a run with `status` 0, or removes what a failed run
// wrote; returns the final status (1 when the output could not be put in place).
int close_output(int status);
// Prints the short help.
void aidecourte();
// Prints the full help.
void aidelongue();
// Prints a compression level as the summaries show it: its digit, "best" or "better".
void print_level(int lvl);
// Prints a count with commas between groups of three digits, no line feed.
void number(long long n);
// Fills `ciso` for an image of `size` bytes and sets ciso_total_block.
void initcisoheader(int size);
// Returns the size of an open stream (negative if it can't be taken), rewound to its start.
long long stream_size(FILE* f);
// Returns the size of an open stream (negative if it can't be taken); ends the process over the limit.
int check_file_size(FILE* f);
// Returns an image size, ending the process with "Input is larger than ..." over the limit.
long long check_size_limit(long long size);
// Whether the compressors and the estimates take an image of `size` bytes: not empty, a
// whole number of sectors (trailing bytes would be dropped) and within MAX_INPUT_SIZE.
bool image_size_taken(uint64_t size);
// Prints the two-line summary of the NC and Lost area settings.
void MEDIA();

// Largest image the converter accepts, in bytes.
constexpr long long MAX_INPUT_SIZE = 2100000000LL;
