// The real Desktop::openFile against a stand-in launcher on PATH: the name's
// bytes reach it unchanged, and a launcher that fails or is missing is
// reported.

#include "platform/desktop/desktop.h"

#include "support/testdir.h"

#include <QApplication>
#include <QByteArray>
#include <QDialog>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
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

// The real boxes: names that look like markup stay as typed, and a box
// goes on top of a modal window its owner has open, which would block it.
TEST(DesktopBoxes, ShowNamesAsPlainTextAboveTheOwnersModalWindow)
{
    for (const bool question : {false, true}) {
        QWidget owner;
        owner.show();
        QDialog modal(&owner);
        modal.setWindowModality(Qt::WindowModal);
        modal.show();
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen = true;
            EXPECT_EQ(box->textFormat(), Qt::PlainText) << "before: Qt's guess, markup";
            EXPECT_EQ(box->parentWidget(), &modal);
            box->done(QMessageBox::No);
        });
        const QString text = QStringLiteral("<b>A & <i>B have been synchronized.");
        question ? (void)platform::desktop().question(&owner, text, "Corvanel")
                 : platform::desktop().message(&owner, text, "Congratulations");
        EXPECT_TRUE(seen);
    }
}

} // namespace
