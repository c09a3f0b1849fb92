// The converter's failure and warning lines: each one printf format, without its line
// end, written once here in CONVERTER_MESSAGES, the one list that both the names below
// and the table converter_messages come from. The engines, the parser and the reader print
// them by name, and the front-end's explanations are keyed on the same names.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

// How the line the converter prints last, after any run it ends itself, starts: the
// dialogs tell a converter ended from outside by its absence.
#define CLOSING_LINE_START "Time: "

// Whether a line reports a failed run or warns in a run that still succeeds.
enum converter_message_kind { MESSAGE_FAILURE, MESSAGE_WARNING };

// X(name, kind, format) for every line.
#define CONVERTER_MESSAGES(X) \
    X(MSG_FORMAT_ERROR, MESSAGE_FAILURE, "ciso file format error") \
    X(MSG_FILE_READ_ERROR, MESSAGE_FAILURE, "file read error") \
    X(MSG_NO_MEMORY, MESSAGE_FAILURE, "Can't allocate memory") \
    X(MSG_BLOCK_READ_ERROR, MESSAGE_FAILURE, "block=%d : read error") \
    X(MSG_BLOCK_SIZE_ERROR, MESSAGE_FAILURE, "block %d : block size error %d != %d") \
    X(MSG_INFLATE_INIT, MESSAGE_FAILURE, "inflateInit : %s") \
    X(MSG_INFLATE, MESSAGE_FAILURE, "block %d:inflate : %s[%d]") \
    X(MSG_INFLATE_END, MESSAGE_FAILURE, "inflateEnd : %s") \
    X(MSG_LZ4, MESSAGE_FAILURE, "block %d:LZ4 : corrupt block[%d]") \
    X(MSG_UNSUPPORTED_FORMAT, MESSAGE_FAILURE, "Unsupported format: %s") \
    X(MSG_UNSUPPORTED_VERSION, MESSAGE_FAILURE, "Unsupported %s version: %u") \
    X(MSG_DEFLATE_INIT, MESSAGE_FAILURE, "deflateInit : %s") \
    X(MSG_DEFLATE, MESSAGE_FAILURE, "block %d:deflate : %s[%d]") \
    X(MSG_DEFLATE_END, MESSAGE_FAILURE, "deflateEnd : %s") \
    X(MSG_WRITE_ERROR, MESSAGE_FAILURE, "block %d : Write error") \
    X(MSG_INDEX_WRITE_ERROR, MESSAGE_FAILURE, "Index write error") \
    X(MSG_NO_FILE_SIZE, MESSAGE_FAILURE, "Can't get file size") \
    X(MSG_THREADS_START, MESSAGE_FAILURE, "Can't start the worker threads") \
    X(MSG_THREADS_JOIN, MESSAGE_FAILURE, "Can't join the worker threads") \
    X(MSG_INPUT_EMPTY, MESSAGE_FAILURE, "Input is empty: %s") \
    X(MSG_INPUT_NOT_SECTORS, MESSAGE_FAILURE, "Input size %lld bytes is not a whole number of 2048-byte sectors: %s") \
    X(MSG_INPUT_TOO_LARGE, MESSAGE_FAILURE, "Input is larger than %lld bytes") \
    X(MSG_TAIL_NOT_STORED, MESSAGE_WARNING, "Warning: the last %llu bytes of the image were never stored in this file") \
    X(MSG_CANT_OPEN, MESSAGE_FAILURE, "Can't open %s") \
    X(MSG_CANT_CREATE, MESSAGE_FAILURE, "Can't create %s") \
    X(MSG_CANT_CLOSE, MESSAGE_FAILURE, "Can't close %s") \
    X(MSG_SAME_FILE, MESSAGE_FAILURE, "Input and output are the same file: %s") \
    X(MSG_UNKNOWN_LEVEL, MESSAGE_FAILURE, "Unknown level: %c") \
    X(MSG_UNKNOWN_QUALITY, MESSAGE_FAILURE, "Unknown quality: %c") \
    X(MSG_UNKNOWN_THRESHOLD, MESSAGE_FAILURE, "Unknown threshold: %s") \
    X(MSG_UNKNOWN_THREADS, MESSAGE_FAILURE, "Unknown thread number: %s") \
    X(MSG_BAD_EXTENSION, MESSAGE_FAILURE, "Bad extension syntax") \
    X(MSG_READ_ONLY_ALONE, MESSAGE_FAILURE, "%s cannot be combined with other options") \
    X(MSG_INFO_NAMES, MESSAGE_FAILURE, "-info takes one file name") \
    X(MSG_TEST_NAMES, MESSAGE_FAILURE, "-test takes one or two file names") \
    X(MSG_NO_INPUT, MESSAGE_FAILURE, "No input file") \
    X(MSG_NO_OUTPUT, MESSAGE_FAILURE, "No output file") \
    X(MSG_CANT_WRITE_LOG, MESSAGE_FAILURE, "Can't write log %s") \
    X(MSG_LOG_IS_IO, MESSAGE_FAILURE, "Log file is the input or output file (%s)") \
    X(MSG_LOG_UNWRITABLE, MESSAGE_FAILURE, "Unable to write log file (%s)") \
    X(MSG_NO_CHECKSUMS, MESSAGE_FAILURE, "Can't compute checksums") \
    X(MSG_REPORT_UNWRITTEN, MESSAGE_FAILURE, "Can't write the report to standard output")

// The lines' names, in the list's order.
enum message_id {
#define MESSAGE_NAME(name, kind, format) name,
    CONVERTER_MESSAGES(MESSAGE_NAME)
#undef MESSAGE_NAME
    MESSAGE_COUNT
};

// One line of the table.
struct converter_message {
    const char* format;           // the line's printf format, without "\n"
    converter_message_kind kind;  // failure or warning
};

extern const converter_message converter_messages[];  // every line, indexed by message_id
extern const size_t converter_message_count;           // entries in converter_messages

// Returns the line's printf format.
const char* msg(message_id id);
// Returns text with each line break ('\r' or '\n') as '?': a file name may hold one
// where the system allows it, and would split a report line in two, which the dialogs
// would then read as two messages (or a progress line).
std::string one_line(std::string text);
// Prints `format` with the arguments it takes on f, on one line (one_line), and a line end.
void say_line(FILE* f, const char* format, ...);
// Prints the line with the arguments its format takes, and its line end, on standard output.
// (Templates: a variadic function's last named parameter may not be an enum.)
template <typename... Args>
void say(message_id id, Args... args) {
    say_line(stdout, msg(id), args...);
}
// Prints the line and its line end on f.
template <typename... Args>
void say_to(FILE* f, message_id id, Args... args) {
    say_line(f, msg(id), args...);
}
