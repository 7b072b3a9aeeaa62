// Working in the result lists through the window: sorting, filtering,
// finding, the context menu, the check marks on what is shown, the counts,
// and the keys that drive the window.

#include "windowtest.h"

#include "compare/global.h"
#include "compare/leaveout.h"
#include "folders/foldercombos.h"
#include "main_window/leaveoutactions.h"
#include "main_window/resultlistmodel.h"

#include "support/itemviews.h"
#include "support/qtprint.h"

#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QWheelEvent>

namespace {

const QStringList kWalked = {"a.txt", "b.txt", "c.txt", "Z.txt", "sub/d.txt"};
const QStringList kRight = {"a.txt", "b.txt", "c.txt", "e.txt", "Z.txt"};

class ListsTest : public WindowTest
{
protected:
    // Left: a.txt newer, b, c and Z.txt the same, sub/d.txt only here; right
    // also: e.txt only there.
    void SetUp() override
    {
        Global::PendingOperations.reset();
        trees.file("left/a.txt", "newer and longer", TestDir::time(2022, 1, 1));
        trees.file("right/a.txt", "old", TestDir::time(2021, 1, 1));
        for (const std::string name : {"b.txt", "c.txt", "Z.txt"}) {
            trees.file("left/" + name, name);
            trees.file("right/" + name, name);
        }
        trees.file("left/sub/d.txt", "only left");
        trees.file("right/e.txt", "only right");
        createShown();
        QApplication::setActiveWindow(window.get());
        window->combos().setText(Side::Left, q(trees.path("left")));
        window->combos().setText(Side::Right, q(trees.path("right")));
        QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
        ASSERT_EQ(shown(Side::Left), kWalked);
    }
    void TearDown() override { Global::PendingOperations.reset(); }

    QTreeView *list(Side side) const { return child<QTreeView>(side == Side::Left ? "ListView1" : "ListView2"); }
    ResultListModel *model(Side side) const { return window->resultList(side); }
    QString current(Side side) const { return list(side)->currentIndex().data().toString(); }

    QStringList shown(Side side) const
    {
        QStringList names;
        for (int r = 0; r < model(side)->rowCount(); ++r)
            names << model(side)->index(r, 0).data().toString();
        return names;
    }
    QStringList selected(Side side) const
    {
        QStringList names;
        for (const QModelIndex &index : list(side)->selectionModel()->selectedRows())
            names << index.data().toString();
        names.sort();
        return names;
    }
    // The left names whose mark is off, shown or not, in walk order.
    QStringList unchecked() const
    {
        QStringList names;
        for (const ResultRow &row : model(Side::Left)->rows())
            if (!row.checked)
                names << q(std::string(row.name()));
        return names;
    }
    void clickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::mouseClick(list(Side::Left)->viewport(), Qt::LeftButton, modifiers,
                          list(Side::Left)->visualRect(model(Side::Left)->index(row, 1)).center());
    }
    void key(int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(k), modifiers);
    }
    void focus(QWidget *widget)
    {
        widget->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([&] { return widget->hasFocus(); }, 2000));
    }

    TestDir trees;
};

} // namespace

TEST_F(ListsTest, HeaderClicksSortUntilTheNextCompareAndTheCountsStay)
{
    QHeaderView *header = list(Side::Left)->header();
    const int nameWidth = header->sectionSize(0);
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    clickHeader(header, ResultListModel::StatusColumn);
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "sub/d.txt", "b.txt", "c.txt", "Z.txt"}));
    EXPECT_EQ(header->sortIndicatorSection(), ResultListModel::StatusColumn);
    clickHeader(header, ResultListModel::StatusColumn);
    EXPECT_EQ(shown(Side::Left), QStringList({"Z.txt", "c.txt", "b.txt", "sub/d.txt", "a.txt"}));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    clickHeader(header, ResultListModel::FilenameColumn);
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "b.txt", "c.txt", "sub/d.txt", "Z.txt"}));
    EXPECT_EQ(header->sectionSize(0), nameWidth); // start-up's widths stay
    EXPECT_EQ(shown(Side::Right), kRight);

    // Every legend row counts both lists; a filter leaves the counts alone.
    focus(list(Side::Left));
    key(Qt::Key_D, Qt::ControlModifier);
    const QString counts = "Left: Newer 1, Older 0, Not found 1, OK 3\nRight: Newer 0, Older 1, Not found 1, OK 3";
    for (const char *name : {"Label1", "Label2", "Label3", "Image3", "Image4", "Image5"})
        EXPECT_EQ(child<QWidget>(name)->toolTip(), counts) << name;
    // The wizard counts every row, shown or not: no "Nothing to synchronize".
    key(Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(desktop.messages.isEmpty());
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->objectName() == "Form3")
            top->close(); // Cancel: the main window comes back

    key(Qt::Key_F5);
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "sub/d.txt"})); // walk order, still filtered
}

TEST_F(ListsTest, ClicksInvertTheMarksOfExactlyTheRowsSelectedOnSortedAndFilteredLists)
{
    clickHeader(list(Side::Left)->header(), ResultListModel::StatusColumn); // a, sub/d, b, c, Z
    focus(list(Side::Left));
    key(Qt::Key_D, Qt::ControlModifier); // a, sub/d
    clickRow(1);
    EXPECT_EQ(unchecked(), QStringList({"sub/d.txt"}));
    QMenu *menu = openContextMenu(list(Side::Left), 0); // a right click selects and inverts nothing
    ASSERT_NE(menu, nullptr);
    menu->close();
    EXPECT_EQ(unchecked(), QStringList({"sub/d.txt"}));

    key(Qt::Key_D, Qt::ControlModifier); // all rows again, the selection kept
    EXPECT_EQ(selected(Side::Left), QStringList({"a.txt"}));
    clickRow(2);                    // b
    clickRow(4, Qt::ShiftModifier); // b, c, Z: each flips once
    EXPECT_EQ(unchecked(), QStringList({"c.txt", "Z.txt", "sub/d.txt"}));
    clickHeader(list(Side::Left)->header(), ResultListModel::StatusColumn); // Z, c, b, sub/d, a
    EXPECT_EQ(selected(Side::Left), QStringList({"Z.txt", "b.txt", "c.txt"}));
    clickRow(0, Qt::ControlModifier); // Z leaves the selection: c and b flip
    EXPECT_EQ(unchecked(), QStringList({"b.txt", "Z.txt", "sub/d.txt"}));
}

TEST_F(ListsTest, ContextMenuOpensCopiesAndFiltersBothLists)
{
    const std::string left = trees.path("left");
    const struct
    {
        Side side;
        int row; // -1: keep the selection
        const char *action;
        std::vector<std::string> opened;
        QString clipboard;
        QStringList shownRight;
    } steps[] = {
        {Side::Left, 2, "OpenAction", {left + "/c.txt"}, {}, kRight},
        {Side::Left, 4, "OpenFolderAction", {left + "/sub"}, {}, kRight},
        {Side::Left, 4, "CopyPathAction", {}, q(left + "/sub/d.txt"), kRight},
        {Side::Left, 4, "CopyNameAction", {}, "d.txt", kRight},
        {Side::Right, 0, "DifferencesAction", {}, {}, {"a.txt", "e.txt"}},
        {Side::Right, 0, "DifferencesAction", {}, {}, kRight},
    };
    for (const auto &s : steps) {
        desktop.opened.clear();
        QApplication::clipboard()->clear();
        QMenu *menu = openContextMenu(list(s.side), s.row);
        ASSERT_NE(menu, nullptr) << s.action;
        EXPECT_EQ(menu->objectName(), "ListMenu");
        EXPECT_TRUE(clickMenuAction(menu, s.action)) << s.action;
        EXPECT_EQ(desktop.opened, s.opened) << s.action;
        EXPECT_EQ(QApplication::clipboard()->text(), s.clipboard) << s.action;
        EXPECT_EQ(shown(Side::Right), s.shownRight);
    }
    // Several rows: what makes sense for several, and the shortcuts named.
    clickRow(1, Qt::ControlModifier);
    QMenu *menu = openContextMenu(list(Side::Left), -1);
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(menuAction(menu, "OpenAction")->isEnabled());
    EXPECT_EQ(menuAction(menu, "NextDifferenceAction")->shortcut(), QKeySequence(Qt::Key_F8));
    EXPECT_EQ(menuAction(menu, "CompareAction")->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(menuAction(menu, "SyncWizardAction")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_TRUE(clickMenuAction(menu, "CopyNameAction"));
    EXPECT_EQ(QApplication::clipboard()->text(), "b.txt\nd.txt");
    key(Qt::Key_C, Qt::ControlModifier); // in a list, the paths rather than the current cell's text
    EXPECT_EQ(QApplication::clipboard()->text(), q(left + "/b.txt\n" + left + "/sub/d.txt"));
}

TEST_F(ListsTest, FindTypingAndDifferencesMoveThroughTheFocusedList)
{
    // Ctrl+F: only names containing the text, in both lists; Escape clears.
    focus(list(Side::Right));
    key(Qt::Key_F, Qt::ControlModifier);
    auto *find = child<QLineEdit>("FindText");
    EXPECT_TRUE(find->hasFocus() && child<QWidget>("FindPopup")->isVisible());
    QTest::keyClicks(find, QStringLiteral(".TX"));
    EXPECT_EQ(shown(Side::Left), kWalked);
    QTest::keyClicks(find, QStringLiteral("TT"));
    EXPECT_TRUE(shown(Side::Left).isEmpty());
    find->setText(QStringLiteral("d"));
    EXPECT_EQ(shown(Side::Left), QStringList({"sub/d.txt"}));
    EXPECT_TRUE(shown(Side::Right).isEmpty());
    QTest::keyClick(find, Qt::Key_Escape);
    EXPECT_FALSE(child<QWidget>("FindPopup")->isVisible());
    EXPECT_EQ(shown(Side::Right).size(), 5);

    // Typing selects the next name that starts with what was typed.
    QTest::keyClicks(list(Side::Right), QStringLiteral("z"));
    EXPECT_EQ(current(Side::Right), "Z.txt");
    QTest::qWait(QApplication::keyboardInputInterval() + 100);
    QTest::keyClicks(list(Side::Right), QStringLiteral("e.t"));
    EXPECT_EQ(current(Side::Right), "e.txt");

    // F8 and Shift+F8: the rows that are not "OK", round the end, in the
    // list with the focus (which makes its first row current when it has none).
    const std::tuple<Side, Qt::KeyboardModifiers, QString> steps[] = {
        {Side::Right, Qt::NoModifier, "a.txt"},   {Side::Right, Qt::NoModifier, "e.txt"},
        {Side::Right, Qt::ShiftModifier, "a.txt"}, {Side::Left, Qt::NoModifier, "sub/d.txt"},
        {Side::Left, Qt::NoModifier, "a.txt"},    {Side::Left, Qt::ShiftModifier, "sub/d.txt"},
    };
    for (const auto &[side, modifiers, expected] : steps) {
        focus(list(side));
        key(Qt::Key_F8, modifiers);
        EXPECT_EQ(selected(side), QStringList({expected}));
        EXPECT_EQ(current(side), expected);
    }
    EXPECT_TRUE(unchecked().isEmpty()); // nothing was clicked
}

TEST_F(ListsTest, TabReachesEveryCommandAndCombosChangeOnlyOnPurpose)
{
    focus(child<QComboBox>("Combo1"));
    QStringList order;
    for (int i = 0; i < 9; ++i) {
        key(Qt::Key_Tab);
        QWidget *focused = QApplication::focusWidget();
        while (focused->objectName().isEmpty())
            focused = focused->parentWidget(); // a combo's line edit
        order << focused->objectName();
    }
    // Before: the browse pictures were out of reach of the keyboard.
    EXPECT_EQ(order,
              QStringList(
                  {"Image1", "Combo2", "Image2", "ListView1", "ListView2", "Check1", "Check2", "Check7", "Combo1"}));

    // A wheel notch over a combo without the focus leaves its folder alone.
    auto *combo = child<QComboBox>("Combo1");
    window->combos().setText(Side::Left, q(trees.folder("other")));
    const auto wheel = [combo] {
        const QPointF at = combo->rect().center();
        QWheelEvent event(at, combo->mapToGlobal(at), {}, {0, 120}, Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(combo, &event);
        return combo->currentText();
    };
    focus(list(Side::Left));
    EXPECT_EQ(wheel(), q(trees.path("other")));
    focus(combo);
    EXPECT_EQ(wheel(), q(trees.path("left")));

    // Enter in a combo compares, as the button does.
    window->combos().setText(Side::Right, q(trees.path("left")));
    QTest::keyClick(child<QComboBox>("Combo2")->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(shown(Side::Right), kWalked);
    EXPECT_FALSE(child<QToolButton>("Check1")->isChecked());
}

namespace {

// The keyboard alone: a focused browse picture browses on Space or Enter,
// and Shift+F10 and the Menu key open a list's menu at its focused row.
TEST_F(ListsTest, BrowsePicturesAndListMenusWorkFromTheKeyboard)
{
    desktop.answer = q(trees.folder("picked"));
    focus(child<QWidget>("Image2"));
    key(Qt::Key_Space);
    EXPECT_EQ(window->combos().text(Side::Right), q(trees.path("picked")));

    QTreeView *view = list(Side::Right);
    // The Menu key as the platform delivers it: at the pointer, anywhere.
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
    for (const bool shiftF10 : {true, false}) {
        focus(view);
        view->setCurrentIndex(view->model()->index(3, 0));
        shiftF10 ? key(Qt::Key_F10, Qt::ShiftModifier) : (void)QApplication::sendEvent(view, &menuKey);
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr) << "before: Shift+F10 did nothing";
        const QRect row = view->visualRect(view->currentIndex());
        EXPECT_TRUE(QRect(view->viewport()->mapToGlobal(row.topLeft()), row.size()).contains(menu->pos()));
        menu->close();
    }
}

} // namespace

// What a user leaves out from the lists' menu is saved for the pair, the
// pair is compared again without it, and the headers count it.
TEST_F(ListsTest, LeavingOutFromTheMenuIsRememberedForThePairAndCounted)
{
    trees.file("left/x.tmp", "scratch");
    trees.file("left/.env", "secret");
    QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
    const std::string left = trees.path("left"), right = trees.path("right");
    const auto patterns = [&] { return PairChoices(left, right).leaveOut.patterns(); };
    const auto pick = [&](const char *name, const char *action) {
        QMenu *menu = openContextMenu(list(Side::Left), int(shown(Side::Left).indexOf(name)));
        return menu && clickMenuAction(menu, action);
    };

    ASSERT_TRUE(pick("sub/d.txt", "LeaveOutFolderAction"));
    EXPECT_EQ(patterns(), std::vector<std::string>{"/sub/"});
    QMenu *menu = openContextMenu(list(Side::Left), int(shown(Side::Left).indexOf("x.tmp")));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menuAction(menu, "LeaveOutExtensionAction")->text(), "Leave out files like *.tmp");
    ASSERT_TRUE(clickMenuAction(menu, "LeaveOutExtensionAction"));
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "b.txt", "c.txt", "Z.txt"}));
    EXPECT_TRUE(model(Side::Left)
                    ->headerData(0, Qt::Horizontal, Qt::ToolTipRole)
                    .toString()
                    .contains("Not compared: 1 hidden and 2 by patterns left out"));

    ASSERT_TRUE(pick("a.txt", "CompareHiddenAction"));
    EXPECT_EQ(shown(Side::Left), QStringList({".env", "a.txt", "b.txt", "c.txt", "Z.txt"}));

    // The editor shows the pair's patterns; emptied, everything is back.
    QString edited;
    QTimer::singleShot(0, [&] {
        auto *editor = window->findChild<QDialog *>(QLatin1String(LeaveOutActions::kEditorName));
        auto *text = editor ? editor->findChild<QPlainTextEdit *>("LeaveOutText") : nullptr;
        if (!text)
            return;
        edited = text->toPlainText();
        text->clear();
        editor->accept();
    });
    ASSERT_TRUE(pick("a.txt", "LeaveOutPatternsAction"));
    EXPECT_EQ(edited, "/sub/\n*.tmp");
    EXPECT_TRUE(patterns().empty());
    EXPECT_EQ(shown(Side::Left), QStringList({".env", "a.txt", "b.txt", "c.txt", "x.tmp", "Z.txt", "sub/d.txt"}));
}
