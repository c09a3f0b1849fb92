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

void say_line(FILE* f, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(f, format, args);
    va_end(args);
    fputc('\n', f);
}
