// wendrovix.exe driven in its own process, as a person would: buttons pressed by their
// command messages, texts read back from the controls, message boxes and file dialogs
// found and answered here. Real jobs run through the embedded converter; the dialog's
// temporary folder has a blank in its name, with a planted program where a command line
// read without quotes would look first. A test build whose embedded converter writes
// damaged CSOs shows that verification catches them.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "check.h"
#include "platform_test_files.h"

namespace {

std::wstring exe;      // wendrovix.exe
std::wstring standin;  // wendrovix.exe carrying the damaging stand-in converter
std::wstring mastered; // the folder of the mastered images given, trailing backslash
std::wstring files;  // inputs and outputs of the jobs, trailing backslash
std::wstring temp;   // the dialog's temporary folder, trailing backslash

// Polls cond every 50 ms for at most ms milliseconds; returns whether it came true.
bool wait_for(const std::function<bool()>& cond, int ms = 30000) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (cond()) return true;
        Sleep(50);
    }
    return cond();
}

// Returns a window's text, asked through WM_GETTEXT (answered by the owning process).
std::wstring window_text(HWND h) {
    wchar_t buf[4096] = {};
    SendMessageTimeoutW(h, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 5000,
                        nullptr);
    return buf;
}

// Collects a visible top-level dialog window of the process named in the list's first place.
BOOL CALLBACK collect_dialog(HWND h, LPARAM lp) {
    auto* found = reinterpret_cast<std::pair<DWORD, std::vector<HWND>>*>(lp);
    DWORD owner = 0;
    wchar_t cls[16] = {};
    GetWindowThreadProcessId(h, &owner);
    GetClassNameW(h, cls, 16);
    if (owner == found->first && IsWindowVisible(h) && std::wstring(cls) == L"#32770")
        found->second.push_back(h);
    return TRUE;
}

// Returns the visible top-level dialog windows of a process.
std::vector<HWND> dialogs_of(DWORD pid) {
    std::pair<DWORD, std::vector<HWND>> found{pid, {}};
    EnumWindows(collect_dialog, reinterpret_cast<LPARAM>(&found));
    return found.second;
}

// Keeps the longest text of the static controls seen so far.
BOOL CALLBACK keep_longest_static(HWND h, LPARAM lp) {
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    std::wstring text = window_text(h);
    auto* best = reinterpret_cast<std::wstring*>(lp);
    if (_wcsicmp(cls, L"Static") == 0 && text.size() > best->size()) *best = text;
    return TRUE;
}

// Returns the longest text of a window's static controls (a message box's message).
std::wstring static_text(HWND box) {
    std::wstring best;
    EnumChildWindows(box, keep_longest_static, reinterpret_cast<LPARAM>(&best));
    return best;
}

// Presses a button of a dialog without waiting for its handler (which may show a box).
void press(HWND dlg, int id) {
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

// Returns a name in double quotes, as one argument of a command line.
std::wstring in_quotes(const std::wstring& name) {
    return L"\"" + name + L"\"";
}

// Returns how many processes run the program file named `name` (case ignored).
int processes_named(const wchar_t* name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += _wcsicmp(entry.szExeFile, name) == 0 ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

// wendrovix.exe with optional arguments (a command line's tail), its main dialog, and
// its other windows.
class Program {
public:
    explicit Program(const std::wstring& arguments = L"", const std::wstring& program = exe) {
        std::wstring line = in_quotes(program) + L" " + arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        wait_for([this] {
            for (HWND h : dialogs_of(pi.dwProcessId))
                if (GetDlgItem(h, 1006)) hwnd = h;
            return hwnd != nullptr;
        });
        CHECK(hwnd != nullptr);
        if (!hwnd) report_no_window();
        // Lets the window system finish showing and activating the window: a minimise
        // that comes before may be undone by a late activation (seen under Wine).
        wait_for([this] { return GetForegroundWindow() == hwnd; }, 5000);
        Sleep(1000);
    }
    // Ends a program that is still running.
    ~Program() {
        if (!ended(0)) TerminateProcess(pi.hProcess, 9);
        WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    std::wstring text(int id) { return window_text(GetDlgItem(hwnd, id)); }
    bool enabled(int id) { return IsWindowEnabled(GetDlgItem(hwnd, id)); }
    void press(int id) { ::press(hwnd, id); }
    // Presses a button whose handler shows no box, and returns once it has run.
    void click(int id) {
        SendMessageTimeoutW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                            reinterpret_cast<LPARAM>(GetDlgItem(hwnd, id)), SMTO_NORMAL, 10000, nullptr);
    }
    // Waits for a dialog of the program other than the main one; returns it or nullptr.
    HWND other_window() {
        HWND other = nullptr;
        wait_for([&] {
            for (HWND h : dialogs_of(pi.dwProcessId))
                if (h != hwnd) other = h;
            return other != nullptr;
        }, 10000);
        return other;
    }
    // Answers the message box that shows now with `answer`; returns "caption|message".
    std::wstring answer_box(int answer) {
        HWND box = other_window();
        if (!box) return L"(no box)";
        std::wstring seen = window_text(box) + L"|" + static_text(box);
        press_until_gone(box, answer);
        return seen;
    }
    // Types `name` into the file dialog that shows now and accepts it (or cancels it);
    // returns its filter entries and the name it proposed, "filter;filter;|proposed".
    std::wstring answer_file_dialog(const std::wstring& name, bool accept = true) {
        HWND dlg = other_window();
        if (!dlg) return L"(no file dialog)";
        HWND edit = GetDlgItem(dlg, 0x47c) ? GetDlgItem(dlg, 0x47c) : GetDlgItem(dlg, 0x480);
        HWND types = GetDlgItem(dlg, 0x470);
        std::wstring seen;
        for (LRESULT i = 0, n = SendMessageW(types, CB_GETCOUNT, 0, 0); i < n; i++) {
            wchar_t item[256] = {};
            SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
            seen += std::wstring(item) + L";";
        }
        seen += L"|" + window_text(edit);
        if (accept) SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
        press_until_gone(dlg, accept ? IDOK : IDCANCEL);
        return seen;
    }
    // Kills the program, as a crash or the task manager would, and waits for its end.
    void kill() {
        TerminateProcess(pi.hProcess, 9);
        WaitForSingleObject(pi.hProcess, 10000);
    }
    // Returns true when the process has ended within ms milliseconds.
    bool ended(int ms) { return WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }
    // Waits until the job has ended (the button says "开始转换" again); when it has not,
    // prints what the dialog shows and which of its windows and converters remain, so a
    // rare hang says where it stopped.
    bool wait_idle(int ms = 120000) {
        if (wait_for([this] { return text(1006) == L"开始转换"; }, ms)) return true;
        std::vector<HWND> shown = dialogs_of(pi.dwProcessId);
        long others = std::count_if(shown.begin(), shown.end(), [this](HWND h) { return h != hwnd; });
        std::fprintf(stderr, "not idle: button [%s], %d converter(s) running, %ld other window(s)\n"
                     "  information: [%s]\n", check_utf8(text(1006)).c_str(), processes_named(L"Vellicor.exe"),
                     others, check_utf8(text(1005)).c_str());
        return false;
    }
    HWND hwnd = nullptr;

private:
    // Prints whether the program still runs and the message of each box it shows, so a
    // rare start without a main window says what came instead.
    void report_no_window() {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        std::fprintf(stderr, "no main window: %s (code %lu)\n", ended(0) ? "ended" : "running", code);
        for (HWND h : dialogs_of(pi.dwProcessId))
            std::fprintf(stderr, "  box: [%s|%s]\n", check_utf8(window_text(h)).c_str(), check_utf8(static_text(h)).c_str());
    }
    // Presses a button of a box until the box has gone.
    void press_until_gone(HWND box, int id) {
        ::press(box, id);
        CHECK(wait_for([box] { return !IsWindowVisible(box); }, 10000));
    }
    PROCESS_INFORMATION pi = {};
};

// Writes `size` bytes of words drawn at random from a small vocabulary: compressible,
// and slow enough at level 9 that a large one runs for some seconds.
void write_image(const std::wstring& path, size_t size) {
    static const char* words[] = {"alpha ", "disc ", "sector ", "block ", "image ", "psp ",
                                  "iso9660 ", "volume ", "track ", "zlib ", "deflate ", "cso "};
    std::string data;
    data.reserve(size + 16);
    for (uint32_t x = 2463534242u; data.size() < size;) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        data += (x & 0x100) ? words[x % 12] : std::to_string(x % 100000) + " ";
    }
    data.resize(size);
    std::ofstream(std::filesystem::path(path), std::ios::binary) << data;
}

// Returns a file's size, -1 when it is missing.
long long size_of(const std::wstring& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(n);
}

// Returns how many entries the dialog's temporary folder holds.
int temp_entries() {
    std::error_code ec;
    auto it = std::filesystem::directory_iterator(std::filesystem::path(temp), ec);
    return ec ? -1 : static_cast<int>(std::distance(it, std::filesystem::directory_iterator()));
}

// Returns how many converter temporary files for `output` sit beside it; removes them
// when `remove` says so.
int temps_beside(const std::wstring& output, bool remove = false) {
    std::filesystem::path path(output);
    std::wstring mark = L"." + path.filename().wstring() + L".vellicor-tmp-";
    std::error_code ec;
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path(), ec))
        if (entry.path().filename().wstring().rfind(mark, 0) == 0) {
            n++;
            if (remove) DeleteFileW(entry.path().wstring().c_str());
        }
    return n;
}

// Checks that the information box wraps its lines (more shown lines than line breaks
// when `wraps` says a line is longer than the box; the last line of text starts at the
// left edge: nothing scrolled sideways), shows that line, and has its scroll bar exactly
// when it holds more lines than it shows.
void check_last_line_in_view(Program& p, bool wraps) {
    HWND box = GetDlgItem(p.hwnd, 1005);
    std::wstring text = p.text(1005);
    size_t end = text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0 ? text.size() - 2 : text.size();
    size_t start = text.rfind(L"\r\n", end == 0 ? 0 : end - 1);
    start = start == std::wstring::npos ? 0 : start + 2;
    LONG_PTR style = GetWindowLongPtrW(box, GWL_STYLE);
    CHECK(!(style & (ES_AUTOHSCROLL | WS_HSCROLL)));
    RECT client;
    GetClientRect(box, &client);
    LRESULT first = SendMessageW(box, EM_POSFROMCHAR, start, 0), last = SendMessageW(box, EM_POSFROMCHAR, end - 1, 0);
    short first_x = static_cast<short>(LOWORD(first)), last_y = static_cast<short>(HIWORD(last));
    CHECK(first_x >= 0 && first_x < 8);
    CHECK(last_y >= 0 && last_y < client.bottom);
    LRESULT lines = SendMessageW(box, EM_GETLINECOUNT, 0, 0);
    LRESULT breaks = 0;
    for (size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at + 2)) breaks++;
    CHECK((lines > breaks + 1) == wraps);
    LRESULT top = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (lines < top + 2) return;
    auto y_of_line = [&](LRESULT line) {
        return static_cast<short>(HIWORD(SendMessageW(box, EM_POSFROMCHAR, SendMessageW(box, EM_LINEINDEX, line, 0), 0)));
    };
    int height = y_of_line(top + 1) - y_of_line(top);
    CHECK(height > 0);
    if (height > 0) CHECK(((style & WS_VSCROLL) != 0) == (lines > client.bottom / height));
}

// Returns true when the dialog's temporary folder holds nothing (no job folder left).
bool temp_is_empty() {
    return std::filesystem::is_empty(std::filesystem::path(temp));
}

// Returns printf-formatted text.
std::wstring format(const wchar_t* f, double v) {
    wchar_t buf[256];
    swprintf(buf, 256, f, v);
    return buf;
}

// The report lines for an input and output size: finished, output megabytes, ratio.
std::wstring report_lines(long long in, long long out) {
    return L"转换完毕!\r\n" + format(L"转换后文件大小：%.2f MB\r\n", out / 1048576.0) +
           format(L"压缩比：%.2f  \r\n", 100.0 * out / in);
}

// Returns the information box's text without the verification's passing line, which
// follows the report when the job also verifies its output.
std::wstring without_verified_line(std::wstring text) {
    const std::wstring passed = L"校验通过\r\n";
    if (text.size() >= passed.size() && text.compare(text.size() - passed.size(), passed.size(), passed) == 0)
        text.resize(text.size() - passed.size());
    return text;
}

// Start-up state, the level list, the about dialog and message, and Exit while idle.
void initial_state() {
    Program p;
    wchar_t title[64] = {};
    GetWindowTextW(p.hwnd, title, 64);
    CHECK(std::wstring(title) == L"Wendrovix V1.0");
    CHECK(p.text(1000).empty() && p.text(1002).empty() && p.text(1005).empty());
    CHECK(p.text(1004) == L"9" && p.text(1006) == L"开始转换");
    CHECK(!p.enabled(1003) && !p.enabled(1006) && p.enabled(1001) && p.enabled(1007));
    HWND level = GetDlgItem(p.hwnd, 1004);
    std::wstring items;
    for (LRESULT i = 0, n = SendMessageW(level, CB_GETCOUNT, 0, 0); i < n; i++) {
        wchar_t item[8] = {};
        SendMessageW(level, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        items += item;
    }
    CHECK(items == L"987654321");
    PostMessageW(p.hwnd, WM_SYSCOMMAND, 16, 0);
    CHECK(p.answer_box(IDOK) == L"关于 Wendrovix|Copyright (C) 2007 Quillane");
    p.press(1007);
    CHECK(p.answer_box(IDNO) ==
          L"关于|Wendrovix Ver 1.0 \r\n Wendrovix \r\nMade by Quillane\r\n简介:可以ISO和CSO格式互相转换 "
          L"\r\n作者邮箱:quillane@example.org \r\n要访问作者的网站吗？");
    p.press(IDCANCEL);
    CHECK(p.ended(10000));
}

// Output names from the open dialog (the mode shows in the save dialog's filter), the
// open dialog's filters, and the save dialog's proposal and default extension.
void output_naming() {
    Program p;
    const wchar_t* open_filters =
        L"支持的文件(*.iso;*.cso;*.zso;*.dax);iso文件 (*.iso);cso文件 (*.cso);zso文件 (*.zso);dax文件 (*.dax);|";
    struct { const wchar_t* chosen; const wchar_t* output; const wchar_t* save_filter; } cases[] = {
        {L"x.ISO", L"x.cso", L"cso文件 (*.cso);"},
        {L"x.cso", L"x.iso", L"iso文件 (*.iso);"},
        {L"iso.iso", L"iso.cso", L"cso文件 (*.cso);"},
        {L"mysoiso", L"mycso", L"cso文件 (*.cso);"},
        {L"x.cso", L"x.iso", L"iso文件 (*.iso);"},
        {L"x.Zso", L"x.iso", L"iso文件 (*.iso);"},
        {L"x.dax", L"x.iso", L"iso文件 (*.iso);"},
        {L"noext", nullptr, L"iso文件 (*.iso);"},  // "ERROR!", the mode stays 1
    };
    for (const auto& c : cases) {
        p.press(1001);
        CHECK(p.answer_file_dialog(files + c.chosen) == open_filters);
        CHECK(p.text(1000) == files + c.chosen);
        CHECK(p.text(1002) == (c.output ? files + c.output : L"ERROR!"));
        CHECK(p.enabled(1003) && p.enabled(1006));
        p.press(1003);
        std::wstring seen = p.answer_file_dialog(L"", false);  // cancelled: nothing changes
        CHECK(seen.compare(0, seen.find(L'|') + 1, std::wstring(c.save_filter) + L"|") == 0);
        CHECK(p.text(1002) == (c.output ? files + c.output : L"ERROR!"));
    }
    p.press(1001);
    p.answer_file_dialog(files + L"x.iso");
    p.press(1003);
    CHECK(p.answer_file_dialog(L"out") == L"cso文件 (*.cso);|x");
    CHECK(p.text(1002) == files + L"out.cso");
}

// A real compression and decompression through the embedded converter: files, the
// information box, the window restored, the job folder gone; the planted program never
// runs. The decompression's output is chosen with the save dialog.
void real_jobs() {
    std::wstring iso = files + L"游戏 small.iso", cso = files + L"游戏 small.cso";
    write_image(iso, 3 * 1048576);
    Program p(in_quotes(iso));
    CHECK(p.text(1002) == cso);
    p.click(1006);
    CHECK(p.wait_idle());
    long long in = size_of(iso), out = size_of(cso);
    CHECK(out > 0 && out < in && slurp(cso).compare(0, 4, "CISO") == 0);
    CHECK_TEXT(without_verified_line(p.text(1005)), L"模式：ISO转换CSO\r\n压缩级别：9\r\n" +
                                 format(L"文件大小：%.2f MB\r\n", in / 1048576.0) +
                                 L"转换进行中，请稍候…………\r\n" + report_lines(in, out));
    CHECK(!IsIconic(p.hwnd) && temp_is_empty());
    CHECK(p.enabled(1001) && p.enabled(1003) && p.enabled(1004));
    std::wstring before = p.text(1005);
    p.press(1006);  // again into the output that exists now: asked first; No starts nothing
    CHECK_TEXT(p.answer_box(IDNO), L"提示|以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n" + cso +
                                       L"\n是否继续？");
    CHECK(p.text(1006) == L"开始转换" && p.text(1005) == before && temp_is_empty());

    p.press(1001);
    p.answer_file_dialog(cso);
    p.press(1003);
    p.answer_file_dialog(L"back");
    p.click(1006);
    CHECK(p.wait_idle());
    std::wstring back = files + L"back.iso";
    CHECK(slurp(back) == slurp(iso));
    CHECK_TEXT(without_verified_line(p.text(1005)), L"模式：CSO转换ISO\r\n" + format(L"文件大小：%.2f MB\r\n", out / 1048576.0) +
                                 L"转换进行中，请稍候…………\r\n" + report_lines(out, in));
    CHECK(temp_is_empty() && size_of(files + L"temp.exe.ran") < 0);
}

// A file named .cso that is no CSO (named twice, in two cases: one job) is reported as
// failed, with the Chinese explanation and the converter's own line, and no sizes.
void failed_decompress() {
    std::wstring bad = files + L"bad.cso";
    std::ofstream(std::filesystem::path(bad), std::ios::binary) << std::string(4096, 'x');
    Program p(in_quotes(bad) + L" " + in_quotes(files + L"BAD.CSO"));
    CHECK_TEXT(p.text(1000), bad);
    p.click(1006);
    CHECK(p.wait_idle());
    std::wstring info = p.text(1005);
    CHECK_TEXT(info.substr(info.find(L"…\r\n") + 3),
               L"转换失败! 输入文件不是 CSO 文件，无法解压。请选择正确的 CSO 文件。\r\nciso file format error\r\n");
    check_last_line_in_view(p, false);
    CHECK(temp_is_empty());
}

// Several file arguments make a queue (a folder among them is left out), converted one
// after the other into outputs beside the inputs, with a summary line at the end; so do
// several names chosen together in the open dialog.
void queue_from_arguments() {
    // b's name is longer than the information box is wide: its header line must wrap.
    const std::wstring b_name = L"队列 b 这是一个名字很长很长的文件，用来看信息框会不会把过长的行折到下一行显示，而不是向右滚动";
    std::wstring a = files + L"队列 a.iso", b = files + b_name + L".iso";
    write_image(a, 1048576);
    write_image(b, 2 * 1048576);
    CreateDirectoryW((files + L"folder").c_str(), nullptr);
    Program p(in_quotes(a) + L" " + in_quotes(files + L"folder") + L" " + in_quotes(b));
    CHECK_TEXT(p.text(1000), a + L" (+1)");
    CHECK_TEXT(p.text(1002), files + L"队列 a.cso (+1)");
    p.click(1006);
    CHECK(p.wait_idle());
    CHECK(slurp(files + L"队列 a.cso").compare(0, 4, "CISO") == 0);
    CHECK(slurp(files + b_name + L".cso").compare(0, 4, "CISO") == 0);
    CHECK(GetWindowLongPtrW(GetDlgItem(p.hwnd, 1002), GWL_STYLE) & ES_READONLY);  // named by Save's folder only
    CHECK(p.text(1005).find(L"共 2 个文件：成功 2 个") != std::wstring::npos);
    CHECK(SendMessageW(GetDlgItem(p.hwnd, 1005), EM_GETFIRSTVISIBLELINE, 0, 0) > 0);  // the end in view
    check_last_line_in_view(p, true);
    CHECK(temp_is_empty());
    p.press(1001);  // two names chosen together in the open dialog's folder
    p.answer_file_dialog(L"\"队列 a.cso\" \"" + b_name + L".cso\"");
    CHECK_TEXT(p.text(1000), files + L"队列 a.cso (+1)");
    CHECK_TEXT(p.text(1002), files + L"队列 a.iso (+1)");
}

// Returns the names as a command line's tail, each in double quotes.
std::wstring quoted_list(const std::vector<std::wstring>& names) {
    std::wstring line;
    for (const auto& name : names) line += in_quotes(name) + L" ";
    return line;
}

// Copies the mastered images given to the test into its files folder; returns the copies.
std::vector<std::wstring> mastered_copies() {
    std::vector<std::wstring> copies;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(mastered, ec))
        if (entry.path().extension() == L".iso") {
            copies.push_back(files + entry.path().filename().wstring());
            CopyFileW(entry.path().c_str(), copies.back().c_str(), FALSE);
        }
    std::sort(copies.begin(), copies.end());
    return copies;
}

// Runs a queue of `inputs` in `program` to its end; returns the information box's lines.
std::vector<std::wstring> run_queue(const std::wstring& program, const std::vector<std::wstring>& inputs) {
    Program p(quoted_list(inputs), program);
    p.click(1006);
    CHECK(p.wait_idle());
    std::wstring info = p.text(1005);
    std::vector<std::wstring> lines;
    size_t at = 0;
    for (size_t end; (end = info.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
        lines.push_back(info.substr(at, end - at));
    if (at < info.size()) lines.push_back(info.substr(at));
    return lines;
}

// Returns the lines that begin with `head`.
std::vector<std::wstring> lines_with(const std::vector<std::wstring>& lines, const std::wstring& head) {
    std::vector<std::wstring> found;
    for (const auto& line : lines)
        if (line.rfind(head, 0) == 0) found.push_back(line);
    return found;
}

// Two mastered images through the embedded converter, each headed by its name and
// verified; then CSOs of the first that the stand-in converter damaged (a flipped payload
// byte, a file cut short, a wrong index entry) fail verification at the block they spoil
// and count as failed files.
void verified_queues() {
    std::vector<std::wstring> isos = mastered_copies();
    CHECK(isos.size() == 2);  // the test script masters two images
    if (isos.size() != 2) return;
    auto lines = run_queue(exe, isos);
    CHECK(lines_with(lines, L"校验") == std::vector<std::wstring>(2, L"校验通过"));
    CHECK(lines_with(lines, L"文件 2/2：" + isos[1].substr(files.size())).size() == 1);
    CHECK(lines_with(lines, L"共 2 个文件：成功 2 个，失败 0 个；").size() == 1);
    for (const auto& iso : isos) CHECK(slurp(iso.substr(0, iso.size() - 3) + L"cso").compare(0, 4, "CISO") == 0);
    std::vector<std::wstring> damaged;
    for (const wchar_t* how : {L"flip", L"cut", L"index"}) {
        damaged.push_back(files + L"damage-" + how + L".iso");
        CopyFileW(isos[0].c_str(), damaged.back().c_str(), FALSE);
    }
    lines = run_queue(standin, damaged);
    std::wstring last = std::to_wstring(size_of(isos[0]) / 2048 - 1);
    CHECK(lines_with(lines, L"校验") == (std::vector<std::wstring>{L"校验失败：第 16 块不一致",
          L"校验失败：第 " + last + L" 块不一致", L"校验失败：第 16 块不一致"}));
    CHECK_TEXT(lines.empty() ? L"" : lines.back(), L"共 3 个文件：成功 0 个，失败 3 个；成功文件输入 0.00 MB，输出 0.00 MB，压缩比 0.00");
    CHECK(temp_is_empty());
}

// Starts a long job and waits until its percentage shows in the minimised window's title.
bool start_long_job(Program& p) {
    p.click(1006);
    return wait_for([&] {
        wchar_t title[64] = {};
        GetWindowTextW(p.hwnd, title, 64);
        return IsIconic(p.hwnd) && std::wstring(title).find(L"% - Wendrovix V1.0") != std::wstring::npos;
    });
}

// Stop: No keeps the job; Yes ends it and removes the converter's temporary output and
// the job folder; the output's name was never written.
void stop_during_a_job() {
    std::wstring iso = files + L"big.iso", cso = files + L"big.cso";
    Program p(in_quotes(iso));
    CHECK(start_long_job(p));
    CHECK(wait_for([&] { return temps_beside(cso) == 1; }, 5000) && size_of(cso) < 0);
    CHECK(IsWindowVisible(GetDlgItem(p.hwnd, 1008)));
    CHECK(!p.enabled(1001) && !p.enabled(1003) && !p.enabled(1004));
    p.press(1006);
    CHECK(p.answer_box(IDNO) == L"提示|转换正在进行中，您确定要停止吗？");
    CHECK(p.text(1006) == L"停止转换");
    p.press(1006);
    CHECK(p.answer_box(IDYES) == L"提示|转换正在进行中，您确定要停止吗？");
    CHECK(p.wait_idle(10000));
    std::wstring info = p.text(1005);
    CHECK(info.size() > 6 && info.compare(info.size() - 6, 6, L"用户终止转换") == 0);
    CHECK(p.enabled(1001) && p.enabled(1003) && p.enabled(1004));
    CHECK(wait_for([&] { return size_of(cso) < 0 && temp_is_empty() && temps_beside(cso) == 0; }, 5000));
}

// A dialog killed during a job: a dialog started meanwhile leaves the live job's folder
// alone; the converter ends with the killed dialog; the next dialog removes the folder
// it left.
void killed_dialog_leaves_nothing() {
    std::wstring iso = files + L"big.iso", cso = files + L"big.cso";
    Program p(in_quotes(iso));
    CHECK(start_long_job(p));
    CHECK(processes_named(L"Vellicor.exe") == 1);
    {
        Program meanwhile;
        CHECK(temp_entries() == 1);
        meanwhile.press(IDCANCEL);
        CHECK(meanwhile.ended(10000));
    }
    p.kill();
    CHECK(wait_for([] { return processes_named(L"Vellicor.exe") == 0; }, 10000));
    CHECK(temp_entries() == 1);
    {
        Program next;
        CHECK(temp_is_empty());
        next.press(IDCANCEL);
        CHECK(next.ended(10000));
    }
    CHECK(size_of(cso) < 0);  // the killed run left at most its temporary file
    temps_beside(cso, true);
}

// A job that ends while the Stop question is shown is reported meanwhile; Yes then
// changes nothing and the finished output stays.
void stop_after_the_end() {
    std::wstring iso = files + L"short.iso", cso = files + L"short.cso";
    write_image(iso, 4 * 1048576);
    Program p(in_quotes(iso));
    p.click(1006);
    p.press(1006);
    HWND box = p.other_window();
    CHECK(box != nullptr);
    CHECK(wait_for([&] { return p.text(1005).find(L"转换完毕!") != std::wstring::npos; }));
    CHECK(p.answer_box(IDYES) == L"提示|转换正在进行中，您确定要停止吗？");
    Sleep(1500);
    CHECK(p.text(1005).find(L"用户终止转换") == std::wstring::npos);
    CHECK(slurp(cso).compare(0, 4, "CISO") == 0 && temp_is_empty());
}

// Exit during a job: No keeps the job running; Yes ends it, removes its files and ends
// the program.
void exit_during_a_job() {
    std::wstring iso = files + L"big.iso", cso = files + L"big.cso";
    Program p(in_quotes(iso));
    CHECK(start_long_job(p));
    p.press(IDCANCEL);
    CHECK(p.answer_box(IDNO) == L"提示|转换正在进行中，您确定要退出吗？");
    CHECK(!p.ended(300) && p.text(1006) == L"停止转换");
    p.press(IDCANCEL);
    CHECK(p.answer_box(IDYES) == L"提示|转换正在进行中，您确定要退出吗？");
    CHECK(p.ended(10000));
    CHECK(size_of(cso) < 0 && temp_is_empty());
}

// For the screenshot: a real compression (of the images given as a queue, else of one
// written here) left on screen; prints "window X Y W H" (the dialog's place on the
// screen) and waits until the file `done` appears (at most 60 s).
int show_for_screenshot(const std::wstring& done, std::vector<std::wstring> images) {
    if (images.empty()) {
        images.push_back(files + L"游戏.iso");
        write_image(images[0], 24 * 1048576);
    }
    Program p(quoted_list(images));
    p.click(1006);
    CHECK(p.wait_idle());
    RECT r;
    GetWindowRect(p.hwnd, &r);
    std::printf("window %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    std::fflush(stdout);
    wait_for([&] { return GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 60000);
    p.press(IDCANCEL);
    CHECK(p.ended(10000));
    return check_failures == 0 ? 0 : 1;
}

}  // namespace

// Runs the tests, with "--images FOLDER" naming the folder of two mastered images; with
// "--screenshot DONE_FILE [IMAGE...]", shows a finished job for a screenshot.
int wmain(int argc, wchar_t** argv) {
    exe = program_folder() + L"wendrovix.exe";
    standin = program_folder() + L"wendrovix_standin.exe";
    ScratchFolder scratch(L"wendrovix-dialog-test-");
    files = scratch.path;
    temp = files + L"temp folder\\";
    CreateDirectoryW(temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    if (argc >= 3 && std::wstring(argv[1]) == L"--screenshot")
        return show_for_screenshot(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    if (argc == 3 && std::wstring(argv[1]) == L"--images") mastered = std::wstring(argv[2]) + L"\\";
    CopyFileW((program_folder() + L"wendrovix_test_child.exe").c_str(), (files + L"temp.exe").c_str(), TRUE);
    write_image(files + L"big.iso", 400 * 1048576);
    RUN(initial_state);
    RUN(output_naming);
    RUN(real_jobs);
    RUN(failed_decompress);
    RUN(queue_from_arguments);
    RUN(verified_queues);
    RUN(stop_during_a_job);
    RUN(killed_dialog_leaves_nothing);
    RUN(stop_after_the_end);
    RUN(exit_during_a_job);
    std::printf("%d failed check(s)\n", check_failures);
    return check_failures == 0 ? 0 : 1;
}
