// Working in the result lists through the window: sorting, filtering,
// finding, the context menu, the check marks on what is shown, the counts,
// and the keys that drive the window.

#include "windowtest.h"

#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/resultlistmodel.h"

#include "support/menus.h"
#include "support/qtprint.h"

#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QTreeView>
#include <QWheelEvent>

namespace {

QString q(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

class ListsTest : public WindowTest
{
protected:
    ListsTest() { Global::PendingOperations.reset(); }
    ~ListsTest() override { Global::PendingOperations.reset(); }

    // Left in walk order: a.txt (newer), b.txt, c.txt, Z.txt, sub/d.txt (no
    // match); right: a.txt (older), b.txt, c.txt, e.txt (no match), Z.txt.
    void SetUp() override
    {
        left = trees.folder("left");
        right = trees.folder("right");
        trees.file("left/a.txt", "newer and longer", TestDir::time(2022, 1, 1));
        trees.file("right/a.txt", "old", TestDir::time(2021, 1, 1));
        for (const char *name : {"b.txt", "c.txt", "Z.txt"}) {
            trees.file(std::string("left/") + name, name);
            trees.file(std::string("right/") + name, name);
        }
        trees.file("left/sub/d.txt", "only left");
        trees.file("right/e.txt", "only right");
        createShown();
        QApplication::setActiveWindow(window.get());
        window->combos().setText(Side::Left, q(left));
        window->combos().setText(Side::Right, q(right));
        QTest::mouseClick(child<QToolButton>("Check1"), Qt::LeftButton);
        ASSERT_EQ(shown(Side::Left), QStringList({"a.txt", "b.txt", "c.txt", "Z.txt", "sub/d.txt"}));
    }

    QTreeView *list(Side side) const { return child<QTreeView>(side == Side::Left ? "ListView1" : "ListView2"); }
    ResultListModel *model(Side side) const { return window->resultList(side); }

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
    // The names whose mark is off, whether shown or not.
    QStringList unchecked() const
    {
        QStringList names;
        for (const ResultRow &row : model(Side::Left)->rows())
            if (!row.checked)
                names << q(row.name);
        return names;
    }
    void clickRow(Side side, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        const QRect cell = list(side)->visualRect(model(side)->index(row, 1));
        QTest::mouseClick(list(side)->viewport(), Qt::LeftButton, modifiers, cell.center());
    }
    void clickHeader(Side side, int section)
    {
        QHeaderView *header = list(side)->header();
        const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }
    void key(int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : window.get(), Qt::Key(k), modifiers);
    }
    void focus(QWidget *widget)
    {
        widget->setFocus(Qt::OtherFocusReason);
        ASSERT_TRUE(QTest::qWaitFor([&] { return widget->hasFocus(); }, 2000));
    }

    TestDir trees;
    std::string left, right;
};

} // namespace

TEST_F(ListsTest, HeaderClicksSortAndReverseUntilTheNextCompare)
{
    QHeaderView *header = list(Side::Left)->header();
    EXPECT_EQ(header->sortIndicatorSection(), -1);
    const int nameWidth = header->sectionSize(0);
    clickHeader(Side::Left, ResultListModel::StatusColumn);
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "sub/d.txt", "b.txt", "c.txt", "Z.txt"}));
    EXPECT_EQ(header->sortIndicatorSection(), ResultListModel::StatusColumn);
    EXPECT_TRUE(header->isSortIndicatorShown());
    clickHeader(Side::Left, ResultListModel::StatusColumn);
    EXPECT_EQ(shown(Side::Left), QStringList({"Z.txt", "c.txt", "b.txt", "sub/d.txt", "a.txt"}));
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    clickHeader(Side::Left, ResultListModel::FilenameColumn);
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "b.txt", "c.txt", "sub/d.txt", "Z.txt"}));
    // The columns keep the widths start-up gave them; each list sorts on its own.
    EXPECT_EQ(header->sectionSize(0), nameWidth);
    EXPECT_EQ(shown(Side::Right), QStringList({"a.txt", "b.txt", "c.txt", "e.txt", "Z.txt"}));

    key(Qt::Key_F5);
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "b.txt", "c.txt", "Z.txt", "sub/d.txt"}));
    EXPECT_EQ(header->sortIndicatorSection(), -1);
}

TEST_F(ListsTest, ClicksInvertTheMarksOfExactlyTheRowsSelectedOnSortedAndFilteredLists)
{
    clickHeader(Side::Left, ResultListModel::StatusColumn); // a, sub/d, b, c, Z
    focus(list(Side::Left));
    key(Qt::Key_D, Qt::ControlModifier); // a, sub/d
    ASSERT_EQ(shown(Side::Left), QStringList({"a.txt", "sub/d.txt"}));
    clickRow(Side::Left, 1);
    EXPECT_EQ(unchecked(), QStringList({"sub/d.txt"}));
    // A right click selects, and inverts nothing.
    QMenu *menu = openContextMenu(list(Side::Left), 0);
    ASSERT_NE(menu, nullptr);
    menu->close();
    EXPECT_EQ(unchecked(), QStringList({"sub/d.txt"}));

    key(Qt::Key_D, Qt::ControlModifier); // all rows, still by status; the selection stays
    ASSERT_EQ(shown(Side::Left), QStringList({"a.txt", "sub/d.txt", "b.txt", "c.txt", "Z.txt"}));
    EXPECT_EQ(selected(Side::Left), QStringList({"a.txt"}));
    clickRow(Side::Left, 2);                       // b
    clickRow(Side::Left, 4, Qt::ShiftModifier);    // b, c, Z: each flips once
    EXPECT_EQ(unchecked(), QStringList({"c.txt", "Z.txt", "sub/d.txt"}));
    // Reversed, the same rows stay selected, wherever they went.
    clickHeader(Side::Left, ResultListModel::StatusColumn); // Z, c, b, sub/d, a
    EXPECT_EQ(selected(Side::Left), QStringList({"Z.txt", "b.txt", "c.txt"}));
    clickRow(Side::Left, 0, Qt::ControlModifier); // Z leaves the selection: c and b flip
    EXPECT_EQ(unchecked(), QStringList({"b.txt", "Z.txt", "sub/d.txt"}));
}

TEST_F(ListsTest, ContextMenuOpensCopiesAndFilters)
{
    const struct
    {
        int row; // -1: keep the selection
        const char *action;
        std::vector<std::string> opened;
        QString clipboard;
    } steps[] = {
        {2, "OpenAction", {left + "/c.txt"}, {}},
        {4, "OpenFolderAction", {left + "/sub"}, {}},
        {4, "CopyPathAction", {}, q(left + "/sub/d.txt")},
        {4, "CopyNameAction", {}, QStringLiteral("d.txt")},
    };
    for (const auto &s : steps) {
        desktop.opened.clear();
        QApplication::clipboard()->clear();
        QMenu *menu = openContextMenu(list(Side::Left), s.row);
        ASSERT_NE(menu, nullptr) << s.action;
        EXPECT_EQ(menu->objectName(), "ListMenu");
        EXPECT_TRUE(clickMenuAction(menu, s.action)) << s.action;
        EXPECT_EQ(desktop.opened, s.opened) << s.action;
        EXPECT_EQ(QApplication::clipboard()->text(), s.clipboard) << s.action;
    }

    // Several rows: what makes sense for several, and the shortcuts named.
    clickRow(Side::Left, 1, Qt::ControlModifier);
    QMenu *menu = openContextMenu(list(Side::Left), -1);
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(menuAction(menu, "OpenAction")->isEnabled());
    EXPECT_FALSE(menuAction(menu, "OpenFolderAction")->isEnabled());
    EXPECT_EQ(menuAction(menu, "NextDifferenceAction")->shortcut(), QKeySequence(Qt::Key_F8));
    EXPECT_EQ(menuAction(menu, "CompareAction")->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(menuAction(menu, "SyncWizardAction")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_TRUE(clickMenuAction(menu, "CopyNameAction"));
    EXPECT_EQ(QApplication::clipboard()->text(), "b.txt\nd.txt");

    // Both lists at once, rows with "OK" hidden, and back.
    menu = openContextMenu(list(Side::Right), 0);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menuAction(menu, "DifferencesAction")->text(), "Show differences only");
    EXPECT_TRUE(clickMenuAction(menu, "DifferencesAction"));
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "sub/d.txt"}));
    EXPECT_EQ(shown(Side::Right), QStringList({"a.txt", "e.txt"}));
    menu = openContextMenu(list(Side::Left), 0);
    EXPECT_EQ(menuAction(menu, "DifferencesAction")->text(), "Show all rows");
    EXPECT_TRUE(clickMenuAction(menu, "DifferencesAction"));
    EXPECT_EQ(shown(Side::Right).size(), 5);
}

TEST_F(ListsTest, FindTypingAndDifferencesMoveThroughTheFocusedList)
{
    // Ctrl+F: only names containing the text, in both lists; Escape clears.
    focus(list(Side::Right));
    key(Qt::Key_F, Qt::ControlModifier);
    auto *find = child<QLineEdit>("FindText");
    EXPECT_TRUE(child<QWidget>("FindPopup")->isVisible());
    EXPECT_TRUE(find->hasFocus());
    QTest::keyClicks(find, QStringLiteral(".TX"));
    EXPECT_EQ(shown(Side::Left), QStringList({"a.txt", "b.txt", "c.txt", "Z.txt", "sub/d.txt"}));
    QTest::keyClicks(find, QStringLiteral("TT"));
    EXPECT_TRUE(shown(Side::Left).isEmpty());
    find->setText(QStringLiteral("d"));
    EXPECT_EQ(shown(Side::Left), QStringList({"sub/d.txt"}));
    EXPECT_TRUE(shown(Side::Right).isEmpty());
    QTest::keyClick(find, Qt::Key_Escape);
    EXPECT_FALSE(child<QWidget>("FindPopup")->isVisible());
    EXPECT_EQ(shown(Side::Right).size(), 5);
    EXPECT_TRUE(list(Side::Right)->hasFocus());

    // Typing selects the next name that starts with what was typed.
    const auto current = [this](Side side) { return list(side)->currentIndex().data().toString(); };
    QTest::keyClicks(list(Side::Right), QStringLiteral("z"));
    EXPECT_EQ(current(Side::Right), "Z.txt");
    QTest::qWait(QApplication::keyboardInputInterval() + 100);
    QTest::keyClicks(list(Side::Right), QStringLiteral("e.t"));
    EXPECT_EQ(current(Side::Right), "e.txt");

    // F8 and Shift+F8: the rows that are not "OK", round the end, in the
    // list with the focus (which makes its first row current when it has none).
    const struct
    {
        Side side;
        Qt::KeyboardModifiers modifiers;
        const char *expected;
    } steps[] = {
        {Side::Right, Qt::NoModifier, "a.txt"},     {Side::Right, Qt::NoModifier, "e.txt"},
        {Side::Right, Qt::ShiftModifier, "a.txt"},  {Side::Left, Qt::NoModifier, "sub/d.txt"},
        {Side::Left, Qt::NoModifier, "a.txt"},      {Side::Left, Qt::ShiftModifier, "sub/d.txt"},
    };
    for (const auto &s : steps) {
        focus(list(s.side));
        key(Qt::Key_F8, s.modifiers);
        EXPECT_EQ(current(s.side), QString::fromUtf8(s.expected));
        EXPECT_EQ(selected(s.side), QStringList({s.expected}));
    }
    // Nothing was clicked: no mark changed.
    EXPECT_TRUE(unchecked().isEmpty());
}

TEST_F(ListsTest, LegendAndHeadersCountTheLastComparison)
{
    const QString expected = "Left: Newer 1, Older 0, Not found 1, OK 3\nRight: Newer 0, Older 1, Not found 1, OK 3";
    for (const char *name : {"Label1", "Label2", "Label3", "Image3", "Image4", "Image5"})
        EXPECT_EQ(child<QWidget>(name)->toolTip(), expected) << name;
    EXPECT_EQ(model(Side::Right)->headerData(2, Qt::Horizontal, Qt::ToolTipRole).toString(),
              "Newer 0, Older 1, Not found 1, OK 3");
    // A filter shows fewer rows; the counts stay those of the comparison.
    focus(list(Side::Left));
    key(Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(child<QWidget>("Label1")->toolTip(), expected);
    // The wizard counts every row, shown or not: no "Nothing to synchronize".
    key(Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(desktop.messages.isEmpty());
}

TEST_F(ListsTest, KeysDriveTheWindowAndCombosChangeOnlyOnPurpose)
{
    // Tab reaches the folders, both lists and every command, in reading order.
    focus(child<QComboBox>("Combo1"));
    QStringList order;
    for (int i = 0; i < 7; ++i) {
        key(Qt::Key_Tab);
        QWidget *focused = QApplication::focusWidget();
        while (focused && focused->objectName().isEmpty())
            focused = focused->parentWidget(); // a combo's line edit
        order << (focused ? focused->objectName() : QString());
    }
    EXPECT_EQ(order, QStringList({"Combo2", "ListView1", "ListView2", "Check1", "Check2", "Check7", "Combo1"}));

    // A wheel notch over a combo without the focus leaves its folder alone.
    auto *combo = child<QComboBox>("Combo1");
    window->combos().setText(Side::Left, q(trees.folder("other")));
    ASSERT_EQ(combo->count(), 2);
    focus(list(Side::Left));
    const int before = combo->currentIndex();
    auto wheel = [&] {
        const QPointF at = combo->rect().center();
        QWheelEvent event(at, combo->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(combo, &event);
    };
    wheel();
    EXPECT_EQ(combo->currentIndex(), before);
    focus(combo);
    wheel();
    EXPECT_NE(combo->currentIndex(), before);

    // Enter in a combo compares, as the button does.
    combo->setEditText(q(right));
    focus(child<QComboBox>("Combo2"));
    window->combos().setText(Side::Right, q(left));
    QTest::keyClick(child<QComboBox>("Combo2")->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(shown(Side::Right), QStringList({"a.txt", "b.txt", "c.txt", "Z.txt", "sub/d.txt"}));
    EXPECT_FALSE(child<QToolButton>("Check1")->isChecked());
}
