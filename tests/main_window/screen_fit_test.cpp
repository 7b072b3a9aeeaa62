// The main window wholly on the screen, whatever the screen: started in a
// process of its own for each case (tests/main_window/screen_probe.cpp), on
// the offscreen platform given screens of a size and a scale.

#include "support/clirun.h"

#include <QRect>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace {

struct Placement
{
    QRect screen, outer;
};

// Starts the window on one screen at that rectangle, at that scale, over a
// settings file holding the given text.
Placement start(const QRect &screen, const char *scale, const std::string &settings)
{
    QTemporaryDir folder;
    const QString config = folder.filePath(QStringLiteral("screens.json"));
    std::ofstream(config.toStdString()) << "{\"windowFrameMargins\": true, \"screens\": [{\"name\": \"S\", \"x\": "
                                        << screen.x() << ", \"y\": " << screen.y() << ", \"width\": " << screen.width()
                                        << ", \"height\": " << screen.height() << ", \"logicalDpi\": 96}]}";
    std::ofstream(folder.filePath(QStringLiteral("Quillmark.conf")).toStdString()) << "[Corvanel]\n" << settings;

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
    env.insert(QStringLiteral("QT_SCALE_FACTOR"), QLatin1String(scale));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.path());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(CORVANEL_BIN_DIR "/screen_probe"), {});
    const clirun::Result r = clirun::collect(process, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    Placement placement;
    for (const QString &line : QString::fromUtf8(r.out).split(QLatin1Char('\n'))) {
        const QStringList f = line.split(QLatin1Char(' '));
        if (f.size() == 5) {
            const QRect rect(f[1].toInt(), f[2].toInt(), f[3].toInt(), f[4].toInt());
            (f[0] == QLatin1String("screen") ? placement.screen : placement.outer) = rect;
        }
    }
    return placement;
}

TEST(WindowOnScreen, MovedAndIfNeedBeMadeSmallerToFitTheScreen)
{
    const struct
    {
        const char *what;
        QRect screen;
        const char *scale;
        const char *settings;
        int expectedHeight; // 0: the designed height, not made smaller
    } cases[] = {
        // Before, the bottom third and the buttons lay below the edge.
        {"scale 2 on 1920 x 1080", {0, 0, 1920, 1080}, "2", "", 0},
        {"stored height of 900 pixels on 1024 x 768", {0, 0, 1024, 768}, "1", "FormHeight=13500\n", 768},
        {"the designed place on a screen that has gone", {1920, 0, 1280, 1024}, "1", "", 0},
        {"a small screen at scale 1.5", {0, 0, 1280, 720}, "1.5", "FormHeight=9000\n", 480},
        {"room enough", {0, 0, 1920, 1080}, "1", "", 0},
    };
    for (const auto &c : cases) {
        const Placement p = start(c.screen, c.scale, c.settings);
        EXPECT_TRUE(p.screen.contains(p.outer)) << c.what;
        EXPECT_EQ(p.outer.width(), 800) << c.what; // the designed outer width
        if (c.expectedHeight)
            EXPECT_EQ(p.outer.height(), c.expectedHeight) << c.what;
        else
            EXPECT_GE(p.outer.height(), 489) << c.what; // the designed inner height
    }
    // Where it fits, nothing moves: the designed place, 3015 and 3120 twips
    // (201 and 208 pixels), is the inside's, within the 2-pixel frame.
    EXPECT_EQ(start({0, 0, 1920, 1080}, "1", "").outer.topLeft(), QPoint(199, 206));
}

} // namespace
