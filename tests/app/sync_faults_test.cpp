// What goes wrong while corvanel-cli sync runs: sources that vanish,
// destinations it may not write, links, a full disk, and the program killed
// mid-copy. No file may be lost or half-written, and what failed is said.

#include "support/clirun.h"

#include "support/testdir.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
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

TEST(SyncFaults, SourceDeletedAfterTheComparisonFailsAloneAndKeepsTheOldCopy)
{
    TestDir left, right;
    // Root files come before a subfolder's, so the large copy runs first.
    writeLargeFile(left.path("big.bin"), 96, 1);
    right.file("big.bin", "old big", TestDir::time(2020, 1, 1));
    left.file("sub/gone.txt", "newer, and gone before it is copied", TestDir::time(2022, 1, 1));
    right.file("sub/gone.txt", "old and intact", TestDir::time(2020, 1, 1));

    QProcess process;
    process.start(program(), sync(left, right));
    ASSERT_TRUE(waitUntilCopying(process, right.root() + "/", 1)) << "the large copy never started";
    ::kill(pid_t(process.processId()), SIGSTOP);
    std::filesystem::remove(left.path("sub/gone.txt"));
    ::kill(pid_t(process.processId()), SIGCONT);
    const Result r = collect(process, 120000);

    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1) << r.out.constData();
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString("FAILED: " + left.path("sub/gone.txt") + " overwrites "
                                                         + right.path("sub/gone.txt")
                                                         + ": cannot read the source: No such file or directory")))
        << r.out.constData();
    EXPECT_TRUE(r.err.contains("1 of 2 file operations failed. 1 was carried out.")) << r.err.constData();
    EXPECT_EQ(right.read("sub/gone.txt"), "old and intact");
    EXPECT_TRUE(sameContent(left.path("big.bin"), right.path("big.bin")));
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
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

    const Result r = run(sync(left, right));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString("FAILED: " + left.path("old.txt") + " overwrites "
                                                         + right.path("old.txt")
                                                         + ": cannot write the destination: No space left on device")))
        << r.out.constData();
    EXPECT_TRUE(r.err.contains("2 of 3 file operations failed. 1 was carried out.")) << r.err.constData();
    EXPECT_EQ(right.read("old.txt"), std::string(100 * 1024, 'o'));
    EXPECT_FALSE(right.exists("huge-new.bin"));
    EXPECT_EQ(right.read("small.txt"), "fits");
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
    left.folder("sub");
    writeLargeFile(left.path("sub/new-big.bin"), kSize, 3);

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
    EXPECT_FALSE(right.exists("sub/new-big.bin"));
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
        ASSERT_TRUE(waitUntilCopying(process, right.path("sub") + "/", 16 * kMiB))
            << "the copy of sub/new-big.bin was missed";
        ::kill(pid_t(process.processId()), SIGKILL);
        ASSERT_TRUE(collect(process, 30000).finished);
    }
    EXPECT_TRUE(sameContent(left.path("big.bin"), right.path("big.bin")));
    EXPECT_EQ(right.read("small-0"), "new small");
    EXPECT_FALSE(right.exists("sub/new-big.bin"));
    // Only the temporary of the new file it was writing is left.
    const std::vector<std::string> second = hiddenEntries(right.root());
    ASSERT_LE(second.size(), 1u);
    if (!second.empty())
        EXPECT_EQ(std::filesystem::path(second[0]).filename().string().rfind(".new-big.bin.corvanel-", 0), 0u)
            << second[0];

    const Result last = run(sync(left, right));
    EXPECT_EQ(last.exitCode, 0) << last.out.constData() << last.err.constData();
    EXPECT_TRUE(sameContent(left.path("sub/new-big.bin"), right.path("sub/new-big.bin")));
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}
