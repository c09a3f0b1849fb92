// The table of the converter's failure and warning lines with their explanations.
#include "converter_messages.h"

#include <cctype>
#include <cstring>

#include "messages.h"

namespace {

const char* const DAMAGED_CSO = "CSO 文件已损坏，无法完整解压。请重新获取该文件，或用原来的 ISO 重新压缩。";
const char* const CANNOT_WRITE =
    "无法写入输出文件：磁盘可能已满，或没有写入权限。请腾出空间或换一个输出位置后重试。";
const char* const NO_MEMORY = "内存不足。请关闭其他程序后重试。";
// Met both ways (a compression reads a compressed input too): says "read", not "decompress".
const char* const UNSUPPORTED = "输入文件是本程序不支持的压缩格式或版本，无法读取。";

const char* const NEEDS_NONE = "";  // marks a line that needs no explanation

// One explanation, keyed on the converter's line.
struct Explanation {
    message_id id;
    const char* text;  // NEEDS_NONE for a line that needs none
};

// The explanation of every line in the converter's table.
const Explanation EXPLANATIONS[] = {
    {MSG_FORMAT_ERROR, "输入文件不是 CSO 文件，无法解压。请选择正确的 CSO 文件。"},
    {MSG_BLOCK_SIZE_ERROR, DAMAGED_CSO},
    {MSG_INFLATE, DAMAGED_CSO},
    // Only a ZSO or a CSO v2 has LZ4 blocks, and either may be a compression's input.
    {MSG_LZ4, "压缩文件已损坏，无法完整读取。请重新获取该文件。"},
    {MSG_UNSUPPORTED_FORMAT, UNSUPPORTED},
    {MSG_UNSUPPORTED_VERSION, UNSUPPORTED},
    {MSG_FILE_READ_ERROR, "无法读取 CSO 文件：文件可能不完整或已损坏。请重新获取该文件。"},
    {MSG_BLOCK_READ_ERROR,
     "读取输入文件时出错：文件可能不完整、已损坏，或所在的磁盘出错。请检查输入文件后重试。"},
    {MSG_WRITE_ERROR, CANNOT_WRITE},
    {MSG_INDEX_WRITE_ERROR, CANNOT_WRITE},
    {MSG_CANT_CLOSE, "输出文件未能完整写入：磁盘可能已满。请腾出空间后重试。"},
    {MSG_CANT_OPEN, "无法打开输入文件。请确认文件存在、没有被其他程序占用，并且有读取权限。"},
    {MSG_CANT_CREATE, "无法创建输出文件。请确认输出文件夹存在并可写入，同名文件不是只读或正在使用。"},
    {MSG_CANT_WRITE_LOG, "无法写入日志文件：磁盘可能已满，或没有写入权限。"},
    {MSG_SAME_FILE, "输入文件和输出文件是同一个文件。请换一个输出文件名。"},
    {MSG_INPUT_TOO_LARGE, "输入文件太大，超出了转换程序能处理的大小，无法转换。"},
    {MSG_INPUT_NOT_SECTORS,
     "输入文件的大小不是 2048 字节扇区的整数倍，多半是不完整的光盘映像。请重新制作或获取完整的 ISO 文件。"},
    {MSG_INPUT_EMPTY, "输入文件是空的（0 字节）。请选择完整的 ISO 文件。"},
    {MSG_NO_MEMORY, NO_MEMORY},
    {MSG_DEFLATE_INIT, NO_MEMORY},
    {MSG_INFLATE_INIT, NO_MEMORY},
    {MSG_DEFLATE, "压缩时出错，多半是内存不足。请关闭其他程序后重试。"},
    {MSG_NO_FILE_SIZE, "无法得知输入文件的大小。请确认它是普通文件，而不是文件夹或设备。"},
    {MSG_TAIL_NOT_STORED, "这个 CSO 文件缺少光盘映像末尾的几个字节（由旧工具写成），解压出的 ISO 比原映像略短。"},
    // zlib fails to end a stream only when the converter itself went wrong; the user can
    // do nothing about it, and the converter's line says what it was.
    {MSG_DEFLATE_END, NEEDS_NONE},
    {MSG_INFLATE_END, NEEDS_NONE},
    // Lines of what the dialog's two command lines never ask for: the two-thread engines,
    // the scan log, -test and -info, and mistaken options or names.
    {MSG_THREADS_START, NEEDS_NONE},
    {MSG_THREADS_JOIN, NEEDS_NONE},
    {MSG_LOG_IS_IO, NEEDS_NONE},
    {MSG_LOG_UNWRITABLE, NEEDS_NONE},
    {MSG_NO_CHECKSUMS, NEEDS_NONE},
    {MSG_REPORT_UNWRITTEN, NEEDS_NONE},
    {MSG_UNKNOWN_LEVEL, NEEDS_NONE},
    {MSG_UNKNOWN_QUALITY, NEEDS_NONE},
    {MSG_UNKNOWN_THRESHOLD, NEEDS_NONE},
    {MSG_UNKNOWN_THREADS, NEEDS_NONE},
    {MSG_BAD_EXTENSION, NEEDS_NONE},
    {MSG_READ_ONLY_ALONE, NEEDS_NONE},
    {MSG_INFO_NAMES, NEEDS_NONE},
    {MSG_TEST_NAMES, NEEDS_NONE},
    {MSG_NO_INPUT, NEEDS_NONE},
    {MSG_NO_OUTPUT, NEEDS_NONE},
};

// Returns the explanation keyed on line `id`, or nullptr.
const Explanation* explanation_of(size_t id) {
    for (const Explanation& e : EXPLANATIONS)
        if (static_cast<size_t>(e.id) == id) return &e;
    return nullptr;
}

}  // namespace

// Returns the converter's lines that have an explanation, built once from its table.
const std::vector<ConverterLineExplanation>& explained_converter_lines() {
    static const std::vector<ConverterLineExplanation> lines = [] {
        std::vector<ConverterLineExplanation> found;
        for (size_t i = 0; i < converter_message_count; i++) {
            const converter_message& m = converter_messages[i];
            const Explanation* e = explanation_of(i);
            if (e && *e->text) found.push_back({m.format, e->text, m.kind == MESSAGE_WARNING});
        }
        return found;
    }();
    return lines;
}

namespace {

// Returns the length of the run of digits at text[at..], after `minus` optional '-'.
size_t digits_at(const std::string& text, size_t at, bool minus) {
    size_t start = at;
    if (minus && at < text.size() && text[at] == '-') at++;
    size_t first = at;
    while (at < text.size() && isdigit(static_cast<unsigned char>(text[at]))) at++;
    return at > first ? at - start : 0;
}

// Matches line[at..] against format; %s tries every length, so the text after it decides.
bool match_from(const std::string& line, size_t at, const char* format) {
    if (*format == '\0') return at == line.size();
    if (*format != '%') return at < line.size() && line[at] == *format && match_from(line, at + 1, format + 1);
    const char* rest = format + 1;
    if (strncmp(rest, "lld", 3) == 0 || strncmp(rest, "llu", 3) == 0 || *rest == 'd' || *rest == 'u') {
        size_t n = digits_at(line, at, *rest == 'd');
        return n > 0 && match_from(line, at + n, rest + (*rest == 'l' ? 3 : 1));
    }
    if (*rest == 'c') return at < line.size() && match_from(line, at + 1, rest + 1);
    if (*rest != 's') return false;
    for (size_t end = line.size() + 1; end-- > at;)
        if (match_from(line, end, rest + 1)) return true;
    return false;
}

}  // namespace

// Returns true when the line is the format filled in.
bool line_matches_format(const std::string& line, const char* format) {
    return match_from(line, 0, format);
}

// Returns the first explained line whose format matches the whole line, or nullptr.
const ConverterLineExplanation* explain_converter_line(const std::string& line) {
    for (const ConverterLineExplanation& entry : explained_converter_lines())
        if (line_matches_format(line, entry.format)) return &entry;
    return nullptr;
}

// Walks the converter's table: every line needs an explanation entry (an entry names a
// line by its name, so none can stand for a line the converter lacks).
std::vector<std::string> unmatched_converter_lines() {
    std::vector<std::string> unmatched;
    for (size_t i = 0; i < converter_message_count; i++)
        if (!explanation_of(i)) unmatched.push_back(converter_messages[i].format);
    return unmatched;
}
