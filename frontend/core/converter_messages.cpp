// The table of the converter's failure and warning lines with their explanations.
#include "converter_messages.h"

#include <cctype>
#include <cstring>

namespace {

const char* const DAMAGED_CSO = "CSO 文件已损坏，无法完整解压。请重新获取该文件，或用原来的 ISO 重新压缩。";
const char* const CANNOT_WRITE =
    "无法写入输出文件：磁盘可能已满，或没有写入权限。请腾出空间或换一个输出位置后重试。";
const char* const NO_MEMORY = "内存不足。请关闭其他程序后重试。";

// Every line the converter prints when a run fails, and the warnings of runs that succeed.
const ConverterLineExplanation TABLE[] = {
    {"ciso file format error", "输入文件不是 CSO 文件，无法解压。请选择正确的 CSO 文件。", false},
    {"block %d : block size error %d != %d", DAMAGED_CSO, false},
    {"block %d:inflate : %s[%d]", DAMAGED_CSO, false},
    {"file read error", "无法读取 CSO 文件：文件可能不完整或已损坏。请重新获取该文件。", false},
    {"block=%d : read error",
     "读取输入文件时出错：文件可能不完整、已损坏，或所在的磁盘出错。请检查输入文件后重试。", false},
    {"block %d : Write error", CANNOT_WRITE, false},
    {"Index write error", CANNOT_WRITE, false},
    {"Can't close %s", "输出文件未能完整写入：磁盘可能已满。请腾出空间后重试。", false},
    {"Can't open %s", "无法打开输入文件。请确认文件存在、没有被其他程序占用，并且有读取权限。", false},
    {"Can't create %s",
     "无法创建输出文件。请确认输出文件夹存在并可写入，同名文件不是只读或正在使用。", false},
    {"Can't write log %s", "无法写入日志文件：磁盘可能已满，或没有写入权限。", false},
    {"Input and output are the same file: %s", "输入文件和输出文件是同一个文件。请换一个输出文件名。",
     false},
    {"Input is larger than %lld bytes", "输入文件太大，超出了转换程序能处理的大小，无法转换。", false},
    {"Input is already a CSO file: %s",
     "输入文件已经是 CSO 文件（只是扩展名不对），无需再压缩。请把它改名为 .cso 后解压，或选择原来的 ISO 文件。",
     false},
    {"Input size %lld bytes is not a whole number of 2048-byte sectors: %s",
     "输入文件的大小不是 2048 字节扇区的整数倍，多半是不完整的光盘映像。请重新制作或获取完整的 ISO 文件。",
     false},
    {"Input is empty: %s", "输入文件是空的（0 字节）。请选择完整的 ISO 文件。", false},
    {"Can't allocate memory", NO_MEMORY, false},
    {"deflateInit : %s", NO_MEMORY, false},
    {"inflateInit : %s", NO_MEMORY, false},
    {"block %d:deflate : %s[%d]", "压缩时出错，多半是内存不足。请关闭其他程序后重试。", false},
    {"Can't get file size", "无法得知输入文件的大小。请确认它是普通文件，而不是文件夹或设备。", false},
    {"Warning: the last %u bytes of the image were never stored in this file",
     "这个 CSO 文件缺少光盘映像末尾的几个字节（由旧工具写成），解压出的 ISO 比原映像略短。", true},
};

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
    if (strncmp(rest, "lld", 3) == 0 || *rest == 'd' || *rest == 'u') {
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

// Returns the first entry whose format matches the whole line, or nullptr.
const ConverterLineExplanation* explain_converter_line(const std::string& line) {
    for (const ConverterLineExplanation& entry : TABLE)
        if (line_matches_format(line, entry.format)) return &entry;
    return nullptr;
}
