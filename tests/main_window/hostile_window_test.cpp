// Messy trees and failing operations through the whole window: Compare,
// Sync Wizard, OK, and what the user is told afterwards.

#include "windowtest.h"

#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/resultlistmodel.h"
#include "platform/desktop/ui.h"

#include <QApplication>
#include <QFile>
#include <QToolButton>
#include <QTreeView>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace {

QWidget *openWizard()
{
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->objectName() == "Form3" && top->isVisible())
            return top;
    }
    return nullptr;
}

std::set<QString> column(const QAbstractItemModel *model, int c)
{
    std::set<QString> texts;
    for (int r = 0; r < model->rowCount(); ++r)
        texts.insert(model->index(r, c).data().toString());
    return texts;
}

bool setImmutable(const std::string &path, bool on)
{
    const std::string command = std::string("chattr ") + (on ? "+i" : "-i") + " '" + path + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

} // namespace

class HostileWindowTest : public WindowTest
{
protected:
    HostileWindowTest() { Global::PendingOperations.reset(); }
    ~HostileWindowTest() override { Global::PendingOperations.reset(); }

    void compare()
    {
        window->combos().setText(Side::Left, q(left.root()));
        window->combos().setText(Side::Right, q(right.root()));
        QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
    }

    // Sync Wizard, then OK; waits until the window is back.
    void synchronize()
    {
        QTest::mouseClick(child<QToolButton>("Check2"), Qt::LeftButton);
        QWidget *wizard = openWizard();
        ASSERT_NE(wizard, nullptr);
        wizardRows = column(wizard->findChild<QTreeView *>(QStringLiteral("ListView1"))->model(), 0);
        QTest::mouseClick(wizard->findChild<QToolButton *>(QStringLiteral("Check2")), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->isVisible() && !openWizard(); }, 60000));
    }

    TestDir left, right;
    std::set<QString> wizardRows;
};

TEST_F(HostileWindowTest, AwkwardNamesAreShownAndCopiedByteForByte)
{
    const std::vector<std::string> names = {
        "with space.txt", "comma,in,name.txt", "quote\"d'.txt", "back\\slash.txt", "-leading-dash.txt",
        "new\nline.txt", "latin1-\xE9\xE8.txt", "\xff\xfe not UTF-8", "sub\xC3(/inner.txt",
    };
    for (std::size_t i = 0; i < names.size(); ++i)
        left.file(names[i], "content " + std::to_string(i));
    right.file("\xff\xfe not UTF-8", "old", TestDir::time(2020, 1, 1));

    createShown();
    compare();
    std::set<QString> shown;
    for (const std::string &name : names)
        shown.insert(platform::DisplayText(name));
    EXPECT_EQ(column(window->resultList(Side::Left), 0), shown);
    EXPECT_TRUE(column(window->resultList(Side::Left), 0).count(QString::fromUtf8("\uFFFD\uFFFD not UTF-8")))
        << "bytes that are not UTF-8 show as replacement characters";
    ASSERT_EQ(Global::PendingOperations.count(), int(names.size()));

    synchronize();
    EXPECT_EQ(wizardRows.size(), names.size());
    EXPECT_TRUE(wizardRows.count(q(left.root()) + "/" + QString::fromUtf8("new\nline.txt")));
    ASSERT_FALSE(desktop.messages.isEmpty());
    EXPECT_EQ(desktop.messages.back().caption, "Congratulations") << desktop.messages.back().text.toStdString();
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(right.read(names[i]), "content " + std::to_string(i)) << names[i];
    EXPECT_TRUE(Global::PendingOperations.empty());
}

TEST_F(HostileWindowTest, FailedOperationsAreReportedAfterOkAndNothingIsLost)
{
    TestDir outside;
    const auto older = TestDir::time(2020, 1, 1), newer = TestDir::time(2022, 1, 1);
    // Deleted between Compare and OK.
    left.file("gone.txt", "newer, gone before OK", newer);
    right.file("gone.txt", "old and intact", older);
    // Immutable: not even root may replace it.
    left.file("immutable.txt", "newer", newer);
    right.file("immutable.txt", "old, immutable", older);
    // An immutable folder takes no new file.
    left.file("frozen/new.txt", "for a frozen folder");
    right.folder("frozen");
    // A full file system.
    right.folder("small");
    left.file("small/big.bin", std::string(2 << 20, 'n'), newer);
    // A link to a file outside is replaced, its target untouched.
    outside.file("target.txt", "outside, must stay", older);
    std::filesystem::create_symlink(outside.path("target.txt"), right.path("linked.txt"));
    left.file("linked.txt", "replaces the link", newer);
    left.file("fine.txt", "fine");

    struct Cleanup
    {
        const TestDir &right;
        bool mounted = false;
        ~Cleanup()
        {
            setImmutable(right.path("immutable.txt"), false);
            setImmutable(right.path("frozen"), false);
            if (mounted)
                ::umount2(right.path("small").c_str(), MNT_DETACH);
        }
    } cleanup{right};
    if (!setImmutable(right.path("immutable.txt"), true) || !setImmutable(right.path("frozen"), true))
        GTEST_SKIP() << "this file system has no immutable attribute (chattr +i failed), which stands in for "
                        "read-only as root";
    if (::mount("tmpfs", right.path("small").c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here (needs root and mount permission): " << std::strerror(errno);
    cleanup.mounted = true;
    right.file("small/big.bin", std::string(100 * 1024, 'o'), older);

    createShown();
    compare();
    ASSERT_EQ(Global::PendingOperations.count(), 6);
    std::filesystem::remove(left.path("gone.txt"));
    desktop.yes = true; // small/ cannot hold big.bin: asked first, and on all the same
    synchronize();

    ASSERT_EQ(desktop.questions.size(), 1);
    EXPECT_TRUE(desktop.questions[0].text.startsWith(q("There is not enough free space on " + right.path("small"))))
        << desktop.questions[0].text.toStdString();
    ASSERT_EQ(desktop.messages.size(), 1);
    const QString text = desktop.messages[0].text;
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_TRUE(text.startsWith("4 of 6 file operations failed. 2 were carried out.")) << text.toStdString();
    const auto reported = [&](const std::string &from, const std::string &to, const char *reason) {
        return text.contains(q(left.path(from)) + " -> " + q(right.path(to)) + ": " + reason);
    };
    EXPECT_TRUE(reported("gone.txt", "gone.txt", "cannot read the source: No such file or directory"))
        << text.toStdString();
    EXPECT_TRUE(reported("immutable.txt", "immutable.txt", "cannot replace the destination: Operation not permitted"))
        << text.toStdString();
    EXPECT_TRUE(reported("frozen/new.txt", "frozen/new.txt",
                         ("the destination folder " + right.path("frozen") + " is immutable").c_str()))
        << text.toStdString();
    EXPECT_TRUE(reported("small/big.bin", "small/big.bin", "cannot write the destination: No space left on device"))
        << text.toStdString();

    EXPECT_EQ(right.read("gone.txt"), "old and intact");
    EXPECT_EQ(right.read("immutable.txt"), "old, immutable");
    EXPECT_FALSE(right.exists("frozen/new.txt"));
    EXPECT_EQ(right.read("small/big.bin"), std::string(100 * 1024, 'o'));
    EXPECT_EQ(right.read("linked.txt"), "replaces the link");
    EXPECT_EQ(outside.read("target.txt"), "outside, must stay");
    EXPECT_EQ(right.read("fine.txt"), "fine");
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
    // The window compared again: what failed is still listed as pending.
    EXPECT_EQ(Global::PendingOperations.count(), 4);
}
