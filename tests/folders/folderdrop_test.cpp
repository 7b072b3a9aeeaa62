#include "folders/folderdrop.h"

#include "combostest.h"

#include <QMimeData>
#include <QUrl>

namespace {

class DropTest : public CombosTest
{
protected:
    void drop(Side side, const QList<QUrl> &urls)
    {
        QMimeData data;
        data.setUrls(urls);
        DropFolders(*combos, side, &data, &window);
    }
    QUrl url(const QString &path) { return QUrl::fromLocalFile(path); }
    const Message virtualFolderError{QString::fromLatin1(kVirtualFolderMessage), QStringLiteral("Error")};
};

TEST_F(DropTest, DroppedFolderBecomesTheComboText)
{
    start();
    const QString data = folder("Data");
    drop(Side::Left, {url(data)});
    EXPECT_EQ(left->currentText(), data);
    EXPECT_EQ(stored("LeftCombo"), data + ",");
    EXPECT_TRUE(desktop.messages.isEmpty());
}

TEST_F(DropTest, DroppedFileStandsForTheFolderThatHoldsIt)
{
    start();
    dir.file("sub/inner/report.txt", "x");
    drop(Side::Left, {url(path("sub/inner/report.txt"))});
    EXPECT_EQ(left->currentText(), path("sub/inner"));
    EXPECT_EQ(stored("LeftCombo"), path("sub/inner") + ",");
}

TEST_F(DropTest, SeveralFoldersAreRecordedInDropOrder)
{
    const QString kept = folder("Left");
    store("LeftCombo", kept + ",");
    store("LeftComboIndex", "0");
    start();
    const QString a = folder("c"), b = folder("a"), c = folder("b");
    drop(Side::Right, {url(a), url(b), url(c)});
    EXPECT_EQ(stored("RightCombo"), a + "," + b + "," + c + ",");
    EXPECT_EQ(items(right), (QStringList{a, b, c}));
    EXPECT_EQ(right->currentText(), c);
    EXPECT_EQ(left->currentText(), kept);
}

TEST_F(DropTest, NothingLocalShowsTheVirtualFolderMessage)
{
    const QString data = folder("Data");
    start().setText(Side::Left, data);

    drop(Side::Left, {QUrl(QStringLiteral("https://example.com/share/folder"))});
    QMimeData textOnly;
    textOnly.setText(path("elsewhere"));
    DropFolders(*combos, Side::Left, &textOnly, &window);
    drop(Side::Left, {});

    EXPECT_EQ(desktop.messages, (QList<Message>(3, virtualFolderError)));
    EXPECT_EQ(left->currentText(), data);
    EXPECT_EQ(stored("LeftCombo"), data + ",");
}

TEST_F(DropTest, PathsBeforeAFailingUrlKeepTheirEffect)
{
    start();
    const QString first = folder("first");
    drop(Side::Left, {url(first), QUrl(QStringLiteral("trash:/0-deleted")), url(folder("never"))});
    EXPECT_EQ(desktop.messages, (QList<Message>{virtualFolderError}));
    EXPECT_EQ(left->currentText(), first);
    EXPECT_EQ(stored("LeftCombo"), first + ",");
}

TEST_F(DropTest, FolderOfDroppedPath)
{
    dir.file("f.txt");
    EXPECT_EQ(FolderOfDroppedPath(folder("dir") + "/"), folder("dir") + "/") << "a folder is kept as it is";
    EXPECT_EQ(FolderOfDroppedPath(path("f.txt")), path(""));
    EXPECT_EQ(FolderOfDroppedPath(path("gone/x.txt")), path("gone"));
    // The text before the last separator would be empty for a file in the root.
    EXPECT_EQ(FolderOfDroppedPath(QStringLiteral("/no-such-file.corvanel")), QStringLiteral("/"));
    EXPECT_EQ(FolderOfDroppedPath(QStringLiteral("no-separator.txt")), QString());
}

} // namespace
