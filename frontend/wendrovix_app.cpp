// The application CWendrovixApp and the program's entry point.
#include "wendrovix_app.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "job_platform_posix.h"
#include "wendrovix_dlg.h"

CWendrovixApp::CWendrovixApp(int& argc, char** argv) : QApplication(argc, argv) {}

// Chinese standard buttons (Yes/No, file dialogs) where the translation is installed;
// declares the settings key (nothing is stored); runs the dialog; returns 0.
int CWendrovixApp::InitInstance() {
    auto* translator = new QTranslator(this);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        installTranslator(translator);
    setOrganizationName(QStringLiteral("应用程序向导生成的本地应用程序"));
    setApplicationName(QStringLiteral("Wendrovix"));
    PosixJobPlatform platform;
    CWendrovixDlg dlg(platform);
    dlg.exec();
    return 0;
}

// Starts the application and runs its dialog; returns 0 when the dialog has closed.
int main(int argc, char** argv) {
    CWendrovixApp app(argc, argv);
    return app.InitInstance();
}
