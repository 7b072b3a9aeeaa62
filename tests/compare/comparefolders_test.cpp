#include "compare/comparefolders.h"

#include "support/fsimage.h"
#include "support/rows.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <random>
#include <set>
#include <utility>

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

    EXPECT_EQ(RowNamed(l, "same-size.txt").status, Status::OK);
    EXPECT_EQ(RowNamed(r, "same-size.txt").status, Status::OK);
    EXPECT_EQ(RowNamed(l, "same-size.txt").icon, NoIcon);

    EXPECT_EQ(RowNamed(l, "same-time.txt").status, Status::None);
    EXPECT_EQ(RowNamed(r, "same-time.txt").status, Status::None);

    EXPECT_EQ(RowNamed(l, "left-newer.txt").status, Status::Newer);
    EXPECT_EQ(RowNamed(l, "left-newer.txt").icon, NewerIcon);
    EXPECT_EQ(RowNamed(r, "left-newer.txt").status, Status::Older);
    EXPECT_EQ(RowNamed(r, "left-newer.txt").icon, OlderIcon);

    EXPECT_EQ(RowNamed(l, "right-newer.txt").status, Status::Older);
    EXPECT_EQ(RowNamed(r, "right-newer.txt").status, Status::Newer);

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

// Within one second the nanoseconds decide; the texts shown stay the same.
TEST_F(CompareTest, PairsWithinOneSecondAreDecidedByNanoseconds)
{
    const struct
    {
        const char *name;
        std::int64_t leftSecond, leftNanos, rightSecond, rightNanos;
        Status left;
    } cases[] = {
        {"left-later-in-second", 100, 900000000, 100, 100000000, Status::Newer},
        {"right-later-in-second", 100, 100000000, 100, 100000001, Status::Older},
        {"same-instant", 100, 123456789, 100, 123456789, Status::None},
        {"second-decides-over-nanos", 101, 0, 100, 999999999, Status::Newer},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(setTime(left.file(c.name, "7 bytes"), early + c.leftSecond, c.leftNanos));
        ASSERT_TRUE(setTime(right.file(c.name, "27 bytes, appended to later"), early + c.rightSecond, c.rightNanos));
    }
    auto run = compare(left.root(), right.root());
    int overwrites = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const ResultRow &l = RowNamed(run->result.left, c.name), &r = RowNamed(run->result.right, c.name);
        EXPECT_EQ(l.status, c.left);
        EXPECT_EQ(r.status, c.left == Status::Newer ? Status::Older : c.left == Status::Older ? Status::Newer : Status::None);
        if (c.left != Status::None) {
            EXPECT_EQ(run->operations[overwrites++].source, (c.left == Status::Newer ? left : right).path(c.name));
        }
        if (c.leftSecond == c.rightSecond) {
            EXPECT_EQ(ModifiedText(l), ModifiedText(r));
        }
    }
    EXPECT_EQ(run->operations.count(), overwrites);
}

// A folder paired with a folder inside it would be copied into itself, one
// level deeper on every sync.
TEST_F(CompareTest, NestedRootsAreRefusedAndChangeNothing)
{
    const std::string L = left.root(), B = left.folder("backup");
    left.file("backup/deeper/b.txt", "z");
    left.folder("backup2");
    ::symlink(B.c_str(), right.path("to-backup").c_str());
    ::symlink(L.c_str(), right.path("to-left").c_str());
    const struct
    {
        std::string leftText, rightText, inner, outer; // inner empty: accepted
    } cases[] = {
        {L, B, B, L},
        {B + "/deeper", L, B + "/deeper", L},
        {B + "/../backup", B + "/deeper", B + "/deeper", B + "/../backup"},
        {right.path("to-backup"), right.path("to-left"), right.path("to-backup"), right.path("to-left")},
        {B, B + "2", "", ""}, // a common beginning of the texts is no nesting
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.leftText + " | " + c.rightText);
        Comparison result;
        PendingOperationList operations;
        operations.append({"s", "copied to", "d", "s", "d", "", {}});
        std::vector<std::string> seen;
        CompareHooks hooks;
        hooks.showMessage = [&](const std::string &text, const std::string &caption) { seen.push_back(caption + ": " + text); };
        hooks.clearLists = [&] { seen.push_back("cleared"); };
        hooks.writeBackRoot = [&](Side, const std::string &) { seen.push_back("written back"); };
        EXPECT_EQ(CompareFolders(c.leftText, c.rightText, hooks, result, operations), c.inner.empty());
        if (!c.inner.empty()) {
            EXPECT_EQ(seen, std::vector<std::string>{"Error: " + NestedFoldersMessage(c.inner, c.outer)});
            EXPECT_EQ(operations.count(), 1);
        }
    }
    EXPECT_EQ(NestedFoldersMessage("/l/b", "/l"),
              "Please choose two separate folders: /l/b lies inside /l, so a sync would copy the tree into itself.");
}

// The same folder on both sides, however it is spelled, is a tree matched
// with itself: every row "OK", nothing to do.
TEST_F(CompareTest, TheSameFolderOnBothSidesComparesAsOk)
{
    const std::string L = left.root();
    left.file("a.txt", "1");
    left.file("sub/b.txt", "22");
    left.folder("sub/empty");
    ::symlink(L.c_str(), right.path("to-left").c_str());
    const std::pair<std::string, std::string> spellings[] = {
        {L, L}, {L, L + "/"}, {L + "//", L + "/."}, {L + "/./sub/..", L}, {right.path("to-left"), L},
    };
    for (const auto &[leftText, rightText] : spellings) {
        SCOPED_TRACE(leftText + " | " + rightText);
        auto run = compare(leftText, rightText);
        ASSERT_TRUE(run->ok);
        EXPECT_TRUE(run->messages.empty());
        EXPECT_EQ(run->operations.count(), 0);
        ASSERT_GE(run->result.left.size(), 2u);
        EXPECT_EQ(run->result.left.size(), run->result.right.size());
        for (const auto *rows : {&run->result.left, &run->result.right})
            for (const ResultRow &r : *rows)
                EXPECT_STREQ(StatusText(r.status), "OK") << r.name();
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
    for (TestDir *side : {&left, &right}) {
        side->file("a.txt", "1", early);
        side->file("s/b.txt", "22", late);
    }
    auto same = compare(left.root(), right.root());
    ASSERT_EQ(same->result.left.size(), 2u);
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
    EXPECT_EQ(RowNamed(run->result.left, name).status, Status::Newer);
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
        ops.append({root(from) + "/" + n, "overwrites", root(to) + "/" + n, root(from) + "/" + n, root(to) + "/" + n,
                    root(to) + "/" + n, SyncJob()});
    };
    auto copy = [&](Side from, Side to, const std::string &n) {
        ops.append({root(from) + "/" + n, "copied to", root(to) + "/", root(from) + "/" + n, root(to) + "/" + n, "",
                    SyncJob()});
    };
    for (auto &l : c.left) {
        bool found = false;
        for (auto &r : c.right) {
            if (l.name() != r.name())
                continue;
            found = true;
            if (l.size == r.size) {
                l.status = r.status = Status::OK;
            } else if (l.modified == r.modified && (l.modified == platform::kNoTime || l.modifiedNanos == r.modifiedNanos)) {
            } else if (std::pair(l.modified, l.modifiedNanos) > std::pair(r.modified, r.modifiedNanos)) {
                l.status = Status::Newer, l.icon = 1, r.status = Status::Older, r.icon = 2;
                over(Side::Left, Side::Right, std::string(l.name()));
            } else {
                l.status = Status::Older, l.icon = 2, r.status = Status::Newer, r.icon = 1;
                over(Side::Right, Side::Left, std::string(r.name()));
            }
        }
        if (!found) {
            l.status = Status::NotFound, l.icon = 4;
            copy(Side::Left, Side::Right, std::string(l.name()));
        }
    }
    for (auto &r : c.right) {
        bool found = false;
        for (auto &l : c.left)
            found = found || l.name() == r.name();
        if (!found) {
            r.status = Status::NotFound, r.icon = 4;
            copy(Side::Right, Side::Left, std::string(r.name()));
        }
    }
}

// Rows as a scan lists them (odd rounds: paths in walk order, each once,
// matched in one pass down both lists) or in any order, with repeats.
TEST(MatchRows, AgreesWithNestedScanOnRandomLists)
{
    std::mt19937 random(20261208);
    const char *parts[] = {"a", "A", "a.b", "b", "10", "9", "\xC3\xA4", "\xFF", "x y", "_"};
    for (int round = 0; round < 400; ++round) {
        Comparison c;
        c.leftRoot = "/l";
        c.rightRoot = "/r";
        const bool walkOrder = round % 2 == 1;
        const int names = 1 + random() % 60;
        std::vector<std::string> paths;
        while (walkOrder && paths.size() < std::size_t(names)) {
            std::string path;
            for (int depth = int(random() % 3); depth >= 0; --depth)
                path += std::string(parts[random() % std::size(parts)]) + (depth ? "/" : "");
            paths.push_back(path);
        }
        std::sort(paths.begin(), paths.end(), WalkBefore);
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
        auto fill = [&](ResultRows &rows) {
            const int count = walkOrder ? int(paths.size()) : int(random() % 80);
            for (int i = 0; i < count; ++i) {
                if (walkOrder && random() % 3 == 0)
                    continue;
                ResultRow &r = rows.add(walkOrder ? paths[i] : "n" + std::to_string(random() % names));
                r.size = int(random() % 4) - 1;
                r.modified = random() % 4 == 0 ? platform::kNoTime : std::int64_t(random() % 3);
                r.modifiedNanos = r.modified == platform::kNoTime ? 0 : std::uint32_t(random() % 3) * 400000000u;
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

// A random tree: awkward names (case, digits, bytes above 127, names equal
// but for case), nested folders, sizes and times with nanoseconds, links,
// leftover temporaries. The other side shares most of it.
void randomTrees(std::mt19937 &random, TestDir &left, TestDir &right)
{
    const char *parts[] = {"a", "A", "b", "B", "10", "9", "\xC3\xA4", "\xFF", "x y", "_", "Z"};
    const auto part = [&] { return std::string(parts[random() % std::size(parts)]); };
    std::vector<std::string> folders = {""};
    for (int i = 0; i < 25; ++i)
        folders.push_back(folders[random() % folders.size()] + part() + std::to_string(random() % 3) + "/");
    const int files = 150 + int(random() % 150);
    for (int i = 0; i < files; ++i) {
        const std::string name = folders[random() % folders.size()] + part() + part() + ".f";
        const int where = int(random() % 5); // 0 left only, 1 right only, else both
        const std::int64_t second = 1600000000 + std::int64_t(random() % 3);
        for (int side = 0; side < 2; ++side) {
            if ((where == 0 && side == 1) || (where == 1 && side == 0))
                continue;
            TestDir &dir = side == 0 ? left : right;
            dir.file(name, std::string(random() % 3, 'x'));
            ASSERT_TRUE(setTime(dir.path(name), second, long(random() % 2) * 500000000L));
        }
    }
    // Links to files, to folders and to nothing, and files only their
    // owner may read: each is read as the walk one entry at a time reads it.
    for (int i = 0; i < 12; ++i) {
        TestDir &dir = i % 2 ? left : right;
        const std::string at = dir.path(folders[random() % folders.size()] + "link" + std::to_string(i));
        std::string target = dir.path(i % 3 ? "missing" : folders[random() % folders.size()]);
        if (i % 3 == 2) {
            const std::string closed = folders[random() % folders.size()] + "closed" + std::to_string(i);
            dir.file(closed, "x");
            ::chmod(dir.path(closed).c_str(), 0600);
            target = dir.path(closed);
        }
        ::symlink(target.c_str(), at.c_str());
        if (i % 3 == 2)
            ::lchown(at.c_str(), 65534, 65534); // planted by another user: not followed for root
    }
    left.file(folders[random() % folders.size()] + ".kept.corvanel-abcd1234");
    right.file(folders[random() % folders.size()] + ".kept.corvanel-0000zzzz");
}

// Everything a comparison shows, hooks included, as one text. The yields
// may fall between other captions than in a sequential scan, never more or
// fewer of them.
struct Observed
{
    std::string seen;
    int yields = 0, waits = 0;
    CompareHooks hooks;
    Observed()
    {
        hooks.showLoading = [this](bool on) { seen += on ? "loading\n" : "loaded\n"; };
        hooks.yield = [this] { ++yields; };
        hooks.setWaitPointer = [this] { ++waits; };
        hooks.showMessage = [this](const std::string &t, const std::string &c) { seen += c + ": " + t + "\n"; };
    }
    void rows(const ResultRows &rows)
    {
        for (const ResultRow &r : rows)
            seen += std::string(r.name()) + " " + std::to_string(r.size) + " " + std::to_string(r.modified) + "."
                + std::to_string(r.modifiedNanos) + " " + StatusText(r.status) + std::to_string(r.icon) + "\n";
    }
    void rest(const PendingOperationList &operations, const ScanFindings &l, const ScanFindings &r)
    {
        seen += std::to_string(yields) + " yields, " + std::to_string(waits) + " waits\n";
        for (int k = 0; k < operations.count(); ++k)
            seen += operations[k].source + " " + operations[k].action + " " + operations[k].copyTo + "\n";
        for (const ScanFindings *f : {&l, &r}) {
            seen += std::to_string(f->problems.count) + " problems, root " + std::to_string(f->rootId.inode) + "\n";
            for (const std::string &text : f->problems.first)
                seen += text + "\n";
            for (const std::string &name : f->leftovers)
                seen += "leftover " + name + "\n";
        }
    }
};

// The two trees are scanned at once; everything must come out as two scans
// one after the other give it.
std::pair<std::string, std::string> concurrentAndSequential(const TestDir &left, const TestDir &right)
{
    Observed sequential;
    Comparison expected;
    expected.leftRoot = left.root();
    expected.rightRoot = right.root();
    ScanFindings leftFound, rightFound;
    FillResultList(expected.left, left.root(), sequential.hooks, &leftFound);
    FillResultList(expected.right, right.root(), sequential.hooks, &rightFound);
    PendingOperationList expectedOperations;
    MatchRows(expected, expectedOperations);
    sequential.rows(expected.left);
    sequential.rows(expected.right);
    sequential.rest(expectedOperations, leftFound, rightFound);

    Observed concurrent;
    Comparison result;
    PendingOperationList operations;
    if (!CompareFolders(left.root(), right.root(), concurrent.hooks, result, operations))
        return {"refused", ""};
    concurrent.rows(result.left);
    concurrent.rows(result.right);
    concurrent.rest(operations, {result.leftRootId, result.leftProblems, result.leftLeftovers},
                    {result.rightRootId, result.rightProblems, result.rightLeftovers});
    return {concurrent.seen, sequential.seen};
}

TEST(ConcurrentScan, GivesWhatTheSequentialScanGives)
{
    std::mt19937 random(1208);
    for (int round = 0; round < 4; ++round) {
        TestDir left, right;
        randomTrees(random, left, right);
        const auto [concurrent, sequential] = concurrentAndSequential(left, right);
        EXPECT_TRUE(concurrent == sequential) << "round " << round << ", first difference at "
                                              << std::mismatch(concurrent.begin(), concurrent.end(), sequential.begin(), sequential.end()).first - concurrent.begin();
        EXPECT_NE(concurrent.find("leftover "), std::string::npos);
    }

    // One tree far larger than the other: the worker done first walks
    // subtrees of the other, whose rows, problems and leftovers still come
    // in walk order.
    for (int round = 0; round < 3; ++round) {
        TestDir big, small;
        small.file("only");
        std::vector<std::string> folders = {""};
        for (int i = 0; i < 300; ++i)
            folders.push_back(folders[random() % folders.size()] + "f" + std::to_string(random() % 40) + "/");
        for (int i = 0; i < 1500; ++i)
            big.file(folders[random() % folders.size()] + "n" + std::to_string(i));
        for (int i = 0; i < 6; ++i)
            big.file(folders[random() % folders.size()] + ".x.corvanel-abcd123" + std::to_string(i));
        const auto [concurrent, sequential] = round == 1 ? concurrentAndSequential(small, big)
                                                         : concurrentAndSequential(big, small);
        EXPECT_TRUE(concurrent == sequential) << "uneven round " << round;
    }

    // With folders that cannot be read, the same problems are named.
    TestDir left, right;
    randomTrees(random, left, right);
    ::chmod(left.root().c_str(), 0755);
    ::chmod(right.root().c_str(), 0755);
    for (int i = 0; i < 8; ++i) {
        left.file("closed" + std::to_string(i) + "/f");
        ::chmod(left.path("closed" + std::to_string(i)).c_str(), 0700);
    }
    for (int i = 0; i < 400; ++i)
        left.file("wide" + std::to_string(i % 50) + "/deep" + std::to_string(i % 7) + "/f" + std::to_string(i));
    EXPECT_EQ(asNobody([&] {
        const auto [concurrent, sequential] = concurrentAndSequential(left, right);
        return concurrent == sequential && concurrent.find("\n8 problems") != std::string::npos ? 0 : 1;
    }), 0);
}

// Behind a share that answers each call after a millisecond, the walkers
// keep several calls in flight, never more than there are walkers, and the
// rows and findings are those of one walk after the other.
TEST(ConcurrentScan, ASlowShareGetsNoMoreCallsAtOnceThanThereAreWalkers)
{
    TestDir lower;
    std::mt19937 random(21);
    for (int i = 0; i < 240; ++i) {
        const std::string folder = "d" + std::to_string(random() % 12) + "/e" + std::to_string(random() % 3) + "/";
        lower.file("left/" + folder + "f" + std::to_string(i), std::string(random() % 50, 'x'));
        if (random() % 5)
            lower.file("right/" + folder + "f" + std::to_string(i), std::string(random() % 50, 'y'));
    }
    lower.file("left/d1/.f.corvanel-abcd1234");
    SlowShare share(lower.root(), 1);
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    const std::string roots[2] = {share.root() + "/left", share.root() + "/right"};

    const auto seen = [](const ResultRows &left, const ScanFindings &l, const ResultRows &right, const ScanFindings &r) {
        Observed observed;
        observed.rows(left);
        observed.rows(right);
        observed.rest({}, l, r);
        return observed.seen.substr(observed.seen.find(" waits\n"));
    };
    ResultRows left, right;
    ScanFindings leftFound, rightFound;
    FillResultList(left, roots[0], {}, &leftFound);
    FillResultList(right, roots[1], {}, &rightFound);
    const std::string expected = seen(left, leftFound, right, rightFound);
    ASSERT_NE(expected.find("leftover "), std::string::npos);

    ScanOptions options;
    options.walkers = 4;
    ResultRows leftAtOnce, rightAtOnce;
    ScanFindings leftAtOnceFound, rightAtOnceFound;
    FillResultLists(leftAtOnce, leftAtOnceFound, roots[0], rightAtOnce, rightAtOnceFound, roots[1], {}, options);
    EXPECT_EQ(seen(leftAtOnce, leftAtOnceFound, rightAtOnce, rightAtOnceFound), expected);
    EXPECT_LE(share.mostInFlight(), 4);
    EXPECT_GE(share.mostInFlight(), 3) << "the walkers kept too few calls in flight";
}

// The window may end the program from a yield: the scan gives up at once and
// the workers never touch the caller's results again.
TEST(ConcurrentScan, AHookThatThrowsAbandonsTheScan)
{
    TestDir left, right;
    for (int i = 0; i < 200; ++i) {
        left.file("d" + std::to_string(i) + "/f");
        right.file("d" + std::to_string(i) + "/f");
    }
    struct Abandon
    {
    };
    for (int throwAt : {1, 2, 50}) {
        int yields = 0;
        CompareHooks hooks;
        hooks.yield = [&] {
            if (++yields == throwAt)
                throw Abandon();
        };
        auto result = std::make_unique<Comparison>();
        PendingOperationList operations;
        EXPECT_THROW(CompareFolders(left.root(), right.root(), hooks, *result, operations), Abandon);
        EXPECT_EQ(yields, throwAt);
        result.reset();
    }
    // And the next comparison runs as ever.
    Comparison result;
    PendingOperationList operations;
    ASSERT_TRUE(CompareFolders(left.root(), right.root(), {}, result, operations));
    EXPECT_EQ(result.left.size(), 200u);
    EXPECT_TRUE(operations.empty());
}

TEST(CompareRoots, FileSystemRootStaysWhole)
{
    Comparison c;
    c.leftRoot = "/";
    c.rightRoot = "/r";
    c.left.add("etc/x");
    PendingOperationList ops;
    MatchRows(c, ops);
    EXPECT_EQ(ops[0].source, "/etc/x");
    EXPECT_EQ(ops[0].copyTo, "/r/etc/x");
}

} // namespace

// A file system that keeps times in coarse steps cannot order times closer
// than its step: such pairs of different sizes are named, never ordered.
TEST(MatchRows, TimesCloserThanTheCoarserStepAreTheSame)
{
    constexpr std::int64_t kSecond = 1000000000;
    const struct
    {
        const char *name;
        std::int64_t leftResolution, rightResolution;
        std::int64_t leftSecond, leftNanos; // the right row: second 1000, 0 ns
        std::int64_t leftSize;
        Status left;
    } cases[] = {
        {"fat-1.5s-apart", 1, 2 * kSecond, 1001, 500000000, 9, Status::None},
        {"fat-2s-apart", 1, 2 * kSecond, 1002, 0, 9, Status::Newer},
        {"fat-earlier-within-step", 2 * kSecond, 1, 999, 1, 9, Status::None},
        {"exfat-0.9s-apart", 1000000, kSecond, 1000, 900000000, 9, Status::None},
        {"fine-1ns-apart", 1, 1, 1000, 1, 9, Status::Newer},
        {"fat-equal-size", 1, 2 * kSecond, 1001, 0, 5, Status::OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Comparison comparison;
        comparison.leftRoot = "/l";
        comparison.rightRoot = "/r";
        comparison.leftResolution = c.leftResolution;
        comparison.rightResolution = c.rightResolution;
        ResultRow &l = comparison.left.add(c.name), &r = comparison.right.add(c.name);
        l.size = c.leftSize;
        r.size = 5;
        l.modified = c.leftSecond;
        l.modifiedNanos = std::uint32_t(c.leftNanos);
        r.modified = 1000;
        PendingOperationList operations;
        MatchRows(comparison, operations);
        EXPECT_EQ(comparison.left[0].status, c.left);
        EXPECT_EQ(operations.count(), c.left == Status::Newer ? 1 : 0);
        EXPECT_EQ(comparison.unordered, c.left == Status::None ? std::vector<std::string>{c.name}
                                                              : std::vector<std::string>{});
    }
}

// Before, a file dated by a wrong clock (2031 on a stick) beat every edit,
// and equal sizes with other times were "identical" without a word.
TEST(MatchRows, AClockInTheFutureNeverWinsAndEqualSizesAreCountedUnverified)
{
    const std::int64_t now = std::int64_t(std::time(nullptr)), day = 86400;
    const struct
    {
        const char *name;
        std::int64_t leftTime, rightTime, leftSize;
        Status left;
        bool future;
        std::size_t unverified;
    } cases[] = {
        {"left-in-the-future", now + day, now - day, 9, Status::None, true, 0},
        {"right-in-the-future", now - day, now + 365 * day, 9, Status::None, true, 0},
        {"both-in-the-future", now + day, now + 2 * day, 9, Status::None, true, 0},
        {"a-clock-a-minute-ahead", now + 60, now - day, 9, Status::Newer, false, 0},
        {"same-size-other-times", now - 2 * day, now - day, 5, Status::OK, false, 1},
        {"same-size-same-time", now - day, now - day, 5, Status::OK, false, 0},
        {"same-size-one-in-the-future", now + day, now - day, 5, Status::OK, false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Comparison comparison;
        comparison.leftRoot = "/l";
        comparison.rightRoot = "/r";
        ResultRow &l = comparison.left.add(c.name), &r = comparison.right.add(c.name);
        l.size = c.leftSize;
        r.size = 5;
        l.modified = c.leftTime;
        r.modified = c.rightTime;
        PendingOperationList operations;
        MatchRows(comparison, operations);
        EXPECT_EQ(comparison.left[0].status, c.left);
        EXPECT_EQ(operations.count(), c.left == Status::Newer ? 1 : 0);
        EXPECT_EQ(comparison.futureDated, c.future ? std::vector<std::uint32_t>{0} : std::vector<std::uint32_t>{});
        EXPECT_EQ(comparison.unverified, c.unverified);
    }
}
