// Corvanel: the main window is the whole program; it lives until Exit.
//   corvanel [LEFT RIGHT]   the two folders stand in the combos as if typed

#include "main_window/form1.h"
#include "main_window/pictures.h"

#include "folders/foldercombos.h"

#include <QApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel [LEFT RIGHT]\n"
    "\n"
    "Opens the Corvanel window, which compares two folder trees file by file and\n"
    "brings them into step. With two folders given, they stand in the left and the\n"
    "right folder box as if typed there; press Compare to list both trees.\n"
    "\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "corvanel-cli does the same without a window (corvanel-cli --help).\n";

// Whether Qt would look for a desktop that is not there: no display named
// and no other platform asked for. Qt aborts then; a person deserves words.
bool desktopMissing(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return false;
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    const bool desktopPlatform = !platform || !*platform || std::strncmp(platform, "xcb", 3) == 0
        || std::strncmp(platform, "wayland", 7) == 0;
    const auto unset = [](const char *name) {
        const char *value = std::getenv(name);
        return !value || !*value;
    };
    return desktopPlatform && unset("DISPLAY") && unset("WAYLAND_DISPLAY");
}

const char kNoDesktop[] =
    "corvanel: the window needs a desktop, and none is running here (neither DISPLAY\n"
    "nor WAYLAND_DISPLAY is set). Without one, corvanel-cli does the same work:\n"
    "  corvanel-cli compare LEFT RIGHT   lists what differs and what a sync would do\n"
    "  corvanel-cli sync LEFT RIGHT      brings the two folders into step\n"
    "(./build.sh cli ARGS... from a build folder; corvanel-cli --help for more.)\n";

} // namespace

int main(int argc, char *argv[])
{
    // Answered before any window system is needed, so they work without a display.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("corvanel %s\n", CORVANEL_VERSION);
            return 0;
        }
    }

    if (desktopMissing(argc, argv)) {
        std::fputs(kNoDesktop, stderr);
        return 1;
    }

    QApplication app(argc, argv);
    // QApplication has taken its own options (-platform ...) out of argv.
    std::vector<QString> folders;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        if (!optionsEnded && std::strcmp(argv[i], "--") == 0) {
            optionsEnded = true;
        } else if (!optionsEnded && argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "corvanel: unknown option '%s'\n\n%s", argv[i], kUsage);
            return 2;
        } else {
            folders.push_back(QFile::decodeName(argv[i]));
        }
    }
    if (!folders.empty() && folders.size() != 2) {
        std::fprintf(stderr, "corvanel: give two folders, LEFT and RIGHT, or none\n\n%s", kUsage);
        return 2;
    }

    QApplication::setWindowIcon(AppIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("com.quillmark.Corvanel"));
    Form1 form;
    if (folders.size() == 2) {
        form.combos().setText(Side::Left, folders[0]);
        form.combos().setText(Side::Right, folders[1]);
    }
    form.show();
    return app.exec();
}
