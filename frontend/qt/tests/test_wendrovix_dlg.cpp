// The dialog driven offscreen: initial states, output naming through the Open button,
// the Save proposals, message boxes answered by a helper, the about entry, Enter and
// Esc, a file argument and dropped files, and real conversions through the embedded converter.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSettings>
#include <QTextBlock>
#include <QTextLayout>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "job_platform_posix.h"
#include "wendrovix_dlg.h"

namespace {

// What a helper saw in a message box it answered.
struct SeenBox {
    bool seen = false;
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    Qt::TextFormat format = Qt::AutoText;
};

// Once a modal window of type W is up, runs `act` on it (which must close it).
template <typename W>
void when_modal(std::function<void(W*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        auto* w = qobject_cast<W*>(QApplication::activeModalWidget());
        if (!w) return;
        timer->stop();
        timer->deleteLater();
        act(w);
    });
    timer->start();
}

// Answers the next message box with `button`, recording what it showed.
void answer_box(QMessageBox::StandardButton button, SeenBox* seen) {
    when_modal<QMessageBox>([button, seen](QMessageBox* box) {
        *seen = {true, box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                 box->textFormat()};
        box->button(button)->click();
    });
}

// The real layer, but the program it extracts is a stand-in converter that prints one
// progress line and runs until it is killed.
class SlowConverterPlatform : public PosixJobPlatform {
public:
    bool converter_resource(std::string& bytes) override {
        QFile exe(QStringLiteral(CHILD_EXE));
        if (!exe.open(QIODevice::ReadOnly)) return false;
        bytes = exe.readAll().toStdString();
        return true;
    }
};

// Returns the texts of all children of type W.
template <typename W>
QStringList texts_of(QWidget* parent, QString (W::*text)() const) {
    QStringList result;
    for (W* w : parent->findChildren<W*>()) result << (w->*text)();
    return result;
}

}  // namespace

class TestWendrovixDlg : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void initialStates();
    void geometryFromDialogUnits();
    void openFileDerivesOutputName();
    void cancelledFileDialogsChangeNothing();
    void fileArgumentOpensAsTheOpenButton();
    void onlyOneDroppedLocalFileOpens();
    void saveDialogProposals();
    void realFileDialogSetUp();
    void aboutMessageAndWebAddress();
    void aboutEntryOfTheDialogMenu();
    void escAndCloseBoxActAsExit();
    void titleShowsPercentWhileMinimised();
    void compressThenDecompressForReal();
    void failedRealConversionIsReported();
    void progressShownAndRealStop();
    void queueOfRealImagesVerified();
    void damagedOutputsFailVerification();
    void staleJobFoldersRemovedAtStartUp();

private:
    // Makes the chooser answer the next file dialog with `answer`, keeping the request.
    void answer_file_dialog(const QString& answer);
    void answer_file_dialog(const QStringList& answer);
    // Opens `path` through the Open button.
    void open(const QString& path);
    // Returns the input or output box's text.
    QString box(int id) const { return static_cast<QLineEdit*>(dlg->control(id))->text(); }
    // Drags then drops urls (with their text, as file managers offer both) onto a fresh
    // dialog, or onto its control `onto`; returns whether the drag was accepted.
    bool drag_and_drop(const QList<QUrl>& urls, int onto = 0);
    // Returns the information box's text.
    QString info() const { return static_cast<QPlainTextEdit*>(dlg->control(IDC_INFO))->toPlainText(); }
    // Returns a button by identifier.
    QPushButton* button(int id) const { return static_cast<QPushButton*>(dlg->control(id)); }
    // Checks that the information box wraps its lines (nothing to scroll sideways) and
    // shows its last line of text, with a scroll bar when the text is longer than the box.
    void expect_last_line_in_view();
    // Returns the folders and files left in the temporary folder.
    QStringList temp_leftovers() const {
        return QDir(work.path() + "/tmp").entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir work;
    QString iso;
    PosixJobPlatform platform;
    std::unique_ptr<CWendrovixDlg> dlg;
    FileChoice last_choice;
    int file_dialogs = 0;
    QList<QUrl> opened_urls;
};

// Masters a small ISO image with genisoimage and points TMPDIR, and the user settings a
// real file dialog saves on closing, at folders of our own.
void TestWendrovixDlg::initTestCase() {
    QVERIFY(work.isValid());
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, work.path() + "/settings");
    QVERIFY(QDir(work.path()).mkpath("tree/sub"));
    QVERIFY(QDir(work.path()).mkpath("tmp"));
    QFile text(work.path() + "/tree/readme.txt");
    QVERIFY(text.open(QIODevice::WriteOnly));
    for (int i = 0; i < 6000; i++) text.write(QByteArray("line ") + QByteArray::number(i) + " of a text\n");
    text.close();
    QFile noise(work.path() + "/tree/sub/noise.bin");
    QVERIFY(noise.open(QIODevice::WriteOnly));
    quint32 x = 12345;
    for (int i = 0; i < 100000; i++) {
        x = x * 1103515245u + 12345u;
        noise.putChar(static_cast<char>(x >> 24));
    }
    noise.close();
    iso = work.path() + "/my game 游戏.iso";
    QCOMPARE(QProcess::execute("genisoimage", {"-quiet", "-o", iso, work.path() + "/tree"}), 0);
    qputenv("TMPDIR", QFile::encodeName(work.path() + "/tmp"));
}

// A fresh dialog, shown, whose file dialogs and web address are answered by the test.
void TestWendrovixDlg::init() {
    conversion_job_reset_state();
    dlg = std::make_unique<CWendrovixDlg>(platform);
    dlg->url_opener = [this](const QUrl& url) { opened_urls << url; };
    dlg->file_chooser = [this](QWidget*, const FileChoice&) -> QStringList {
        QTest::qFail("unexpected file dialog", __FILE__, __LINE__);
        return {};
    };
    opened_urls.clear();
    dlg->show();
}

void TestWendrovixDlg::cleanup() {
    dlg.reset();
}

void TestWendrovixDlg::answer_file_dialog(const QString& answer) {
    answer_file_dialog(answer.isEmpty() ? QStringList() : QStringList{answer});
}

void TestWendrovixDlg::answer_file_dialog(const QStringList& answer) {
    dlg->file_chooser = [this, answer](QWidget*, const FileChoice& choice) {
        last_choice = choice;
        file_dialogs++;
        return answer;
    };
}

void TestWendrovixDlg::open(const QString& path) {
    answer_file_dialog(path);
    QTest::mouseClick(button(IDC_OPEN), Qt::LeftButton);
}

// Title, boxes, level list, buttons and their states, labels and groups at start-up.
void TestWendrovixDlg::initialStates() {
    QCOMPARE(dlg->windowTitle(), QString("Wendrovix V1.0"));
    QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_INPUT))->text(), QString());
    QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->text(), QString());
    QCOMPARE(info(), QString());
    auto* level = static_cast<QComboBox*>(dlg->control(IDC_LEVEL));
    QCOMPARE(level->currentText(), QString("9"));
    QStringList items;
    for (int i = 0; i < level->count(); i++) items << level->itemText(i);
    QCOMPARE(items, QStringList({"9", "8", "7", "6", "5", "4", "3", "2", "1"}));
    QVERIFY(!level->isEditable());
    QVERIFY(!button(IDC_SAVE)->isEnabled());
    QVERIFY(!button(IDC_START)->isEnabled());
    QVERIFY(button(IDC_OPEN)->isEnabled() && button(IDC_ABOUT)->isEnabled());
    QVERIFY(button(IDCANCEL)->isEnabled());
    QVERIFY(button(IDC_START)->isDefault());
    QVERIFY(static_cast<QPlainTextEdit*>(dlg->control(IDC_INFO))->isReadOnly());
    QCOMPARE(button(IDC_OPEN)->text(), QString("打开文件"));
    QCOMPARE(button(IDC_SAVE)->text(), QString("保存文件"));
    QCOMPARE(button(IDC_ABOUT)->text(), QString("关于"));
    QCOMPARE(button(IDC_START)->text(), QString("开始转换"));
    QCOMPARE(button(IDCANCEL)->text(), QString("退出"));
    QStringList labels = texts_of<QLabel>(dlg.get(), &QLabel::text);
    for (const char* l : {"输入文件", "输出文件", "压缩级别",
                          "说明:9为最大压缩,文件体积最小.1为最小压缩,压缩速度最快"})
        QVERIFY2(labels.contains(QString::fromUtf8(l)), l);
    QCOMPARE(texts_of<QGroupBox>(dlg.get(), &QGroupBox::title), QStringList({"设置", "信息"}));
    QCOMPARE(dlg->converting, uint8_t(0));
    QCOMPARE(dlg->mode, 0);
}

// Sizes and places come from dialog units and the dialog font's base units.
void TestWendrovixDlg::geometryFromDialogUnits() {
    DialogUnits u = dialog_units(dlg->font());
    QVERIFY(u.cx > 2 && u.cy > 6);
    QCOMPARE(dlg->size(), u.rect(0, 0, 320, 200).size());
    QCOMPARE(dlg->control(IDC_INPUT)->geometry(), u.rect(52, 17, 205, 13));
    QCOMPARE(dlg->control(IDC_SAVE)->geometry(), u.rect(262, 40, 44, 16));
    QCOMPARE(dlg->control(IDC_INFO)->geometry(), u.rect(16, 96, 289, 71));
    QCOMPARE(dlg->control(IDC_START)->geometry(), u.rect(207, 177, 50, 16));
    QCOMPARE(DialogUnits({6, 14}).rect(7, 85, 306, 88), QRect(11, 149, 459, 154));
}

// Opening files sets the output box and mode as the naming says, and enables Save and
// Start whatever the naming gave.
void TestWendrovixDlg::openFileDerivesOutputName() {
    struct Case { const char* path; const char* output; int mode; };
    const Case cases[] = {
        {"D:\\games\\x.ISO", "D:\\games\\x.cso", 0}, {"D:\\games\\x.cso", "D:\\games\\x.iso", 1},
        {"D:\\games\\noext", "ERROR!", 1},            {"/g/iso.iso", "/g/iso.cso", 0},
        {"/g/noext", "ERROR!", 0},                    {"/g/mysoiso", "/g/mycso", 0},
    };
    for (const Case& c : cases) {
        open(QString::fromUtf8(c.path));
        QCOMPARE(last_choice.filter, QString::fromUtf8(OPEN_FILTER));
        QVERIFY(!last_choice.save && last_choice.default_ext.isEmpty());
        QVERIFY(last_choice.initial_name.isEmpty());
        QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_INPUT))->text(), QString::fromUtf8(c.path));
        QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->text(), QString::fromUtf8(c.output));
        QVERIFY(!static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->isReadOnly());
        QCOMPARE(dlg->mode, c.mode);
        QVERIFY(button(IDC_SAVE)->isEnabled() && button(IDC_START)->isEnabled());
    }
}

// Cancelling the Open or Save dialog changes nothing.
void TestWendrovixDlg::cancelledFileDialogsChangeNothing() {
    open("");
    QVERIFY(!button(IDC_START)->isEnabled());
    QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->text(), QString());
    open("/g/a.cso");
    answer_file_dialog("");
    dlg->OnSaveFile();
    QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->text(), QString("/g/a.iso"));
    QCOMPARE(dlg->mode, 1);
}

// One file argument opens as the Open button would (made absolute, missing or not, any
// extension); several make a queue; folders are ignored; nothing starts by itself.
void TestWendrovixDlg::fileArgumentOpensAsTheOpenButton() {
    struct Case { QStringList args; QString input, output; };
    const QString w = work.path();
    const Case cases[] = {
        {{"my game 游戏.iso"}, w + "/my game 游戏.iso", w + "/my game 游戏.cso"},
        {{w + "/gone.CSO"}, w + "/gone.CSO", w + "/gone.iso"},
        {{w + "/tree/readme.txt"}, w + "/tree/readme.txt", "ERROR!"},
        {{w + "/tree"}, "", ""},
        {{iso, w + "/tree", w + "/gone.cso"}, iso + " (+1)", w + "/my game 游戏.cso (+1)"},
        {{}, "", ""},
    };
    const QString old_dir = QDir::currentPath();
    QDir::setCurrent(w);
    auto back = qScopeGuard([&] { QDir::setCurrent(old_dir); });  // a failed check returns early
    for (const Case& c : cases) {
        init();
        dlg->OpenArguments(c.args);
        QCOMPARE(box(IDC_INPUT), c.input);
        QCOMPARE(box(IDC_OUTPUT), c.output);
        QCOMPARE(button(IDC_START)->isEnabled(), !c.input.isEmpty());
        QCOMPARE(button(IDC_SAVE)->isEnabled(), !c.input.isEmpty());
        QVERIFY(!dlg->converting);
    }
}

bool TestWendrovixDlg::drag_and_drop(const QList<QUrl>& urls, int onto) {
    init();
    QMimeData mime;
    if (!urls.isEmpty()) mime.setUrls(urls);
    mime.setText(urls.isEmpty() ? iso : urls[0].toString());
    QWidget* target = onto ? dlg->control(onto) : dlg.get();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return enter.isAccepted();
}

// Dropped local files open as the Open button would: one as a file, several as a queue
// (folders, remote addresses and missing files among them left out); nothing else opens.
void TestWendrovixDlg::onlyOneDroppedLocalFileOpens() {
    const QUrl file = QUrl::fromLocalFile(iso), readme = QUrl::fromLocalFile(work.path() + "/tree/readme.txt");
    const QUrl folder = QUrl::fromLocalFile(work.path() + "/tree");
    const QString cso = work.path() + "/my game 游戏.cso";
    struct Case { QList<QUrl> urls; QString input, output; };
    const Case cases[] = {
        {{file}, iso, cso},
        {{folder}, "", ""},
        {{file, folder, readme}, iso + " (+1)", cso + " (+1)"},
        {{file, file}, iso, cso},  // the same file twice makes one job
        {{QUrl("http://example.org/x.iso")}, "", ""},
        {{QUrl::fromLocalFile(work.path() + "/gone.iso")}, "", ""},
        {{}, "", ""},
    };
    for (const Case& c : cases) {
        QCOMPARE(drag_and_drop(c.urls), !c.input.isEmpty());
        QCOMPARE(box(IDC_INPUT), c.input);
        QCOMPARE(box(IDC_OUTPUT), c.output);
        QCOMPARE(button(IDC_START)->isEnabled(), !c.input.isEmpty());
        QVERIFY(!dlg->converting);
    }
    for (int box_id : {IDC_INPUT, IDC_OUTPUT}) {  // a drop on a box opens the file, as on Windows
        QVERIFY(drag_and_drop({file}, box_id));
        QCOMPARE(box(IDC_INPUT), iso);
        QCOMPARE(box(IDC_OUTPUT), cso);
    }
    dlg->converting = 1;  // as during a job: a drop is refused
    QMimeData mime;
    mime.setUrls({file});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dlg.get(), &enter);
    QVERIFY(!enter.isAccepted());
    dlg->converting = 0;
}

// The Save dialog proposes the input's base name with the other format's filter and
// extension, asks before overwriting, and leaves the mode alone.
void TestWendrovixDlg::saveDialogProposals() {
    open("/games/x.iso");
    answer_file_dialog("/chosen/out.cso");
    QTest::mouseClick(button(IDC_SAVE), Qt::LeftButton);
    QVERIFY(last_choice.save && last_choice.confirm_overwrite);
    QCOMPARE(last_choice.initial_name, QString("x"));
    QCOMPARE(last_choice.default_ext, QString(".cso"));
    QCOMPARE(last_choice.filter, QString("cso文件 (*.cso)|*.cso||"));
    QCOMPARE(static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->text(), QString("/chosen/out.cso"));
    QCOMPARE(dlg->mode, 0);

    open("/home/u/a.b.cso");
    answer_file_dialog("/chosen/back.iso");
    dlg->OnSaveFile();
    QCOMPARE(last_choice.initial_name, QString("a.b"));
    QCOMPARE(last_choice.default_ext, QString(".iso"));
    QCOMPARE(last_choice.filter, QString("iso文件 (*.iso)|*.iso||"));
    QCOMPARE(dlg->mode, 1);
}

// The real chooser sets up a file dialog with the program's filters, extension and name.
void TestWendrovixDlg::realFileDialogSetUp() {
    QCOMPARE(qt_name_filters(QString::fromUtf8(OPEN_FILTER)),
             QStringList({"支持的文件(*.iso;*.cso;*.zso;*.dax) (*.iso *.cso *.zso *.dax)",
                          "iso文件 (*.iso) (*.iso)", "cso文件 (*.cso) (*.cso)", "zso文件 (*.zso) (*.zso)",
                          "dax文件 (*.dax) (*.dax)"}));
    QStringList filters;
    QString suffix;
    bool confirms = false;
    when_modal<QFileDialog>([&](QFileDialog* d) {
        filters = d->nameFilters();
        suffix = d->defaultSuffix();
        confirms = !d->testOption(QFileDialog::DontConfirmOverwrite);
        d->reject();
    });
    FileChoice save{true, QString::fromUtf8(CSO_FILTER), ".cso", "x", true};
    QCOMPARE(choose_with_file_dialog(dlg.get(), save), QStringList());
    QCOMPARE(filters, QStringList({"cso文件 (*.cso) (*.cso)"}));
    QCOMPARE(suffix, QString("cso"));
    QVERIFY(confirms);
    // The Open button's dialog takes several files; a queue's Save takes a folder.
    for (bool folder : {false, true}) {
        QFileDialog::FileMode file_mode = QFileDialog::AnyFile;
        when_modal<QFileDialog>([&](QFileDialog* d) {
            file_mode = d->fileMode();
            d->reject();
        });
        FileChoice choice;
        choice.multiple = !folder;
        choice.folder = folder;
        QCOMPARE(choose_with_file_dialog(dlg.get(), choice), QStringList());
        QCOMPARE(file_mode, folder ? QFileDialog::Directory : QFileDialog::ExistingFiles);
    }
}

// The about message's caption, icon, buttons and six lines; Yes opens the web address.
void TestWendrovixDlg::aboutMessageAndWebAddress() {
    SeenBox seen;
    answer_box(QMessageBox::No, &seen);
    QTest::mouseClick(button(IDC_ABOUT), Qt::LeftButton);
    QVERIFY(seen.seen);
    QCOMPARE(seen.caption, QString("关于"));
    QCOMPARE(seen.icon, QMessageBox::Information);
    QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(seen.text, QString("Wendrovix Ver 1.0 \n Wendrovix \nMade by Quillane\n"
                                "简介:可以ISO和CSO格式互相转换 \n作者邮箱:quillane@example.org \n"
                                "要访问作者的网站吗？"));
    QVERIFY(opened_urls.isEmpty());
    answer_box(QMessageBox::Yes, &seen);
    dlg->OnAbout();
    QCOMPARE(opened_urls, QList<QUrl>({QUrl("http://wendrovix.example.org")}));
}

// The dialog's menu holds the about entry after a separator; it opens the about dialog.
void TestWendrovixDlg::aboutEntryOfTheDialogMenu() {
    QStringList menu_texts;
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [&, timer] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        timer->stop();
        for (QAction* a : menu->actions()) menu_texts << (a->isSeparator() ? "-" : a->text());
        menu->close();
    });
    timer->start(10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(dlg.get(), &event);
    QCOMPARE(menu_texts, QStringList({"-", "关于 Wendrovix(&A)..."}));

    QString title;
    QStringList labels;
    when_modal<CAboutDlg>([&](CAboutDlg* about) {
        title = about->windowTitle();
        labels = texts_of<QLabel>(about, &QLabel::text);
        QTest::mouseClick(about->findChild<QPushButton*>(), Qt::LeftButton);
    });
    dlg->about_action()->trigger();
    QCOMPARE(title, QString("关于 Wendrovix"));
    QVERIFY(labels.contains("Wendrovix 1.0 版"));
}

// Esc and the close box leave at once while idle.
void TestWendrovixDlg::escAndCloseBoxActAsExit() {
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    QVERIFY(!dlg->isVisible());
    QCOMPARE(dlg->result(), int(QDialog::Rejected));
    dlg->show();
    QVERIFY(dlg->close());
    QVERIFY(!dlg->isVisible());
    dlg->show();
    QTest::mouseClick(button(IDCANCEL), Qt::LeftButton);
    QVERIFY(!dlg->isVisible());
}

// While minimised the title carries the progress label.
void TestWendrovixDlg::titleShowsPercentWhileMinimised() {
    QCOMPARE(CWendrovixDlg::title_for("42%", true), QString("42% - Wendrovix V1.0"));
    QCOMPARE(CWendrovixDlg::title_for("2/5 42%", true), QString("2/5 42% - Wendrovix V1.0"));
    QCOMPARE(CWendrovixDlg::title_for("42%", false), QString("Wendrovix V1.0"));
    QCOMPARE(CWendrovixDlg::title_for("", true), QString("Wendrovix V1.0"));
}

// Compresses the mastered image at level 5 (started with Enter; Esc meanwhile answered
// No), then decompresses it into another name chosen with Save (started with a click):
// files, information box (the report lines and the verification's), window and button
// states, no converter left behind.
void TestWendrovixDlg::compressThenDecompressForReal() {
    QString cso = work.path() + "/my game 游戏.cso", back = work.path() + "/back.iso";
    QTest::keyClick(dlg->control(IDC_INPUT), Qt::Key_Return);  // Start disabled: nothing
    QVERIFY(!dlg->converting);
    open(iso);
    static_cast<QComboBox*>(dlg->control(IDC_LEVEL))->setCurrentIndex(4);
    QTest::keyClick(dlg->control(IDC_INPUT), Qt::Key_Return);
    QVERIFY(dlg->converting);
    QVERIFY(dlg->isMinimized());
    QCOMPARE(button(IDC_START)->text(), QString("停止转换"));
    for (int id : {IDC_OPEN, IDC_SAVE, IDC_LEVEL}) QVERIFY(!dlg->control(id)->isEnabled());
    SeenBox seen;
    answer_box(QMessageBox::No, &seen);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    QCOMPARE(seen.text, QString("转换正在进行中，您确定要退出吗？"));
    QCOMPARE(seen.caption, QString("提示"));
    QCOMPARE(seen.icon, QMessageBox::Question);
    QVERIFY(dlg->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->converting, 120000);
    QFile out(cso);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.read(4), QByteArray("CISO"));
    double in_size = QFileInfo(iso).size(), cso_size = QFileInfo(cso).size();
    QCOMPARE(info(), QString("模式：ISO转换CSO\n压缩级别：5\n文件大小：%1 MB\n转换进行中，请稍候…………\n"
                             "转换完毕!\n转换后文件大小：%2 MB\n压缩比：%3  \n校验通过\n")
                         .arg(in_size / 1048576, 0, 'f', 2).arg(cso_size / 1048576, 0, 'f', 2)
                         .arg(cso_size / in_size * 100, 0, 'f', 2));
    QVERIFY(cso_size < in_size);
    QVERIFY(!dlg->isMinimized());
    QCOMPARE(button(IDC_START)->text(), QString("开始转换"));
    for (int id : {IDC_OPEN, IDC_SAVE, IDC_LEVEL}) QVERIFY(dlg->control(id)->isEnabled());
    QCOMPARE(temp_leftovers(), QStringList());

    open(cso);
    answer_file_dialog(back);
    dlg->OnSaveFile();
    QTest::mouseClick(button(IDC_START), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->converting, 120000);
    QFile a(iso), b(back);
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    QVERIFY(a.readAll() == b.readAll());
    QVERIFY(info().startsWith("模式：CSO转换ISO\n文件大小："));
    QVERIFY(!info().contains("压缩级别"));
    QVERIFY(info().endsWith(QString("转换完毕!\n转换后文件大小：%1 MB\n压缩比：%2  \n校验通过\n")
                                .arg(in_size / 1048576, 0, 'f', 2)
                                .arg(in_size / cso_size * 100, 0, 'f', 2)));
    QCOMPARE(temp_leftovers(), QStringList());

    // Start again into the output that now exists: asked first; No starts nothing.
    QString before = info();
    SeenBox asked;
    answer_box(QMessageBox::No, &asked);
    QTest::mouseClick(button(IDC_START), Qt::LeftButton);
    QCOMPARE(asked.text, "以下输出文件已存在，或由两个输入文件得出同一名字，继续将覆盖它们：\n" + back + "\n是否继续？");
    QCOMPARE(asked.format, Qt::PlainText);  // a name that looks like markup is shown as it is
    QVERIFY(!dlg->converting && info() == before);
    QCOMPARE(temp_leftovers(), QStringList());
}

// A decompression of a file that is not a CSO ends with the failure line, its Chinese
// explanation and the converter's own line, and no sizes; so does a compression into a
// folder that does not exist, whose line (with its long name) wraps in the box.
void TestWendrovixDlg::failedRealConversionIsReported() {
    QString bad = work.path() + "/bad.cso";
    QFile f(bad);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));  // a whole header that is not a CSO's
    f.close();
    open(bad);
    dlg->OnStartStop();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->converting, 120000);
    QStringList lines = info().split('\n');
    QCOMPARE(lines.mid(3), QStringList({"转换失败! 输入文件不是 CSO 文件，无法解压。请选择正确的 CSO 文件。",
                                        "ciso file format error", ""}));
    expect_last_line_in_view();
    QFile::remove(work.path() + "/bad.iso");
    QCOMPARE(temp_leftovers(), QStringList());

    QString nowhere = work.path() + "/没有这个文件夹/" + QString(80, 'x') + ".cso";
    open(iso);
    answer_file_dialog(nowhere);
    dlg->OnSaveFile();
    dlg->OnStartStop();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->converting, 120000);
    QVERIFY2(info().endsWith("转换失败! 无法创建输出文件。请确认输出文件夹存在并可写入，同名文件不是只读或正在使用。\n"
                             "Can't create " + nowhere + "\n"),
             qPrintable(info()));
    auto* box = static_cast<QPlainTextEdit*>(dlg->control(IDC_INFO));
    QVERIFY(box->document()->lastBlock().previous().layout()->lineCount() > 1);  // wrapped
    expect_last_line_in_view();
    QCOMPARE(temp_leftovers(), QStringList());
}

// The percentage read from the converter's pipe shows in the progress bar and, while
// minimised, in the title; Stop answered Yes ends the real process and removes the
// output, the converter and its folder.
void TestWendrovixDlg::progressShownAndRealStop() {
    SlowConverterPlatform slow;
    CWendrovixDlg d(slow);
    d.show();
    QString out = work.path() + "/slow.cso";
    int dialogs = 0;
    d.file_chooser = [&](QWidget*, const FileChoice&) { return QStringList{dialogs++ == 0 ? iso : out}; };
    d.OnOpenFile();
    d.OnSaveFile();
    d.OnStartStop();
    QVERIFY(d.isMinimized());
    auto* bar = d.findChild<QProgressBar*>();
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 42, 20000);
    QVERIFY(bar->isVisibleTo(&d));
    QCOMPARE(bar->text(), QString("42%"));
    QCOMPARE(d.windowTitle(), QString("42% - Wendrovix V1.0"));
    d.showNormal();
    QCOMPARE(d.windowTitle(), QString("Wendrovix V1.0"));
    QString converter = QString::fromStdString(converter_path);
    QStringList temps = QDir(work.path()).entryList({".slow.cso.vellicor-tmp-*"}, QDir::Files | QDir::Hidden);
    QCOMPARE(temps.size(), 1);  // the converter's, written beside the output
    QVERIFY(!QFile::exists(out) && QFile::exists(converter));

    SeenBox seen;
    answer_box(QMessageBox::Yes, &seen);
    QTest::mouseClick(static_cast<QPushButton*>(d.control(IDC_START)), Qt::LeftButton);
    QCOMPARE(seen.text, QString("转换正在进行中，您确定要停止吗？"));
    QVERIFY(QString::fromStdString(d.info_text).endsWith("转换进行中，请稍候…………\r\n用户终止转换"));
    QCOMPARE(static_cast<QPushButton*>(d.control(IDC_START))->text(), QString("开始转换"));
    QVERIFY(!bar->isVisibleTo(&d));
    QVERIFY(!QFile::exists(out) && !QFile::exists(converter));
    QVERIFY(!QFile::exists(work.path() + "/" + temps[0]));
    QCOMPARE(temp_leftovers(), QStringList());
}

// Two mastered images chosen together through the Open button, their outputs sent to a
// folder chosen with Save, converted by the embedded converter one after the other:
// both blocks under their names, both verified, and the summary.
void TestWendrovixDlg::queueOfRealImagesVerified() {
    QString second = work.path() + "/second.iso", out = work.path() + "/out";
    QCOMPARE(QProcess::execute("genisoimage", {"-quiet", "-o", second, work.path() + "/tree/sub"}), 0);
    QVERIFY(QDir().mkpath(out));
    answer_file_dialog(QStringList{iso, second});
    QTest::mouseClick(button(IDC_OPEN), Qt::LeftButton);
    QVERIFY(last_choice.multiple);
    QCOMPARE(box(IDC_INPUT), iso + " (+1)");
    QCOMPARE(box(IDC_OUTPUT), work.path() + "/my game 游戏.cso (+1)");
    answer_file_dialog(out);
    QTest::mouseClick(button(IDC_SAVE), Qt::LeftButton);
    QVERIFY(last_choice.folder);
    QCOMPARE(box(IDC_OUTPUT), out + "/my game 游戏.cso (+1)");
    QVERIFY(static_cast<QLineEdit*>(dlg->control(IDC_OUTPUT))->isReadOnly());  // named by Save's folder only
    QTest::mouseClick(button(IDC_START), Qt::LeftButton);
    QVERIFY(dlg->isMinimized());
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->converting, 120000);
    QStringList lines = info().split('\n');
    QCOMPARE(lines.count("校验通过"), 2);
    QCOMPARE(lines[0], QString("文件 1/2：my game 游戏.iso"));
    QVERIFY2(lines.contains("文件 2/2：second.iso"), qPrintable(info()));
    QVERIFY2(lines[lines.size() - 2].startsWith("共 2 个文件：成功 2 个，失败 0 个；成功文件输入 "),
             qPrintable(info()));
    QVERIFY(QFile::exists(out + "/my game 游戏.cso") && QFile::exists(out + "/second.cso"));
    QVERIFY(!dlg->isMinimized());
    expect_last_line_in_view();
    QCOMPARE(temp_leftovers(), QStringList());
}

// A stand-in converter that writes damaged CSOs and reports success: a flipped payload
// byte, a file cut short and a wrong index entry each fail the verification, at the
// block they spoil, and count as failed files.
void TestWendrovixDlg::damagedOutputsFailVerification() {
    SlowConverterPlatform standin;
    CWendrovixDlg d(standin);
    QStringList inputs;
    for (QString how : {"flip", "cut", "index"}) {
        inputs << work.path() + "/damage-" + how + ".iso";
        QVERIFY(QFile::copy(iso, inputs.last()));
    }
    d.file_chooser = [&](QWidget*, const FileChoice&) { return inputs; };
    d.OnOpenFile();
    d.OnStartStop();
    QTRY_VERIFY_WITH_TIMEOUT(!d.converting, 60000);
    QString text = QString::fromStdString(d.info_text);
    const qint64 last_block = QFileInfo(iso).size() / 2048 - 1;
    QStringList verdicts;
    for (const QString& line : text.split("\r\n"))
        if (line.startsWith("校验")) verdicts << line;
    QCOMPARE(verdicts, QStringList({"校验失败：第 16 块不一致", QString("校验失败：第 %1 块不一致").arg(last_block),
                                    "校验失败：第 16 块不一致"}));
    QVERIFY2(text.endsWith("共 3 个文件：成功 0 个，失败 3 个；成功文件输入 0.00 MB，输出 0.00 MB，压缩比 0.00\r\n"),
             qPrintable(text));
    for (const QString& input : inputs) {
        QFile::remove(input);
        QFile::remove(input.chopped(3) + "cso");
    }
    QCOMPARE(temp_leftovers(), QStringList());
}

void TestWendrovixDlg::expect_last_line_in_view() {
    auto* box = static_cast<QPlainTextEdit*>(dlg->control(IDC_INFO));
    QCoreApplication::processEvents();
    QCOMPARE(box->horizontalScrollBar()->maximum(), 0);
    QTextCursor last(box->document()->lastBlock().previous());
    last.movePosition(QTextCursor::EndOfBlock);
    QRect line = box->cursorRect(last), view = box->viewport()->rect();
    QVERIFY2(view.contains(line), qPrintable(QString("line %1,%2 view %3").arg(line.top()).arg(line.bottom()).arg(view.bottom())));
    QCOMPARE(box->verticalScrollBar()->isVisible(), box->verticalScrollBar()->maximum() > 0);
}

// At start-up the dialog removes the job folders left by a killed dialog (their lock
// file held by no one) with what is in them; a live job's folder (its lock held) stays.
void TestWendrovixDlg::staleJobFoldersRemovedAtStartUp() {
    QString tmp = work.path() + "/tmp/";
    std::string live = platform.make_private_folder(tmp.toStdString());
    auto lock = platform.lock_folder(live);
    QVERIFY(lock != nullptr);
    std::string killed = platform.make_private_folder(tmp.toStdString());
    platform.lock_folder(killed).reset();  // let go unreleased, as the kernel does for a killed owner
    QVERIFY(platform.write_program_file(killed + "Vellicor.exe", "program"));
    init();
    QCOMPARE(temp_leftovers(), QStringList{QDir(QString::fromStdString(live)).dirName()});
    lock->release();
    QVERIFY(QDir().rmdir(QString::fromStdString(live)));
}

QTEST_MAIN(TestWendrovixDlg)
#include "test_wendrovix_dlg.moc"
