// The table of the converter's failure and warning lines.
#include "messages.h"

#include <cstdarg>

const converter_message converter_messages[] = {
#define MESSAGE_ENTRY(name, kind, format) {format, kind},
    CONVERTER_MESSAGES(MESSAGE_ENTRY)
#undef MESSAGE_ENTRY
};

const size_t converter_message_count = sizeof converter_messages / sizeof converter_messages[0];
static_assert(sizeof converter_messages / sizeof converter_messages[0] == MESSAGE_COUNT,
              "one table entry per name");

const char* msg(message_id id) {
    return converter_messages[id].format;
}

// Prints the line and its end on f with the arguments in `args`.
static void vsay(FILE* f, message_id id, va_list args) {
    vfprintf(f, msg(id), args);
    fputc('\n', f);
}

void say(message_id id, ...) {
    va_list args;
    va_start(args, id);
    vsay(stdout, id, args);
    va_end(args);
}

void say_to(FILE* f, message_id id, ...) {
    va_list args;
    va_start(args, id);
    vsay(f, id, args);
    va_end(args);
}
