// Shows the dialog on a real display after a real compression of the given images (one
// file, or several as a queue) and saves a picture of the screen:
//   wendrovix_screenshot IMAGE.iso... OUT.png
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include "job_platform_posix.h"
#include "wendrovix_dlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) return 2;
    PosixJobPlatform platform;
    CWendrovixDlg dlg(platform);
    QStringList images;
    for (int i = 1; i < argc - 1; i++) images << QString::fromLocal8Bit(argv[i]);
    QString png = QString::fromLocal8Bit(argv[argc - 1]);
    dlg.file_chooser = [&](QWidget*, const FileChoice&) { return images; };
    dlg.show();
    dlg.move(20, 20);
    dlg.OnOpenFile();
    dlg.OnStartStop();
    QTimer poll;
    int status = 1;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (dlg.converting) return;
        poll.stop();
        QTimer::singleShot(800, [&] {
            QRect r = dlg.frameGeometry();
            QPixmap shot = dlg.screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height());
            status = shot.save(png) ? 0 : 1;
            app.quit();
        });
    });
    poll.start(100);
    QTimer::singleShot(60000, &app, &QApplication::quit);
    app.exec();
    return status;
}
