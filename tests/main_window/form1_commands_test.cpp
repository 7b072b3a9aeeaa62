// Compare, Sync Wizard and Exit through the window's buttons, and what the
// pointer, the pictures and the lists do under the mouse.

#include "windowtest.h"

#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/pictures.h"
#include "main_window/resultlistmodel.h"
#include "support/itemviews.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPixmap>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <filesystem>

namespace {

QStringList column(const ResultListModel *model, int c)
{
    QStringList texts;
    for (int r = 0; r < model->rowCount(); ++r)
        texts << model->index(r, c).data().toString();
    return texts;
}

qint64 iconKey(const ResultListModel *model, int row)
{
    return model->index(row, 0).data(Qt::DecorationRole).value<QPixmap>().cacheKey();
}

} // namespace

class CommandTest : public WindowTest
{
protected:
    CommandTest() { Global::PendingOperations.reset(); }
    ~CommandTest() override { Global::PendingOperations.reset(); }

    // Two small trees: a.txt the same on both sides, c.txt newer on the
    // left, sub/b.txt only on the left, d.txt only on the right.
    void makeTrees()
    {
        left = trees.folder("left");
        right = trees.folder("right");
        trees.file("left/a.txt", "same", TestDir::time(2020, 1, 1));
        trees.file("right/a.txt", "same", TestDir::time(2021, 1, 1));
        trees.file("left/c.txt", "longer text", TestDir::time(2020, 1, 1));
        trees.file("right/c.txt", "short", TestDir::time(2019, 12, 31));
        trees.file("left/sub/b.txt", "b", TestDir::time(2020, 1, 1));
        trees.file("right/d.txt", "d", TestDir::time(2020, 1, 1));
    }

    void setFolders(const std::string &l, const std::string &r)
    {
        window->combos().setText(Side::Left, q(l));
        window->combos().setText(Side::Right, q(r));
    }

    void click(const char *button) { QTest::mouseClick(child<QToolButton>(button), Qt::LeftButton); }

    ResultListModel *leftList() const { return window->resultList(Side::Left); }
    ResultListModel *rightList() const { return window->resultList(Side::Right); }

    TestDir trees;
    std::string left, right;
};

TEST_F(CommandTest, CompareFillsBothListsThroughTheWindow)
{
    makeTrees();
    Form1 &form = createShown();
    setFolders(left + "/", right);
    QStringList captions;
    QObject::connect(&form, &QWidget::windowTitleChanged, [&](const QString &t) { captions << t; });

    click("Check1");

    EXPECT_FALSE(child<QToolButton>("Check1")->isChecked());
    // Enumeration order is the file system's; compare as sets, then by name.
    QStringList leftNames = column(leftList(), 0);
    leftNames.sort();
    EXPECT_EQ(leftNames, QStringList({"a.txt", "c.txt", "sub/b.txt"}));
    ASSERT_EQ(rightList()->rowCount(), 3);
    for (int r = 0; r < leftList()->rowCount(); ++r) {
        const QString name = leftList()->index(r, 0).data().toString();
        const QString status = leftList()->index(r, 1).data().toString();
        if (name == "a.txt") {
            EXPECT_EQ(status, "OK");
            EXPECT_EQ(iconKey(leftList(), r), StatusPicture(NoIcon).cacheKey());
        } else if (name == "c.txt") {
            EXPECT_EQ(status, "Newer");
            EXPECT_EQ(iconKey(leftList(), r), StatusPicture(NewerIcon).cacheKey());
            EXPECT_EQ(leftList()->index(r, 2).data().toString(), "11 bytes");
        } else {
            EXPECT_EQ(status, "Not found");
            EXPECT_EQ(iconKey(leftList(), r), StatusPicture(NotFoundIcon).cacheKey());
        }
        EXPECT_EQ(leftList()->index(r, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);
    }
    for (int r = 0; r < rightList()->rowCount(); ++r) {
        const QString name = rightList()->index(r, 0).data().toString();
        if (name == "c.txt") {
            EXPECT_EQ(rightList()->index(r, 1).data().toString(), "Older");
            EXPECT_EQ(iconKey(rightList(), r), StatusPicture(OlderIcon).cacheKey());
        }
        if (name == "d.txt") {
            EXPECT_EQ(rightList()->index(r, 1).data().toString(), "Not found");
        }
    }

    // The trailing separator went, and the combo shows it.
    EXPECT_EQ(child<QComboBox>("Combo1")->currentText(), q(left));
    EXPECT_EQ(Global::PendingOperations.count(), 3);
    EXPECT_EQ(Global::PendingOperations[0].source.rfind(left + "/", 0), 0u);
    // Each scan showed the loading caption; the plain name is back at the end.
    EXPECT_EQ(captions.count("Corvanel [Loading files, please wait...]"), 2);
    EXPECT_EQ(form.windowTitle(), "Corvanel");
    EXPECT_TRUE(desktop.messages.isEmpty());
    // The wait pointer stays until the mouse next moves.
    EXPECT_EQ(form.cursor().shape(), Qt::WaitCursor);
}

TEST_F(CommandTest, InvalidFolderIsReportedAndTheListsStay)
{
    makeTrees();
    createShown();
    setFolders(left, right);
    click("Check1");
    ASSERT_EQ(leftList()->rowCount(), 3);

    window->combos().setText(Side::Left, q(trees.path("nowhere")));
    click("Check1");
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].text, "Please make sure you have two valid folders selected.");
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_EQ(leftList()->rowCount(), 3);
    EXPECT_EQ(rightList()->rowCount(), 3);
    EXPECT_EQ(Global::PendingOperations.count(), 3);
}

TEST_F(CommandTest, NoteAboutUnlistedOperationsComesWithTheListsFilled)
{
    // Before, the note came up while both lists were still empty.
    left = trees.folder("left");
    right = trees.folder("right");
    const int files = PendingOperationList::kSlots + 5;
    for (int i = 0; i < files; ++i)
        trees.file("left/" + std::to_string(i));
    createShown();
    setFolders(left, right);
    int rowsAtMessage = -1;
    QObject::connect(leftList(), &QAbstractItemModel::modelReset, [&] { rowsAtMessage = -2; });
    desktop.onMessage = [&] { rowsAtMessage = leftList()->rowCount(); };
    click("Check1");
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Corvanel");
    EXPECT_TRUE(desktop.messages[0].text.startsWith("Only the first 10001 of 10006 file operations are listed."));
    EXPECT_EQ(rowsAtMessage, files);
    EXPECT_EQ(Global::PendingOperations.count(), PendingOperationList::kSlots);
}

TEST_F(CommandTest, AClickThatLeavesAButtonUncheckedDoesNothing)
{
    createShown();
    for (const char *name : {"Check1", "Check2", "Check7"}) {
        auto *button = child<QToolButton>(name);
        {
            const QSignalBlocker quiet(button);
            button->setChecked(true);
        }
        click(name);
        EXPECT_FALSE(button->isChecked()) << name;
    }
    // Neither Compare's nor the Sync Wizard's message came.
    EXPECT_TRUE(desktop.messages.isEmpty());

    // Pressed for real, each button acts once and springs back.
    click("Check1");
    EXPECT_EQ(desktop.messages.size(), 1);
    EXPECT_FALSE(child<QToolButton>("Check1")->isChecked());
}

TEST_F(CommandTest, SyncWizardReportsThatNothingWasCompared)
{
    createShown();
    click("Check2");
    ASSERT_EQ(desktop.messages.size(), 1);
    EXPECT_EQ(desktop.messages[0].caption, "Error");
    EXPECT_TRUE(desktop.messages[0].text.startsWith("Nothing to synchronize."));
    EXPECT_FALSE(child<QToolButton>("Check2")->isChecked());
}

TEST_F(CommandTest, PressesAndTypingDuringAScanDoNotDisturbIt)
{
    makeTrees();
    for (int i = 0; i < 30; ++i)
        trees.file("left/deep" + std::to_string(i) + "/f.txt", "x");
    const std::string other = trees.folder("other");
    trees.file("other/z.txt", "z");
    const std::string otherRight = trees.folder("other-right"); // one folder on both sides is refused
    createShown();
    setFolders(left, right);

    bool sawScan = false;
    // Runs inside the scan, when it first lets events in.
    QTimer::singleShot(0, window.get(), [&] {
        sawScan = window->scanning();
        click("Check1");
        click("Check2");
        window->combos().setText(Side::Left, q(other));
        window->combos().setText(Side::Right, q(otherRight));
    });
    click("Check1");

    ASSERT_TRUE(sawScan);
    EXPECT_FALSE(window->scanning());
    // One scan of each original tree, no rows twice, none from the other tree.
    EXPECT_EQ(leftList()->rowCount(), 33);
    EXPECT_EQ(rightList()->rowCount(), 3);
    EXPECT_FALSE(column(leftList(), 0).contains("z.txt"));
    for (int k = 0; k < Global::PendingOperations.count(); ++k) {
        const PendingOperation &op = Global::PendingOperations[k];
        EXPECT_TRUE(op.source.rfind(left + "/", 0) == 0 || op.source.rfind(right + "/", 0) == 0) << op.source;
    }
    // The Sync Wizard press was ignored, not answered with a message.
    EXPECT_TRUE(desktop.messages.isEmpty());
    EXPECT_FALSE(child<QToolButton>("Check1")->isChecked());
    EXPECT_FALSE(child<QToolButton>("Check2")->isChecked());

    // Afterwards Compare works again, on what the combos now say.
    click("Check1");
    EXPECT_EQ(column(leftList(), 0), QStringList({"z.txt"}));
}

TEST_F(CommandTest, ExitEndsTheProgramAtOnceEvenDuringAScan)
{
    makeTrees();
    for (int i = 0; i < 50; ++i)
        trees.file("left/deep" + std::to_string(i) + "/f.txt", "x");
    createShown();
    setFolders(left, right);

    // Exit is pressed from inside the scan, at its first look at the events.
    QTimer::singleShot(0, window.get(), [&] {
        QTimer::singleShot(0, window.get(), [&] { click("Check7"); });
        click("Check1");
    });
    // Should Exit fail, the loop still ends, with another code.
    QTimer::singleShot(10000, [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(window->scanning());
    EXPECT_EQ(leftList()->rowCount(), 0);
    EXPECT_FALSE(child<QToolButton>("Check7")->isChecked());
}

class PointerTest : public CommandTest
{
protected:
    // Copies a pointer file that the build placed beside the executables.
    void installPointer(const char *name, const char *as = nullptr)
    {
        const std::string from = std::string(CORVANEL_BIN_DIR) + "/" + name;
        const std::string to = programFolder.path(as ? as : name);
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    }

    void moveOver(QWidget *widget, QPoint at = QPoint(3, 3))
    {
        // Qt drops a move to where the pointer already is.
        QTest::mouseMove(widget, at + QPoint(1, 1));
        QTest::mouseMove(widget, at);
        QCoreApplication::processEvents();
    }

    QPoint hotSpot() const { return window->cursor().hotSpot(); }
    Qt::CursorShape shape() const { return window->cursor().shape(); }
};

TEST_F(PointerTest, HandOverButtonsAndBrowsePicturesArrowOverTheBareWindow)
{
    installPointer("HAND-M.CUR");
    Form1 &form = createShown();
    // Loading at start-up changes nothing on screen.
    EXPECT_EQ(shape(), Qt::ArrowCursor);

    for (const char *target : {"Check1", "Check2", "Check7", "Image1", "Image2"}) {
        moveOver(child<QWidget>(target));
        ASSERT_EQ(shape(), Qt::BitmapCursor) << target;
        EXPECT_EQ(form.cursor().pixmap().size(), QSize(32, 32));
        EXPECT_EQ(hotSpot(), QPoint(12, 4)) << "the finger tip";
        // The legend is a control: the hand stays.
        moveOver(child<QWidget>("Label1"));
        EXPECT_EQ(shape(), Qt::BitmapCursor);
        moveOver(&form, QPoint(2, 2));
        EXPECT_EQ(shape(), Qt::ArrowCursor) << target;
    }

    // A replaced file shows at the next hover; a removed one leaves the last.
    installPointer("dragfolder.cur", "HAND-M.CUR");
    moveOver(child<QWidget>("Check1"));
    EXPECT_EQ(hotSpot(), QPoint(0, 0));
    std::filesystem::remove(programFolder.path("HAND-M.CUR"));
    moveOver(&form, QPoint(2, 2));
    moveOver(child<QWidget>("Check2"));
    EXPECT_EQ(shape(), Qt::BitmapCursor);
    EXPECT_TRUE(desktop.messages.isEmpty());
}

TEST_F(PointerTest, WithoutPointerFilesThereIsNoHandAndNoMessage)
{
    trees.file("junk.cur", "not a cursor");
    createShown();
    moveOver(child<QWidget>("Check1"));
    EXPECT_EQ(shape(), Qt::ArrowCursor);
    moveOver(child<QTreeView>("ListView1")->viewport());
    EXPECT_EQ(shape(), Qt::ArrowCursor);
    EXPECT_TRUE(desktop.messages.isEmpty());
}

TEST_F(PointerTest, BrokenHandFileKeepsTheStandardPointer)
{
    std::filesystem::copy_file(std::string(CORVANEL_BIN_DIR) + "/corvanel", programFolder.path("HAND-M.CUR"));
    createShown();
    moveOver(child<QWidget>("Check1"));
    EXPECT_EQ(shape(), Qt::ArrowCursor);
}

TEST_F(PointerTest, DropPointerOverTheListsWhileTheLeftListIsEmpty)
{
    installPointer("dragfolder.cur");
    makeTrees();
    createShown();
    auto *listView1 = child<QTreeView>("ListView1");
    auto *listView2 = child<QTreeView>("ListView2");

    for (QTreeView *list : {listView1, listView2}) {
        moveOver(&*window, QPoint(2, 2));
        moveOver(list->viewport(), QPoint(30, 30));
        EXPECT_EQ(shape(), Qt::BitmapCursor);
        EXPECT_EQ(hotSpot(), QPoint(0, 0));
    }

    // Right list filled, left list empty: still the drop pointer.
    setFolders(trees.folder("empty"), right);
    click("Check1");
    ASSERT_EQ(leftList()->rowCount(), 0);
    ASSERT_GT(rightList()->rowCount(), 0);
    moveOver(listView2->viewport(), QPoint(30, 30));
    EXPECT_EQ(shape(), Qt::BitmapCursor);

    // Left list filled: the arrow over both.
    setFolders(left, trees.folder("empty"));
    click("Check1");
    ASSERT_GT(leftList()->rowCount(), 0);
    for (QTreeView *list : {listView1, listView2}) {
        moveOver(list->viewport(), QPoint(30, 30));
        EXPECT_EQ(shape(), Qt::ArrowCursor);
    }
}

TEST_F(PointerTest, DropsBrowsesAndClicksReachTheFolderSide)
{
    makeTrees();
    createShown();

    // A folder dropped on the right list becomes the right folder.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(q(right))});
    auto *viewport = child<QTreeView>("ListView2")->viewport();
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    EXPECT_EQ(child<QComboBox>("Combo2")->currentText(), q(right));

    // The left browse picture asks for a folder for the left combo.
    desktop.answer = q(left);
    QTest::mouseClick(child<QLabel>("Image1"), Qt::LeftButton);
    EXPECT_EQ(desktop.prompts, QStringList({"Please select folder to add:"}));
    EXPECT_EQ(child<QComboBox>("Combo1")->currentText(), q(left));

    // A click on a left row toggles its check mark; the right list has none of that.
    click("Check1");
    auto *listView1 = child<QTreeView>("ListView1");
    const QRect firstRow = listView1->visualRect(leftList()->index(0, 1));
    QTest::mouseClick(listView1->viewport(), Qt::LeftButton, {}, firstRow.center());
    EXPECT_FALSE(leftList()->rows()[0].checked);
    auto *listView2 = child<QTreeView>("ListView2");
    QTest::mouseClick(listView2->viewport(), Qt::LeftButton, {},
                      listView2->visualRect(rightList()->index(0, 1)).center());
    EXPECT_TRUE(rightList()->rows()[0].checked);
}

namespace {

QWidget *openWizard()
{
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->objectName() == "Form3" && top->isVisible())
            return top;
    }
    return nullptr;
}

} // namespace

TEST_F(CommandTest, SyncWizardTakesTheWindowsPlaceAndComparesAgainAfterwards)
{
    makeTrees();
    Form1 &form = createShown();
    setFolders(left, right);
    click("Check1");
    ASSERT_EQ(Global::PendingOperations.count(), 3);
    const QRect outer = form.frameGeometry();

    click("Check2");
    EXPECT_FALSE(form.isVisible());
    QWidget *wizard = openWizard();
    ASSERT_NE(wizard, nullptr);
    EXPECT_EQ(wizard->frameGeometry(), outer);

    // OK carries the operations out; the window comes back and compares again.
    auto *ok = wizard->findChild<QToolButton *>(QStringLiteral("Check2"));
    ASSERT_NE(ok, nullptr);
    QTest::mouseClick(ok, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.isVisible() && !openWizard(); }, 10000));
    EXPECT_FALSE(form.scanning());
    ASSERT_EQ(leftList()->rowCount(), 4);
    ASSERT_EQ(rightList()->rowCount(), 4);
    for (ResultListModel *list : {leftList(), rightList()}) {
        for (int r = 0; r < list->rowCount(); ++r)
            EXPECT_EQ(list->index(r, 1).data().toString(), "OK") << list->index(r, 0).data().toString().toStdString();
    }
    EXPECT_TRUE(Global::PendingOperations.empty());
    EXPECT_EQ(form.windowTitle(), "Corvanel");
    ASSERT_FALSE(desktop.messages.isEmpty());
    EXPECT_EQ(desktop.messages.back().caption, "Congratulations");
}

// Before, two contracts of one size but other prices were "OK" with no way
// to find out: the lists' menu reads the selected pairs, or all of them.
TEST_F(CommandTest, CompareContentsFromTheListsMenuUpdatesStatusesAndOperations)
{
    left = trees.folder("left");
    right = trees.folder("right");
    trees.file("left/contract.txt", "Price: 1000 EUR", TestDir::time(2025, 12, 1));
    trees.file("right/contract.txt", "Price: 9000 EUR", TestDir::time(2025, 12, 9));
    trees.file("left/touched.txt", "the same", TestDir::time(2025, 12, 1));
    trees.file("right/touched.txt", "the same", TestDir::time(2025, 12, 2));
    createShown();
    setFolders(left, right);
    click("Check1");
    ASSERT_EQ(Global::PendingOperations.unverified, 2u);
    auto *view = child<QTreeView>("ListView2");
    // The findings come once the progress dialog is gone, not under it.
    bool progressShown = false;
    desktop.onMessage = [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            progressShown = progressShown || (w->objectName() == "ContentProgress" && w->isVisible());
    };
    const struct
    {
        int row; // the row right-clicked; -1 keeps the selection
        const char *action;
        const char *message;
        const char *contract; // the right contract's status afterwards
        std::size_t unverified;
    } steps[] = {
        {1, "CompareSelectedContentsAction", "The pair of files read has the same contents.", "OK", 1},
        {-1, "CompareContentsAction", "1 file has the same size as its match but other contents.", "Newer", 0},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.action);
        desktop.messages.clear();
        QMenu *menu = openContextMenu(view, s.row);
        ASSERT_NE(menu, nullptr);
        EXPECT_TRUE(clickMenuAction(menu, s.action));
        ASSERT_EQ(desktop.messages.size(), 1);
        EXPECT_EQ(desktop.messages[0].text, s.message);
        EXPECT_EQ(rightList()->index(0, 1).data().toString(), s.contract);
        EXPECT_EQ(Global::PendingOperations.unverified, s.unverified);
    }
    EXPECT_FALSE(progressShown);
    ASSERT_EQ(Global::PendingOperations.count(), 1);
    EXPECT_EQ(Global::PendingOperations[0].deleteFirst, left + "/contract.txt");
}
