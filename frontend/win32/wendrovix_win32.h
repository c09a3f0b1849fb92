// The main dialog CWendrovixDlg and the about dialog CAboutDlg as native Win32 dialogs
// from the dialog templates 102 and 100, over the shared conversion job.
#pragma once
#include <windows.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include "conversion_job.h"
#include "input_choice.h"

// The about dialog (template 100): icon, two lines and OK.
class CAboutDlg {
public:
    // Shows the dialog modally over parent.
    static void DoModal(HWND parent);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
};

// The main dialog. Its members input_path, output_path, mode, info_text and converting
// come from DialogMembers; the conversion job works on them through JobView, the choice
// of files through InputView.
class CWendrovixDlg : public DialogMembers, private JobView, private InputView {
public:
    explicit CWendrovixDlg(JobPlatform& platform);
    ~CWendrovixDlg();
    // Runs the dialog modally; when it opens, the program's file arguments are opened as
    // the Open button would open them. Returns when the dialog has closed.
    void DoModal(HINSTANCE instance, const std::vector<std::wstring>& arguments);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    // Handles one message; returns TRUE when handled.
    INT_PTR HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    BOOL OnInitDialog();
    // The shell made the taskbar button: its progress interface can be had now.
    BOOL OnTaskbarButtonCreated();
    // Shows the information box's scroll bar when its text is longer than the box.
    void ShowInfoScrollBar();
    void AddAboutMenuEntry();
    void SetIcons();
    // Runs the handler of a pressed button; returns TRUE when it was one.
    BOOL OnCommand(int id, int code);
    // The about entry opens the about dialog; other commands take their default course.
    BOOL OnSysCommand(WPARAM command);
    // Draws the icon centred in the client area while minimised.
    BOOL OnPaintIconic();
    // The dropped files (folders left out) are opened as the Open button would; not
    // during a job.
    void OnDropFiles(HDROP drop);
    void OnAbout();
    // Opens the program's arguments that are not folders, their names made full.
    void OpenArguments(const std::vector<std::wstring>& arguments);
    // Shows the system's folder dialog; returns the chosen folder, "" when cancelled.
    std::string ChooseFolder();
    // Shows the open dialog (several files may be chosen) or the save dialog; returns the
    // chosen full paths, none when cancelled.
    std::vector<std::string> ChooseFiles(bool save, const char* filter,
                                         const wchar_t* default_ext,
                                         const std::string& initial_name);
    // Returns a control's text.
    std::wstring ItemText(int id);
    // Sets the title: with the percentage while minimised during a job.
    void UpdateTitle();

    // InputView (show_members serves both views)
    std::string input_box_text() override;
    void show_chosen(bool queue) override;
    void show_output(const std::string& text) override;
    void set_output_typing(bool takes_typing) override;
    std::vector<std::string> choose_files(const FileRequest& request) override;

    // JobView
    void take_boxes() override;
    void show_members() override;
    std::string level_text() override;
    void set_start_text(const std::string& text) override;
    void minimise() override;
    void restore() override;
    bool ask_yes_no(const std::string& question) override;
    void show_error(const std::string& text) override;
    void start_timer() override;
    void stop_timer() override;
    void show_progress(int percent, const std::string& label) override;
    void lock_choices(bool locked) override;
    void show_outcome(bool failed) override;
    void close_dialog() override;

    HWND hwnd_ = nullptr;
    HICON icon_ = nullptr;        // big icon, 32 x 32
    HICON small_icon_ = nullptr;  // small icon, 16 x 16
    std::vector<std::wstring> arguments_;  // files to open when the dialog starts
    std::wstring progress_label_;  // shown in the title while minimised; "" for none
    UINT taskbar_created_;            // the shell's message that the taskbar button exists
    ITaskbarList3* taskbar_ = nullptr;  // the button's progress (Windows 7 and later)
    InputChoice inputs_;
    ConversionJob job_;
};

// Returns the full paths in the file name buffer of an open dialog that allows several
// files: one full path, or the folder followed by the names, each ended by a NUL.
std::vector<std::string> selected_files(const wchar_t* buffer);

// Returns a "description|patterns|...||" filter as the NUL-separated form of the file
// dialogs (ending in two NULs).
std::wstring file_dialog_filter(const char* filter);
