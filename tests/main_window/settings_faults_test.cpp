// The settings file as real machines leave it: missing, empty, cut short,
// garbled, unwritable, or swollen by years of use. The window must start, work
// and, where the store cannot be written, say so once in plain words.

#include "windowtest.h"

#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/resultlistmodel.h"
#include "platform/settings.h"

#include "support/qtprint.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QToolButton>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

namespace {

std::string randomBytes(std::size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char &c : bytes)
        c = char(generator() & 0xff);
    return bytes;
}

const char kCannotSave[] = "Corvanel cannot save its settings in ";

} // namespace

class SettingsFaultTest : public WindowTest
{
protected:
    SettingsFaultTest() { Global::PendingOperations.reset(); }
    ~SettingsFaultTest() override { Global::PendingOperations.reset(); }

    // Lets queued work run, the report of an unwritable store included.
    static void settle() { QTest::qWait(50); }

    int cannotSaveMessages() const
    {
        int count = 0;
        for (const auto &[text, caption] : desktop.messages) {
            if (text.startsWith(QLatin1String(kCannotSave)))
                ++count;
        }
        return count;
    }

    // The window still compares: two trees with one file on the left only.
    // The right folder goes first: recording a folder on one side shows the
    // other side's newest entry, which a damaged left history may garble.
    void expectCompareWorks()
    {
        const std::string left = trees.folder("left"), right = trees.folder("right");
        trees.file("left/only-left.txt", "x");
        window->combos().setText(Side::Right, q(right));
        window->combos().setText(Side::Left, q(left));
        QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
        ASSERT_EQ(window->resultList(Side::Left)->rowCount(), 1);
        EXPECT_EQ(window->resultList(Side::Left)->index(0, 1).data().toString(), "Not found");
        EXPECT_EQ(Global::PendingOperations.count(), 1);
    }

    TestDir trees;
};

TEST_F(SettingsFaultTest, DamagedStoreStartsTheDesignedWindowAndIsWrittenAfresh)
{
    const std::string random = randomBytes(4096, 7);
    const std::vector<std::pair<const char *, std::string>> stores = {
        {"empty", ""},
        {"cut short inside a quoted history", "[Corvanel]\nLeftCombo=\"/a,/b\nLeftComboIndex=0\nWindowSt"},
        {"cut short inside a section name", "[Corv"},
        {"random bytes", random},
        {"random bytes under the right section", "[Corvanel]\n" + random},
        {"texts where numbers belong", "[Corvanel]\nWindowState=maximised\nFormHeight=99999999999\n"
                                       "LeftComboIndex=first\nRightComboIndex=-40000\nLeftCombo=,,,\n"},
        {"a NUL and invalid UTF-8 in a history", std::string("[Corvanel]\nLeftCombo=/a\0b,\xff\xfe,\n", 29)},
    };
    for (const auto &[what, content] : stores) {
        SCOPED_TRACE(what);
        desktop.messages.clear();
        writeFile(settings.settingsFile(), content);
        Form1 &form = createShown();
        settle();
        EXPECT_EQ(form.windowState(), Qt::WindowNoState);
        EXPECT_EQ(cannotSaveMessages(), 0);
        // The layout stored usable values over whatever was there.
        EXPECT_EQ(platform::ReadSetting(QStringLiteral("WindowState")), "0");
        EXPECT_FALSE(platform::ReadSetting(QStringLiteral("FormHeight")).isEmpty());
        expectCompareWorks();
        window.reset();
    }
    // No store at all, as at the first start.
    std::filesystem::remove(settings.settingsFile());
    createShown();
    settle();
    EXPECT_EQ(child<QComboBox>("Combo1")->count(), 0);
    expectCompareWorks();
    EXPECT_TRUE(desktop.messages.isEmpty());
}

TEST_F(SettingsFaultTest, UnwritableStoreIsReportedOnceAndTheWindowStillWorks)
{
    // Root writes through any mode; a folder where the file belongs stops it.
    std::filesystem::create_directory(settings.settingsFile());
    Form1 &form = createShown();
    for (int height = 400; height < 600; height += 20)
        form.resize(form.width(), height);
    settle();
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].text,
              kCannotSave + q(settings.settingsFile())
                  + ". The folders you enter and the size of this window will not be remembered the next time "
                    "Corvanel starts.");
    EXPECT_EQ(desktop.messages[0].caption, "Corvanel");

    // A folder entered stays where it was typed; histories are not stored.
    const std::string folder = trees.folder("typed");
    child<QComboBox>("Combo1")->setEditText(q(folder));
    EXPECT_EQ(child<QComboBox>("Combo1")->currentText(), q(folder));
    EXPECT_EQ(child<QComboBox>("Combo1")->count(), 0);
    expectCompareWorks();
    form.showMaximized();
    settle();
    EXPECT_EQ(cannotSaveMessages(), 1) << "told once, not on every resize or folder";
}

TEST_F(SettingsFaultTest, StoreThatIsNoFileNeitherHangsNorWrites)
{
    // A FIFO where the file belongs blocked the very first read; a folder
    // where the store's lock file goes blocked every write for good.
    struct Case
    {
        const char *what;
        std::string path;
        bool fifo;
    };
    const Case cases[] = {
        {"a FIFO in place of the store", settings.settingsFile(), true},
        {"a folder in place of the lock file", settings.settingsFile() + ".lock", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(settings.settingsFile());
        if (c.fifo) {
            ASSERT_EQ(::mkfifo(c.path.c_str(), 0644), 0);
        } else {
            writeFile(settings.settingsFile(), "[Corvanel]\nWindowState=2\n");
            std::filesystem::create_directory(c.path);
        }
        desktop.messages.clear();
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7845")));
        createShown();
        settle();
        EXPECT_LT(timer.elapsed(), 30000);
        EXPECT_EQ(cannotSaveMessages(), 1);
        expectCompareWorks();
        window.reset();
        std::filesystem::remove_all(c.path);
    }
}

TEST_F(SettingsFaultTest, TenThousandHistoryEntriesLoadAndGrow)
{
    QString history;
    for (int i = 0; i < 10000; ++i)
        history += QStringLiteral("/srv/archive/year-%1/project-%2,").arg(1990 + i % 30).arg(i, 5, 10, QLatin1Char('0'));
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("LeftCombo"), history));
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("LeftComboIndex"), QStringLiteral("9999")));

    QElapsedTimer timer;
    timer.start();
    createShown();
    auto *combo = child<QComboBox>("Combo1");
    ASSERT_EQ(combo->count(), 10000);
    EXPECT_EQ(combo->currentIndex(), 9999);
    EXPECT_EQ(combo->currentText(), "/srv/archive/year-1999/project-09999");
    const qint64 startUp = timer.restart();

    // A new folder is still appended after all of them and selected.
    const std::string folder = trees.folder("one more");
    window->combos().setText(Side::Left, q(folder));
    EXPECT_EQ(combo->count(), 10001);
    EXPECT_EQ(combo->currentIndex(), 10000);
    EXPECT_EQ(combo->currentText(), q(folder));
    EXPECT_TRUE(platform::ReadSetting(QStringLiteral("LeftCombo")).endsWith(q(folder) + ","));
    std::cout << "[          ] start-up with 10,000 entries " << startUp << " ms, one more folder "
              << timer.elapsed() << " ms\n";
    expectCompareWorks();
    EXPECT_TRUE(desktop.messages.isEmpty());
}
