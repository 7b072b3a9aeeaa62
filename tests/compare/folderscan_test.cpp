#include "compare/folderscan.h"

#include "support/testdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace {

std::vector<std::string> names(const std::vector<ResultRow> &rows)
{
    std::vector<std::string> result;
    for (const ResultRow &row : rows)
        result.push_back(row.name);
    return result;
}

std::vector<ResultRow> scan(const std::string &root, const ScanHooks &hooks = {})
{
    std::vector<ResultRow> rows;
    FillResultList(rows, root, hooks);
    return rows;
}

const ResultRow *find(const std::vector<ResultRow> &rows, const std::string &name)
{
    for (const ResultRow &row : rows)
        if (row.name == name)
            return &row;
    return nullptr;
}

TEST(FolderScan, RootFilesComeFirstThenSubfoldersDepthFirst)
{
    TestDir dir;
    dir.file("a.txt");
    dir.file("x/b.txt");
    dir.file("x/y/c.txt");
    dir.file("x/y/z/d.txt");
    dir.file("w/e.txt");
    dir.file("x/f.txt");
    const auto rows = names(scan(dir.root()));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], "a.txt");
    // Each folder's files precede everything below it, and a folder's whole
    // subtree comes before its next sibling.
    auto pos = [&](const std::string &n) { return std::find(rows.begin(), rows.end(), n) - rows.begin(); };
    EXPECT_LT(pos("x/b.txt"), pos("x/y/c.txt"));
    EXPECT_LT(pos("x/f.txt"), pos("x/y/c.txt"));
    EXPECT_LT(pos("x/y/c.txt"), pos("x/y/z/d.txt"));
    const bool wFirst = pos("w/e.txt") < pos("x/b.txt");
    if (wFirst)
        EXPECT_LT(pos("w/e.txt"), pos("x/b.txt"));
    else
        EXPECT_GT(pos("w/e.txt"), pos("x/y/z/d.txt"));
}

TEST(FolderScan, RowsStartCheckedWithoutStatus)
{
    TestDir dir;
    dir.file("sub/a.txt", "hello");
    const auto rows = scan(dir.root());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "sub/a.txt"); // no empty folder part, no leading separator
    EXPECT_TRUE(rows[0].checked);
    EXPECT_EQ(rows[0].status, Status::None);
    EXPECT_EQ(rows[0].icon, NoIcon);
    EXPECT_EQ(SizeText(rows[0]), "5 bytes");
}

TEST(FolderScan, HiddenEntriesAndEmptyFoldersGiveNoRows)
{
    TestDir dir;
    dir.file(".hidden");
    dir.file(".git/config");
    dir.file("sub/.secret/x.txt");
    dir.folder("empty/deeper");
    dir.file("visible.txt");
    EXPECT_EQ(names(scan(dir.root())), std::vector<std::string>{"visible.txt"});
}

TEST(FolderScan, OnlyRegularFilesAreListed)
{
    TestDir dir;
    dir.file("plain.txt", "x");
    ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0644), 0);
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string socketPath = dir.path("sock");
    if (socketPath.size() < sizeof(addr.sun_path)) {
        std::strcpy(addr.sun_path, socketPath.c_str());
        ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr));
    }
    ::close(s);
    ::symlink("/dev/null", dir.path("device").c_str());
    ::symlink("plain.txt", dir.path("link-to-file").c_str());
    ::symlink("missing", dir.path("dangling").c_str());
    const auto rows = scan(dir.root());
    std::set<std::string> listed;
    for (const auto &n : names(rows))
        listed.insert(n);
    // A link to a file stands for that file; the rest are not plain files.
    EXPECT_EQ(listed, (std::set<std::string>{"plain.txt", "link-to-file"}));
}

TEST(FolderScan, LinksToFoldersAreNeverFollowed)
{
    TestDir dir;
    TestDir outside;
    outside.file("far.txt");
    dir.file("sub/a.txt");
    ::symlink("..", dir.path("sub/loop").c_str());
    ::symlink(outside.root().c_str(), dir.path("out").c_str());
    const auto rows = names(scan(dir.root()));
    EXPECT_EQ(rows, std::vector<std::string>{"sub/a.txt"});
}

TEST(FolderScan, TrailingSeparatorsAndRelativeRoots)
{
    TestDir dir;
    dir.file("data/x/data/y.txt");
    EXPECT_EQ(names(scan(dir.root() + "///")), std::vector<std::string>{"data/x/data/y.txt"});

    // Only the leading root is removed from a name, never a later repeat of it.
    char *previous = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(dir.root().c_str()), 0);
    EXPECT_EQ(names(scan("data")), std::vector<std::string>{"x/data/y.txt"});
    ::chdir(previous);
    std::free(previous);
}

TEST(FolderScan, EmptyRootDoesNothingAndCaptionIsRestored)
{
    std::vector<std::string> captions;
    int yields = 0;
    ScanHooks hooks;
    hooks.setCaption = [&](const std::string &c) { captions.push_back(c); };
    hooks.yield = [&] { ++yields; };
    EXPECT_TRUE(scan("", hooks).empty());
    EXPECT_TRUE(captions.empty());

    TestDir dir;
    dir.file("a/b.txt");
    dir.file("c/d.txt");
    scan(dir.root(), hooks);
    ASSERT_EQ(captions.size(), 2u);
    EXPECT_EQ(captions[0], "Corvanel [Loading files, please wait...]");
    EXPECT_EQ(captions[1], "Corvanel");
    EXPECT_EQ(yields, 3); // once per folder
}

TEST(FolderScan, LargeFoldersAreListedWhole)
{
    TestDir dir;
    const int count = 33000;
    for (int i = 0; i < count; ++i)
        dir.file("big/" + std::to_string(i));
    EXPECT_EQ(scan(dir.root()).size(), std::size_t(count));
}

} // namespace
