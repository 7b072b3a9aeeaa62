// Draws the program's icon into an icon theme tree for installing:
//   make_icons OUTDIR   writes OUTDIR/NxN/apps/corvanel.png for every size.

#include "main_window/pictures.h"

#include <QDir>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: make_icons OUTDIR\n", stderr);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (const int size : AppIconSizes()) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        if (!QDir().mkpath(folder) || !AppIconImage(size).save(folder + QStringLiteral("/corvanel.png"))) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
