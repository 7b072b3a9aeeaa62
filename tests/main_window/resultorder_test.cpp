// Orders, filters and searches of a result list over its rows.

#include "compare/folderscan.h"
#include "main_window/resultlistmodel.h"
#include "main_window/resultorder.h"

#include <QAbstractItemModelTester>
#include <QLocale>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

ResultRow row(std::string name, Status status = Status::OK, std::int64_t size = 1, std::int64_t modified = 100,
              std::uint32_t nanos = 0)
{
    ResultRow r;
    r.name = std::move(name);
    r.status = status;
    r.size = size;
    r.modified = modified;
    r.modifiedNanos = nanos;
    return r;
}

// Rows as a scan gives them: in walk order.
std::vector<ResultRow> walked(std::vector<ResultRow> rows)
{
    std::sort(rows.begin(), rows.end(), [](const ResultRow &a, const ResultRow &b) { return WalkBefore(a.name, b.name); });
    return rows;
}

std::vector<std::string> names(const std::vector<ResultRow> &rows, const std::vector<std::uint32_t> &order)
{
    std::vector<std::string> result;
    for (const std::uint32_t n : order)
        result.push_back(rows[n].name);
    return result;
}

std::vector<std::string> shown(const ResultListModel &model)
{
    std::vector<std::string> result;
    for (int r = 0; r < model.rowCount(); ++r)
        result.push_back(model.shownRow(r).name);
    return result;
}

} // namespace

TEST(ResultOrder, EachColumnSortsByWhatItShows)
{
    const std::vector<ResultRow> rows = walked({
        row("b.txt", Status::OK, 10, 300), row("a-b.txt", Status::Newer, 2, 100, 5), row("a.txt", Status::OK, -1, 100, 7),
        row("B.TXT", Status::NotFound, 10, platform::kNoTime), row("a/z.txt", Status::Older, 100, 200),
        row("A/y.txt", Status::None, 9, 100, 5), row("a/b/c.txt", Status::OK, 0, 50),
    });
    ASSERT_EQ(names(rows, AscendingRows(rows, -1)),
              (std::vector<std::string>{"a-b.txt", "a.txt", "B.TXT", "b.txt", "A/y.txt", "a/z.txt", "a/b/c.txt"}));
    const struct
    {
        int column;
        std::vector<std::string> expected;
    } cases[] = {
        // The separator before any other character, so folder a before a-b
        // and a.txt; the folders A and a each stay whole; names equal but
        // for case go by their exact bytes.
        {ResultListModel::FilenameColumn, {"A/y.txt", "a/b/c.txt", "a/z.txt", "a-b.txt", "a.txt", "B.TXT", "b.txt"}},
        // No status, Newer, Older, Not found, OK; ties in walk order.
        {ResultListModel::StatusColumn, {"A/y.txt", "a-b.txt", "a/z.txt", "B.TXT", "a.txt", "b.txt", "a/b/c.txt"}},
        // By number (2 before 10 before 100), an unreadable size first.
        {ResultListModel::SizeColumn, {"a.txt", "a/b/c.txt", "a-b.txt", "A/y.txt", "B.TXT", "b.txt", "a/z.txt"}},
        // By instant to the nanosecond, an unreadable time first.
        {ResultListModel::ModifiedColumn, {"B.TXT", "a/b/c.txt", "a-b.txt", "A/y.txt", "a.txt", "a/z.txt", "b.txt"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(names(rows, AscendingRows(rows, c.column)), c.expected) << c.column;
}

// Sorting by name merges the walk order; rows in any other order take a
// general sort. Both must agree with PathBefore on any tree.
TEST(ResultOrder, NameOrderAgreesWithPathBeforeOnRandomTrees)
{
    std::mt19937 random(19);
    const std::vector<std::string> parts = {"a", "A", "b", "a-b", "a.b", "ab", "B", "a b", "\xC3\xA4", "_"};
    for (int tree = 0; tree < 200; ++tree) {
        std::vector<ResultRow> rows;
        std::vector<std::string> seen;
        for (int i = 0; i < 30; ++i) {
            std::string name;
            for (int depth = int(random() % 4); depth >= 0; --depth)
                name += parts[random() % parts.size()] + (depth ? "/" : ".txt");
            if (std::find(seen.begin(), seen.end(), name) != seen.end())
                continue;
            // A file and a folder may not share a name: a/b.txt and a/b.txt/c.
            seen.push_back(name);
            rows.push_back(row(name));
        }
        std::vector<std::string> expected;
        for (const ResultRow &r : rows)
            expected.push_back(r.name);
        std::sort(expected.begin(), expected.end(), PathBefore);
        EXPECT_EQ(names(rows, AscendingRows(rows, ResultListModel::FilenameColumn)), expected) << tree;
        rows = walked(std::move(rows));
        EXPECT_EQ(names(rows, AscendingRows(rows, ResultListModel::FilenameColumn)), expected) << tree;
    }
}

TEST(ResultOrder, NamesMatchWhatIsTypedWhateverTheCase)
{
    const struct
    {
        const char *text;
        std::string name;
        bool contains, startsWith;
    } cases[] = {
        {"REP", "Reports/2019.txt", true, true},
        {"2019", "Reports/2019.txt", true, false},
        {"ports/2", "reports/2019.txt", true, false},
        {"\xC3\x84pfel", "\xC3\xA4pfel.txt", true, true}, // Ä and ä
        {"caf\xC3\xA9", "caf\xE9.txt", false, false},     // not UTF-8: shown with a replacement character
        {"x", "", false, false},
        {"", "anything", true, true},
    };
    for (const auto &c : cases) {
        const NameMatcher matcher(QString::fromUtf8(c.text));
        EXPECT_EQ(matcher.contains(c.name), c.contains) << c.text << " in " << c.name;
        EXPECT_EQ(matcher.startsWith(c.name), c.startsWith) << c.text << " at " << c.name;
    }
}

TEST(ResultListModel, SortsAndFiltersWithoutMovingTheRows)
{
    ResultListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setRows(walked({row("c.txt", Status::OK, 3), row("a.txt", Status::Newer, 1), row("sub/b.txt", Status::OK, 2),
                          row("sub/report.txt", Status::NotFound, 4)}),
                  "/root");
    const std::vector<ResultRow> *before = &model.rows();
    QSignalSpy replaced(&model, &ResultListModel::rowsReplaced);
    QSignalSpy rearranged(&model, &ResultListModel::rowsRearranged);

    model.sort(ResultListModel::SizeColumn, Qt::DescendingOrder);
    EXPECT_EQ(shown(model), (std::vector<std::string>{"sub/report.txt", "c.txt", "sub/b.txt", "a.txt"}));
    model.setDifferencesOnly(true);
    EXPECT_EQ(shown(model), (std::vector<std::string>{"sub/report.txt", "a.txt"}));
    model.setFindText(QStringLiteral("SUB"));
    EXPECT_EQ(shown(model), (std::vector<std::string>{"sub/report.txt"}));
    EXPECT_EQ(model.fullPath(0), "/root/sub/report.txt");
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).toString(),
              "Newer 1, Older 0, Not found 1, OK 2\nShowing 1 of 4 rows");

    // A check box of a shown row is its own row's, wherever it stands.
    EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_FALSE(model.rows()[3].checked);
    EXPECT_EQ(std::count_if(model.rows().begin(), model.rows().end(), [](const ResultRow &r) { return !r.checked; }), 1);
    EXPECT_EQ(&model.rows(), before);
    EXPECT_EQ(model.rows()[0].name, "a.txt"); // still in walk order
    EXPECT_EQ(rearranged.count(), 3);
    EXPECT_EQ(replaced.count(), 0);

    // New rows come in walk order; the filters stay on.
    model.setFindText(QString());
    model.setRows(walked({row("z.txt", Status::Older), row("y.txt", Status::OK), row("x.txt", Status::Newer)}));
    EXPECT_EQ(model.sortColumn(), -1);
    EXPECT_EQ(shown(model), (std::vector<std::string>{"x.txt", "z.txt"}));
    EXPECT_EQ(replaced.count(), 1);
}

TEST(ResultListModel, NextDifferenceAndNamesWrapRound)
{
    ResultListModel model;
    model.setRows({row("a"), row("b", Status::Newer), row("c"), row("d", Status::NotFound), row("e", Status::None)});
    const struct
    {
        int from;
        bool forward;
        int expected;
    } steps[] = {{-1, true, 1}, {1, true, 3}, {3, true, 4}, {4, true, 1}, {-1, false, 4}, {1, false, 4}, {3, false, 1}};
    for (const auto &s : steps)
        EXPECT_EQ(model.nextDifference(s.from, s.forward), s.expected) << s.from << s.forward;
    EXPECT_EQ(model.findName(QStringLiteral("C"), 3), 2);
    EXPECT_EQ(model.findName(QStringLiteral("x"), 0), -1);

    model.setRows({row("a"), row("b")});
    EXPECT_EQ(model.nextDifference(-1, true), -1);
    model.clear();
    EXPECT_EQ(model.nextDifference(-1, false), -1);
    EXPECT_EQ(model.findName(QStringLiteral("a"), 0), -1);
}

TEST(ResultListModel, CountsUseTheLocalesDigitGrouping)
{
    ResultListModel::StatusCounts counts;
    counts.newer = 12;
    counts.older = 3;
    counts.notFound = 35;
    counts.ok = 19950;
    const QLocale previous;
    const struct
    {
        QLocale locale;
        const char *expected;
    } cases[] = {
        {QLocale::c(), "Newer 12, Older 3, Not found 35, OK 19,950"},
        {QLocale(QLocale::German, QLocale::Germany), "Newer 12, Older 3, Not found 35, OK 19.950"},
    };
    for (const auto &c : cases) {
        QLocale::setDefault(c.locale);
        EXPECT_EQ(StatusCountsText(counts), QString::fromUtf8(c.expected));
    }
    counts.none = 2;
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(StatusCountsText(counts), "Newer 12, Older 3, Not found 35, OK 19,950, No status 2");
    QLocale::setDefault(previous);
}
