// The main window's geometry under a real window manager (openbox on a
// virtual display, see scripts/with-openbox.sh): the frame arrives only after
// the window is mapped, which a bare display or the offscreen platform hide.

#include "windowtest.h"

#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/mainlayout.h"
#include "platform/settings.h"
#include "wizard/syncwizard.h"

#include <QApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <filesystem>

using namespace Form1Layout;

namespace {

class WindowManagerTest : public WindowTest
{
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs a window manager: run through scripts/with-openbox.sh";
    }

    // Shows a fresh window and waits until the frame is there and the
    // window has settled on it.
    Form1 &start()
    {
        window.reset();
        Form1 &form = createShown();
        EXPECT_TRUE(QTest::qWaitFor([&] { return form.frameGeometry().size() != form.geometry().size(); }, 5000));
        QTest::qWait(300);
        return form;
    }

    int storedTwips(const char *key) const { return platform::ReadSetting(QLatin1String(key)).toInt(); }
    int twipsHigh(int pixels) const { return qRound(platform::PixelsToTwips(pixels, window->logicalDpiY())); }

    // Column 0 of both lists as start-up should have set it for the window's
    // outer width now.
    void expectColumnsFromOuterWidth()
    {
        const float W = platform::PixelsToTwips(window->frameGeometry().width(), window->logicalDpiX());
        const int expected = platform::TwipsToPixels(ColumnWidths(W / 2 - 250)[0], window->logicalDpiX());
        for (const char *name : {"ListView1", "ListView2"})
            EXPECT_EQ(child<QTreeView>(name)->header()->sectionSize(0), expected) << name;
    }
};

TEST_F(WindowManagerTest, ThreeStartsOpenAtTheSameSizeAndStoreTheOuterHeight)
{
    QSize first;
    for (int run = 0; run < 3; ++run) {
        Form1 &form = start();
        // Before: the inner height was stored and every start grew by a frame.
        EXPECT_EQ(storedTwips("FormHeight"), twipsHigh(form.frameGeometry().height())) << run;
        EXPECT_EQ(form.frameGeometry().width(), platform::TwipsToPixels(kDesignedOuterWidth, form.logicalDpiX()));
        if (run == 0) {
            first = form.size();
            // The designed inner height, framed.
            EXPECT_EQ(form.height(), platform::TwipsToPixels(kDesignedClientHeight, form.logicalDpiY()));
            // Before: 4167.5 twips, from the width without the frame.
            expectColumnsFromOuterWidth();
        }
        EXPECT_EQ(form.size(), first) << run;
        EXPECT_EQ(storedTwips("WindowState"), 0);
    }
}

TEST_F(WindowManagerTest, AResizeRightAfterStartIsKeptAndComesBack)
{
    platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("9000"));
    start();
    // As a user's drag would: through the window manager, as soon as the
    // window stands there.
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("windowsize"), QString::number(window->winId()), QStringLiteral("900"),
                       QStringLiteral("700")});
    QTest::qWait(800);
    // Before: the stored height waiting for the frame undid the resize.
    EXPECT_EQ(window->size(), QSize(900, 700));
    const int outer = twipsHigh(window->frameGeometry().height());
    EXPECT_EQ(storedTwips("FormHeight"), outer);

    Form1 &again = start();
    EXPECT_EQ(again.height(), 700);
    EXPECT_EQ(storedTwips("FormHeight"), outer);
}

TEST_F(WindowManagerTest, MaximisedStartStoresStateTwoAndTakesColumnsFromTheMaximisedWidth)
{
    platform::WriteSetting(QStringLiteral("WindowState"), QStringLiteral("2"));
    platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("9000"));
    Form1 &form = start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.isMaximized() && form.width() > 1000; }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(storedTwips("WindowState"), 2);
    EXPECT_EQ(storedTwips("FormHeight"), twipsHigh(form.frameGeometry().height()));
    // Before: from the normal width the window had before it was maximised.
    expectColumnsFromOuterWidth();

    // Restored, it has the designed width and the stored outer height, in
    // the normal frame. Before: the maximised width, and the height
    // sized in the maximised frame (no sides): taller by the difference once
    // the normal frame came, and each start maximised grew it again.
    const QSize maximisedFrame = form.frameGeometry().size() - form.size();
    form.showNormal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isMaximized() && form.frameGeometry().height() < 700; }, 5000));
    (void)QTest::qWaitFor([&] { return form.frameGeometry().size() - form.size() != maximisedFrame; }, 3000);
    QTest::qWait(300);
    EXPECT_EQ(storedTwips("WindowState"), 0);
    EXPECT_EQ(form.frameGeometry().size(), QSize(platform::TwipsToPixels(kDesignedOuterWidth, form.logicalDpiX()),
                                                 platform::TwipsToPixels(9000, form.logicalDpiY())));
    EXPECT_NEAR(storedTwips("FormHeight"), 9000, 15);
}

TEST_F(WindowManagerTest, AStoredHeightTallerThanTheScreenIsMadeToFitWithItsFrame)
{
    // 1,100 pixels on the virtual display's 1,024: before, the buttons lay
    // below its edge.
    platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("16500"));
    Form1 &form = start();
    const QRect available = form.screen()->availableGeometry();
    EXPECT_TRUE(available.contains(form.frameGeometry()))
        << form.frameGeometry().y() << "+" << form.frameGeometry().height() << " on " << available.height();
    EXPECT_EQ(form.frameGeometry().height(), available.height());
    // What the store holds is the height the window has now, as after any resize.
    EXPECT_EQ(storedTwips("FormHeight"), twipsHigh(form.frameGeometry().height()));
    expectColumnsFromOuterWidth();
}

TEST_F(WindowManagerTest, TheWizardLaysOutFromItsOuterSizeOnceItsFrameIsThere)
{
    TestDir trees;
    trees.file("left/a.txt", "newer and longer", TestDir::time(2022, 1, 1));
    trees.file("right/a.txt", "old", TestDir::time(2021, 1, 1));
    Form1 &form = start();
    form.combos().setText(Side::Left, QString::fromStdString(trees.path("left")));
    form.combos().setText(Side::Right, QString::fromStdString(trees.path("right")));
    QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
    ASSERT_EQ(Global::PendingOperations.count(), 1);
    const QRect outer = form.frameGeometry();

    QTest::mouseClick(child<QToolButton>("Check2"), Qt::LeftButton);
    QWidget *wizard = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        wizard = top->objectName() == "Form3" && top->isVisible() ? top : wizard;
    ASSERT_NE(wizard, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return wizard->frameGeometry().size() != wizard->geometry().size(); }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(wizard->frameGeometry(), outer);
    // The buttons stand 1670 twips above the outer bottom edge; before, they
    // stood a title bar higher, laid out from the size without the frame.
    const float outerTwips = platform::PixelsToTwips(wizard->frameGeometry().height(), wizard->logicalDpiY());
    for (const char *name : {"Check1", "Check2", "Check4", "Check5"}) {
        auto *button = wizard->findChild<QToolButton *>(QLatin1String(name));
        ASSERT_NE(button, nullptr) << name;
        EXPECT_NEAR(platform::PixelsToTwips(button->y(), wizard->logicalDpiY()), outerTwips - 1670, 15) << name;
    }
    wizard->close();
    Global::PendingOperations.reset();
}

TEST_F(WindowManagerTest, AWindowStartedMinimisedAndClosedSoKeepsItsStoredHeight)
{
    platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7470"));
    platform::WriteSetting(QStringLiteral("WindowState"), QStringLiteral("1"));
    for (int run = 0; run < 2; ++run) {
        create().show();
        QTest::qWait(1500); // iconic, never exposed; the frame comes meanwhile
        EXPECT_TRUE(window->isMinimized());
        window.reset();
        // Before: one title bar taller at each start (7845, 8220, ...).
        EXPECT_EQ(storedTwips("FormHeight"), 7470) << run;
    }
}

// A question asked before the progress dialog shows must take a user's
// click. Before, that window-modal dialog, shown after it, blocked it and
// the program hung for good.
TEST_F(WindowManagerTest, AQuestionDuringARunIsOnTopAndTakesAClick)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        GTEST_SKIP() << "needs xdotool to click as a user";
    TestDir trees, data, elsewhere;
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data.root()));
    std::filesystem::create_directory_symlink(elsewhere.root(), data.path("Trash")); // no trash can take a file
    trees.file("left/a.txt", "newer and longer", TestDir::time(2022, 1, 1));
    trees.file("right/a.txt", "old", TestDir::time(2021, 1, 1));
    struct ClickingDesktop : RecordingDesktop // the real box, clicked where it stands
    {
        bool question(QWidget *owner, const QString &text, const QString &caption) override
        {
            QTimer::singleShot(1200, [this] {
                box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                const QPoint at = box ? box->button(QMessageBox::Yes)->mapToGlobal(QPoint(10, 10)) : QPoint();
                QProcess::execute("xdotool",
                                  {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
                QTimer::singleShot(3000, box, [this] {
                    blocked = true;
                    box->done(QMessageBox::No);
                });
            });
            return platform::Desktop::question(owner, text, caption);
        }
        QPointer<QMessageBox> box;
        bool blocked = false;
    } clicking;

    Form1 &form = start();
    form.combos().setText(Side::Left, QString::fromStdString(trees.path("left")));
    form.combos().setText(Side::Right, QString::fromStdString(trees.path("right")));
    QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
    QTest::mouseClick(child<QToolButton>("Check2"), Qt::LeftButton);
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->objectName() == "Form3" && top->isVisible())
            QTest::mouseClick(top->findChild<QToolButton *>(QStringLiteral("Check2")), Qt::LeftButton);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return trees.read("right/a.txt") != "old" || clicking.blocked; }, 15000));
    EXPECT_FALSE(clicking.blocked);
    EXPECT_EQ(trees.read("right/a.txt"), "newer and longer") << "Yes replaces without keeping the old file";
    EXPECT_TRUE(QTest::qWaitFor([] { return !SyncWizardCopying(); }, 10000));
    window.reset();
    qputenv("XDG_DATA_HOME", previous);
    Global::PendingOperations.reset();
}

} // namespace
