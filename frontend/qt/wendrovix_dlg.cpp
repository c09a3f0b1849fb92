// The main dialog CWendrovixDlg and the about dialog CAboutDlg.
#include "wendrovix_dlg.h"

#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QDropEvent>
#include <QMimeData>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>

const char* const ABOUT_MENU_TEXT = "关于 Wendrovix(&A)...";

namespace {
// Converts text held as UTF-8 to a QString and back.
QString to_q(const std::string& text) { return QString::fromStdString(text); }
std::string to_utf8(const QString& text) { return text.toStdString(); }
}  // namespace

// Returns the pixel rectangle of a rectangle in dialog units (rounded like MulDiv).
QRect DialogUnits::rect(int x, int y, int w, int h) const {
    auto h_px = [this](int v) { return (v * cx + 2) / 4; };
    auto v_px = [this](int v) { return (v * cy + 4) / 8; };
    return QRect(h_px(x), v_px(y), h_px(w), v_px(h));
}

// Returns the base units: the alphabet's average width (rounded) and the font height.
DialogUnits dialog_units(const QFont& font) {
    QFontMetrics fm(font);
    int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogUnits{(width / 26 + 1) / 2, fm.height()};
}

// Returns "宋体" 9 point; where it is missing, a CJK font that has the same texts.
QFont dialog_font() {
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
    return font;
}

// Returns the program icon drawn at size by size pixels: a disc with a hole. The
// packaged icon files are rendered from here (packaging/wendrovix.svg draws the same).
QImage program_icon_image(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(40, 60, 110), 1.5));
    p.setBrush(QColor(150, 180, 230));
    p.drawEllipse(QRectF(2, 2, 28, 28));
    p.setBrush(QColor(230, 240, 255));
    p.drawEllipse(QRectF(12, 12, 8, 8));
    p.end();
    return image;
}

// Returns the program icon at its 32-pixel size.
QIcon program_icon() {
    return QIcon(QPixmap::fromImage(program_icon_image(32)));
}

// Turns "description|patterns|...||" into "description (pattern pattern)" entries.
QStringList qt_name_filters(const QString& filter) {
    QStringList parts = filter.split(QLatin1Char('|'));
    QStringList result;
    for (int i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        result << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return result;
}

// Shows a QFileDialog as the request says; returns the chosen paths, none when cancelled.
QStringList choose_with_file_dialog(QWidget* parent, const FileChoice& choice) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(choice.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(choice.folder     ? QFileDialog::Directory
                       : choice.save     ? QFileDialog::AnyFile
                       : choice.multiple ? QFileDialog::ExistingFiles
                                         : QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ShowDirsOnly, choice.folder);
    dialog.setNameFilters(qt_name_filters(choice.filter));
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !choice.confirm_overwrite);
    if (!choice.default_ext.isEmpty()) dialog.setDefaultSuffix(choice.default_ext.mid(1));
    if (!choice.initial_name.isEmpty()) dialog.selectFile(choice.initial_name);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

// The about dialog at its fixed size, with the icon, two lines and OK.
CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setFont(dialog_font());
    setWindowTitle(QStringLiteral("关于 Wendrovix"));
    DialogUnits u = dialog_units(font());
    setFixedSize(u.rect(0, 0, 235, 55).size());
    auto* icon = new QLabel(this);
    icon->setPixmap(program_icon().pixmap(32, 32));
    icon->setGeometry(QRect(u.rect(11, 17, 0, 0).topLeft(), QSize(32, 32)));
    auto* name = new QLabel(QStringLiteral("Wendrovix 1.0 版"), this);
    name->setGeometry(u.rect(40, 10, 119, 8));
    auto* second = new QLabel(QStringLiteral("Copyright (C) 2007 Quillane"), this);
    second->setGeometry(u.rect(40, 25, 119, 8));
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setGeometry(u.rect(178, 7, 50, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

// Builds the dialog: font, title, icon, size, controls, menu entry, timer.
CWendrovixDlg::CWendrovixDlg(JobPlatform& platform, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      inputs_(*this, *this, platform),
      job_(*this, *this, platform) {
    setFont(dialog_font());
    units_ = dialog_units(font());
    setWindowTitle(QString::fromUtf8(DIALOG_TITLE));
    setWindowIcon(program_icon());
    setFixedSize(units_.rect(0, 0, 320, 200).size());
    create_controls();
    about_action_ = new QAction(QString::fromUtf8(ABOUT_MENU_TEXT), this);
    connect(about_action_, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    timer_.setInterval(TIMER_PERIOD_MS);
    connect(&timer_, &QTimer::timeout, this, &CWendrovixDlg::OnTimer);
    url_opener = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    setAcceptDrops(true);
    job_.RemoveStaleFolders();
}

// The job ends a converter that still runs before the window goes.
CWendrovixDlg::~CWendrovixDlg() = default;

// Creates both groups and their controls.
void CWendrovixDlg::create_controls() {
    create_settings_controls();
    create_info_controls();
}

// The settings group: input and output boxes with their buttons, and the level list.
void CWendrovixDlg::create_settings_controls() {
    (new QGroupBox(QStringLiteral("设置"), this))->setGeometry(units_.rect(7, 7, 306, 73));
    add_label("输入文件", units_.rect(15, 19, 33, 8));
    controls_[IDC_INPUT] = input_box_ = new QLineEdit(this);
    input_box_->setGeometry(units_.rect(52, 17, 205, 13));
    input_box_->setAcceptDrops(false);  // a file dropped on a box opens, as on the dialog
    connect(input_box_, &QLineEdit::textChanged, this, [this] { inputs_.OnInputEdited(); });
    add_button(IDC_OPEN, "打开文件", units_.rect(262, 16, 43, 16), &CWendrovixDlg::OnOpenFile);
    add_label("输出文件", units_.rect(15, 43, 33, 8));
    controls_[IDC_OUTPUT] = output_box_ = new QLineEdit(this);
    output_box_->setGeometry(units_.rect(52, 41, 205, 13));
    output_box_->setAcceptDrops(false);
    add_button(IDC_SAVE, "保存文件", units_.rect(262, 40, 44, 16), &CWendrovixDlg::OnSaveFile);
    enable(IDC_SAVE, false);
    add_label("压缩级别", units_.rect(15, 64, 33, 8));
    controls_[IDC_LEVEL] = level_box = new QComboBox(this);
    level_box->addItems({"9", "8", "7", "6", "5", "4", "3", "2", "1"});
    level_box->setCurrentIndex(0);
    level_box->setGeometry(units_.rect(52, 61, 27, 12));
    add_label("说明:9为最大压缩,文件体积最小.1为最小压缩,压缩速度最快",
              units_.rect(84, 63, 219, 8));
}

// The information group, the bottom buttons and the progress bar between them.
void CWendrovixDlg::create_info_controls() {
    (new QGroupBox(QStringLiteral("信息"), this))->setGeometry(units_.rect(7, 85, 306, 88));
    controls_[IDC_INFO] = info_box_ = new QPlainTextEdit(this);
    info_box_->setReadOnly(true);
    info_box_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    info_box_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    info_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    info_box_->setGeometry(units_.rect(16, 96, 289, 71));
    // The scroll bar's appearing narrows the box and wraps the text anew after the last line
    // was brought into view: bring it in again (the cursor stays on it, show_members).
    connect(info_box_->verticalScrollBar(), &QScrollBar::rangeChanged, info_box_,
            [this] { info_box_->ensureCursorVisible(); });
    progress_bar_ = new QProgressBar(this);
    progress_bar_->setRange(0, 100);
    progress_bar_->setTextVisible(true);
    progress_bar_->setAlignment(Qt::AlignCenter);
    progress_bar_->setGeometry(units_.rect(62, 179, 140, 12));
    progress_bar_->hide();
    add_button(IDC_ABOUT, "关于", units_.rect(7, 177, 50, 16), &CWendrovixDlg::OnAbout);
    add_button(IDC_START, TEXT_START, units_.rect(207, 177, 50, 16), &CWendrovixDlg::OnStartStop)
        ->setDefault(true);
    enable(IDC_START, false);
    add_button(IDCANCEL, "退出", units_.rect(263, 177, 50, 16), &CWendrovixDlg::OnExit);
}

// Creates a button that runs handler when clicked; returns it.
QPushButton* CWendrovixDlg::add_button(int id, const char* text, QRect r,
                                       void (CWendrovixDlg::*handler)()) {
    auto* button = new QPushButton(QString::fromUtf8(text), this);
    button->setGeometry(r);
    connect(button, &QPushButton::clicked, this, handler);
    controls_[id] = button;
    return button;
}

void CWendrovixDlg::add_label(const char* text, QRect r) {
    (new QLabel(QString::fromUtf8(text), this))->setGeometry(r);
}

void CWendrovixDlg::enable(int id, bool on) {
    controls_.value(id)->setEnabled(on);
}

// Chooses the input files; derives the output names and mode; enables Save and Start.
void CWendrovixDlg::OnOpenFile() {
    inputs_.OnOpenFile();
}

// Opens the arguments that are not folders; a missing file still opens (the naming decides).
void CWendrovixDlg::OpenArguments(const QStringList& files) {
    std::vector<std::string> arguments;
    for (const QString& file : files) arguments.push_back(to_utf8(file));
    inputs_.OpenArguments(arguments);
}

// Returns the local names among mime's addresses.
std::vector<std::string> CWendrovixDlg::dropped_paths(const QMimeData* mime) {
    std::vector<std::string> paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) paths.push_back(to_utf8(url.toLocalFile()));
    return paths;
}

// Accepts the drag only when it carries local files and no job runs (Open is disabled
// then), so the cursor shows what a drop would do.
void CWendrovixDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (inputs_.DroppableFiles(dropped_paths(event->mimeData())).empty()) return event->ignore();
    event->acceptProposedAction();
}

// Opens the dropped files; folders and other data are ignored.
void CWendrovixDlg::dropEvent(QDropEvent* event) {
    if (!inputs_.OpenDropped(dropped_paths(event->mimeData()))) return event->ignore();
    event->acceptProposedAction();
}

// Chooses the output with the filter of the current mode, proposing the input's title;
// for a queue, the folder of all outputs.
void CWendrovixDlg::OnSaveFile() {
    inputs_.OnSaveFile();
}

// The about message; Yes opens the maker's web address.
void CWendrovixDlg::OnAbout() {
    QMessageBox box(QMessageBox::Information, QStringLiteral("关于"), to_q(about_message("\n")),
                    QMessageBox::Yes | QMessageBox::No, this);
    if (box.exec() == QMessageBox::Yes) url_opener(QUrl(QString::fromUtf8(MAKER_WEB)));
}

// Start/Stop button.
void CWendrovixDlg::OnStartStop() {
    job_.OnStartStop();
}

// Timer 1.
void CWendrovixDlg::OnTimer() {
    job_.OnTimer();
}

// Exit button.
void CWendrovixDlg::OnExit() {
    job_.OnExit();
}

void CWendrovixDlg::reject() {
    OnExit();
}

// The about entry opens the about dialog modally.
void CWendrovixDlg::OnSysCommand(int id) {
    if (id != IDM_ABOUTBOX) return;
    CAboutDlg about(this);
    about.exec();
}

// The dialog's menu (this platform's windows have no system menu to extend).
void CWendrovixDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addSeparator();
    menu.addAction(about_action_);
    menu.exec(event->globalPos());
}

// Minimising or restoring changes whether the title shows the percentage.
void CWendrovixDlg::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange)
        setWindowTitle(title_for(progress_label_, isMinimized()));
    QDialog::changeEvent(event);
}

// Returns "2/5 42% - Wendrovix V1.0" while minimised with a label, else the title.
QString CWendrovixDlg::title_for(const QString& label, bool minimised) {
    QString title = QString::fromUtf8(DIALOG_TITLE);
    if (!minimised || label.isEmpty()) return title;
    return label + QStringLiteral(" - ") + title;
}

// Returns the input box's text.
std::string CWendrovixDlg::input_box_text() {
    return to_utf8(input_box_->text());
}

// Save and Start on; a queue's output box takes no typing.
void CWendrovixDlg::show_chosen(bool queue) {
    enable(IDC_SAVE, true);
    enable(IDC_START, true);
    set_output_typing(!queue);
}

void CWendrovixDlg::show_output(const std::string& text) {
    output_box_->setText(to_q(text));
}

void CWendrovixDlg::set_output_typing(bool takes_typing) {
    output_box_->setReadOnly(!takes_typing);
}

// Asks file_chooser for the dialog the request describes; returns the chosen paths.
std::vector<std::string> CWendrovixDlg::choose_files(const FileRequest& request) {
    FileChoice choice;
    choice.save = request.kind == FileRequest::SAVE_FILE;
    choice.multiple = request.kind == FileRequest::OPEN_FILES;
    choice.folder = request.kind == FileRequest::FOLDER;
    choice.confirm_overwrite = choice.save;
    choice.filter = QString::fromUtf8(request.filter);
    choice.default_ext = to_q(request.default_ext);
    choice.initial_name = to_q(request.initial_name);
    std::vector<std::string> paths;
    for (const QString& path : file_chooser(this, choice)) paths.push_back(to_utf8(path));
    return paths;
}

// Copies the input and output boxes into the members.
void CWendrovixDlg::take_boxes() {
    input_path = to_utf8(input_box_->text());
    output_path = to_utf8(output_box_->text());
}

// Copies the members into the boxes; the information box shows "\r\n" as line breaks and
// keeps its last line in view (a queue's report is longer than the box).
void CWendrovixDlg::show_members() {
    input_box_->setText(to_q(input_path));
    output_box_->setText(to_q(output_path));
    info_box_->setPlainText(to_q(info_text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    QTextCursor last = info_box_->textCursor();
    last.movePosition(QTextCursor::End);
    if (last.block().text().isEmpty() && last.block().previous().isValid())
        last.movePosition(QTextCursor::PreviousCharacter);  // the last line of text, not the empty one after it
    info_box_->setTextCursor(last);
    info_box_->ensureCursorVisible();
}

std::string CWendrovixDlg::level_text() {
    return to_utf8(level_box->currentText());
}

void CWendrovixDlg::set_start_text(const std::string& text) {
    static_cast<QPushButton*>(control(IDC_START))->setText(to_q(text));
}

void CWendrovixDlg::minimise() {
    showMinimized();
}

void CWendrovixDlg::restore() {
    showNormal();
    activateWindow();
}

// Asks a Yes/No question with the question icon and the caption "提示".
bool CWendrovixDlg::ask_yes_no(const std::string& question) {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(TEXT_PROMPT_CAPTION), to_q(question),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);  // a name like "<b>x</b>.iso" is shown as it is
    return box.exec() == QMessageBox::Yes;
}

// Shows a failure in a message box with the warning icon.
void CWendrovixDlg::show_error(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Wendrovix"), to_q(text), QMessageBox::Ok,
                    this);
    box.setTextFormat(Qt::PlainText);  // as above: the text may hold names
    box.exec();
}

void CWendrovixDlg::start_timer() {
    timer_.start();
}

void CWendrovixDlg::stop_timer() {
    timer_.stop();
}

// Shows the percentage in the progress bar with the label as its text and, while
// minimised, the label in the title.
void CWendrovixDlg::show_progress(int percent, const std::string& label) {
    progress_label_ = percent >= 0 ? to_q(label) : QString();
    progress_bar_->setVisible(percent >= 0);
    if (percent >= 0) progress_bar_->setValue(percent);
    progress_bar_->setFormat(progress_label_);
    setWindowTitle(title_for(progress_label_, isMinimized()));
}

// Open, Save and the level list: off while a job runs.
void CWendrovixDlg::lock_choices(bool locked) {
    for (int id : {IDC_OPEN, IDC_SAVE, IDC_LEVEL}) enable(id, !locked);
}

// The window's title carries the progress on this platform; nothing more to show.
void CWendrovixDlg::show_outcome(bool) {}

void CWendrovixDlg::close_dialog() {
    QDialog::reject();
}
