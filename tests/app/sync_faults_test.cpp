// What goes wrong while corvanel-cli sync runs: sources that vanish,
// destinations it may not write, links, a full disk, and the program killed
// mid-copy. No file may be lost or half-written, and what failed is said.

#include "support/clirun.h"

#include "support/testdir.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>

using namespace clirun;

namespace {

constexpr std::int64_t kMiB = 1 << 20;

QStringList sync(const TestDir &left, const TestDir &right)
{
    return {"sync", "--", q(left.root()), q(right.root())};
}

} // namespace

// A run stopped after its comparison (a laptop's sleep) while the user
// deletes a source, or puts back last month's version with its date
// ("cp -p"): resumed, that operation fails alone and the destination stays.
// Before, the older version was copied over the destination's newer one.
TEST(SyncFaults, ASourceChangedWhileTheRunIsStoppedFailsAloneAndKeepsTheDestination)
{
    const struct
    {
        const char *name;
        bool removed; // else put back older
        const char *reason;
    } cases[] = {
        {"deleted", true, "cannot read the source: No such file or directory"},
        {"put back older", false, "the source changed since the comparison"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestDir left, right;
        // One folder's files are copied in their order, so the large copy runs first.
        writeLargeFile(left.path("big.bin"), 96, 1);
        right.file("big.bin", "old big", TestDir::time(2020, 1, 1));
        left.file("report.txt", "this month's", TestDir::time(2023, 1, 1));
        right.file("report.txt", "edited last week", TestDir::time(2022, 6, 1));

        QProcess process;
        process.start(program(), sync(left, right));
        ASSERT_TRUE(waitUntilCopying(process, right.root() + "/", 1)) << "the large copy never started";
        ::kill(pid_t(process.processId()), SIGSTOP);
        if (c.removed)
            std::filesystem::remove(left.path("report.txt"));
        else
            left.file("report.txt", "last month's", TestDir::time(2021, 1, 1));
        ::kill(pid_t(process.processId()), SIGCONT);
        const Result r = collect(process, 120000);

        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 1) << r.out.constData();
        EXPECT_TRUE(r.out.contains(QByteArray::fromStdString("FAILED: " + left.path("report.txt") + " overwrites "
                                                             + right.path("report.txt") + ": " + c.reason)))
            << r.out.constData();
        EXPECT_TRUE(r.err.contains("1 of 2 file operations failed. 1 was carried out.")) << r.err.constData();
        EXPECT_EQ(right.read("report.txt"), "edited last week");
        EXPECT_TRUE(sameContent(left.path("big.bin"), right.path("big.bin")));
        EXPECT_TRUE(hiddenEntries(right.root()).empty());
    }
}

TEST(SyncFaults, ReadOnlyDestinationsRefuseAnOrdinaryUser)
{
    ASSERT_EQ(::geteuid(), 0u) << "the test needs root to hand the tree to nobody";
    TestDir left, right;
    for (const TestDir *dir : {&left, &right})
        ::chmod(dir->root().c_str(), 0755);
    const auto newer = TestDir::time(2022, 1, 1), older = TestDir::time(2020, 1, 1);
    left.file("locked.txt", "newer locked", newer);
    right.file("locked.txt", "old locked", older);
    left.file("closed/old.txt", "newer in a closed folder", newer);
    right.file("closed/old.txt", "old in a closed folder", older);
    left.file("closed/new.txt", "for a closed folder");
    left.file("fine.txt", "fine");
    for (const char *path : {"", "locked.txt", "closed", "closed/old.txt"})
        ASSERT_EQ(::chown(right.path(path).c_str(), 65534, 65534), 0) << path;
    ::chmod(right.path("locked.txt").c_str(), 0444);
    ::chmod(right.path("closed").c_str(), 0555);

    const Result r = runAsNobody(sync(left, right));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1) << r.out.constData() << r.err.constData();
    const auto failed = [&](const std::string &relative, const char *verb, const std::string &reason) {
        return r.out.contains(QByteArray::fromStdString("FAILED: " + left.path(relative) + verb + right.path(relative)
                                                        + ": " + reason));
    };
    EXPECT_TRUE(failed("locked.txt", " overwrites ", "the destination is read-only")) << r.out.constData();
    EXPECT_TRUE(failed("closed/old.txt", " overwrites ", "cannot write in the destination folder: Permission denied"))
        << r.out.constData();
    EXPECT_TRUE(failed("closed/new.txt", " copied to ", "cannot write in the destination folder: Permission denied"))
        << r.out.constData();
    EXPECT_TRUE(r.err.contains("3 of 4 file operations failed. 1 was carried out.")) << r.err.constData();
    EXPECT_EQ(right.read("locked.txt"), "old locked");
    EXPECT_EQ(right.read("closed/old.txt"), "old in a closed folder");
    EXPECT_FALSE(right.exists("closed/new.txt"));
    EXPECT_EQ(right.read("fine.txt"), "fine");
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

TEST(SyncFaults, LinksAtTheDestinationAreReplacedNeverWrittenThrough)
{
    TestDir left, right, outside;
    outside.file("target.txt", "outside, must stay", TestDir::time(2020, 1, 1));
    outside.folder("elsewhere");
    std::filesystem::create_symlink(outside.path("target.txt"), right.path("linked.txt"));
    std::filesystem::create_symlink(outside.path("elsewhere"), right.path("linked-folder"));
    left.file("linked.txt", "replaces the link", TestDir::time(2022, 1, 1));
    left.file("linked-folder/inner.txt", "never lands outside");

    const Result r = run(sync(left, right));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1) << r.out.constData();
    struct stat st;
    ASSERT_EQ(::lstat(right.path("linked.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the link itself is replaced";
    EXPECT_EQ(right.read("linked.txt"), "replaces the link");
    EXPECT_EQ(outside.read("target.txt"), "outside, must stay");
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(
        "the folder " + right.path("linked-folder") + " is a symbolic link; nothing is copied through it")))
        << r.out.constData();
    EXPECT_FALSE(outside.exists("elsewhere/inner.txt"));
}

TEST(SyncFaults, FullFileSystemKeepsTheOldFilesAndSaysSo)
{
    TestDir left, right;
    if (::mount("tmpfs", right.root().c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here (needs root and mount permission): "
                     << std::strerror(errno);
    struct Unmount
    {
        std::string where;
        ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
    } unmount{right.root()};

    right.file("old.txt", std::string(100 * 1024, 'o'), TestDir::time(2020, 1, 1));
    left.file("old.txt", std::string(2 * kMiB, 'n'), TestDir::time(2022, 1, 1));
    left.file("huge-new.bin", std::string(3 * kMiB, 'h'));
    left.file("small.txt", "fits");

    // Past the check before any copy, which would copy nothing here. Once
    // the file system is full, what is left for it fails at once, with the
    // same reason: small.txt, which would still fit, is not tried.
    const Result r = run({"sync", "--no-space-check", "--", q(left.root()), q(right.root())});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString("FAILED: " + left.path("old.txt") + " overwrites "
                                                         + right.path("old.txt")
                                                         + ": cannot write the destination: No space left on device")))
        << r.out.constData();
    EXPECT_TRUE(r.err.contains("3 of 3 file operations failed. 0 were carried out.")) << r.err.constData();
    EXPECT_EQ(right.read("old.txt"), std::string(100 * 1024, 'o'));
    EXPECT_FALSE(right.exists("huge-new.bin"));
    EXPECT_FALSE(right.exists("small.txt"));
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

TEST(SyncFaults, KilledMidCopyLeavesWholeFilesAndTheNextRunClearsUp)
{
    TestDir left, right;
    constexpr std::int64_t kSize = 192;
    writeLargeFile(left.path("big.bin"), kSize, 2);
    right.file("big.bin", "old big", TestDir::time(2020, 1, 1));
    // Small files beside it, copied in batches: whichever of them come
    // before big.bin must have landed before its copy starts.
    for (int i = 0; i < 20; ++i) {
        left.file("small-" + std::to_string(i), "new small", TestDir::time(2022, 1, 1));
        right.file("small-" + std::to_string(i), "old", TestDir::time(2020, 1, 1));
    }
    // One folder's files are copied in their order: big.bin, the small
    // files, then the new large file.
    writeLargeFile(left.path("zz-new-big.bin"), kSize, 3);

    // Killed while it replaces big.bin: the old content stays whole, and the
    // temporary it was writing is all that is left.
    {
        QProcess process;
        process.start(program(), sync(left, right));
        ASSERT_TRUE(waitUntilCopying(process, right.root() + "/", 16 * kMiB)) << "the copy of big.bin was missed";
        ::kill(pid_t(process.processId()), SIGKILL);
        ASSERT_TRUE(collect(process, 30000).finished);
    }
    EXPECT_EQ(right.read("big.bin"), "old big");
    for (int i = 0; i < 20; ++i) {
        const std::string small = right.read("small-" + std::to_string(i));
        EXPECT_TRUE(small == "old" || small == "new small") << small;
    }
    EXPECT_FALSE(right.exists("zz-new-big.bin"));
    const std::vector<std::string> leftOver = hiddenEntries(right.root());
    ASSERT_EQ(leftOver.size(), 1u);
    EXPECT_EQ(std::filesystem::path(leftOver[0]).filename().string().rfind(".big.bin.corvanel-", 0), 0u)
        << leftOver[0];
    // A comparison meanwhile does not see it.
    const Result compared = run({"compare", q(left.root()), q(right.root())});
    EXPECT_FALSE(compared.out.contains(".corvanel-")) << compared.out.constData();

    // The next run removes that leftover, and is killed in turn while it
    // writes the new file, which never shows under its name half-written.
    {
        QProcess process;
        process.start(program(), sync(left, right));
        ASSERT_TRUE(waitUntilCopying(process, right.path(".zz-new-big.bin"), 16 * kMiB))
            << "the copy of zz-new-big.bin was missed";
        ::kill(pid_t(process.processId()), SIGKILL);
        ASSERT_TRUE(collect(process, 30000).finished);
    }
    EXPECT_TRUE(sameContent(left.path("big.bin"), right.path("big.bin")));
    EXPECT_EQ(right.read("small-0"), "new small");
    EXPECT_FALSE(right.exists("zz-new-big.bin"));
    // Only the temporary of the new file it was writing is left.
    const std::vector<std::string> second = hiddenEntries(right.root());
    ASSERT_LE(second.size(), 1u);
    if (!second.empty()) {
        EXPECT_EQ(std::filesystem::path(second[0]).filename().string().rfind(".zz-new-big.bin.corvanel-", 0), 0u)
            << second[0];
    }

    const Result last = run(sync(left, right));
    EXPECT_EQ(last.exitCode, 0) << last.out.constData() << last.err.constData();
    EXPECT_TRUE(sameContent(left.path("zz-new-big.bin"), right.path("zz-new-big.bin")));
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

namespace {

// A chain of `depth` folders named `name` below root, ending in a file; made
// one folder at a time, since the whole path is longer than the system takes.
void makeDeepFile(const std::string &root, const std::string &name, int depth, const std::string &content)
{
    int at = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth; ++i) {
        ::mkdirat(at, name.c_str(), 0755);
        const int next = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(at);
        at = next;
    }
    const int fd = ::openat(at, "deep.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::write(fd, content.data(), content.size());
    ::close(fd);
    ::close(at);
}

std::string readDeepFile(const std::string &root, const std::string &name, int depth)
{
    int at = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth && at >= 0; ++i) {
        const int next = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(at);
        at = next;
    }
    std::string content(64, '\0');
    const int fd = at >= 0 ? ::openat(at, "deep.txt", O_RDONLY) : -1;
    const ssize_t n = fd >= 0 ? ::read(fd, content.data(), content.size()) : -1;
    content.resize(n > 0 ? n : 0);
    if (fd >= 0)
        ::close(fd);
    if (at >= 0)
        ::close(at);
    return content;
}

} // namespace

// Before, folders the sync could not read were skipped silently and the run
// said "have been synchronized" with exit status 0; a path over the
// system's limit was one of them.
TEST(SyncFaults, WhatCannotBeReadIsNamedAndDeepPathsAreCopied)
{
    TestDir left, right;
    const std::string longName(250, 'n');
    makeDeepFile(left.root(), longName, 20, "at the bottom");
    const clirun::Result deep = run(sync(left, right));
    EXPECT_EQ(deep.exitCode, 0) << deep.out.right(400).constData() << deep.err.constData();
    EXPECT_EQ(readDeepFile(right.root(), longName, 20), "at the bottom");

    ASSERT_EQ(::geteuid(), 0u) << "the test needs root to switch to nobody";
    TestDir l2, r2;
    for (const TestDir *dir : {&l2, &r2}) {
        ::chmod(dir->root().c_str(), 0755);
        ASSERT_EQ(::chown(dir->root().c_str(), 65534, 65534), 0);
    }
    l2.file("open.txt", "readable");
    l2.file("closed/inside.txt", "x");
    ::chmod(l2.path("closed").c_str(), 0);
    const clirun::Result closed = runAsNobody({"sync", q(l2.root()), q(r2.root())});
    EXPECT_EQ(closed.exitCode, 1) << closed.out.constData();
    EXPECT_TRUE(closed.err.contains("Not everything could be compared: 1 folder or file could not be read."))
        << closed.err.constData();
    EXPECT_TRUE(closed.err.contains(QByteArray::fromStdString(l2.path("closed")))) << closed.err.constData();
    EXPECT_FALSE(closed.out.contains("have been synchronized")) << closed.out.constData();
    EXPECT_EQ(r2.read("open.txt"), "readable");
}

// Before, a killed run's temporary stayed for good in a folder that got no
// later copy; and any hidden file named like one went, the user's own too.
TEST(SyncFaults, LeftoversOfAKilledRunGoFromEveryFolderAndOnlyThose)
{
    TestDir left, right;
    left.file("quiet/a.txt", "a");
    right.file("quiet/a.txt", "a");
    const std::string ours = right.file("quiet/.a.txt.corvanel-k1ll3d00", "half");
    if (::setxattr(ours.c_str(), "user.corvanel", "temporary", 9, 0) != 0)
        GTEST_SKIP() << "this file system has no user extended attributes";
    left.file("deeper/still/.b.corvanel-k1ll3d01", "half");
    ::setxattr(left.path("deeper/still/.b.corvanel-k1ll3d01").c_str(), "user.corvanel", "temporary", 9, 0);
    right.file("quiet/.plan.corvanel-20240101", "the user's own");

    const clirun::Result r = run(sync(left, right));
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_FALSE(right.exists("quiet/.a.txt.corvanel-k1ll3d00"));
    EXPECT_FALSE(left.exists("deeper/still/.b.corvanel-k1ll3d01"));
    EXPECT_EQ(right.read("quiet/.plan.corvanel-20240101"), "the user's own");
}

// Ctrl-C, a kill and a closed terminal (or dropped ssh session) alike stop
// the run once the file being copied has landed: never a temporary left.
TEST(SyncFaults, StopSignalsLetTheFileBeingCopiedLand)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signal));
        TestDir left, right;
        writeLargeFile(left.path("big.bin"), 192, 3);
        right.file("big.bin", "old big", TestDir::time(2020, 1, 1));
        left.file("later.txt", "never reached");

        QProcess process;
        process.start(program(), sync(left, right));
        ASSERT_TRUE(waitUntilCopying(process, right.root() + "/", kMiB)) << "the large copy never started";
        ::kill(pid_t(process.processId()), signal);
        const Result r = collect(process, 120000);

        ASSERT_TRUE(r.finished);
        EXPECT_NE(r.exitCode, -1) << "killed outright";
        EXPECT_TRUE(sameContent(left.path("big.bin"), right.path("big.bin")) || right.read("big.bin") == "old big");
        EXPECT_TRUE(hiddenEntries(right.root()).empty());
    }
}
