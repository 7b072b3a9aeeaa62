#include "compare/comparefolders.h"
#include "compare/leaveout.h"

#include "support/fsimage.h"
#include "support/rows.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

TEST(LeaveOut, PatternsMatchAsIgnoreFilesDo)
{
    const std::string longName(200, 'a');
    std::string deep;
    for (int i = 0; i < 60; ++i)
        deep += "a/";
    struct Case
    {
        const char *patterns; // one a line
        const char *relative; // the entry's folder, with a trailing separator
        const char *name;
        bool folder;
        bool leftOut;
    } const cases[] = {
        {"node_modules", "web/", "node_modules", true, true},
        {"node_modules", "", "node_modules.txt", false, false},
        {"*.tmp", "a/b/", "x.tmp", false, true},
        {"*.tmp", "", "x.tmp.keep", false, false},
        {"build/", "src/", "build", true, true},
        {"build/", "src/", "build", false, false}, // a file named build stays
        {"/Thumbs.db", "", "Thumbs.db", false, true},
        {"/Thumbs.db", "photos/", "Thumbs.db", false, false}, // at the top only
        {"docs/old", "", "old", true, false},
        {"docs/old", "docs/", "old", true, true},
        {"**/cache", "a/b/", "cache", true, true},
        {"**/cache", "", "cache", true, true},
        {"logs/**", "logs/2024/", "x.log", false, true},
        {"logs/**", "", "logs", true, false}, // what is inside, not the folder
        {"a/**/z", "a/", "z", false, true},
        {"a/**/z", "a/b/c/", "z", false, true},
        {"a/**/z", "b/", "z", false, false},
        {"**", "deep/er/", "anything", false, true},
        {"file?.[ch]", "", "file1.c", false, true},
        {"file?.[ch]", "", "file12.c", false, false},
        {"[!a]*", "", "apple", false, false},
        {"*.log\n!keep.log", "", "keep.log", false, false},
        {"*.log\n!keep.log", "", "other.log", false, true},
        {"!keep.log\n*.log", "", "keep.log", false, true}, // the last match decides
        {"# a comment\n\n  \n", "", "# a comment", false, false},
        {"\\#hash", "", "#hash", false, true},
        {"*a*a*a*a*a*a*a*a*b", "", longName.c_str(), false, false}, // no endless backtracking
        {"**/a/**/a/**/a/**/a/**/a/**/a/**/b", deep.c_str(), "c", false, false},
        {"Thumbs.db", "", "thumbs.db", false, false}, // case counts
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.patterns) + " | " + c.relative + c.name);
        LeaveOut leaveOut;
        leaveOut.addLines(c.patterns);
        EXPECT_EQ(leaveOut.leaves(c.relative, c.name, c.folder), c.leftOut);
    }
}

// Left out on purpose means never read: a folder no one may read, named
// by a pattern, is not opened and no problem; hidden entries are counted
// where they are passed over, and listed when asked for.
TEST(LeaveOut, ScansPassOverWhatIsLeftOutAndCountIt)
{
    TestDir dir;
    ::chmod(dir.root().c_str(), 0755);
    dir.file("keep.txt");
    dir.file("x.tmp");
    dir.file("build/docker-cache/layer");
    dir.file("node_modules/m/index.js");
    dir.file(".env");
    dir.file(".git/HEAD");
    dir.file("src/.hidden/a.c");
    dir.file("src/main.c");
    ::chmod(dir.path("build/docker-cache").c_str(), 0700);

    struct Case
    {
        const char *patterns;
        bool withHidden;
        std::vector<std::string> rows;
        std::size_t problems, hidden, byPattern;
    } const cases[] = {
        {"", false, {"keep.txt", "x.tmp", "node_modules/m/index.js", "src/main.c"}, 1, 3, 0},
        {"build/docker-cache/\nnode_modules/\n*.tmp", false, {"keep.txt", "src/main.c"}, 0, 3, 3},
        {"build/\n.git/\nnode_modules", true, {".env", "keep.txt", "x.tmp", "src/main.c", "src/.hidden/a.c"}, 0, 0, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.patterns);
        ScanChoices choices;
        choices.leaveOut.addLines(c.patterns);
        choices.withHidden = c.withHidden;
        ScanOptions options;
        options.choices = &choices;
        const int status = asNobody([&] {
            ResultRows one, left, right;
            ScanFindings oneFound, leftFound, rightFound;
            FillResultList(one, dir.root(), {}, &oneFound, &options);
            FillResultLists(left, leftFound, dir.root(), right, rightFound, dir.root(), {}, options);
            for (const auto *scan : {&one, &left, &right})
                if (NamesOf(*scan) != c.rows)
                    return 1;
            for (const ScanFindings *found : {&oneFound, &leftFound, &rightFound}) {
                if (found->problems.count != c.problems)
                    return 2;
                if (found->leftOut.hidden != c.hidden || found->leftOut.byPattern != c.byPattern)
                    return 3;
            }
            return 0;
        });
        EXPECT_EQ(status, 0);
    }
}

// The pair's saved choices reach the comparison through the window's hook;
// what is left out on one side is not "Not found" on the other, and the
// end message counts it.
TEST(LeaveOut, PairChoicesAreRememberedAndComparedBy)
{
    TestSettings settings;
    TestDir left, right;
    left.file("a.txt", "1");
    left.file("x.tmp", "tmp");
    left.file(".env", "secret");
    right.file("a.txt", "1");
    ASSERT_TRUE(SavePairPatterns(left.root(), right.root(), {"*.tmp"}));
    ASSERT_TRUE(AddPairPattern(left.root(), right.root(), "*.tmp")); // not twice
    EXPECT_EQ(PairChoices(left.root(), right.root()).leaveOut.patterns(), std::vector<std::string>{"*.tmp"});
    EXPECT_TRUE(PairChoices(right.root(), left.root()).leaveOut.empty()); // the pair has an order

    CompareHooks hooks;
    hooks.choose = PairChoices;
    Comparison comparison;
    PendingOperationList operations;
    ASSERT_TRUE(CompareFolders(left.root() + "/", right.root(), hooks, comparison, operations));
    EXPECT_EQ(NamesOf(comparison.left), std::vector<std::string>{"a.txt"});
    EXPECT_TRUE(operations.empty());
    EXPECT_EQ(operations.leftLeftOut.hidden, 1u);
    EXPECT_EQ(operations.leftLeftOut.byPattern, 1u);
    EXPECT_EQ(LeftOutSentence(operations.leftLeftOut, operations.rightLeftOut),
              "Not compared: on the left 1 hidden and 1 by patterns left out, on the right nothing left out "
              "(a folder counts as one item).");

    ASSERT_TRUE(SavePairHidden(left.root(), right.root(), true));
    ASSERT_TRUE(CompareFolders(left.root(), right.root(), hooks, comparison, operations));
    EXPECT_EQ(NamesOf(comparison.left), (std::vector<std::string>{".env", "a.txt"}));
    EXPECT_EQ(operations.count(), 1); // .env goes to the right
}

// What the volume marks hidden or system (desktop.ini, a hidden folder) is
// left out and counted as hidden entries are, unless they are asked for.
TEST(LeaveOut, EntriesAnNtfsVolumeMarksHiddenAreLeftOutUnlessAskedFor)
{
    FsImage fs(FsImage::Kind::Ntfs);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    writeFile(fs.root() + "/keep.txt", "k");
    writeFile(fs.root() + "/desktop.ini", "[.ShellClassInfo]");
    ::mkdir((fs.root() + "/marked").c_str(), 0755);
    writeFile(fs.root() + "/marked/inner.txt", "i");
    const unsigned char system[4] = {0, 0, 0, 0x06}, hiddenFolder[4] = {0, 0, 0, 0x12}; // big-endian attributes
    ASSERT_EQ(::setxattr((fs.root() + "/desktop.ini").c_str(), "system.ntfs_attrib_be", system, 4, 0), 0);
    ASSERT_EQ(::setxattr((fs.root() + "/marked").c_str(), "system.ntfs_attrib_be", hiddenFolder, 4, 0), 0);
    for (const bool withHidden : {false, true}) {
        SCOPED_TRACE(withHidden);
        ScanChoices choices;
        choices.withHidden = withHidden;
        ScanOptions options;
        options.choices = &choices;
        ResultRows left, right;
        ScanFindings leftFound, rightFound;
        FillResultLists(left, leftFound, fs.root(), right, rightFound, std::string(), {}, options);
        const std::vector<std::string> all = {"desktop.ini", "keep.txt", "marked/inner.txt"}, unmarked = {"keep.txt"};
        EXPECT_EQ(NamesOf(left), withHidden ? all : unmarked);
        EXPECT_EQ(leftFound.leftOut.hidden, withHidden ? 0u : 2u);
    }
}

} // namespace
