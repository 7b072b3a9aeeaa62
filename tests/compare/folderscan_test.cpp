#include "compare/folderscan.h"

#include "support/rows.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

namespace {

ResultRows scan(const std::string &root, const ScanHooks &hooks = {})
{
    ResultRows rows;
    FillResultList(rows, root, hooks);
    return rows;
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
    // Each folder's files precede everything below it, and a folder's whole
    // subtree comes before its next sibling; siblings in name order.
    EXPECT_EQ(NamesOf(scan(dir.root())),
              (std::vector<std::string>{"a.txt", "w/e.txt", "x/b.txt", "x/f.txt", "x/y/c.txt", "x/y/z/d.txt"}));
}

TEST(FolderScan, NamesAreOrderedWithAsciiLettersFoldedThenByExactBytes)
{
    // Each name comes before the next one.
    const std::vector<std::string> ordered = {
        "",       "!",    "-x",   "0",     "09",   "1",    "10",     "2",          "[",          "_",
        "A",      "a",    "a b",  "a.txt", "A_",   "a_",   "aB",     "ab",         "Ab.txt",     "ab.TXT",
        "ab.txt", "abc",  "Z",    "z",     "~",    "\x7f", "\xC3\x84", "\xC3\xA4", "\xFF",
    };
    for (std::size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_TRUE(NameBefore(ordered[i], ordered[i + 1])) << i << ": " << ordered[i] << " < " << ordered[i + 1];
        EXPECT_FALSE(NameBefore(ordered[i + 1], ordered[i])) << i;
    }
    for (const std::string &name : ordered)
        EXPECT_FALSE(NameBefore(name, name));

    // The scan gives files and subfolders of each folder in that order.
    TestDir dir;
    const std::vector<std::string> files = {"B.txt", "a.txt", "b.txt", "\xC3\xA4.txt", "10.txt", "9.txt"};
    for (const std::string &f : files) {
        dir.file(f);
        dir.file("Sub/" + f);
        dir.file("sub/" + f);
    }
    std::vector<std::string> expected;
    std::vector<std::string> sorted = files;
    std::sort(sorted.begin(), sorted.end(), NameBefore);
    for (const char *folder : {"", "Sub/", "sub/"})
        for (const std::string &f : sorted)
            expected.push_back(folder + f);
    EXPECT_EQ(NamesOf(scan(dir.root())), expected);
    EXPECT_EQ(sorted, (std::vector<std::string>{"10.txt", "9.txt", "a.txt", "B.txt", "b.txt", "\xC3\xA4.txt"}));
}

TEST(FolderScan, WalkBeforeIsTheOrderOfTheScan)
{
    // Names that are prefixes of each other, equal but for case, files and
    // folders of one name, bytes above 127, below and above the separator.
    const char *parts[] = {"a", "A", "a.b", "a b", "ab", "aB", "a-", "a0", "\xC3\xA4", "\xFF", "Z"};
    std::mt19937 random(31);
    TestDir dir;
    std::set<std::string> files, folders;
    for (int i = 0; i < 120; ++i) {
        std::string path;
        for (int depth = int(random() % 3); depth > 0; --depth)
            path += std::string(parts[random() % std::size(parts)]) + "/";
        path += parts[random() % std::size(parts)];
        bool clash = folders.count(path) > 0; // a file cannot share a folder's path
        for (std::size_t cut = path.find('/'); cut != std::string::npos; cut = path.find('/', cut + 1))
            clash = clash || files.count(path.substr(0, cut)) > 0;
        if (clash)
            continue;
        for (std::size_t cut = path.find('/'); cut != std::string::npos; cut = path.find('/', cut + 1))
            folders.insert(path.substr(0, cut));
        files.insert(path);
        dir.file(path);
    }
    std::vector<std::string> sorted(files.begin(), files.end());
    std::sort(sorted.begin(), sorted.end(), WalkBefore);
    EXPECT_EQ(NamesOf(scan(dir.root())), sorted);
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i)
        EXPECT_FALSE(WalkBefore(sorted[i + 1], sorted[i])) << sorted[i] << " / " << sorted[i + 1];
    EXPECT_FALSE(WalkBefore("a/b", "a/b"));
}

TEST(FolderScan, RowsStartCheckedWithoutStatus)
{
    TestDir dir;
    dir.file("sub/a.txt", "hello");
    const auto rows = scan(dir.root());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name(), "sub/a.txt"); // no empty folder part, no leading separator
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
    EXPECT_EQ(NamesOf(scan(dir.root())), std::vector<std::string>{"visible.txt"});
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
    for (const auto &n : NamesOf(rows))
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
    const auto rows = NamesOf(scan(dir.root()));
    EXPECT_EQ(rows, std::vector<std::string>{"sub/a.txt"});
}

TEST(FolderScan, TrailingSeparatorsAndRelativeRoots)
{
    TestDir dir;
    dir.file("data/x/data/y.txt");
    EXPECT_EQ(NamesOf(scan(dir.root() + "///")), std::vector<std::string>{"data/x/data/y.txt"});

    // Only the leading root is removed from a name, never a later repeat of it.
    char *previous = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(dir.root().c_str()), 0);
    EXPECT_EQ(NamesOf(scan("data")), std::vector<std::string>{"x/data/y.txt"});
    ::chdir(previous);
    std::free(previous);
}

TEST(FolderScan, EmptyRootDoesNothingAndLoadingEnds)
{
    std::vector<bool> loading;
    int yields = 0;
    ScanHooks hooks;
    hooks.showLoading = [&](bool on) { loading.push_back(on); };
    hooks.yield = [&] { ++yields; };
    EXPECT_TRUE(scan("", hooks).empty());
    EXPECT_TRUE(loading.empty());

    TestDir dir;
    dir.file("a/b.txt");
    dir.file("c/d.txt");
    scan(dir.root(), hooks);
    EXPECT_EQ(loading, std::vector<bool>({true, false}));
    EXPECT_EQ(yields, 3); // once per folder
}

// Folders made one name at a time: the whole path exceeds what the system
// takes in one call. Removed by rm, which walks deep trees the same way.
class DeepTree
{
public:
    DeepTree(const std::string &root, int levels, std::size_t nameLength) : m_root(root)
    {
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
        for (int level = 0; level < levels; ++level) {
            const std::string name = std::string(nameLength - 3, 'd') + std::to_string(100 + level);
            ::mkdirat(fd, name.c_str(), 0755);
            const int below = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = below;
            relative += name + "/";
        }
        const int file = ::openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644);
        EXPECT_EQ(::write(file, "deep", 4), 4);
        ::close(file);
        ::close(fd);
        relative += "bottom.txt";
    }
    ~DeepTree() { std::system(("rm -rf '" + m_root + "'/d*").c_str()); }

    std::string relative;

private:
    std::string m_root;
};

TEST(FolderScan, TreesDeeperThanThePathLimitAreScanned)
{
    TestDir dir;
    dir.file("top.txt");
    const DeepTree deep(dir.root(), 20, 250);
    ASSERT_GT(dir.root().size() + deep.relative.size(), std::size_t(PATH_MAX));
    ScanFindings findings;
    ResultRows rows;
    FillResultList(rows, dir.root(), {}, &findings);
    ASSERT_EQ(NamesOf(rows), (std::vector<std::string>{"top.txt", deep.relative}));
    EXPECT_EQ(SizeText(rows[1]), "4 bytes");
    EXPECT_EQ(findings.problems.count, 0u);
    struct stat st;
    ASSERT_EQ(::stat(dir.root().c_str(), &st), 0);
    EXPECT_EQ(findings.rootId, (platform::FolderIdentity{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)}));
}

TEST(FolderScan, WhatCannotBeReadIsCountedAndTheFirstFewNamed)
{
    TestDir dir;
    ::chmod(dir.root().c_str(), 0755);
    dir.file("a.txt");
    for (int i = 0; i < 7; ++i)
        dir.file("closed" + std::to_string(i) + "/hidden.txt");
    dir.file("listable/file.txt"); // may be listed but not searched: its entries cannot be read
    dir.file("open/c.txt");
    for (int i = 0; i < 7; ++i)
        ::chmod(dir.path("closed" + std::to_string(i)).c_str(), 0700);
    ::chmod(dir.path("listable").c_str(), 0744);
    const int status = asNobody([&] {
        ScanFindings findings;
        ResultRows rows;
        FillResultList(rows, dir.root(), {}, &findings);
        if (NamesOf(rows) != std::vector<std::string>{"a.txt", "open/c.txt"})
            return 1;
        if (findings.problems.count != 8 || findings.problems.first.size() != ScanProblems::kNamed)
            return 2;
        // In walk order, each with its full path and reason.
        if (findings.problems.first[0] != dir.path("closed0") + ": Permission denied"
            || findings.problems.first[4] != dir.path("closed4") + ": Permission denied")
            return 3;
        // A root that cannot be opened is a problem too, not an empty tree;
        // so is a file in a folder that may be listed but not searched.
        for (const char *root : {"closed0", "listable"}) {
            ScanFindings found;
            ResultRows none;
            FillResultList(none, dir.path(root), {}, &found);
            const std::string expected = dir.path(root == std::string("closed0") ? "closed0" : "listable/file.txt");
            if (!none.empty() || found.problems.count != 1 || found.problems.first[0] != expected + ": Permission denied")
                return 4;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(FolderScan, FolderTooDeepForTheOpenDescriptorsIsNamed)
{
    TestDir dir;
    // Two subfolders on every level, so every level's folder stays open
    // while the first one's subtree is walked.
    std::string path;
    for (int level = 0; level < 40; ++level) {
        dir.file(path + "b/f.txt");
        path += "a/";
    }
    dir.file(path + "f.txt");
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Descriptors 0 to 2 and ten more for the walk.
        for (int fd = 3; fd < 4096; ++fd)
            ::close(fd);
        const rlimit limit{13, 13};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(2);
        ScanFindings findings;
        ResultRows rows;
        FillResultList(rows, dir.root(), {}, &findings);
        // Every "b" folder is read: it is opened while its parent is open.
        const bool someRead = rows.size() > 5 && rows.size() < 41;
        const bool named = findings.problems.count > 0
            && findings.problems.first[0].find(": Too many open files") != std::string::npos;
        ::_exit(someRead && named ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FolderScan, LeftoverTemporariesAreNotedNeverListed)
{
    TestDir dir;
    dir.file("a.txt");
    dir.file(".a.txt.corvanel-0a1b2c3d");
    dir.file("sub/.b.corvanel-zz99aa00");
    dir.file("sub/.user-file.corvanel-2024");     // not ours: the mark is eight letters or digits
    dir.file(".hidden/.c.corvanel-00000000");     // hidden folders are never visited
    ::symlink("a.txt", dir.path(".link.corvanel-11111111").c_str()); // a link is not a temporary we wrote
    ScanFindings findings;
    ResultRows rows;
    FillResultList(rows, dir.root(), {}, &findings);
    EXPECT_EQ(NamesOf(rows), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(findings.leftovers,
              (std::vector<std::string>{".a.txt.corvanel-0a1b2c3d", "sub/.b.corvanel-zz99aa00"}));
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
