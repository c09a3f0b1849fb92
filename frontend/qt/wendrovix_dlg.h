// The main dialog CWendrovixDlg and the about dialog CAboutDlg (Qt Widgets).
#pragma once
#include <QDialog>
#include <QHash>
#include <QImage>
#include <QRect>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <functional>

#include "conversion_job.h"
#include "dialog_ids.h"
#include "dialog_texts.h"
#include "input_choice.h"

class QAction;
class QComboBox;
class QMimeData;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The exit button's identifier, the one Windows gives it.
enum { IDCANCEL = 2 };

// The text of the about entry in the dialog's menu.
extern const char* const ABOUT_MENU_TEXT;

// What the program asks of an open-file or save-file dialog.
struct FileChoice {
    bool save = false;        // save dialog (else open)
    QString filter;           // "description|patterns|...||"
    QString default_ext;      // ".cso", ".iso" or empty
    QString initial_name;     // proposed file name, no folder
    bool confirm_overwrite = false;  // ask before replacing an existing file
    bool multiple = false;    // open: several files may be chosen at once
    bool folder = false;      // choose an existing folder instead of a file
};
// Shows a file dialog for the request; returns the chosen full paths, none when cancelled.
using FileChooser = std::function<QStringList(QWidget* parent, const FileChoice& choice)>;
// The real chooser: a QFileDialog set up as the request says.
QStringList choose_with_file_dialog(QWidget* parent, const FileChoice& choice);
// Returns Qt name filters for a "description|patterns|...||" filter.
QStringList qt_name_filters(const QString& filter);

// Horizontal and vertical dialog base units of a font, and conversions from dialog units.
struct DialogUnits {
    int cx;  // average character width in pixels
    int cy;  // character height in pixels
    // Returns the pixel rectangle of a rectangle given in dialog units.
    QRect rect(int x, int y, int w, int h) const;
};
// Returns the base units of a font (its average alphabet width and its height).
DialogUnits dialog_units(const QFont& font);
// Returns the dialogs' font: "宋体" 9 point, with CJK fallbacks.
QFont dialog_font();
// Returns the program icon (drawn, no file needed).
QIcon program_icon();
// Returns the program icon drawn at size by size pixels.
QImage program_icon_image(int size);

// The about dialog: icon, two lines and an OK button.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// The main dialog. Its members input_path, output_path, mode, info_text and converting
// come from DialogMembers; the conversion job works on them through JobView, the choice
// of files through InputView.
class CWendrovixDlg : public QDialog, public DialogMembers, private JobView, private InputView {
    Q_OBJECT
public:
    explicit CWendrovixDlg(JobPlatform& platform, QWidget* parent = nullptr);
    ~CWendrovixDlg() override;
    // Returns the control with one of the IDC_ identifiers, or nullptr.
    QWidget* control(int id) const { return controls_.value(id); }
    // The entry of the dialog's menu that opens the about dialog.
    QAction* about_action() const { return about_action_; }
    // Returns the window title for a progress label ("2/5 42%") while minimised ("": none).
    static QString title_for(const QString& label, bool minimised);

    FileChooser file_chooser = choose_with_file_dialog;  // tests answer file dialogs here
    std::function<void(const QUrl&)> url_opener;         // opens the maker's web address

    void OnOpenFile();
    // The program's file arguments: those that are not folders are opened (made absolute,
    // as the file dialog would give them), one as a file, several as a queue.
    void OpenArguments(const QStringList& files);
    // Returns the local file names (of files or folders) that mime carries, in order.
    static std::vector<std::string> dropped_paths(const QMimeData* mime);
    void OnSaveFile();
    void OnAbout();
    void OnStartStop();
    void OnTimer();
    void OnExit();
    // The dialog's menu command: IDM_ABOUTBOX shows the about dialog.
    void OnSysCommand(int id);
    // Esc and the close box come here: they act as the Exit button.
    void reject() override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;
    // A drag is accepted only when it carries at least one local file and no job runs.
    void dragEnterEvent(QDragEnterEvent* event) override;
    // Dropped files are opened as the Open button would; anything else, and anything
    // during a job, is ignored.
    void dropEvent(QDropEvent* event) override;

private:
    // Creates the controls at their places in dialog units.
    void create_controls();
    // Creates the settings group's controls.
    void create_settings_controls();
    // Creates the information group's controls and the bottom buttons.
    void create_info_controls();
    // Creates a button with an identifier and a handler.
    QPushButton* add_button(int id, const char* text, QRect r, void (CWendrovixDlg::*handler)());
    // Creates a label.
    void add_label(const char* text, QRect r);
    // Enables or disables a control.
    void enable(int id, bool on);

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

    DialogUnits units_;
    QHash<int, QWidget*> controls_;
    QLineEdit* input_box_ = nullptr;
    QLineEdit* output_box_ = nullptr;
    QComboBox* level_box = nullptr;
    QPlainTextEdit* info_box_ = nullptr;
    QProgressBar* progress_bar_ = nullptr;
    QAction* about_action_ = nullptr;
    QTimer timer_;
    QString progress_label_;  // the progress label shown, "" when hidden
    InputChoice inputs_;
    ConversionJob job_;
};
