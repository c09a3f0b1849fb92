// The application CWendrovixApp and the program's entry point.
#include "wendrovix_app.h"

#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

#include "job_platform_posix.h"
#include "platform_posix.h"
#include "wendrovix_dlg.h"

namespace {
// Test hook for the installed program, which has no other way to be read from outside:
// with WENDROVIX_PRINT_STATE=1 the shown dialog prints its input and output boxes and
// whether Save and Start are enabled, one "name: value" line each, then closes.
void print_state_and_close(CWendrovixDlg& dlg) {
    auto text = [&](int id) { return static_cast<QLineEdit*>(dlg.control(id))->text(); };
    auto on = [&](int id) { return dlg.control(id)->isEnabled() ? "enabled" : "disabled"; };
    std::printf("input: %s\noutput: %s\nsave: %s\nstart: %s\n",
                text(IDC_INPUT).toUtf8().constData(), text(IDC_OUTPUT).toUtf8().constData(),
                on(IDC_SAVE), on(IDC_START));
    std::fflush(stdout);
    dlg.OnExit();
}
}  // namespace

CWendrovixApp::CWendrovixApp(int& argc, char** argv) : QApplication(argc, argv) {}

// Chinese standard buttons (Yes/No, file dialogs) where the translation is installed;
// declares the settings key (nothing is stored); opens a file argument; runs the dialog;
// returns 0.
int CWendrovixApp::InitInstance() {
    auto* translator = new QTranslator(this);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(translator);
    setOrganizationName(QStringLiteral("应用程序向导生成的本地应用程序"));
    setApplicationName(QStringLiteral("Wendrovix"));
    PosixJobPlatform platform;
    CWendrovixDlg dlg(platform);
    dlg.OpenArguments(arguments().mid(1));
    if (qgetenv("WENDROVIX_PRINT_STATE") == "1")
        QTimer::singleShot(0, &dlg, [&dlg] { print_state_and_close(dlg); });
    dlg.exec();
    return 0;
}

// Starts the application and runs its dialog; returns 0 when the dialog has closed. A
// standard stream closed at the start would give its number to the converter's pipe,
// which would then not reach the converter.
int main(int argc, char** argv) {
    plat_keep_standard_streams();
    CWendrovixApp app(argc, argv);
    return app.InitInstance();
}
