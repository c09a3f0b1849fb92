// The texts both dialogs show outside the conversion job.
#include "dialog_texts.h"

const char* const DIALOG_TITLE = "Wendrovix V1.0";
const char* const MAKER_EMAIL = "quillane@example.org";
const char* const MAKER_WEB = "http://wendrovix.example.org";
const char* const OPEN_FILTER =
    "支持的文件(*.iso;*.cso;*.zso;*.dax)|*.iso;*.cso;*.zso;*.dax|iso文件 (*.iso)|*.iso|"
    "cso文件 (*.cso)|*.cso|zso文件 (*.zso)|*.zso|dax文件 (*.dax)|*.dax||";
const char* const CSO_FILTER = "cso文件 (*.cso)|*.cso||";
const char* const ISO_FILTER = "iso文件 (*.iso)|*.iso||";

// Returns the about message: program, name, maker, summary, e-mail, question.
std::string about_message(const char* line_break) {
    const std::string lines[] = {"Wendrovix Ver 1.0 ", " Wendrovix ", "Made by Quillane",
                                 "简介:可以ISO和CSO格式互相转换 ",
                                 std::string("作者邮箱:") + MAKER_EMAIL + " ", "要访问作者的网站吗？"};
    std::string text = lines[0];
    for (size_t i = 1; i < sizeof lines / sizeof lines[0]; i++) text += line_break + lines[i];
    return text;
}
