// Orders and name tests of a result list over its rows, and its counts.

#include "compare/folderscan.h"
#include "main_window/resultlistmodel.h"
#include "main_window/resultorder.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using Names = std::vector<std::string>;

struct Row
{
    std::string name;
    Status status = Status::OK;
    std::int64_t size = 1, modified = 100;
    std::uint32_t nanos = 0;
};

ResultRows rowsOf(const std::vector<Row> &wanted)
{
    ResultRows rows;
    for (const Row &want : wanted) {
        ResultRow &r = rows.add(want.name);
        std::tie(r.status, r.size, r.modified, r.modifiedNanos) = std::tuple(want.status, want.size, want.modified, want.nanos);
    }
    return rows;
}

// Rows as a scan gives them: in walk order.
ResultRows walked(std::vector<Row> wanted)
{
    std::sort(wanted.begin(), wanted.end(), [](const Row &a, const Row &b) { return WalkBefore(a.name, b.name); });
    return rowsOf(wanted);
}

Names ordered(const ResultRows &rows, int column)
{
    Names result;
    for (const std::uint32_t n : AscendingRows(rows, column))
        result.emplace_back(rows[n].name());
    return result;
}

} // namespace

TEST(ResultOrder, EachColumnSortsByWhatItShows)
{
    const ResultRows rows = walked({
        {"b.txt", Status::OK, 10, 300}, {"a-b.txt", Status::Newer, 2, 100, 5}, {"a.txt", Status::OK, -1, 100, 7},
        {"B.TXT", Status::NotFound, 10, platform::kNoTime}, {"a/z.txt", Status::Older, 100, 200},
        {"A/y.txt", Status::None, 9, 100, 5}, {"a/b/c.txt", Status::OK, 0, 50},
    });
    const std::pair<int, Names> cases[] = {
        {-1, {"a-b.txt", "a.txt", "B.TXT", "b.txt", "A/y.txt", "a/z.txt", "a/b/c.txt"}}, // walk order
        // The separator before any other character, so folder a before a-b
        // and a.txt; the folders A and a each stay whole; names equal but
        // for case go by their exact bytes.
        {ResultListModel::FilenameColumn, {"A/y.txt", "a/b/c.txt", "a/z.txt", "a-b.txt", "a.txt", "B.TXT", "b.txt"}},
        // No status, Newer, Older, Not found, OK; ties in walk order.
        {ResultListModel::StatusColumn, {"A/y.txt", "a-b.txt", "a/z.txt", "B.TXT", "a.txt", "b.txt", "a/b/c.txt"}},
        // By number, an unreadable size first.
        {ResultListModel::SizeColumn, {"a.txt", "a/b/c.txt", "a-b.txt", "A/y.txt", "B.TXT", "b.txt", "a/z.txt"}},
        // By instant to the nanosecond, an unreadable time first.
        {ResultListModel::ModifiedColumn, {"B.TXT", "a/b/c.txt", "a-b.txt", "A/y.txt", "a.txt", "a/z.txt", "b.txt"}},
    };
    for (const auto &[column, expected] : cases)
        EXPECT_EQ(ordered(rows, column), expected) << column;
}

// Rows in walk order are merged by folder; others take a general sort. Both
// must agree with PathBefore on any tree.
TEST(ResultOrder, NameOrderAgreesWithPathBeforeOnRandomTrees)
{
    std::mt19937 random(19);
    const Names parts = {"a", "A", "b", "a-b", "a.b", "ab", "B", "a b", "\xC3\xA4", "_"};
    for (int tree = 0; tree < 200; ++tree) {
        Names expected;
        for (int i = 0; i < 30; ++i) {
            std::string name;
            for (int depth = int(random() % 4); depth >= 0; --depth)
                name += parts[random() % parts.size()] + (depth ? "/" : ".txt");
            if (std::find(expected.begin(), expected.end(), name) == expected.end())
                expected.push_back(name);
        }
        std::vector<Row> rows;
        for (const std::string &name : expected)
            rows.push_back({name});
        std::sort(expected.begin(), expected.end(), PathBefore);
        EXPECT_EQ(ordered(rowsOf(rows), ResultListModel::FilenameColumn), expected) << tree;
        EXPECT_EQ(ordered(walked(rows), ResultListModel::FilenameColumn), expected) << tree;
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
        {"ports/2", "reports/2019.txt", true, false},
        {"\xC3\x84pfel", "\xC3\xA4pfel.txt", true, true}, // Ä and ä
        {"caf\xC3\xA9", "caf\xE9.txt", false, false},     // not UTF-8: shown with a replacement character
        {"x", "", false, false},
    };
    for (const auto &c : cases) {
        const NameMatcher matcher(QString::fromUtf8(c.text));
        EXPECT_EQ(matcher.contains(c.name), c.contains) << c.text << " in " << c.name;
        EXPECT_EQ(matcher.startsWith(c.name), c.startsWith) << c.text << " at " << c.name;
    }
}

TEST(ResultListModel, CountsUseTheLocalesDigitGrouping)
{
    ResultListModel::StatusCounts counts;
    std::tie(counts.newer, counts.older, counts.notFound, counts.ok) = std::tuple(12, 3, 35, 19950);
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(StatusCountsText(counts), "Newer 12, Older 3, Not found 35, OK 19.950");
    // The C locale groups nothing: a comma, as most readers expect.
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(StatusCountsText(counts), "Newer 12, Older 3, Not found 35, OK 19,950");
    counts.none = 2;
    EXPECT_EQ(StatusCountsText(counts), "Newer 12, Older 3, Not found 35, OK 19,950, No status 2");
    QLocale::setDefault(previous);
}
