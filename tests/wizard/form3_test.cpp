#include "wizard/form3.h"
#include "wizard/operationmodel.h"
#include "wizard/syncprogress.h"
#include "wizard/syncwizard.h"
#include "wizard/wizardlayout.h"

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "platform/desktop/desktop.h"
#include "platform/paths.h"
#include "support/fsimage.h"
#include "support/itemviews.h"
#include "support/qtprint.h"
#include "support/recordingdesktop.h"
#include "support/testdir.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QEnterEvent>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace {

// A stand-in for the main window: a plain window, two folder texts as the
// combos hold them, and Compare over the real folders into the global list.
class WizardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Global::PendingOperations.reset();
        leftText = q(left.root());
        rightText = q(right.root());
        mainWindow.setWindowTitle(QStringLiteral("Corvanel"));
        // Wholly on the offscreen platform's 800 x 600 screen, where the wizard
        // takes exactly its place.
        mainWindow.setGeometry(10, 40, 780, 540);
        mainWindow.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&mainWindow));
    }

    void TearDown() override
    {
        if (Form3 *w = wizard()) {
            delete w;
        }
        Global::PendingOperations.reset();
    }

    WizardContext context()
    {
        WizardContext c;
        c.mainWindow = &mainWindow;
        c.rowCount = [this](Side side) {
            return int(side == Side::Left ? comparison.left.size() : comparison.right.size());
        };
        c.comboText = [this](Side side) { return side == Side::Left ? leftText : rightText; };
        c.compareAgain = [this] {
            ++compares;
            if (beforeCompareAgain)
                beforeCompareAgain();
            return compare();
        };
        return c;
    }

    // Slot 0: a.txt overwrites right's, slot 1: b.txt left's, slot 2:
    // sub/c.txt is copied to the right.
    void compareThreeOperations()
    {
        left.file("a.txt", "newer and longer", TestDir::time(2022, 1, 1));
        right.file("a.txt", "old", TestDir::time(2021, 1, 1));
        right.file("b.txt", "right is newer", TestDir::time(2022, 1, 1));
        left.file("b.txt", "old", TestDir::time(2021, 1, 1));
        left.file("sub/c.txt", "only left");
        compare();
    }

    bool compare()
    {
        return CompareFolders(QFile::encodeName(leftText).toStdString(), QFile::encodeName(rightText).toStdString(),
                              {}, comparison, Global::PendingOperations);
    }

    Form3 *wizard() const
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *form = qobject_cast<Form3 *>(w))
                return form;
        }
        return nullptr;
    }

    Form3 *open()
    {
        OpenSyncWizard(context());
        Form3 *w = wizard();
        if (w) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(w));
        }
        return w;
    }

    template <typename T>
    static T *child(Form3 *w, const char *name)
    {
        return w->findChild<T *>(QLatin1String(name));
    }

    static QString cell(Form3 *w, int row, int column)
    {
        auto *list = child<QTreeView>(w, "ListView1");
        return list->model()->index(row, column).data().toString();
    }

    static QColor captionColour(Form3 *w, const char *name)
    {
        return child<QToolButton>(w, name)->palette().color(QPalette::ButtonText);
    }

    static void clickRow(Form3 *w, int row)
    {
        auto *list = child<QTreeView>(w, "ListView1");
        const QRect rect = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    }

    // Waits until the wizard has closed itself after OK.
    bool waitForClose(int timeoutMs = 60000)
    {
        return QTest::qWaitFor([this] { return wizard() == nullptr; }, timeoutMs);
    }

    RecordingDesktop desktop;
    TestDir left, right;
    QString leftText, rightText;
    Comparison comparison;
    QWidget mainWindow;
    int compares = 0;
    std::function<void()> beforeCompareAgain;
};

} // namespace

TEST_F(WizardTest, NothingToSynchronizeBeforeAnyCompare)
{
    OpenSyncWizard(context());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].text, "Nothing to synchronize. You need to select two folders and generate "
                                        "results by clicking 'Compare'.");
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_EQ(wizard(), nullptr);
    EXPECT_TRUE(mainWindow.isVisible());
}

TEST_F(WizardTest, IdenticalFoldersQuoteTheCombosAsTheyStand)
{
    left.file("same.txt", "same", TestDir::time(2024, 1, 1));
    right.file("same.txt", "same", TestDir::time(2024, 1, 1));
    compare();
    ASSERT_TRUE(Global::PendingOperations.empty());

    OpenSyncWizard(context());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].text,
              "No need to synchronize. " + leftText + " & " + rightText + " are identical.");
    EXPECT_EQ(desktop.messages[0].caption, "Error");

    // Typed after the comparison, never compared: the message quotes it all the same.
    leftText = QStringLiteral("/typed/later");
    OpenSyncWizard(context());
    ASSERT_EQ(desktop.messages.size(), 2);
    EXPECT_EQ(desktop.messages[1].text, "No need to synchronize. /typed/later & " + rightText + " are identical.");
    EXPECT_EQ(wizard(), nullptr);
}

// Before, equal sizes with other times were called identical without a word.
TEST_F(WizardTest, IdenticalOnSizesAloneSaysSo)
{
    left.file("contract.txt", "Price: 1000 EUR", TestDir::time(2025, 12, 1));
    right.file("contract.txt", "Price: 9000 EUR", TestDir::time(2025, 12, 9));
    compare();
    OpenSyncWizard(context());
    ASSERT_EQ(desktop.messages.size(), 1u);
    EXPECT_EQ(desktop.messages[0].text, "No need to synchronize. " + leftText + " & " + rightText
                                            + " are identical. 1 file has the same size as its match but another "
                                              "time; its contents were not compared.");
}

// Before, files of different sizes with the same time got no operation and
// the command called the folders identical.
TEST_F(WizardTest, PairsThatCannotBeOrderedAreNamedNotCalledIdentical)
{
    const auto when = TestDir::time(2021, 5, 5);
    left.file("same-time.txt", "short", when);
    right.file("same-time.txt", "a good deal longer", when);
    left.file("same.txt", "same");
    right.file("same.txt", "same");
    compare();
    ASSERT_TRUE(Global::PendingOperations.empty());

    OpenSyncWizard(context());
    ASSERT_EQ(desktop.messages.size(), 1);
    const QString &text = desktop.messages[0].text;
    EXPECT_TRUE(text.startsWith("Nothing can be synchronized, yet " + leftText + " & " + rightText
                                + " are not identical. 1 file differs in size"))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith("which is newer cannot be told:\nsame-time.txt")) << text.toStdString();
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_EQ(wizard(), nullptr);
    EXPECT_EQ(left.read("same-time.txt"), "short");
}

TEST_F(WizardTest, WizardTakesTheMainWindowsPlaceAndListsEveryOperation)
{
    compareThreeOperations();
    const QRect outer = mainWindow.frameGeometry();

    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(mainWindow.isVisible());
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->frameGeometry(), outer);
    EXPECT_EQ(w->windowModality(), Qt::NonModal);
    EXPECT_EQ(w->windowTitle(), "Sync Wizard");
    EXPECT_TRUE(desktop.messages.empty());

    auto *list = child<QTreeView>(w, "ListView1");
    ASSERT_NE(list, nullptr);
    QAbstractItemModelTester tester(list->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(list->model()->rowCount(), 3);
    EXPECT_EQ(list->model()->headerData(0, Qt::Horizontal).toString(), "Source");
    EXPECT_EQ(list->model()->headerData(1, Qt::Horizontal).toString(), "Action");
    EXPECT_EQ(list->model()->headerData(2, Qt::Horizontal).toString(), "Destination");
    // One row per slot, in slot order, with the slot's texts.
    for (int k = 0; k < 3; ++k) {
        const PendingOperation &op = Global::PendingOperations[k];
        EXPECT_EQ(cell(w, k, 0), q(op.source));
        EXPECT_EQ(cell(w, k, 1), q(op.action));
        EXPECT_EQ(cell(w, k, 2), q(op.destination));
    }
    QStringList rows;
    for (int k = 0; k < 3; ++k)
        rows << cell(w, k, 0) + " | " + cell(w, k, 1) + " | " + cell(w, k, 2);
    EXPECT_TRUE(rows.contains(q(left.path("a.txt")) + " | overwrites | " + q(right.path("a.txt"))));
    EXPECT_TRUE(rows.contains(q(right.path("b.txt")) + " | overwrites | " + q(left.path("b.txt"))));
    EXPECT_EQ(rows[2], q(left.path("sub/c.txt")) + " | copied to | " + q(right.root() + "/"))
        << "the unmatched file comes last, its destination the other root";
    EXPECT_EQ(list->currentIndex().row(), 0);

    // Controls as the user sees them.
    const struct
    {
        const char *name;
        const char *caption;
    } buttons[] = {{"Check2", "OK"}, {"Check1", "Cancel"}, {"Check4", "Run Source"}, {"Check5", "Run Dstn"}};
    for (const auto &b : buttons) {
        auto *button = child<QToolButton>(w, b.name);
        ASSERT_NE(button, nullptr) << b.name;
        EXPECT_EQ(button->text(), b.caption);
        EXPECT_TRUE(button->isCheckable());
        EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        EXPECT_FALSE(button->icon().isNull());
        EXPECT_TRUE(button->font().bold());
        EXPECT_DOUBLE_EQ(button->font().pointSizeF(), 11.25);
        EXPECT_EQ(button->font().family(), "Arial");
        EXPECT_EQ(button->size(), child<QToolButton>(w, "Check2")->size());
    }
    auto *frame = child<QGroupBox>(w, "Frame1");
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->title(), "Instruction");
    auto *label = frame->findChild<QLabel *>(QStringLiteral("Label1"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Please confirm the following file operations. Feel free to run (open) the files with "
                             "'Run Source' and 'Run Destination'.");
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(192, 0, 0));
    EXPECT_DOUBLE_EQ(label->font().pointSizeF(), 9.75);
    EXPECT_EQ(w->palette().color(QPalette::Window), QColor(Qt::white));
}

TEST_F(WizardTest, RunButtonColoursFollowTheSelectedRow)
{
    left.file("gone.txt", "newer and longer", TestDir::time(2022, 1, 1));
    right.file("gone.txt", "old", TestDir::time(2021, 1, 1));
    left.file("here.txt", "newer and longer", TestDir::time(2022, 1, 1));
    right.file("here.txt", "old", TestDir::time(2021, 1, 1));
    left.file("new.txt", "only left");
    compare();
    // Slot order follows the scan; find the rows by name.
    std::filesystem::remove(left.path("gone.txt"));

    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    int gone = -1, here = -1, copy = -1;
    for (int row = 0; row < 3; ++row) {
        const QString source = cell(w, row, 0);
        (source.endsWith("gone.txt") ? gone : source.endsWith("here.txt") ? here : copy) = row;
    }
    ASSERT_TRUE(gone >= 0 && here >= 0 && copy >= 0);

    const QColor black(0, 0, 0), grey(0xC0, 0xC0, 0xC0);
    clickRow(w, gone);
    EXPECT_EQ(captionColour(w, "Check4"), grey);
    EXPECT_EQ(captionColour(w, "Check5"), black);
    clickRow(w, here);
    EXPECT_EQ(captionColour(w, "Check4"), black);
    EXPECT_EQ(captionColour(w, "Check5"), black);
    clickRow(w, copy);
    EXPECT_EQ(captionColour(w, "Check4"), black);
    EXPECT_EQ(captionColour(w, "Check5"), grey) << "a copy's destination is a folder";

    // Empty space below the rows changes nothing.
    auto *list = child<QTreeView>(w, "ListView1");
    list->clearSelection();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 3));
    EXPECT_EQ(captionColour(w, "Check5"), grey);
}

TEST(WizardLayout, TwelveThousandByEightThousandTwipsComesOutExactly)
{
    const WizardPlacement p = LayoutWizard(12000, 8000, LoadedPlacement());
    EXPECT_EQ(p.list.width, 11600);
    EXPECT_EQ(p.list.height, 6100);
    EXPECT_EQ(p.list.left, 120);
    EXPECT_EQ(p.list.top, 120);
    for (const TwipsRect &b : {p.ok, p.cancel, p.runSource, p.runDestination})
        EXPECT_EQ(b.top, 6330);
    EXPECT_EQ(p.ok.left, 120);
    EXPECT_EQ(p.runDestination.left, 4800);
    EXPECT_EQ(p.frame.top, 6203);
    EXPECT_EQ(p.frame.width, 5340);
    EXPECT_EQ(p.frame.left, 6370);
    EXPECT_EQ(p.frame.height, 1195);
    EXPECT_EQ(p.label.width, 4940);
    EXPECT_EQ(p.label.height, 700);
    EXPECT_EQ(p.columns[0], 4540);
    EXPECT_EQ(p.columns[1], 2220);
    EXPECT_EQ(p.columns[2], 4540);
}

TEST(WizardLayout, NegativeSizesAreSkippedAndTheRestStillApplies)
{
    const WizardPlacement loaded = LoadedPlacement();
    const WizardPlacement p = LayoutWizard(3000, 1500, loaded);
    EXPECT_EQ(p.list.width, 2600);
    EXPECT_EQ(p.list.height, loaded.list.height); // 1500 - 1900 < 0
    EXPECT_EQ(p.ok.top, -170);                    // a position may be negative
    EXPECT_EQ(p.frame.top, -297);
    EXPECT_EQ(p.frame.width, loaded.frame.width); // 3000 - 6660 < 0
    EXPECT_EQ(p.label.width, loaded.frame.width - 400);
    EXPECT_EQ(p.columns[0], 940);
    EXPECT_EQ(p.columns[1], 420);

    // Columns of a narrow list: only the negative one keeps its width.
    const WizardPlacement narrow = LayoutWizard(800, 8000, loaded);
    EXPECT_EQ(narrow.list.width, 400);
    EXPECT_EQ(narrow.columns[0], 60);
    EXPECT_EQ(narrow.columns[1], loaded.columns[1]); // 400 / 5 - 100 < 0
    EXPECT_EQ(narrow.columns[2], 60);
}

TEST_F(WizardTest, LayoutIsAppliedOnEveryResize)
{
    left.file("a.txt", "a");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    const float dpiX = float(w->logicalDpiX()), dpiY = float(w->logicalDpiY());
    const auto px = [](float twips, float dpi) { return qRound(twips * dpi / 1440.0f); };
    const QSize frame = w->frameGeometry().size() - w->size();
    w->resize(QSize(px(12000, dpiX), px(8000, dpiY)) - frame);
    QApplication::processEvents();
    const QSize outer = w->frameGeometry().size();
    const WizardPlacement expected =
        LayoutWizard(float(outer.width()) * 1440.0f / dpiX, float(outer.height()) * 1440.0f / dpiY, w->placement());
    auto *list = child<QTreeView>(w, "ListView1");
    EXPECT_EQ(list->geometry(),
              QRect(px(120, dpiX), px(120, dpiY), px(expected.list.width, dpiX), px(expected.list.height, dpiY)));
    EXPECT_EQ(child<QToolButton>(w, "Check5")->y(), px(expected.runDestination.top, dpiY));
    EXPECT_EQ(child<QGroupBox>(w, "Frame1")->width(), px(expected.frame.width, dpiX));
    EXPECT_EQ(list->header()->sectionSize(1), px(expected.columns[1], dpiX));
    if (dpiX == 96 && dpiY == 96) {
        EXPECT_EQ(list->width(), 773); // 11600 twips
        EXPECT_EQ(list->header()->sectionSize(0), 303); // 4540 twips
    }

    // Far too small: nothing breaks, the list keeps its last width.
    const int listWidth = list->width();
    w->resize(20, 20);
    QApplication::processEvents();
    EXPECT_EQ(list->width(), listWidth);
}

TEST_F(WizardTest, PointerIsTheHandOverButtonsAndTheArrowOverTheBackground)
{
    left.file("a.txt", "a");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    const bool handFile = platform::FileExists(platform::ProgramFolder() + "/HAND-M.CUR");
    const Qt::CursorShape hand = handFile ? Qt::BitmapCursor : Qt::ArrowCursor;
    auto *ok = child<QToolButton>(w, "Check2");
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), ok->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(ok, &enter);
    EXPECT_EQ(ok->cursor().shape(), hand);
    // A move over the button that the button ignores reaches the window,
    // whose arrow must not replace the hand shown over the button.
    QMouseEvent overButton(QEvent::MouseMove, QPointF(6, 6), ok->mapToGlobal(QPointF(6, 6)), Qt::NoButton,
                           Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(ok, &overButton);
    EXPECT_EQ(ok->cursor().shape(), hand);
    QTest::mouseMove(w, QPoint(w->width() - 3, 3));
    QMouseEvent move(QEvent::MouseMove, QPointF(w->width() - 3, 3), w->mapToGlobal(QPointF(w->width() - 3, 3)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
    EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(WizardTest, RunCommandsOpenTheSelectedRowsFilesOrExplain)
{
    left.file("a.txt", "newer and longer", TestDir::time(2022, 1, 1));
    right.file("a.txt", "old", TestDir::time(2021, 1, 1));
    left.file("b.txt", "only left");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    auto *runSource = child<QToolButton>(w, "Check4");
    auto *runDestination = child<QToolButton>(w, "Check5");
    const int overwrite = cell(w, 0, 1) == "overwrites" ? 0 : 1;
    const int copy = 1 - overwrite;

    clickRow(w, overwrite);
    QTest::mouseClick(runSource, Qt::LeftButton);
    QTest::mouseClick(runDestination, Qt::LeftButton);
    ASSERT_EQ(desktop.opened.size(), 2u) << "one click, one opening";
    EXPECT_EQ(desktop.opened[0], left.path("a.txt"));
    EXPECT_EQ(desktop.opened[1], right.path("a.txt"));
    EXPECT_FALSE(runSource->isChecked());
    EXPECT_FALSE(runDestination->isChecked());
    EXPECT_TRUE(w->isVisible());

    clickRow(w, copy);
    QTest::mouseClick(runDestination, Qt::LeftButton);
    EXPECT_EQ(desktop.opened.size(), 2u);
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].text, "The destination item is a folder, not a file. You can not run this.");
    EXPECT_EQ(desktop.messages[0].caption, "Corvanel");
    EXPECT_FALSE(runDestination->isChecked());

    std::filesystem::remove(left.path("b.txt"));
    clickRow(w, copy);
    QTest::mouseClick(runSource, Qt::LeftButton);
    ASSERT_EQ(desktop.messages.size(), 2);
    EXPECT_EQ(desktop.messages[1].text, "The source item is a folder, not a file. You can not run this.");
    EXPECT_TRUE(w->isVisible());
}

TEST_F(WizardTest, CancelAndTheCloseBoxBringTheMainWindowBackUnchanged)
{
    left.file("a.txt", "a");
    right.file("b.txt", "b");
    compare();
    const int pending = Global::PendingOperations.count();

    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check1"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([this] { return wizard() == nullptr; }, 5000));
    EXPECT_TRUE(mainWindow.isVisible());
    EXPECT_EQ(Global::PendingOperations.count(), pending);
    EXPECT_FALSE(right.exists("a.txt"));
    EXPECT_EQ(compares, 0);

    w = open();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(child<QTreeView>(w, "ListView1")->model()->rowCount(), pending);
    EXPECT_FALSE(mainWindow.isVisible());
    w->close(); // the close box
    EXPECT_TRUE(QTest::qWaitFor([this] { return wizard() == nullptr; }, 5000));
    EXPECT_TRUE(mainWindow.isVisible());
    EXPECT_TRUE(desktop.messages.empty());
}

TEST_F(WizardTest, OkBringsTheFoldersIntoStepAndCongratulates)
{
    left.file("a.txt", "left is newer", TestDir::time(2022, 3, 3));
    right.file("a.txt", "old", TestDir::time(2021, 3, 3));
    right.file("b.txt", "right is newer", TestDir::time(2022, 3, 3));
    left.file("b.txt", "old", TestDir::time(2021, 3, 3));
    left.file("new/folder/c.txt", "only left");
    left.file(".env", "left out, and said so");
    compare();
    ASSERT_EQ(Global::PendingOperations.count(), 3);

    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose());

    EXPECT_TRUE(mainWindow.isVisible());
    EXPECT_TRUE(mainWindow.isEnabled());
    EXPECT_EQ(compares, 1);
    EXPECT_TRUE(Global::PendingOperations.empty());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Congratulations");
    // The replaced files' sentence follows the congratulations, then what was not compared.
    EXPECT_EQ(desktop.messages[0].text,
              leftText + " & " + rightText
                  + " have been synchronized.\n\n2 replaced files are now in the Trash.\nNot compared: on the left 1 "
                    "hidden left out, on the right nothing left out (a folder counts as one item).");

    for (const char *name : {"a.txt", "b.txt", "new/folder/c.txt"}) {
        EXPECT_EQ(left.read(name), right.read(name)) << name;
        EXPECT_EQ(left.modified(name), right.modified(name)) << name;
    }
    EXPECT_EQ(right.read("a.txt"), "left is newer");
    EXPECT_EQ(hiddenEntries(left.root()), std::vector<std::string>{left.path(".env")}); // untouched, no temporary
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

TEST_F(WizardTest, FoldersThatStillDifferAfterwardsAreNotCongratulated)
{
    left.file("a.txt", "a");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    // A file appears while the operations run.
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    left.file("late.txt", "arrived during the sync");
    ASSERT_TRUE(waitForClose());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Corvanel");
    EXPECT_EQ(desktop.messages[0].text, "Every file operation was carried out, but " + leftText + " & " + rightText
                                            + " still differ: 1 more is pending. Open the Sync Wizard again to "
                                              "carry them out.");
    EXPECT_EQ(right.read("a.txt"), "a");
}

// Before, a folder gone before the compare after OK (a stick pulled out)
// left the list as it was before the sync, and the message said its
// operations were still pending.
TEST_F(WizardTest, AFolderGoneBeforeTheCompareAfterOkIsSaidSo)
{
    left.file("a.txt", "a");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    beforeCompareAgain = [this] { std::filesystem::remove_all(right.root()); };
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Corvanel");
    EXPECT_EQ(desktop.messages[0].text, "Every file operation was carried out, but " + leftText + " & " + rightText
                                            + " could not be compared again afterwards.");
}

// Before, the message gave the number the list holds (10001), not the
// number found.
TEST_F(WizardTest, PendingCountAfterOkIsTheNumberFound)
{
    for (int i = 0; i < 20050; ++i)
        left.file("d" + std::to_string(i % 20) + "/f" + std::to_string(i));
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose(300000));
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_TRUE(desktop.messages[0].text.contains(QStringLiteral("still differ: 10049 more are pending")))
        << desktop.messages[0].text.toStdString();
}

// Before, an edit saved between Compare and OK was overwritten by the older
// source, and the wizard congratulated.
TEST_F(WizardTest, AnEditSavedAfterCompareIsKept)
{
    left.file("a.txt", "left, newer than what was compared", TestDir::time(2022, 1, 1));
    right.file("a.txt", "as compared", TestDir::time(2020, 1, 1));
    left.file("b.txt", "b");
    compare();
    right.file("a.txt", "the user's edit, saved after Compare");
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_TRUE(desktop.messages[0].text.contains(QStringLiteral("changed since the comparison")))
        << desktop.messages[0].text.toStdString();
    EXPECT_EQ(right.read("a.txt"), "the user's edit, saved after Compare");
    EXPECT_EQ(right.read("b.txt"), "b");
}

TEST_F(WizardTest, FailedOperationsAreReportedAndNothingIsLost)
{
    const std::string outside = left.file("outside/target.txt", "must stay");
    left.file("1-gone.txt", "disappears before OK");
    left.file("2-taken.txt", "mine");
    left.file("3-linked.txt", "replaces the link", TestDir::time(2022, 1, 1));
    left.file("4-fine.txt", "fine");
    right.file("1-gone.txt", "old and intact", TestDir::time(2019, 1, 1));
    left.setModified("1-gone.txt", TestDir::time(2022, 1, 1));
    std::filesystem::create_symlink(outside, right.path("3-linked.txt"));
    left.setModified("outside/target.txt", TestDir::time(2020, 1, 1));
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);

    // The world changes while the wizard is open.
    std::filesystem::remove(left.path("1-gone.txt"));
    right.file("2-taken.txt", "someone else's");

    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose());
    EXPECT_EQ(compares, 1) << "the refresh runs even after failures";
    ASSERT_EQ(desktop.messages.size(), 1);
    const Message &m = desktop.messages[0];
    EXPECT_EQ(m.caption, "Error");
    EXPECT_TRUE(m.text.startsWith("2 of ")) << m.text.toStdString();
    EXPECT_TRUE(m.text.contains(q(left.path("1-gone.txt")) + " -> " + q(right.path("1-gone.txt"))
                                + ": cannot read the source: No such file or directory"))
        << m.text.toStdString();
    EXPECT_TRUE(m.text.contains(q(right.path("2-taken.txt")) + ": the destination already exists"))
        << m.text.toStdString();

    EXPECT_EQ(right.read("1-gone.txt"), "old and intact");
    EXPECT_EQ(right.read("2-taken.txt"), "someone else's");
    EXPECT_EQ(right.read("4-fine.txt"), "fine");
    struct stat st;
    ASSERT_EQ(::lstat(right.path("3-linked.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link itself is replaced";
    EXPECT_EQ(right.read("3-linked.txt"), "replaces the link");
    EXPECT_EQ(left.read("outside/target.txt"), "must stay");
    EXPECT_TRUE(hiddenEntries(left.root()).empty());
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

TEST_F(WizardTest, NothingElseStartsWhileOperationsRun)
{
    for (int i = 0; i < 200; ++i)
        left.file("f" + std::to_string(i), std::string(1000, 'x'));
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QPointer<Form3> guard(w);
    auto *ok = child<QToolButton>(w, "Check2");

    QTest::mouseClick(ok, Qt::LeftButton);
    ASSERT_TRUE(w->isRunning());
    EXPECT_FALSE(mainWindow.isEnabled());
    // The hand-back to this thread is queued, so all of these meet a running wizard.
    QTest::mouseClick(ok, Qt::LeftButton);
    QTest::mouseClick(child<QToolButton>(w, "Check1"), Qt::LeftButton);
    w->close();
    OpenSyncWizard(context());
    EXPECT_TRUE(guard);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(ok->isChecked());

    ASSERT_TRUE(waitForClose());
    EXPECT_EQ(compares, 1);
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Congratulations");
}

TEST_F(WizardTest, ProgressCancelStopsAfterTheCurrentFile)
{
    for (int i = 0; i < 2000; ++i)
        left.file("d" + std::to_string(i % 20) + "/f" + std::to_string(i), "some content");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    auto *progress = w->findChild<SyncProgressDialog *>(QStringLiteral("SyncProgress"));
    ASSERT_NE(progress, nullptr);
    QTest::mouseClick(progress->findChild<QWidget *>(QStringLiteral("SyncProgressCancel")), Qt::LeftButton);
    EXPECT_TRUE(progress->stopRequested());

    ASSERT_TRUE(waitForClose());
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_TRUE(desktop.messages[0].text.startsWith("The synchronization was stopped: "))
        << desktop.messages[0].text.toStdString();
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
    // Whatever was done is complete, and the refresh lists the rest.
    EXPECT_GT(Global::PendingOperations.count(), 0);
    EXPECT_EQ(compares, 1);
}

TEST_F(WizardTest, KeysPressTheFocusedButtonAndEscapeCancels)
{
    left.file("a.txt", "a");
    compare();
    // Before, Enter did nothing on a focused button (only Space did).
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        Form3 *w = open();
        ASSERT_NE(w, nullptr);
        auto *runSource = child<QToolButton>(w, "Check4");
        runSource->setFocus();
        QTest::keyClick(runSource, key);
        EXPECT_EQ(desktop.opened.size(), 1u) << key;
        EXPECT_FALSE(runSource->isChecked());
        desktop.opened.clear();

        QTest::keyClick(child<QTreeView>(w, "ListView1"), Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([this] { return wizard() == nullptr; }, 5000)) << key;
        EXPECT_TRUE(mainWindow.isVisible());
    }
    EXPECT_EQ(compares, 0);
}

TEST_F(WizardTest, AFileNothingCanOpenIsReported)
{
    // Before, nothing visible happened without a program for the file; the
    // name that is not UTF-8 goes on as its bytes.
    const std::string name = "caf\xE9.txt";
    left.file(name, "x");
    compare();
    desktop.openFails = true;
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check4"), Qt::LeftButton);
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0], left.path(name));
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_TRUE(desktop.messages[0].text.startsWith("No program could open " + q(left.path(name))));
    EXPECT_EQ(desktop.messages[0].caption, "Corvanel");
    EXPECT_TRUE(w->isVisible());
}

TEST_F(WizardTest, OperationListSortsSaysWhatOkDoesAndOpensFromItsMenu)
{
    compareThreeOperations();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    // 16 + 14 + 9 bytes, the sources' sizes when compared.
    const QString summary = QStringLiteral("OK copies 1 file and replaces 2: 39 bytes");
    EXPECT_EQ(child<QToolButton>(w, "Check2")->toolTip(), summary);
    auto *list = child<QTreeView>(w, "ListView1");
    EXPECT_EQ(list->model()->headerData(1, Qt::Horizontal, Qt::ToolTipRole).toString(), summary);

    const auto slotOrder = [list] {
        std::vector<int> order;
        for (int r = 0; r < list->model()->rowCount(); ++r)
            order.push_back(static_cast<OperationModel *>(list->model())->row(r).slot);
        return order;
    };
    EXPECT_EQ(list->header()->sortIndicatorSection(), -1);
    list->setCurrentIndex(list->model()->index(2, 0)); // the copy: Run Dstn blocked
    clickHeader(list->header(), 1);                    // "copied to" first, slot order within
    EXPECT_EQ(slotOrder(), (std::vector<int>{2, 0, 1}));
    clickHeader(list->header(), 1);
    EXPECT_EQ(slotOrder(), (std::vector<int>{1, 0, 2}));
    // The same operation stays selected, and the colours with it.
    EXPECT_EQ(list->selectionModel()->selectedRows().value(0).row(), 2);
    EXPECT_EQ(captionColour(w, "Check5"), Form3::kBlocked);

    const PendingOperation *op = &Global::PendingOperations[0];
    const std::tuple<int, const char *, std::vector<std::string>, QString> steps[] = {
        {0, "OpenSourceAction", {op[1].source}, {}},
        {1, "OpenDestinationAction", {op[0].destination}, {}},
        {2, "OpenDestinationAction", {op[2].destination}, {}}, // the folder a copy goes to
        {2, "CopyPathsAction", {}, q(op[2].source) + "\n" + q(op[2].destination)},
    };
    for (const auto &[row, action, opened, clipboard] : steps) {
        desktop.opened.clear();
        QApplication::clipboard()->clear();
        QMenu *menu = openContextMenu(list, row);
        ASSERT_NE(menu, nullptr) << action;
        EXPECT_TRUE(clickMenuAction(menu, action)) << action;
        EXPECT_EQ(desktop.opened, opened) << action;
        EXPECT_EQ(QApplication::clipboard()->text(), clipboard) << action;
    }
    std::remove(op[1].source.c_str()); // gone since Compare: nothing to open
    QMenu *menu = openContextMenu(list, 0);
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(clickMenuAction(menu, "OpenSourceAction"));
}

// Replaced files go to the Trash, and the end message counts them. Where no
// trash can take them, the wizard asks once before the first; No keeps
// every old file and the rest of the run goes on.
TEST_F(WizardTest, ReplacedFilesGoToTheTrashOrTheWizardAsksOnce)
{
    TestDir data, elsewhere;
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data.root()));
    std::filesystem::create_directory_symlink(elsewhere.root(), data.path("Trash"));
    for (const char *name : {"a.txt", "b.txt"}) {
        left.file(name, "newer and longer", TestDir::time(2022, 1, 1));
        right.file(name, "old", TestDir::time(2021, 1, 1));
    }
    left.file("c.txt", "only left");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose());
    ASSERT_EQ(desktop.questions.size(), 1);
    EXPECT_TRUE(desktop.questions[0].text.contains(q("cannot be kept in the Trash: the trash folder " + data.path("Trash")
                                                     + " is a symbolic link")))
        << desktop.questions[0].text.toStdString();
    EXPECT_EQ(right.read("a.txt"), "old");
    EXPECT_EQ(right.read("b.txt"), "old");
    EXPECT_EQ(right.read("c.txt"), "only left");
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.root()));
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_TRUE(desktop.messages[0].text.startsWith("2 of 3 file operations failed.")) << desktop.messages[0].text.toStdString();

    std::filesystem::remove(data.path("Trash"));
    compare();
    w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_TRUE(waitForClose());
    EXPECT_EQ(desktop.questions.size(), 1);
    ASSERT_EQ(desktop.messages.size(), 2);
    EXPECT_TRUE(desktop.messages[1].text.contains("have been synchronized.\n\n2 replaced files are now in the Trash."))
        << desktop.messages[1].text.toStdString();
    EXPECT_EQ(right.read("a.txt"), "newer and longer");
    EXPECT_EQ(data.read("Trash/files/b.txt"), "old");
    qputenv("XDG_DATA_HOME", previous);
}

// 2,500 one-byte files for an 8 MB tmpfs: 10 MB in its 4 KiB pages. OK
// asks first; No leaves the wizard open with nothing written.
TEST_F(WizardTest, ADestinationTooSmallIsAskedAboutBeforeAnyCopy)
{
    FsImage fs(FsImage::Kind::Tmpfs, 8);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    rightText = q(fs.root());
    for (int i = 0; i < 2500; ++i)
        left.file("f" + std::to_string(i), "x");
    compare();
    Form3 *w = open();
    ASSERT_NE(w, nullptr);
    QTest::mouseClick(child<QToolButton>(w, "Check2"), Qt::LeftButton);
    ASSERT_EQ(desktop.questions.size(), 1u) << "before: no question, 2,500 copies tried";
    const QString text = desktop.questions[0].text;
    EXPECT_TRUE(text.startsWith(q("There is not enough free space on " + fs.root()))) << text.toStdString();
    EXPECT_TRUE(text.endsWith("\n\nCarry them out anyway?")) << text.toStdString();
    QTest::qWait(200);
    EXPECT_EQ(wizard(), w);
    EXPECT_TRUE(std::filesystem::is_empty(fs.root()));
}
