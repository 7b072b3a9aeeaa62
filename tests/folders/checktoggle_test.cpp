#include "folders/checktoggle.h"

#include <QStandardItemModel>
#include <QTest>
#include <QTreeView>

#include <gtest/gtest.h>

namespace {

// A small list shaped like the left result list: checkable names in column
// 0, a status beside them, whole rows selected. Clicks land on the status
// column, away from the check box, and reach the toggle the way the main
// window connects it.
class CheckToggleTest : public ::testing::Test
{
protected:
    CheckToggleTest()
    {
        fill({"a.txt", "b.txt", "sub/report.txt", "report.txt", "Report.txt"});
        view.setModel(&model);
        view.setRootIsDecorated(false);
        view.setUniformRowHeights(true);
        view.setSelectionBehavior(QAbstractItemView::SelectRows);
        view.setSelectionMode(QAbstractItemView::ExtendedSelection);
        QObject::connect(&view, &QAbstractItemView::clicked, &view, [this] { toggle.click(&view); });
        view.resize(400, 300);
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }

    // Rows come out of a scan checked.
    void fill(const QStringList &names)
    {
        model.clear();
        for (const QString &name : names) {
            auto *item = new QStandardItem(name); // owned by the model
            item->setCheckable(true);
            item->setCheckState(Qt::Checked);
            model.appendRow({item, new QStandardItem(QStringLiteral("OK"))});
        }
    }

    int row(const QString &name) const { return model.findItems(name).at(0)->row(); }

    void clickRow(const QString &name, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        const QRect cell = view.visualRect(model.index(row(name), 1));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, modifiers, cell.center());
    }

    bool checked(const QString &name) const
    {
        return model.item(row(name))->checkState() == Qt::Checked;
    }

    QStandardItemModel model;
    QTreeView view;
    CheckToggle toggle;
};

TEST_F(CheckToggleTest, FirstClickInvertsOnlyThatRow)
{
    clickRow("b.txt");
    EXPECT_FALSE(checked("b.txt"));
    EXPECT_TRUE(checked("a.txt"));
    EXPECT_EQ(toggle.LastClickedText, "b.txt");
}

TEST_F(CheckToggleTest, SecondClickOnTheSameRowDoesNothing)
{
    clickRow("a.txt");
    clickRow("a.txt");
    EXPECT_FALSE(checked("a.txt"));
}

TEST_F(CheckToggleTest, ReturningToARowInvertsItAgain)
{
    clickRow("a.txt");
    clickRow("b.txt");
    clickRow("a.txt");
    EXPECT_TRUE(checked("a.txt"));
    EXPECT_FALSE(checked("b.txt"));
}

TEST_F(CheckToggleTest, RowWhoseTextIsPartOfTheLastIsIgnoredCaseSensitively)
{
    clickRow("sub/report.txt");
    clickRow("report.txt");
    EXPECT_TRUE(checked("report.txt"));
    EXPECT_EQ(toggle.LastClickedText, "sub/report.txt");

    clickRow("Report.txt");
    EXPECT_FALSE(checked("Report.txt"));
    EXPECT_FALSE(checked("sub/report.txt"));
}

TEST_F(CheckToggleTest, EverySelectedRowFollowsItsOwnMark)
{
    model.item(row("b.txt"))->setCheckState(Qt::Unchecked);
    const QItemSelectionModel::SelectionFlags rows = QItemSelectionModel::Select | QItemSelectionModel::Rows;
    view.selectionModel()->select(model.index(row("a.txt"), 0), rows);
    view.selectionModel()->select(model.index(row("b.txt"), 0), rows);
    view.selectionModel()->select(model.index(row("report.txt"), 0), rows);
    view.selectionModel()->setCurrentIndex(model.index(row("b.txt"), 0), QItemSelectionModel::NoUpdate);

    toggle.click(&view);
    EXPECT_EQ(toggle.LastClickedText, "b.txt") << "the current row is the clicked one";
    EXPECT_FALSE(checked("a.txt"));
    EXPECT_TRUE(checked("b.txt"));
    EXPECT_FALSE(checked("report.txt"));
    EXPECT_TRUE(checked("sub/report.txt"));
}

TEST_F(CheckToggleTest, NoSelectedRowChangesNothing)
{
    clickRow("a.txt");
    view.selectionModel()->clearSelection();
    toggle.click(&view);
    EXPECT_EQ(toggle.LastClickedText, "a.txt");

    fill({});
    toggle.click(&view);
    EXPECT_EQ(toggle.LastClickedText, "a.txt");
}

TEST_F(CheckToggleTest, LastClickedTextOutlivesARefill)
{
    clickRow("a.txt");
    fill({"a.txt", "b.txt"});
    clickRow("a.txt");
    EXPECT_TRUE(checked("a.txt"));
}

} // namespace
