// The texts both dialogs show outside the conversion job: the title, the file dialogs'
// filters and the about message. No display, no platform.
#pragma once
#include <string>

extern const char* const DIALOG_TITLE;  // the main dialog's title
extern const char* const MAKER_EMAIL;   // in the about message
extern const char* const MAKER_WEB;     // opened when the about message is answered Yes
// The filters of the open and save dialogs ("description|patterns|...||").
extern const char* const OPEN_FILTER;
extern const char* const CSO_FILTER;
extern const char* const ISO_FILTER;

// Returns the about message's six lines, joined by `line_break` (none after the last).
std::string about_message(const char* line_break);
