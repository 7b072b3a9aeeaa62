// The wizard's operation list beyond its design: sorting, what OK will do,
// and its context menu.

#include "wizard/form3.h"
#include "wizard/operationmodel.h"
#include "wizard/syncwizard.h"

#include "compare/comparefolders.h"
#include "compare/global.h"

#include "support/menus.h"
#include "support/qtprint.h"
#include "support/recordingdesktop.h"
#include "support/testdir.h"

#include <QClipboard>
#include <QFile>
#include <QHeaderView>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

namespace {

QString q(const std::string &s)
{
    return QFile::decodeName(QByteArray::fromStdString(s));
}

class OperationListTest : public ::testing::Test
{
protected:
    // Slot 0: left a.txt overwrites right's; slot 1: right b.txt overwrites
    // left's; slot 2: left sub/c.txt is copied to the right.
    void SetUp() override
    {
        Global::PendingOperations.reset();
        left.file("a.txt", "newer and longer", TestDir::time(2022, 1, 1));
        right.file("a.txt", "old", TestDir::time(2021, 1, 1));
        right.file("b.txt", "right is newer", TestDir::time(2022, 1, 1));
        left.file("b.txt", "old", TestDir::time(2021, 1, 1));
        left.file("sub/c.txt", "only left");
        Comparison comparison;
        CompareFolders(left.root(), right.root(), {}, comparison, Global::PendingOperations);
        ASSERT_EQ(Global::PendingOperations.count(), 3);

        mainWindow.setGeometry(10, 40, 780, 540);
        mainWindow.show();
        WizardContext context;
        context.mainWindow = &mainWindow;
        OpenSyncWizard(context);
        for (QWidget *w : QApplication::topLevelWidgets())
            wizard = wizard ? wizard : qobject_cast<Form3 *>(w);
        ASSERT_NE(wizard, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(wizard));
        list = wizard->findChild<QTreeView *>(QStringLiteral("ListView1"));
    }
    void TearDown() override
    {
        delete wizard;
        Global::PendingOperations.reset();
    }

    std::vector<int> slotOrder() const
    {
        std::vector<int> result;
        auto *model = static_cast<OperationModel *>(list->model());
        for (int r = 0; r < model->rowCount(); ++r)
            result.push_back(model->row(r).slot);
        return result;
    }
    void clickHeader(int section)
    {
        QHeaderView *header = list->header();
        const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    }
    const PendingOperation &operation(int slot) const { return Global::PendingOperations[slot]; }

    RecordingDesktop desktop;
    TestDir left, right;
    QWidget mainWindow;
    Form3 *wizard = nullptr;
    QTreeView *list = nullptr;
};

} // namespace

TEST_F(OperationListTest, HeaderClicksSortAndTheSelectedOperationStays)
{
    EXPECT_EQ(slotOrder(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(list->header()->sortIndicatorSection(), -1);
    list->setCurrentIndex(list->model()->index(2, 0)); // the copy: Run Dstn blocked
    ASSERT_EQ(wizard->findChild<QToolButton *>(QStringLiteral("Check5"))->palette().color(QPalette::ButtonText),
              Form3::kBlocked);

    clickHeader(1); // "copied to" before "overwrites", slot order within
    EXPECT_EQ(slotOrder(), (std::vector<int>{2, 0, 1}));
    clickHeader(1);
    EXPECT_EQ(slotOrder(), (std::vector<int>{1, 0, 2}));
    EXPECT_EQ(list->currentIndex().row(), 2);
    EXPECT_EQ(list->selectionModel()->selectedRows().value(0).row(), 2);
    // The colours still belong to the row that is selected.
    EXPECT_EQ(wizard->findChild<QToolButton *>(QStringLiteral("Check5"))->palette().color(QPalette::ButtonText),
              Form3::kBlocked);
}

TEST_F(OperationListTest, OkAndTheHeaderSayWhatOkDoes)
{
    // 16 + 14 + 9 bytes, the sources' sizes when compared.
    const QString expected = QStringLiteral("OK copies 1 file and replaces 2: 39 bytes");
    EXPECT_EQ(wizard->findChild<QToolButton *>(QStringLiteral("Check2"))->toolTip(), expected);
    for (int section = 0; section < 3; ++section)
        EXPECT_EQ(list->model()->headerData(section, Qt::Horizontal, Qt::ToolTipRole).toString(), expected);
    // The other buttons keep what they had: none.
    EXPECT_TRUE(wizard->findChild<QToolButton *>(QStringLiteral("Check1"))->toolTip().isEmpty());
}

TEST_F(OperationListTest, ContextMenuOpensEitherSideOrCopiesBothPaths)
{
    const struct
    {
        int row;
        const char *action;
        std::string opened; // empty: nothing opened
        QString clipboard;
    } steps[] = {
        {1, "OpenSourceAction", operation(1).source, {}},
        {0, "OpenDestinationAction", operation(0).destination, {}},
        // A copy's destination is the folder it goes to.
        {2, "OpenDestinationAction", operation(2).destination, {}},
        {2, "CopyPathsAction", {}, q(operation(2).source) + "\n" + q(operation(2).destination)},
    };
    for (const auto &s : steps) {
        desktop.opened.clear();
        QApplication::clipboard()->clear();
        QMenu *menu = openContextMenu(list, s.row);
        ASSERT_NE(menu, nullptr) << s.action;
        EXPECT_EQ(menu->objectName(), "OperationMenu");
        EXPECT_TRUE(clickMenuAction(menu, s.action)) << s.action;
        EXPECT_EQ(desktop.opened, s.opened.empty() ? std::vector<std::string>{} : std::vector<std::string>{s.opened});
        EXPECT_EQ(QApplication::clipboard()->text(), s.clipboard) << s.action;
    }
    // A source deleted since Compare cannot be opened.
    std::remove(operation(1).source.c_str());
    QMenu *menu = openContextMenu(list, 1);
    ASSERT_NE(menu, nullptr);
    EXPECT_FALSE(clickMenuAction(menu, "OpenSourceAction"));
}
