// Starts the main window as the program does, on the screens the Qt platform
// was given, and prints where it stands once shown: "screen X Y W H" (the
// available area of its screen) and "outer X Y W H" (frame included). Run by
// screen_fit_test.cpp with QT_QPA_PLATFORM, QT_SCALE_FACTOR and
// XDG_CONFIG_HOME set for each case.

#include "main_window/form1.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTemporaryDir programFolder; // no pointer files
    Form1 window(programFolder.path().toStdString());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    QTest::qWait(300);
    const QScreen *screen = QGuiApplication::screenAt(window.frameGeometry().center());
    for (const auto &[what, r] : {std::pair("screen", screen ? screen->availableGeometry() : QRect()),
                                  std::pair("outer", window.frameGeometry())})
        std::printf("%s %d %d %d %d\n", what, r.x(), r.y(), r.width(), r.height());
    return 0;
}
