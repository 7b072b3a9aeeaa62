// What a desktop user does beyond the buttons: drags, check boxes, keys, the
// folder browser, close requests at awkward moments, and resizes.

#include "windowtest.h"

#include "compare/global.h"
#include "folders/folderdrop.h"
#include "folders/foldercombos.h"
#include "main_window/resultlistmodel.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>

#include <sys/stat.h>

namespace {

class DesktopTest : public WindowTest
{
protected:
    DesktopTest() { Global::PendingOperations.reset(); }
    ~DesktopTest() override { Global::PendingOperations.reset(); }

    // Left holds a.txt, b.txt and c.txt, right nothing; with `folders`,
    // enough subfolders that a scan lets events in several times.
    void makeTrees(int folders = 0)
    {
        left = trees.folder("left");
        right = trees.folder("right");
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            trees.file(std::string("left/") + name, name);
        for (int i = 0; i < folders; ++i)
            trees.file("left/deep" + std::to_string(i) + "/f.txt", "x");
    }
    void compared()
    {
        window->combos().setText(Side::Left, q(left));
        window->combos().setText(Side::Right, q(right));
        click("Check1");
    }
    void click(const char *button) { QTest::mouseClick(child<QToolButton>(button), Qt::LeftButton); }
    ResultListModel *leftList() const { return window->resultList(Side::Left); }
    bool checked(int row) const { return leftList()->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked; }

    // Where a row's check box is drawn: the style's check indicator at the
    // start of the name cell.
    QPoint checkBoxOf(QTreeView *list, int row) const
    {
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
        const int indicator = list->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, list);
        return QPoint(cell.left() + margin + indicator / 2, cell.center().y());
    }

    // Runs the application's loop until the program ends (Exit's code 0), or
    // gives 3 after ten seconds.
    int runUntilExit()
    {
        QTimer::singleShot(10000, [] { QCoreApplication::exit(3); });
        return QCoreApplication::exec();
    }

    static QWidget *openWizard()
    {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (top->objectName() == "Form3" && top->isVisible())
                return top;
        }
        return nullptr;
    }

    TestDir trees;
    std::string left, right;
};

TEST_F(DesktopTest, DropsGoToTheListsOnlyAndAreAlwaysCopies)
{
    makeTrees();
    createShown();
    // Before, a folder dropped on a combo left "file://..." text in it.
    for (const char *name : {"Combo1", "Combo2"}) {
        EXPECT_FALSE(child<QComboBox>(name)->acceptDrops()) << name;
        EXPECT_FALSE(child<QComboBox>(name)->lineEdit()->acceptDrops()) << name;
    }

    struct Case
    {
        bool urls;               // a file list, else plain text
        Qt::DropActions offered; // what the source allows
        Qt::DropAction expected;
        bool error;
    };
    // Before, plain text was refused at drag-enter and a Qt source's Move
    // was accepted, so the source could delete what it dragged.
    const Case cases[] = {
        {true, Qt::CopyAction | Qt::MoveAction, Qt::CopyAction, false},
        {true, Qt::MoveAction | Qt::LinkAction, Qt::LinkAction, false},
        {false, Qt::CopyAction | Qt::MoveAction, Qt::CopyAction, true},
    };
    auto *viewport = child<QTreeView>("ListView1")->viewport();
    for (const Case &c : cases) {
        desktop.messages.clear();
        window->combos().setText(Side::Left, QString());
        QMimeData data;
        if (c.urls)
            data.setUrls({QUrl::fromLocalFile(q(left))});
        else
            data.setText(q(left));
        QDragEnterEvent enter(QPoint(20, 20), c.offered, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &enter);
        EXPECT_TRUE(enter.isAccepted());
        EXPECT_EQ(enter.dropAction(), c.expected);
        QDropEvent drop(QPointF(20, 20), c.offered, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &drop);
        EXPECT_EQ(drop.dropAction(), c.expected);
        EXPECT_EQ(child<QComboBox>("Combo1")->currentText(), c.error ? QString() : q(left));
        ASSERT_EQ(desktop.messages.size(), c.error ? 1 : 0);
        if (c.error) {
            EXPECT_EQ(desktop.messages[0],
                      (Message{QString::fromLatin1(kVirtualFolderMessage), QStringLiteral("Error")}));
        }
    }
}

TEST_F(DesktopTest, ACheckBoxClickInvertsExactlyItsOwnRowOnce)
{
    makeTrees();
    createShown();
    compared();
    ASSERT_EQ(leftList()->rowCount(), 3);
    auto *list = child<QTreeView>("ListView1");

    // A click on row 0's text inverts it (the selected row).
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(leftList()->index(0, 1)).center());
    EXPECT_FALSE(checked(0));
    // The keyboard selects row 1 without a click.
    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_EQ(list->currentIndex().row(), 1);
    // Before, a click on row 2's box flipped row 2, then the selected row 1.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, checkBoxOf(list, 2));
    EXPECT_FALSE(checked(0));
    EXPECT_TRUE(checked(1));
    EXPECT_FALSE(checked(2));
    EXPECT_EQ(list->currentIndex().row(), 2);
    // The box of the row clicked last works again, and only on its row.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, checkBoxOf(list, 2));
    EXPECT_FALSE(checked(0));
    EXPECT_TRUE(checked(1));
    EXPECT_TRUE(checked(2));
}

TEST_F(DesktopTest, EnterPressesTheFocusedButton)
{
    // Before, only Space did; nothing compared yet, so Sync Wizard says so.
    createShown();
    auto *syncWizard = child<QToolButton>("Check2");
    syncWizard->setFocus();
    QTest::keyClick(syncWizard, Qt::Key_Return);
    EXPECT_EQ(desktop.messages.size(), 1);
    EXPECT_FALSE(syncWizard->isChecked());
}

TEST_F(DesktopTest, TheFolderBrowserOpensAtTheSidesFolderElseAtHome)
{
    makeTrees();
    createShown();
    struct Case
    {
        QString comboText;
        QString start;
    };
    // Before, it opened in the program's working folder.
    const Case cases[] = {
        {q(right), q(right)},
        {q(trees.path("missing")), QDir::homePath()},
        {QString(), QDir::homePath()},
    };
    for (const Case &c : cases) {
        window->combos().setText(Side::Right, c.comboText);
        desktop.answer = c.comboText;
        QTest::mouseClick(child<QLabel>("Image2"), Qt::LeftButton);
        ASSERT_FALSE(desktop.startFolders.isEmpty());
        EXPECT_EQ(desktop.startFolders.back(), c.start) << c.comboText.toStdString();
    }
}

TEST_F(DesktopTest, CloseDuringACompareEndsTheProgramAsExitDoes)
{
    makeTrees(60);
    createShown();
    window->combos().setText(Side::Left, q(left));
    window->combos().setText(Side::Right, q(right));
    QTimer::singleShot(0, window.get(), [&] {
        QTimer::singleShot(0, window.get(), [&] { EXPECT_TRUE(window->close()); });
        click("Check1");
    });
    EXPECT_EQ(runUntilExit(), 0);
    EXPECT_FALSE(window->scanning());
}

TEST_F(DesktopTest, CloseWhileOkCopiesIsRefusedAndTheSyncFinishes)
{
    makeTrees();
    Form1 &form = createShown();
    compared();
    click("Check2");
    QWidget *wizard = openWizard();
    ASSERT_NE(wizard, nullptr);
    QTest::mouseClick(wizard->findChild<QToolButton *>(QStringLiteral("Check2")), Qt::LeftButton);
    // The hidden main window is asked to close while the copies run.
    EXPECT_FALSE(form.close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.isVisible() && !openWizard(); }, 10000));
    ASSERT_FALSE(desktop.messages.isEmpty());
    EXPECT_EQ(desktop.messages.back().caption, "Congratulations");
    EXPECT_TRUE(Global::PendingOperations.empty());
    // The window still compares.
    EXPECT_EQ(form.windowTitle(), "Corvanel");
    click("Check1");
    EXPECT_EQ(leftList()->rowCount(), 3);
}

TEST_F(DesktopTest, CloseDuringTheCompareAfterOkEndsWithoutAFalseMessage)
{
    makeTrees(60);
    Form1 &form = createShown();
    compared();
    click("Check2");
    QWidget *wizard = openWizard();
    ASSERT_NE(wizard, nullptr);
    // Closes the main window as soon as the Compare that follows OK scans.
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (form.scanning())
            form.close();
    });
    watcher.start(0);
    QTimer::singleShot(0, wizard, [wizard] {
        QTest::mouseClick(wizard->findChild<QToolButton *>(QStringLiteral("Check2")), Qt::LeftButton);
    });
    EXPECT_EQ(runUntilExit(), 0);
    // Before, the wizard said "... have been synchronized" and the window
    // came back with its caption stuck, comparing nothing any more.
    for (const auto &[text, caption] : desktop.messages)
        EXPECT_NE(caption, "Congratulations") << text.toStdString();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(openWizard(), nullptr);
}

TEST_F(DesktopTest, ResizesWriteOnlyWhatChanged)
{
    Form1 &form = createShown();
    auto identity = [&] {
        struct stat st {};
        ::stat(settings.settingsFile().c_str(), &st);
        return std::pair(st.st_ino, st.st_mtim.tv_nsec);
    };
    const auto before = identity();
    // Before, each of these wrote and flushed both values unchanged.
    for (int step = 1; step <= 20; ++step) {
        form.resize(form.width() + 1, form.height());
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(identity(), before);
    form.resize(form.width(), form.height() + 10);
    QCoreApplication::processEvents();
    EXPECT_NE(identity(), before);
}

} // namespace
