#include "compare/comparefolders.h"

#include "support/testdir.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

struct Run
{
    Comparison result;
    PendingOperationList operations;
    std::vector<std::pair<std::string, std::string>> messages;
    bool ok = false;
};

std::unique_ptr<Run> compare(const std::string &left, const std::string &right)
{
    auto run = std::make_unique<Run>();
    CompareHooks hooks;
    hooks.showMessage = [&](const std::string &text, const std::string &caption) {
        run->messages.emplace_back(text, caption);
    };
    run->ok = CompareFolders(left, right, hooks, run->result, run->operations);
    return run;
}

const ResultRow &row(const std::vector<ResultRow> &rows, const std::string &name)
{
    for (const ResultRow &r : rows)
        if (r.name == name)
            return r;
    throw std::runtime_error("no row " + name);
}

class CompareTest : public ::testing::Test
{
protected:
    TestDir left;
    TestDir right;
    const std::int64_t early = TestDir::time(2019, 12, 31);
    const std::int64_t late = TestDir::time(2020, 1, 1);
};

TEST_F(CompareTest, PairRuleInAllFourBranches)
{
    left.file("same-size.txt", "abc", early);
    right.file("same-size.txt", "xyz", late);
    left.file("same-time.txt", "a", early);
    right.file("same-time.txt", "bb", early);
    left.file("left-newer.txt", "aaa", late);
    right.file("left-newer.txt", "b", early);
    left.file("right-newer.txt", "a", early);
    right.file("right-newer.txt", "bbbb", late);
    auto run = compare(left.root(), right.root());
    ASSERT_TRUE(run->ok);
    const auto &l = run->result.left;
    const auto &r = run->result.right;

    EXPECT_EQ(row(l, "same-size.txt").status, Status::OK);
    EXPECT_EQ(row(r, "same-size.txt").status, Status::OK);
    EXPECT_EQ(row(l, "same-size.txt").icon, NoIcon);

    EXPECT_EQ(row(l, "same-time.txt").status, Status::None);
    EXPECT_EQ(row(r, "same-time.txt").status, Status::None);

    EXPECT_EQ(row(l, "left-newer.txt").status, Status::Newer);
    EXPECT_EQ(row(l, "left-newer.txt").icon, NewerIcon);
    EXPECT_EQ(row(r, "left-newer.txt").status, Status::Older);
    EXPECT_EQ(row(r, "left-newer.txt").icon, OlderIcon);

    EXPECT_EQ(row(l, "right-newer.txt").status, Status::Older);
    EXPECT_EQ(row(r, "right-newer.txt").status, Status::Newer);

    ASSERT_EQ(run->operations.count(), 2);
    for (int k = 0; k < 2; ++k) {
        const PendingOperation &op = run->operations[k];
        EXPECT_EQ(op.action, "overwrites");
        EXPECT_EQ(op.deleteFirst, op.copyTo);
        EXPECT_EQ(op.destination, op.copyTo);
        EXPECT_EQ(op.source, op.copyFrom);
        if (op.source == left.path("left-newer.txt"))
            EXPECT_EQ(op.copyTo, right.path("left-newer.txt"));
        else
            EXPECT_EQ(op.copyTo, left.path("right-newer.txt"));
    }
}

TEST_F(CompareTest, MatchingIsCaseSensitiveAndLeftCopiesComeFirst)
{
    left.file("a.TXT", "1");
    right.file("a.txt", "1");
    auto run = compare(left.root(), right.root());
    EXPECT_EQ(run->result.left[0].status, Status::NotFound);
    EXPECT_EQ(run->result.left[0].icon, NotFoundIcon);
    EXPECT_EQ(run->result.right[0].status, Status::NotFound);
    ASSERT_EQ(run->operations.count(), 2);
    EXPECT_EQ(run->operations[0].source, left.path("a.TXT"));
    EXPECT_EQ(run->operations[1].source, right.path("a.txt"));
}

TEST_F(CompareTest, CopyEntryOfFileInSubfolder)
{
    left.file("sub/a.txt", "x");
    auto run = compare(left.root() + "/", right.root());
    ASSERT_EQ(run->operations.count(), 1);
    const PendingOperation &op = run->operations[0];
    EXPECT_EQ(op.source, left.path("sub/a.txt"));
    EXPECT_EQ(op.copyFrom, op.source);
    EXPECT_EQ(op.action, "copied to");
    EXPECT_EQ(op.destination, right.root() + "/"); // the root, not the subfolder
    EXPECT_EQ(op.copyTo, right.path("sub/a.txt"));
    EXPECT_EQ(op.deleteFirst, "");
    EXPECT_EQ(run->result.leftRoot, left.root()); // trailing separator trimmed
}

TEST_F(CompareTest, OrderIsLeftRowsThenUnmatchedRightRows)
{
    left.file("1-copy.txt", "x");
    left.file("2-over.txt", "new", late);
    right.file("2-over.txt", "o", early);
    right.file("3-right-only.txt", "r");
    auto run = compare(left.root(), right.root());
    ASSERT_EQ(run->operations.count(), 3);
    // Left list order decides the first two; the right-only copy is last.
    EXPECT_EQ(run->operations[2].source, right.path("3-right-only.txt"));
    EXPECT_EQ(run->operations[2].destination, left.root() + "/");
    for (int k = 0; k < 2; ++k) {
        const auto &op = run->operations[k];
        EXPECT_EQ(op.deleteFirst.empty(), op.action == "copied to");
    }
}

TEST_F(CompareTest, TrailingSeparatorsAreTrimmedAndWrittenBack)
{
    left.file("a.txt", "1");
    std::vector<std::pair<Side, std::string>> written;
    CompareHooks hooks;
    hooks.writeBackRoot = [&](Side side, const std::string &text) { written.emplace_back(side, text); };
    Comparison result;
    PendingOperationList operations;
    ASSERT_TRUE(CompareFolders(left.root() + "//", right.root(), hooks, result, operations));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].first, Side::Left);
    EXPECT_EQ(written[0].second, left.root());
    EXPECT_EQ(operations[0].source, left.root() + "/a.txt"); // no doubled separator
}

TEST_F(CompareTest, IdenticalAndEmptyFoldersLeaveNothingPending)
{
    left.file("a.txt", "1");
    left.file("s/b.txt", "22");
    auto same = compare(left.root(), left.root());
    for (const auto &r : same->result.left)
        EXPECT_EQ(r.status, Status::OK);
    EXPECT_TRUE(same->operations.empty());

    TestDir emptyA, emptyB;
    auto empty = compare(emptyA.root(), emptyB.root());
    EXPECT_TRUE(empty->ok);
    EXPECT_TRUE(empty->result.left.empty());
    EXPECT_TRUE(empty->messages.empty());
    EXPECT_TRUE(empty->operations.empty());
}

TEST_F(CompareTest, FolderCheckFailureChangesNothing)
{
    left.file("a.txt");
    Comparison result;
    PendingOperationList operations;
    CompareHooks hooks;
    ASSERT_TRUE(CompareFolders(left.root(), right.root(), hooks, result, operations));
    ASSERT_EQ(operations.count(), 1);

    std::vector<std::string> messages;
    bool cleared = false;
    hooks.showMessage = [&](const std::string &text, const std::string &caption) {
        messages.push_back(caption + ": " + text);
    };
    hooks.clearLists = [&] { cleared = true; };
    EXPECT_FALSE(CompareFolders(left.path("missing"), right.root(), hooks, result, operations));
    EXPECT_FALSE(CompareFolders(left.root(), left.path("a.txt"), hooks, result, operations));
    EXPECT_FALSE(CompareFolders("", right.root(), hooks, result, operations));
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Error: Please make sure you have two valid folders selected.");
    EXPECT_FALSE(cleared);
    EXPECT_EQ(operations.count(), 1);
    EXPECT_EQ(result.left.size(), 1u);
}

TEST_F(CompareTest, ShorterSecondCompareLeavesNoStaleEntries)
{
    for (int i = 0; i < 5; ++i)
        left.file("f" + std::to_string(i), "x");
    PendingOperationList operations;
    Comparison result;
    ASSERT_TRUE(CompareFolders(left.root(), right.root(), {}, result, operations));
    EXPECT_EQ(operations.count(), 5);
    TestDir small;
    small.file("only.txt");
    ASSERT_TRUE(CompareFolders(small.root(), right.root(), {}, result, operations));
    EXPECT_EQ(operations.count(), 1);
    for (int k = 1; k < PendingOperationList::kSlots; ++k) {
        ASSERT_TRUE(operations[k].source.empty());
        ASSERT_TRUE(operations[k].deleteFirst.empty());
    }
}

TEST_F(CompareTest, NamesThatAreNotUtf8MatchByteForByte)
{
    const std::string name = "caf\xE9.txt"; // Latin-1 bytes
    left.file(name, "new", late);
    right.file(name, "o", early);
    left.file("only\xFF", "x");
    auto run = compare(left.root(), right.root());
    EXPECT_EQ(row(run->result.left, name).status, Status::Newer);
    ASSERT_EQ(run->operations.count(), 2);
    std::set<std::string> targets = {run->operations[0].copyTo, run->operations[1].copyTo};
    EXPECT_EQ(targets, (std::set<std::string>{right.path(name), right.path("only\xFF")}));
}

TEST_F(CompareTest, MoreOperationsThanSlotsAreCountedAndReported)
{
    const int files = PendingOperationList::kSlots + 20;
    for (int i = 0; i < files; ++i)
        left.file(std::to_string(i));
    auto run = compare(left.root(), right.root());
    ASSERT_TRUE(run->ok);
    EXPECT_EQ(run->operations.count(), PendingOperationList::kSlots);
    EXPECT_TRUE(run->result.truncated());
    EXPECT_EQ(run->result.wantedOperations, std::size_t(files));
    for (const auto &r : run->result.left)
        ASSERT_EQ(r.status, Status::NotFound);
    ASSERT_EQ(run->messages.size(), 1u);
    EXPECT_EQ(run->messages[0].second, "Corvanel");
    EXPECT_NE(run->messages[0].first.find("10001"), std::string::npos);
}

// The matching as a plain nested scan, the reference for the indexed one.
void nestedMatch(Comparison &c, PendingOperationList &ops)
{
    auto root = [&](Side s) { return s == Side::Left ? c.leftRoot : c.rightRoot; };
    auto over = [&](Side from, Side to, const std::string &n) {
        ops.append({root(from) + "/" + n, "overwrites", root(to) + "/" + n, root(from) + "/" + n,
                    root(to) + "/" + n, root(to) + "/" + n});
    };
    auto copy = [&](Side from, Side to, const std::string &n) {
        ops.append({root(from) + "/" + n, "copied to", root(to) + "/", root(from) + "/" + n,
                    root(to) + "/" + n, ""});
    };
    for (auto &l : c.left) {
        bool found = false;
        for (auto &r : c.right) {
            if (l.name != r.name)
                continue;
            found = true;
            if (l.size == r.size) {
                l.status = r.status = Status::OK;
            } else if (l.modified == r.modified) {
            } else if (l.modified > r.modified) {
                l.status = Status::Newer, l.icon = 1, r.status = Status::Older, r.icon = 2;
                over(Side::Left, Side::Right, l.name);
            } else {
                l.status = Status::Older, l.icon = 2, r.status = Status::Newer, r.icon = 1;
                over(Side::Right, Side::Left, r.name);
            }
        }
        if (!found) {
            l.status = Status::NotFound, l.icon = 4;
            copy(Side::Left, Side::Right, l.name);
        }
    }
    for (auto &r : c.right) {
        bool found = false;
        for (auto &l : c.left)
            found = found || l.name == r.name;
        if (!found) {
            r.status = Status::NotFound, r.icon = 4;
            copy(Side::Right, Side::Left, r.name);
        }
    }
}

TEST(MatchRows, AgreesWithNestedScanOnRandomLists)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 200; ++round) {
        Comparison c;
        c.leftRoot = "/l";
        c.rightRoot = "/r";
        const int names = 1 + random() % 60;
        auto fill = [&](std::vector<ResultRow> &rows) {
            const int count = random() % 80;
            for (int i = 0; i < count; ++i) {
                ResultRow r;
                r.name = "n" + std::to_string(random() % names);
                r.size = int(random() % 4) - 1;
                r.modified = random() % 4 == 0 ? platform::kNoTime : std::int64_t(random() % 3);
                rows.push_back(r);
            }
        };
        fill(c.left);
        fill(c.right);
        Comparison expected = c;
        PendingOperationList fast, slow;
        MatchRows(c, fast);
        nestedMatch(expected, slow);
        ASSERT_EQ(fast.count(), slow.count()) << "round " << round;
        for (int k = 0; k < fast.count(); ++k) {
            ASSERT_EQ(fast[k].source, slow[k].source);
            ASSERT_EQ(fast[k].action, slow[k].action);
            ASSERT_EQ(fast[k].destination, slow[k].destination);
            ASSERT_EQ(fast[k].copyTo, slow[k].copyTo);
            ASSERT_EQ(fast[k].deleteFirst, slow[k].deleteFirst);
        }
        for (std::size_t i = 0; i < c.left.size(); ++i) {
            ASSERT_EQ(c.left[i].status, expected.left[i].status);
            ASSERT_EQ(c.left[i].icon, expected.left[i].icon);
        }
        for (std::size_t i = 0; i < c.right.size(); ++i) {
            ASSERT_EQ(c.right[i].status, expected.right[i].status);
            ASSERT_EQ(c.right[i].icon, expected.right[i].icon);
        }
    }
}

TEST(CompareRoots, FileSystemRootStaysWhole)
{
    Comparison c;
    c.leftRoot = "/";
    c.rightRoot = "/r";
    ResultRow r;
    r.name = "etc/x";
    c.left.push_back(r);
    PendingOperationList ops;
    MatchRows(c, ops);
    EXPECT_EQ(ops[0].source, "/etc/x");
    EXPECT_EQ(ops[0].copyTo, "/r/etc/x");
}

} // namespace
