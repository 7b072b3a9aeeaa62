#include "main_window/pictures.h"
#include "main_window/resultlistmodel.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QPixmap>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

ResultRow &add(ResultRows &rows, const std::string &name, std::int64_t size, Status status = Status::None,
               std::uint8_t icon = NoIcon)
{
    ResultRow &r = rows.add(name);
    r.size = size;
    r.modified = 1577880000; // 1 January 2020, around noon
    r.status = status;
    r.icon = icon;
    return r;
}

} // namespace

TEST(ResultListModel, ShowsRowsAsTheListDoes)
{
    ResultListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);

    EXPECT_EQ(model.columnCount(), 4);
    const QStringList headers = {"Filename", "Status", "Size", "Last Modified"};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(model.headerData(c, Qt::Horizontal).toString(), headers[c]);
    // The legend explains the other statuses; the header says what "OK" is,
    // before and after a comparison. Before: nothing said it.
    const QString okMeaning =
        "\"OK\": the file and its match have the same size, whatever their times (their "
        "contents are not compared).";
    EXPECT_EQ(model.headerData(1, Qt::Horizontal, Qt::ToolTipRole).toString(), okMeaning);

    ResultRows rows;
    add(rows, "sub/a.txt", 1234, Status::Newer, NewerIcon);
    add(rows, "b.txt", -1, Status::NotFound, NotFoundIcon).modified = platform::kNoTime;
    add(rows, "c.txt", 0, Status::OK);
    add(rows, "caf\xE9.txt", 7); // not valid UTF-8
    model.setRows(std::move(rows));

    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal, Qt::ToolTipRole).toString(),
              "Newer 1, Older 0, Not found 1, OK 1, No status 1\n" + okMeaning);
    EXPECT_EQ(model.index(0, 0).data().toString(), "sub/a.txt");
    EXPECT_EQ(model.index(0, 1).data().toString(), "Newer");
    EXPECT_EQ(model.index(0, 2).data().toString(), "1234 bytes");
    EXPECT_FALSE(model.index(0, 3).data().toString().isEmpty());
    EXPECT_EQ(model.index(1, 1).data().toString(), "Not found");
    EXPECT_EQ(model.index(1, 2).data().toString(), "");
    EXPECT_EQ(model.index(1, 3).data().toString(), "");
    EXPECT_EQ(model.index(2, 1).data().toString(), "OK");
    EXPECT_EQ(model.index(2, 2).data().toString(), "0 bytes");
    EXPECT_EQ(model.index(3, 0).data().toString(), QFile::decodeName("caf\xE9.txt"));
    // The row keeps its bytes; only the display is decoded.
    EXPECT_EQ(model.rows()[3].name(), "caf\xE9.txt");

    // Icons come from the status picture list, in the name column only.
    EXPECT_EQ(model.index(0, 0).data(Qt::DecorationRole).value<QPixmap>().cacheKey(),
              StatusPicture(NewerIcon).cacheKey());
    EXPECT_EQ(model.index(1, 0).data(Qt::DecorationRole).value<QPixmap>().cacheKey(),
              StatusPicture(NotFoundIcon).cacheKey());
    // A row without a status keeps the icon's space: before, its name stood
    // further left than the names of rows with an icon.
    EXPECT_EQ(model.index(2, 0).data(Qt::DecorationRole).value<QPixmap>().cacheKey(),
              StatusPicture(NoIcon).cacheKey());
    EXPECT_EQ(StatusPicture(NoIcon).size(), StatusPicture(NewerIcon).size());
    EXPECT_FALSE(model.index(0, 1).data(Qt::DecorationRole).isValid());
}

TEST(ResultListModel, CheckBoxesWriteThroughToTheRows)
{
    ResultListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ResultRows rows;
    add(rows, "a", 1);
    add(rows, "b", 2);
    model.setRows(std::move(rows));

    EXPECT_TRUE(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(model.flags(model.index(0, 1)) & Qt::ItemIsUserCheckable);
    EXPECT_EQ(model.index(0, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    EXPECT_TRUE(model.setData(model.index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_FALSE(model.rows()[1].checked);
    EXPECT_TRUE(model.rows()[0].checked);
    EXPECT_EQ(model.index(1, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    EXPECT_EQ(changed.count(), 1);
    // Only the check box of the name column is writable.
    EXPECT_FALSE(model.setData(model.index(1, 1), Qt::Checked, Qt::CheckStateRole));
    EXPECT_FALSE(model.setData(model.index(1, 0), QStringLiteral("x"), Qt::EditRole));
}

TEST(ResultListModel, ReplacingTheRowsIsOneReset)
{
    ResultListModel model;
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserts(&model, &QAbstractItemModel::rowsInserted);
    ResultRows rows;
    for (int i = 0; i < 200000; ++i)
        add(rows, "x", 1);
    model.setRows(std::move(rows));
    EXPECT_EQ(model.rowCount(), 200000);
    model.clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(resets.count(), 2);
    EXPECT_EQ(inserts.count(), 0);
}
