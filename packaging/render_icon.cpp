// Writes the program icon, drawn by the dialog's own code, as PNG files for the icon
// theme: render_icon FOLDER SIZE... writes FOLDER/SIZExSIZE/wendrovix.png per size.
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "wendrovix_dlg.h"

// Renders every size given; returns 0, or 1 when a size is bad or a file cannot be written.
int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: render_icon FOLDER SIZE...\n");
        return 1;
    }
    for (int i = 2; i < argc; i++) {
        int size = std::atoi(argv[i]);
        QString dir = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/%1x%1").arg(size);
        if (size < 8 || !QDir().mkpath(dir) ||
            !program_icon_image(size).save(dir + QStringLiteral("/wendrovix.png"), "PNG")) {
            std::fprintf(stderr, "render_icon: cannot write the %s-pixel icon\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
