// The table of the converter's failure and warning lines.
#include "messages.h"

#include <cstdarg>
#include <utility>

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

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = '?';
    return text;
}

void say_line(FILE* f, const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(&line[0], line.size() + 1, format, again);  // its last byte is the terminator
    va_end(again);
    line = one_line(std::move(line));
    fwrite(line.data(), 1, line.size(), f);  // bytes: "%c" may print a zero byte
    fputc('\n', f);
}
