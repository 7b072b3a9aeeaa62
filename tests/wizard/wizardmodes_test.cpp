// The ways of syncing through the Sync Wizard: chosen from its menu, listed
// with their actions, conflicts decided per file, and the question before
// newest wins copies back what the memory knows was deleted.

#include "wizard/form3.h"
#include "wizard/syncwizard.h"

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "platform/settings.h"
#include "support/qtprint.h"
#include "support/recordingdesktop.h"
#include "support/testdir.h"
#include "wizard/modemenu.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QMenu>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class WizardModes : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Global::PendingOperations.reset();
        mainWindow.setGeometry(10, 40, 780, 540);
        mainWindow.show();
    }
    void TearDown() override
    {
        delete wizard();
        Global::PendingOperations.reset();
    }

    bool compare()
    {
        CompareHooks hooks;
        hooks.chooseMode = PairMode;
        return CompareFolders(left.root(), right.root(), hooks, comparison, Global::PendingOperations);
    }
    static Form3 *wizard()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *form = qobject_cast<Form3 *>(w))
                return form;
        }
        return nullptr;
    }
    Form3 *open()
    {
        compare();
        WizardContext c;
        c.mainWindow = &mainWindow;
        c.comboText = [this](Side side) { return q(side == Side::Left ? left.root() : right.root()); };
        c.compareAgain = [this] { return compare(); };
        OpenSyncWizard(c);
        return wizard();
    }
    // Carries the listed operations out and waits for the wizard to close.
    bool ok(Form3 *w)
    {
        QTest::mouseClick(w->findChild<QToolButton *>(QStringLiteral("Check2")), Qt::LeftButton);
        return QTest::qWaitFor([] { return wizard() == nullptr; }, 60000);
    }
    static QTreeView *list(Form3 *w) { return w->findChild<QTreeView *>(QStringLiteral("ListView1")); }
    static QStringList actions(Form3 *w)
    {
        QStringList texts;
        for (int row = 0; row < list(w)->model()->rowCount(); ++row)
            texts << list(w)->model()->index(row, 1).data().toString();
        return texts;
    }
    // Triggers the item of the list's menu with this text, on the row shown.
    static void menuItem(Form3 *w, int row, const QString &text)
    {
        list(w)->setCurrentIndex(list(w)->model()->index(row, 0));
        const auto menus = w->findChildren<QMenu *>();
        for (QMenu *menu : menus) {
            for (QAction *action : menu->actions()) {
                if (action->text() == text) {
                    action->trigger();
                    return;
                }
            }
        }
        ADD_FAILURE() << "no menu item " << text.toStdString();
    }

    TestSettings settings;
    RecordingDesktop desktop;
    TestDir left, right;
    Comparison comparison;
    QWidget mainWindow;
};

// Both ways, remembering, chosen from the wizard's menu: the second sync
// moves a deletion to the Trash, renames the renamed folder and keeps both
// versions of a file edited on both sides.
TEST_F(WizardModes, RememberingCarriesDeletionsAndRenamesAndKeepsBothOfAConflict)
{
    left.file("keep.txt", "kept");
    left.file("gone.txt", "to be deleted");
    for (int i = 0; i < 3; ++i)
        left.file("Trip/p" + std::to_string(i) + ".jpg", "photo " + std::to_string(i));
    left.file("doc.txt", "first", TestDir::time(2024, 1, 1));
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    menuItem(w, 0, QStringLiteral("Both ways, remembering"));
    EXPECT_EQ(PairMode(left.root(), right.root()).mode, SyncMode::TwoWay);
    ASSERT_TRUE(ok(w));

    std::filesystem::remove(left.path("gone.txt"));
    std::filesystem::rename(left.path("Trip"), left.path("Lisbon"));
    left.file("doc.txt", "the left's edit", TestDir::time(2024, 2, 1));
    right.file("doc.txt", "the right's much longer edit", TestDir::time(2024, 2, 2));
    w = open();
    ASSERT_NE(w, nullptr);
    const QStringList shown = actions(w);
    EXPECT_EQ(shown, QStringList({"renamed to", "conflict: left as it is", "moved to the Trash"}))
        << shown.join(", ").toStdString();
    const QString summary = list(w)->model()->headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString();
    EXPECT_TRUE(summary.startsWith("Both ways, remembering: OK copies 0, replaces 0, renames 1, moves 1 to the Trash"))
        << summary.toStdString();
    EXPECT_TRUE(summary.contains("1 conflict is left as it is")) << summary.toStdString();
    menuItem(w, int(shown.indexOf("conflict: left as it is")), QStringLiteral("Keep both"));
    EXPECT_TRUE(actions(w).contains("conflict: both kept"));
    ASSERT_TRUE(ok(w));

    EXPECT_FALSE(right.exists("gone.txt"));
    EXPECT_FALSE(right.exists("Trip"));
    EXPECT_EQ(right.read("Lisbon/p2.jpg"), "photo 2");
    for (const TestDir *side : {&left, &right}) {
        EXPECT_EQ(side->read("doc.txt"), "the left's edit");
        EXPECT_EQ(side->read("doc (right).txt"), "the right's much longer edit");
    }
    EXPECT_TRUE(desktop.questions.empty());
}

// Newest wins copies a file back that the memory knows was deleted there;
// OK asks first, and No carries out the rest.
TEST_F(WizardModes, NewestWinsAsksBeforeCopyingBackWhatWasDeleted)
{
    left.file("a.txt", "a");
    left.file("b.txt", "b");
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(ok(w));
    std::filesystem::remove(right.path("a.txt"));
    left.file("new.txt", "new");
    w = open();
    ASSERT_NE(w, nullptr);
    const QString tip = w->findChild<QToolButton *>(QStringLiteral("Check2"))->toolTip();
    EXPECT_TRUE(tip.contains("1 file that would be copied to the right was deleted there since the last sync."))
        << tip.toStdString();
    desktop.yes = false;
    ASSERT_TRUE(ok(w));
    ASSERT_EQ(desktop.questions.size(), 1);
    EXPECT_TRUE(desktop.questions[0].text.startsWith(
        "1 file that OK would copy to the right was deleted there since the last sync. Copy it back anyway?"))
        << desktop.questions[0].text.toStdString();
    EXPECT_FALSE(right.exists("a.txt"));
    EXPECT_EQ(right.read("new.txt"), "new");
}

// A mirror that would empty most of the other side asks first: No leaves
// the wizard open and every file where it is, Yes carries it out.
TEST_F(WizardModes, AMirrorThatWouldEmptyMostOfASideAsksFirst)
{
    left.file("a.txt", "a", TestDir::time(2024, 1, 1));
    right.file("a.txt", "a", TestDir::time(2024, 1, 1));
    right.file("b.txt", "only on the right");
    right.file("c.txt", "only on the right too");
    ASSERT_TRUE(platform::WritePairSetting(q(left.root()), q(right.root()), QString::fromLatin1(kPairModeKey),
                                           QString::fromStdString(ModeSetting({SyncMode::Mirror, true}))));
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    desktop.yes = false;
    QTest::mouseClick(w->findChild<QToolButton *>(QStringLiteral("Check2")), Qt::LeftButton);
    ASSERT_EQ(desktop.questions.size(), 1);
    EXPECT_TRUE(
        desktop.questions[0].text.startsWith("This sync would move 2 files on the right to the Trash: more "
                                             "than half of that side's files"))
        << desktop.questions[0].text.toStdString();
    EXPECT_EQ(wizard(), w);
    EXPECT_TRUE(right.exists("b.txt") && right.exists("c.txt"));
    desktop.yes = true;
    ASSERT_TRUE(ok(w));
    EXPECT_FALSE(right.exists("b.txt") || right.exists("c.txt"));
}

} // namespace
