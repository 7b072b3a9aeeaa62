#include "folders/addfolder.h"

#include "combostest.h"

namespace {

class BrowseTest : public CombosTest
{
};

TEST_F(BrowseTest, BrowsedFolderIsRecorded)
{
    start();
    desktop.answer = folder("Picked");
    combos->setText(Side::Right, BrowseForFolder(&window, QString::fromLatin1(kBrowsePrompt)));
    EXPECT_EQ(desktop.prompts, QStringList{"Please select folder to add:"});
    EXPECT_EQ(right->currentText(), desktop.answer);
    EXPECT_EQ(stored("RightCombo"), desktop.answer + ",");
}

TEST_F(BrowseTest, CancelledBrowseEmptiesTheCombo)
{
    const QString data = folder("Data");
    start().setText(Side::Left, data);
    desktop.answer = QString();
    combos->setText(Side::Left, BrowseForFolder(&window, QString::fromLatin1(kBrowsePrompt)));
    EXPECT_EQ(left->currentText(), QString());
    EXPECT_EQ(stored("LeftCombo"), data + ",");
    EXPECT_EQ(stored("LeftComboIndex"), "0");
}

} // namespace
