// The real Desktop::openFile against a stand-in launcher on PATH: the name's
// bytes reach it unchanged, and a launcher that fails or is missing is
// reported.

#include "platform/desktop.h"

#include "support/testdir.h"

#include <QByteArray>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

class PathVariable
{
public:
    explicit PathVariable(const std::string &path) : m_old(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        setenv("PATH", path.c_str(), 1);
    }
    ~PathVariable() { setenv("PATH", m_old.c_str(), 1); }

private:
    std::string m_old;
};

TEST(DesktopOpenFile, NameBytesReachTheLauncherAndFailuresAreReported)
{
    struct Case
    {
        const char *launcher; // script body; nullptr: no launcher at all
        bool fails;
    };
    const Case cases[] = {
        {"#!/bin/sh\nprintf '%s' \"$1\" > \"${0%/*}/argument\"\nexit 0\n", false},
        // xdg-open's status when it finds no program for the file.
        {"#!/bin/sh\nprintf '%s' \"$1\" > \"${0%/*}/argument\"\nexit 3\n", true},
        {nullptr, true},
    };
    for (const Case &c : cases) {
        TestDir dir;
        const std::string file = dir.file("caf\xE9 1.txt", "x");
        dir.folder("bin");
        if (c.launcher) {
            const std::string launcher = dir.file("bin/xdg-open", c.launcher);
            ::chmod(launcher.c_str(), 0755);
        }
        PathVariable path(dir.path("bin"));
        bool failed = false;
        platform::desktop().openFile(file, [&failed] { failed = true; });
        if (c.fails) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return failed; }, 5000)) << (c.launcher ? c.launcher : "none");
        } else {
            ASSERT_TRUE(QTest::qWaitFor([&] { return dir.exists("bin/argument"); }, 5000));
            QTest::qWait(100);
            EXPECT_FALSE(failed);
        }
        if (c.launcher) {
            ASSERT_TRUE(dir.exists("bin/argument"));
            const QByteArray url = QByteArray::fromStdString(dir.read("bin/argument"));
            ASSERT_TRUE(url.startsWith("file:///")) << url.toStdString();
            // Before, the name went on decoded, with a replacement character.
            EXPECT_EQ(QByteArray::fromPercentEncoding(url.mid(7)).toStdString(), file);
        }
    }
}

// The real message boxes: names that look like markup stay as typed, and a
// box whose owner has a modal window open above it goes on top of that
// window, which would otherwise block it for good.
TEST(DesktopBoxes, ShowNamesAsPlainTextAboveTheOwnersModalWindow)
{
    const QString text = QStringLiteral("<b>A & <i>B have been synchronized.");
    const std::function<void(QWidget *)> shows[] = {
        [&](QWidget *owner) { platform::desktop().message(owner, text, QStringLiteral("Congratulations")); },
        [&](QWidget *owner) { platform::desktop().question(owner, text, QStringLiteral("Corvanel")); },
    };
    for (const auto &show : shows) {
        QWidget owner;
        owner.show();
        QDialog modal(&owner);
        modal.setWindowModality(Qt::WindowModal);
        modal.show();
        QMessageBox *seen = nullptr;
        Qt::TextFormat format = Qt::RichText;
        QTimer::singleShot(0, [&] {
            for (QWidget *top : QApplication::topLevelWidgets())
                seen = seen ? seen : qobject_cast<QMessageBox *>(top);
            if (!seen)
                return;
            format = seen->textFormat();
            EXPECT_EQ(seen->parentWidget(), &modal);
            seen->done(QMessageBox::No);
        });
        show(&owner);
        ASSERT_NE(seen, nullptr);
        // Before: Qt's guess, which took the text for markup.
        EXPECT_EQ(format, Qt::PlainText);
    }
}

} // namespace
