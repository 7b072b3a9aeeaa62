#include "combostest.h"

#include <QLineEdit>
#include <QTest>

#include <filesystem>
#include <tuple>

namespace {

// --- The history string and what counts as known -------------------------

TEST_F(CombosTest, EmptyStoreStartsEmptyAndWritesNothing)
{
    start();
    EXPECT_EQ(left->count(), 0);
    EXPECT_EQ(right->count(), 0);
    EXPECT_EQ(left->currentText(), QString());
    EXPECT_EQ(right->currentText(), QString());
    for (const char *key : {"LeftCombo", "RightCombo", "LeftComboIndex", "RightComboIndex"})
        EXPECT_FALSE(has(key)) << key;
}

TEST_F(CombosTest, FirstFolderIsStoredWithItsSeparatorAndSelected)
{
    const QString data = folder("Data");
    start().setText(Side::Left, data);
    EXPECT_EQ(stored("LeftCombo"), data + ",");
    EXPECT_EQ(items(left), QStringList{data});
    EXPECT_EQ(left->currentIndex(), 0);
    EXPECT_EQ(left->currentText(), data);
    EXPECT_EQ(stored("LeftComboIndex"), "0");
    EXPECT_EQ(stored("RightComboIndex"), "-1");
    EXPECT_FALSE(has("RightCombo"));
}

TEST_F(CombosTest, FoldersCoveredByAnEntryAreNotAppended)
{
    const QString entry = folder("Data/Sub");
    const QString history = entry + ",";
    store("LeftCombo", history);
    store("LeftComboIndex", "0");
    auto &c = start();

    const QStringList covered = {
        entry,               // the entry itself
        entry + "/",         // with a trailing separator
        folder("data/sub"),  // another folder on disk, only the letter case differs
        folder("Data"),      // the entry's parent
        folder("Dat"),       // a folder whose path is a leading part of the entry's
    };
    for (const QString &text : covered) {
        c.setText(Side::Left, text);
        EXPECT_EQ(stored("LeftCombo"), history) << text.toStdString();
        EXPECT_EQ(left->currentText(), text) << "the text stays as set";
        EXPECT_EQ(items(left), QStringList{entry});
    }
    EXPECT_EQ(stored("LeftComboIndex"), "0");
}

// The root is a folder like any other: it enters an empty history, and an
// entry below it covers it as it covers every leading part.
TEST_F(CombosTest, TheRootEntersAHistoryThatDoesNotCoverIt)
{
    start().setText(Side::Left, QStringLiteral("/"));
    EXPECT_EQ(stored("LeftCombo"), "/,");
    EXPECT_EQ(items(left), QStringList{"/"});

    const QString entry = folder("Data");
    store("RightCombo", entry + ",");
    combos->setText(Side::Right, QStringLiteral("/"));
    EXPECT_EQ(stored("RightCombo"), entry + ",");
}

TEST_F(CombosTest, TextsThatAreNoFolderStayInTheComboOnly)
{
    dir.file("plain.txt");
    auto &c = start();
    for (const QString &text : {path("plain.txt"), path("missing"), QString()}) {
        c.setText(Side::Right, text);
        EXPECT_EQ(right->currentText(), text);
    }
    EXPECT_FALSE(has("RightCombo"));
    EXPECT_FALSE(has("RightComboIndex"));
}

TEST_F(CombosTest, CommaInAPathComesBackAsTwoEntries)
{
    const QString comma = folder("a,b");
    start().setText(Side::Left, comma);
    EXPECT_EQ(stored("LeftCombo"), comma + ",");
    // The refill already reads the history back.
    EXPECT_EQ(items(left), (QStringList{path("a"), "b"}));
    // Showing the newest entry alone would have put "b" in the combo.
    EXPECT_EQ(left->currentText(), comma);
    EXPECT_EQ(stored("LeftComboIndex"), "1");
}

TEST_F(CombosTest, LoadDropsTheLastCharacterWhateverItIs)
{
    store("LeftCombo", "/x,/yz");
    store("RightCombo", "/only,,");
    start();
    EXPECT_EQ(items(left), (QStringList{"/x", "/y"}));
    EXPECT_EQ(items(right), (QStringList{"/only", ""}));
}

TEST_F(CombosTest, LoadAppendsWithoutChoosingAnEntry)
{
    store("LeftCombo", "/a,/b,");
    combos = std::make_unique<FolderCombos>(left, right);
    combos->LoadFolderHistories();
    combos->LoadFolderHistories();
    EXPECT_EQ(items(left), (QStringList{"/a", "/b", "/a", "/b"}));
    // Qt would select the first item put into an empty list.
    EXPECT_EQ(left->currentIndex(), -1);
    EXPECT_EQ(left->currentText(), QString());
    EXPECT_FALSE(has("LeftComboIndex"));
}

// --- Selected positions ---------------------------------------------------

TEST_F(CombosTest, RestoreSelectsStoredPositionsAndRewritesBoth)
{
    store("LeftCombo", "/a,/b,/c,");
    store("LeftComboIndex", "1");
    store("RightComboIndex", "3");
    start();
    EXPECT_EQ(left->currentIndex(), 1);
    EXPECT_EQ(left->currentText(), "/b");
    EXPECT_EQ(right->currentText(), QString());
    EXPECT_EQ(stored("LeftComboIndex"), "1");
    EXPECT_EQ(stored("RightComboIndex"), "-1") << "the empty side's position is written back as none";
}

TEST_F(CombosTest, BothSidesAreRestored)
{
    store("LeftCombo", "/a,/b,");
    store("RightCombo", "/c,/d,/e,");
    store("LeftComboIndex", "0");
    store("RightComboIndex", "2");
    start();
    // Restoring the left side used to save the right position as -1 first.
    EXPECT_EQ(left->currentText(), "/a");
    EXPECT_EQ(right->currentText(), "/e");
    EXPECT_EQ(stored("LeftComboIndex"), "0");
    EXPECT_EQ(stored("RightComboIndex"), "2");
}

TEST_F(CombosTest, StoredMinusOneSelectsNothing)
{
    store("RightCombo", "/a,/b,");
    store("RightComboIndex", "-1");
    combos = std::make_unique<FolderCombos>(left, right);
    combos->setText(Side::Right, "typed before");
    combos->LoadFolderHistories();
    EXPECT_EQ(right->currentText(), "typed before") << "loading alone keeps the text";
    combos->RestoreFolderSelections();
    EXPECT_EQ(right->currentIndex(), -1);
    EXPECT_EQ(right->currentText(), QString());
    EXPECT_EQ(stored("RightComboIndex"), "-1");
    EXPECT_EQ(stored("LeftComboIndex"), "-1");
}

TEST_F(CombosTest, UnusablePositionsRestoreNothing)
{
    store("LeftCombo", "/a,/b,");
    for (const QString &value : {QString(), QStringLiteral("x"), QStringLiteral("1.0"), QStringLiteral("2"),
                                 QStringLiteral("-2"), QStringLiteral("65537"), QStringLiteral("0x1")}) {
        store("LeftComboIndex", value);
        combos.reset();
        left->clear();
        right->clear();
        start();
        EXPECT_EQ(left->currentIndex(), -1) << value.toStdString();
        EXPECT_EQ(left->currentText(), QString()) << value.toStdString();
        EXPECT_EQ(stored("LeftComboIndex"), value) << "nothing was selected, nothing rewritten";
    }
}

// Before: the left combo then read its newest entry (L3), or was emptied,
// and a sync went to a folder the user had not chosen.
TEST_F(CombosTest, AppendingRefillsBothListsButNeverChangesWhatTheOtherComboShows)
{
    const QString l1 = folder("L1"), history = l1 + "," + folder("L2") + "," + folder("L3") + ",";
    const std::tuple<QString, QString, QString> cases[] = {
        // left history, what the left side was given, the left position stored
        {history, l1, "2"},
        {QString(), "typed, no folder", "-1"},
    };
    for (const auto &[leftHistory, leftText, leftIndex] : cases) {
        SCOPED_TRACE(leftText.toStdString());
        store("LeftCombo", leftHistory);
        store("RightCombo", "/r1,");
        store("LeftComboIndex", "2");
        auto &c = start();
        c.setText(Side::Left, leftText);
        const QString added = folder("R" + std::to_string(leftHistory.size()));
        c.setText(Side::Right, added);
        EXPECT_EQ(items(right), (QStringList{"/r1", added}));
        EXPECT_EQ(stored("RightComboIndex"), "1");
        EXPECT_EQ(left->currentText(), leftText);
        EXPECT_EQ(stored("LeftComboIndex"), leftIndex);
        EXPECT_EQ(stored("LeftCombo"), leftHistory);
        left->clear();
        right->clear();
    }
}

TEST_F(CombosTest, ChoosingAnOlderEntryStoresOnlyThePositions)
{
    const QString a = folder("A");
    const QString b = folder("B");
    auto &c = start();
    c.setText(Side::Left, a);
    c.setText(Side::Left, b);
    const QString history = stored("LeftCombo");

    left->setCurrentIndex(0); // as the drop-down list does
    EXPECT_EQ(left->currentText(), a);
    EXPECT_EQ(stored("LeftComboIndex"), "0");
    EXPECT_EQ(stored("LeftCombo"), history);
    EXPECT_EQ(items(left), (QStringList{a, b}));
}

TEST_F(CombosTest, ChoosingAnEntryTheStoreNoLongerHoldsRecordsItAgain)
{
    const QString a = folder("A");
    const QString b = folder("B");
    store("LeftCombo", a + "," + b + ",");
    store("LeftComboIndex", "1");
    start();
    store("LeftCombo", b + ","); // edited from outside while the program runs

    // The choice changes the text, which records it while the combo is
    // still busy selecting.
    left->setCurrentIndex(0);
    EXPECT_EQ(stored("LeftCombo"), b + "," + a + ",");
    EXPECT_EQ(items(left), (QStringList{b, a}));
    EXPECT_EQ(left->currentText(), a);
    EXPECT_EQ(stored("LeftComboIndex"), "1");
}

// --- Typing ---------------------------------------------------------------

TEST_F(CombosTest, TypingAppendsEveryNewFolderOnTheWay)
{
    dir.folder("a");
    dir.folder("abc");
    const QString base = folder("") + "/";
    auto &c = start();
    c.setText(Side::Left, base);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    left->lineEdit()->setFocus();
    left->lineEdit()->end(false);

    QTest::keyClicks(left->lineEdit(), "abc");
    EXPECT_EQ(left->currentText(), base + "abc");
    EXPECT_EQ(stored("LeftCombo"), base + "," + base + "a," + base + "abc,");
    EXPECT_EQ(items(left), (QStringList{base, base + "a", base + "abc"}));

    // Backspace to a covered folder and on: nothing more is appended.
    QTest::keyClick(left->lineEdit(), Qt::Key_Backspace);
    QTest::keyClick(left->lineEdit(), Qt::Key_Backspace);
    EXPECT_EQ(left->currentText(), base + "a");
    EXPECT_EQ(left->count(), 3);
}

TEST_F(CombosTest, EnterDoesNotPutATypedTextIntoTheList)
{
    start();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    left->lineEdit()->setFocus();
    QTest::keyClicks(left->lineEdit(), "not a folder");
    QTest::keyClick(left->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(left->count(), 0);
    EXPECT_EQ(left->currentText(), "not a folder");
}

TEST_F(CombosTest, TypedTextIsNotCompletedFromTheHistory)
{
    store("LeftCombo", "/alpha/beta,");
    start();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    left->lineEdit()->setFocus();
    QTest::keyClicks(left->lineEdit(), "/al");
    EXPECT_EQ(left->currentText(), "/al");
}

// --- A store that cannot be written ---------------------------------------

TEST_F(CombosTest, UnwritableStoreLeavesTheFolderInTheCombo)
{
    const QString older = folder("Old");
    store("LeftCombo", older + ",");
    auto &c = start();
    // A folder where the settings file should be: not even root can write it.
    std::filesystem::remove(settings.settingsFile());
    std::filesystem::create_directory(settings.settingsFile());

    const QString added = folder("New");
    c.setText(Side::Left, added);
    EXPECT_EQ(left->currentText(), added) << "the refill would put back what the store still holds";
    EXPECT_EQ(items(left), QStringList{older});
}

} // namespace
