// The converter's failure and warning lines: each one printf format, without its line
// end, written once here. The engines, the parser and the reader print them by these
// names, and the front-end's explanations are keyed on the table converter_messages.
#pragma once
#include <cstddef>

#define MSG_FORMAT_ERROR "ciso file format error"
#define MSG_FILE_READ_ERROR "file read error"
#define MSG_NO_MEMORY "Can't allocate memory"
#define MSG_BLOCK_READ_ERROR "block=%d : read error"
#define MSG_BLOCK_SIZE_ERROR "block %d : block size error %d != %d"
#define MSG_INFLATE_INIT "inflateInit : %s"
#define MSG_INFLATE "block %d:inflate : %s[%d]"
#define MSG_INFLATE_END "inflateEnd : %s"
#define MSG_LZ4 "block %d:LZ4 : corrupt block[%d]"
#define MSG_UNSUPPORTED_FORMAT "Unsupported format: %s"
#define MSG_UNSUPPORTED_VERSION "Unsupported %s version: %u"
#define MSG_DEFLATE_INIT "deflateInit : %s"
#define MSG_DEFLATE "block %d:deflate : %s[%d]"
#define MSG_DEFLATE_END "deflateEnd : %s"
#define MSG_WRITE_ERROR "block %d : Write error"
#define MSG_INDEX_WRITE_ERROR "Index write error"
#define MSG_NO_FILE_SIZE "Can't get file size"
#define MSG_THREADS_START "Can't start the worker threads"
#define MSG_THREADS_JOIN "Can't join the worker threads"
#define MSG_INPUT_EMPTY "Input is empty: %s"
#define MSG_INPUT_NOT_SECTORS "Input size %lld bytes is not a whole number of 2048-byte sectors: %s"
#define MSG_INPUT_TOO_LARGE "Input is larger than %lld bytes"
#define MSG_TAIL_NOT_STORED "Warning: the last %llu bytes of the image were never stored in this file"
#define MSG_CANT_OPEN "Can't open %s"
#define MSG_CANT_CREATE "Can't create %s"
#define MSG_CANT_CLOSE "Can't close %s"
#define MSG_SAME_FILE "Input and output are the same file: %s"
#define MSG_UNKNOWN_LEVEL "Unknown level: %c"
#define MSG_UNKNOWN_QUALITY "Unknown quality: %c"
#define MSG_UNKNOWN_THRESHOLD "Unknown threshold: %s"
#define MSG_UNKNOWN_THREADS "Unknown thread number: %s"
#define MSG_BAD_EXTENSION "Bad extension syntax"
#define MSG_READ_ONLY_ALONE "%s cannot be combined with other options"
#define MSG_INFO_NAMES "-info takes one file name"
#define MSG_TEST_NAMES "-test takes one or two file names"
#define MSG_NO_INPUT "No input file"
#define MSG_NO_OUTPUT "No output file"
#define MSG_CANT_WRITE_LOG "Can't write log %s"
#define MSG_LOG_IS_IO "Log file is the input or output file (%s)"
#define MSG_LOG_UNWRITABLE "Unable to write log file (%s)"
#define MSG_NO_CHECKSUMS "Can't compute checksums"

// Whether a line reports a failed run or warns in a run that still succeeds.
enum converter_message_kind { MESSAGE_FAILURE, MESSAGE_WARNING };

// One line of the table.
struct converter_message {
    const char* format;           // the line's printf format, without "\n"
    converter_message_kind kind;  // failure or warning
};

extern const converter_message converter_messages[];  // every failure and warning line
extern const size_t converter_message_count;           // entries in converter_messages
