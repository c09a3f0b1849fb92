// The main dialog CWendrovixDlg, the about dialog CAboutDlg and the program's entry point.
#include "wendrovix_win32.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <vector>

#include "dialog_texts.h"
#include "job_platform_win32.h"
#include "dialog_ids.h"
#include "wide_text.h"

namespace {

// Declared like the settings key of the program's framework; nothing is stored under it.
const wchar_t* const SETTINGS_KEY = L"应用程序向导生成的本地应用程序";
const UINT_PTR TIMER_ID = 1;
const int LEVELS = 9;

}  // namespace

// Turns every '|' into a NUL; the filter's closing "||" gives the two closing NULs.
std::wstring file_dialog_filter(const char* filter) {
    std::wstring wide = to_wide(filter);
    for (wchar_t& c : wide)
        if (c == L'|') c = L'\0';
    return wide + L'\0';
}

// Splits the buffer: a lone full path, or the folder and every name after it.
std::vector<std::string> selected_files(const wchar_t* buffer) {
    std::wstring first = buffer;
    const wchar_t* name = buffer + first.size() + 1;
    if (*name == L'\0') return {to_utf8(first)};
    if (first.back() != L'\\') first += L'\\';
    std::vector<std::string> paths;
    for (; *name; name += wcslen(name) + 1) paths.push_back(to_utf8(first + name));
    return paths;
}

// Shows template 100 modally.
void CAboutDlg::DoModal(HWND parent) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), parent,
                    DialogProc, 0);
}

// OK, Esc and the close box end the about dialog.
INT_PTR CALLBACK CAboutDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG) return TRUE;
    if (msg != WM_COMMAND || (LOWORD(wp) != IDOK && LOWORD(wp) != IDCANCEL)) return FALSE;
    EndDialog(hwnd, LOWORD(wp));
    return TRUE;
}

CWendrovixDlg::CWendrovixDlg(JobPlatform& platform)
    : taskbar_created_(RegisterWindowMessageW(L"TaskbarButtonCreated")),
      inputs_(*this, *this, platform),
      job_(*this, *this, platform) {}

// Lets go of the taskbar button's interface.
CWendrovixDlg::~CWendrovixDlg() {
    if (taskbar_) taskbar_->Release();
}

// Runs template 102 modally with this object as its state.
void CWendrovixDlg::DoModal(HINSTANCE instance, const std::vector<std::wstring>& arguments) {
    arguments_ = arguments;
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_WENDROVIX_DIALOG), nullptr, DialogProc,
                    reinterpret_cast<LPARAM>(this));
}

// Finds the dialog object (stored at WM_INITDIALOG) and lets it handle the message.
INT_PTR CALLBACK CWendrovixDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lp);
        reinterpret_cast<CWendrovixDlg*>(lp)->hwnd_ = hwnd;
    }
    auto* dlg = reinterpret_cast<CWendrovixDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return dlg ? dlg->HandleMessage(msg, wp, lp) : FALSE;
}

// Sends each message to its handler.
INT_PTR CWendrovixDlg::HandleMessage(UINT msg, WPARAM wp, LPARAM) {
    if (msg == taskbar_created_ && taskbar_created_ != 0) return OnTaskbarButtonCreated();
    switch (msg) {
    case WM_INITDIALOG: return OnInitDialog();
    case WM_COMMAND: return OnCommand(LOWORD(wp), HIWORD(wp));
    case WM_SYSCOMMAND: return OnSysCommand(wp);
    case WM_PAINT: return IsIconic(hwnd_) ? OnPaintIconic() : FALSE;
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(icon_);
    case WM_SIZE: UpdateTitle(); return FALSE;
    case WM_DROPFILES: OnDropFiles(reinterpret_cast<HDROP>(wp)); return TRUE;
    case WM_TIMER:
        if (wp == TIMER_ID) job_.OnTimer();
        return TRUE;
    }
    return FALSE;
}

// Adds the about entry to the system menu, sets the icons, fills the level list, accepts
// dropped files and opens the program's arguments.
BOOL CWendrovixDlg::OnInitDialog() {
    AddAboutMenuEntry();
    SetIcons();
    for (int level = LEVELS; level >= 1; level--)
        SendDlgItemMessageW(hwnd_, IDC_LEVEL, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(std::to_wstring(level).c_str()));
    SendDlgItemMessageW(hwnd_, IDC_LEVEL, CB_SETCURSEL, 0, 0);
    SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
    DragAcceptFiles(hwnd_, TRUE);
    ShowInfoScrollBar();
    job_.RemoveStaleFolders();
    if (!arguments_.empty()) OpenArguments(arguments_);
    return TRUE;
}

// The taskbar button exists (Windows 7 and later): takes its progress interface, which
// older systems do not have (the button then shows no progress).
BOOL CWendrovixDlg::OnTaskbarButtonCreated() {
    if (taskbar_) return TRUE;
    ITaskbarList3* list = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&list))))
        return TRUE;
    if (SUCCEEDED(list->HrInit()))
        taskbar_ = list;
    else
        list->Release();
    return TRUE;
}

// A separator and string 101 with command 16 at the end of the system menu (when the
// string is not empty).
void CWendrovixDlg::AddAboutMenuEntry() {
    wchar_t text[64];
    if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, text, 64) <= 0) return;
    HMENU menu = GetSystemMenu(hwnd_, FALSE);
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text);
}

// The program icon (resource 128) as the big and the small window icon.
void CWendrovixDlg::SetIcons() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    icon_ = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    small_icon_ = static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, 16, 16, 0));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
}

// The buttons; Esc and the close box arrive as IDCANCEL and act as the Exit button. A
// change of the input box goes to the input logic (a queue shown or cut down).
BOOL CWendrovixDlg::OnCommand(int id, int code) {
    if (id == IDC_INPUT && code == EN_CHANGE) {
        inputs_.OnInputEdited();
        return TRUE;
    }
    if (code != BN_CLICKED) return FALSE;
    switch (id) {
    case IDC_OPEN: inputs_.OnOpenFile(); return TRUE;
    case IDC_SAVE: inputs_.OnSaveFile(); return TRUE;
    case IDC_ABOUT: OnAbout(); return TRUE;
    case IDC_START: job_.OnStartStop(); return TRUE;
    case IDCANCEL: job_.OnExit(); return TRUE;
    }
    return FALSE;
}

// The about entry (16) opens the about dialog.
BOOL CWendrovixDlg::OnSysCommand(WPARAM command) {
    if ((command & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
    CAboutDlg::DoModal(hwnd_);
    return TRUE;
}

// Draws the program icon centred: left = (width - icon width + 1) / 2, top likewise.
BOOL CWendrovixDlg::OnPaintIconic() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
    DrawIcon(dc, (rc.right - cx + 1) / 2, (rc.bottom - cy + 1) / 2, icon_);
    EndPaint(hwnd_, &ps);
    return TRUE;
}

// Opens the dropped files that exist and are no folders; during a job, as Open is
// disabled then, nothing.
void CWendrovixDlg::OnDropFiles(HDROP drop) {
    std::vector<std::string> paths;
    std::vector<wchar_t> name(LONGEST_PATH_CHARS);
    for (UINT i = 0, n = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0); i < n; i++)
        if (DragQueryFileW(drop, i, name.data(), static_cast<UINT>(name.size())) != 0)
            paths.push_back(to_utf8(name.data()));
    DragFinish(drop);
    inputs_.OpenDropped(paths);
}

// Leaves out existing folders; a missing file still opens (the naming decides), its
// name made full as the open dialog gives it.
void CWendrovixDlg::OpenArguments(const std::vector<std::wstring>& arguments) {
    std::vector<std::string> names;
    for (const std::wstring& argument : arguments) names.push_back(to_utf8(argument));
    inputs_.OpenArguments(names);
}

// Chooses an existing folder with the system's folder dialog.
std::string CWendrovixDlg::ChooseFolder() {
    BROWSEINFOW info = {};
    info.hwndOwner = hwnd_;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen) return "";
    std::vector<wchar_t> folder(LONGEST_PATH_CHARS);
    BOOL ok = SHGetPathFromIDListEx(chosen, folder.data(), static_cast<DWORD>(folder.size()),
                                    GPFIDL_DEFAULT);
    CoTaskMemFree(chosen);
    return ok ? to_utf8(folder.data()) : "";
}

// The open dialog (several files), the save dialog (the default extension without its
// dot) or the folder dialog, as the request says.
std::vector<std::string> CWendrovixDlg::choose_files(const FileRequest& request) {
    if (request.kind == FileRequest::FOLDER) {
        std::string folder = ChooseFolder();
        return folder.empty() ? std::vector<std::string>{} : std::vector<std::string>{folder};
    }
    bool save = request.kind == FileRequest::SAVE_FILE;
    std::wstring ext = save ? to_wide(request.default_ext.substr(1)) : L"";
    return ChooseFiles(save, request.filter, save ? ext.c_str() : nullptr, request.initial_name);
}

// Returns the input box's text.
std::string CWendrovixDlg::input_box_text() {
    return to_utf8(ItemText(IDC_INPUT));
}

// Save and Start on; a queue's output box takes no typing.
void CWendrovixDlg::show_chosen(bool queue) {
    set_output_typing(!queue);
    EnableWindow(GetDlgItem(hwnd_, IDC_SAVE), TRUE);
    EnableWindow(GetDlgItem(hwnd_, IDC_START), TRUE);
}

void CWendrovixDlg::show_output(const std::string& text) {
    SetDlgItemTextW(hwnd_, IDC_OUTPUT, to_wide(text).c_str());
}

void CWendrovixDlg::set_output_typing(bool takes_typing) {
    SendDlgItemMessageW(hwnd_, IDC_OUTPUT, EM_SETREADONLY, !takes_typing, 0);
}

// Shows the open or save dialog: read-only box hidden, asking before overwriting.
std::vector<std::string> CWendrovixDlg::ChooseFiles(bool save, const char* filter,
                                                    const wchar_t* default_ext,
                                                    const std::string& initial_name) {
    std::wstring filters = file_dialog_filter(filter), initial = to_wide(initial_name);
    std::vector<wchar_t> name(LONGEST_PATH_CHARS, L'\0');
    initial.copy(name.data(), name.size() - 1);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filters.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = name.data();
    ofn.nMaxFile = static_cast<DWORD>(name.size());
    ofn.lpstrDefExt = default_ext;
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT |
                (save ? 0 : OFN_ALLOWMULTISELECT);
    BOOL chosen = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    if (!chosen) return {};
    return save ? std::vector<std::string>{to_utf8(name.data())} : selected_files(name.data());
}

// The about message; Yes opens the maker's web address with the default handler.
void CWendrovixDlg::OnAbout() {
    std::wstring text = to_wide(about_message("\r\n"));
    if (MessageBoxW(hwnd_, text.c_str(), L"关于", MB_YESNO | MB_ICONINFORMATION) == IDYES)
        ShellExecuteW(hwnd_, L"open", to_wide(MAKER_WEB).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

std::wstring CWendrovixDlg::ItemText(int id) {
    HWND item = GetDlgItem(hwnd_, id);
    std::vector<wchar_t> text(static_cast<size_t>(GetWindowTextLengthW(item)) + 1);
    GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
    return text.data();
}

// "42% - Wendrovix V1.0" while minimised with a progress label, else the plain title;
// set only when it changes.
void CWendrovixDlg::UpdateTitle() {
    std::wstring title = to_wide(DIALOG_TITLE);
    if (IsIconic(hwnd_) && !progress_label_.empty()) title = progress_label_ + L" - " + title;
    wchar_t shown[128] = {};
    GetWindowTextW(hwnd_, shown, 128);
    if (title != shown) SetWindowTextW(hwnd_, title.c_str());  // setting it while being
                                                                // minimised can undo that
}

// Copies the input and output boxes into the members.
void CWendrovixDlg::take_boxes() {
    input_path = to_utf8(ItemText(IDC_INPUT));
    output_path = to_utf8(ItemText(IDC_OUTPUT));
}

// Copies the members into the boxes (the information box's lines end in "\r\n"); the
// information box wraps its lines, shows its scroll bar when the text is longer than
// the box, and shows its last line of text, where a long queue's newest report is.
void CWendrovixDlg::show_members() {
    SetDlgItemTextW(hwnd_, IDC_INPUT, to_wide(input_path).c_str());
    SetDlgItemTextW(hwnd_, IDC_OUTPUT, to_wide(output_path).c_str());
    std::wstring info = to_wide(info_text);
    SetDlgItemTextW(hwnd_, IDC_INFO, info.c_str());
    ShowInfoScrollBar();
    size_t end = info.size();
    if (end >= 2 && info.compare(end - 2, 2, L"\r\n") == 0) end -= 2;  // not the empty line after
    SendDlgItemMessageW(hwnd_, IDC_INFO, EM_SETSEL, end, end);
    SendDlgItemMessageW(hwnd_, IDC_INFO, EM_SCROLLCARET, 0, 0);
}

// Shows the information box's vertical scroll bar only when its lines (as wrapped
// without the bar) are more than it can show.
void CWendrovixDlg::ShowInfoScrollBar() {
    HWND box = GetDlgItem(hwnd_, IDC_INFO);
    ShowScrollBar(box, SB_VERT, FALSE);  // the lines are wrapped again at the full width
    RECT area;
    SendMessageW(box, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
    HDC dc = GetDC(box);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(box, WM_GETFONT, 0, 0)));
    TEXTMETRICW tm;
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(box, dc);
    LRESULT lines = SendMessageW(box, EM_GETLINECOUNT, 0, 0);
    LONG fits = tm.tmHeight > 0 ? (area.bottom - area.top) / tm.tmHeight : lines;
    if (lines > fits) ShowScrollBar(box, SB_VERT, TRUE);
}

std::string CWendrovixDlg::level_text() {
    return to_utf8(ItemText(IDC_LEVEL));
}

void CWendrovixDlg::set_start_text(const std::string& text) {
    SetDlgItemTextW(hwnd_, IDC_START, to_wide(text).c_str());
}

void CWendrovixDlg::minimise() {
    ShowWindow(hwnd_, SW_MINIMIZE);
}

// Restores the window and brings it to the front.
void CWendrovixDlg::restore() {
    ShowWindow(hwnd_, SW_RESTORE);
    SetForegroundWindow(hwnd_);
}

// Asks a Yes/No question with the question icon and the caption "提示".
bool CWendrovixDlg::ask_yes_no(const std::string& question) {
    return MessageBoxW(hwnd_, to_wide(question).c_str(), to_wide(TEXT_PROMPT_CAPTION).c_str(),
                       MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// Shows a failure (a removal's system text) with the warning icon.
void CWendrovixDlg::show_error(const std::string& text) {
    MessageBoxW(hwnd_, to_wide(text).c_str(), L"Wendrovix", MB_OK | MB_ICONWARNING);
}

void CWendrovixDlg::start_timer() {
    SetTimer(hwnd_, TIMER_ID, TIMER_PERIOD_MS, nullptr);
}

void CWendrovixDlg::stop_timer() {
    KillTimer(hwnd_, TIMER_ID);
}

// Shows the percentage in the progress bar and on the taskbar button, and the label,
// while minimised, in the title.
void CWendrovixDlg::show_progress(int percent, const std::string& label) {
    progress_label_ = percent >= 0 ? to_wide(label) : L"";
    HWND bar = GetDlgItem(hwnd_, IDC_PROGRESS);
    if (percent >= 0) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    ShowWindow(bar, percent >= 0 ? SW_SHOW : SW_HIDE);
    UpdateTitle();
    if (!taskbar_) return;
    taskbar_->SetProgressState(hwnd_, percent >= 0 ? TBPF_NORMAL : TBPF_NOPROGRESS);
    if (percent >= 0) taskbar_->SetProgressValue(hwnd_, static_cast<ULONGLONG>(percent), 100);
}

// Open, Save and the level list: off while a job runs.
void CWendrovixDlg::lock_choices(bool locked) {
    for (int id : {IDC_OPEN, IDC_SAVE, IDC_LEVEL}) EnableWindow(GetDlgItem(hwnd_, id), !locked);
}

// A job with a failed file leaves the taskbar button full and in its error state.
void CWendrovixDlg::show_outcome(bool failed) {
    if (!taskbar_ || !failed) return;
    taskbar_->SetProgressState(hwnd_, TBPF_ERROR);
    taskbar_->SetProgressValue(hwnd_, 100, 100);
}

void CWendrovixDlg::close_dialog() {
    EndDialog(hwnd_, IDCANCEL);
}

// Initialises the common controls (all classes) and COM (the folder dialog), runs the
// dialog with the program's file arguments, and returns 0 when it has closed.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls = {8, 0xFF};
    InitCommonControlsEx(&controls);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < argc; i++) arguments.push_back(argv[i]);
    if (argv) LocalFree(argv);
    {  // the dialog lets go of its COM interfaces before COM ends
        Win32JobPlatform platform;
        CWendrovixDlg dlg(platform);
        dlg.DoModal(instance, arguments);
    }
    CoUninitialize();
    return 0;
}
