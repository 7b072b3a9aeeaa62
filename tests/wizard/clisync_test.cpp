#include "support/clirun.h"
#include "support/fsimage.h"
#include "support/testdir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using clirun::Result;
using clirun::run;

} // namespace

TEST(CliSync, LeavesBothSidesInStep)
{
    TestDir left, right;
    left.file("a.txt", "left is newer", TestDir::time(2022, 2, 2));
    right.file("a.txt", "old", TestDir::time(2021, 2, 2));
    left.file("sub/deeper/b.txt", "only left");
    right.file("c.txt", "only right");

    const Result r = run({"sync", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("Carrying out 3 file operations.")) << r.out.constData();
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(left.path("a.txt") + " overwrites " + right.path("a.txt"))))
        << r.out.constData();
    EXPECT_TRUE(r.out.contains(
        QByteArray::fromStdString(left.path("sub/deeper/b.txt") + " copied to " + right.path("sub/deeper/b.txt"))));
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(left.root() + " & " + right.root() + " have been synchronized.")));
    EXPECT_TRUE(r.err.isEmpty()) << "no progress on a pipe: " << r.err.constData();
    EXPECT_EQ(right.read("a.txt"), "left is newer");
    EXPECT_EQ(right.modified("a.txt"), left.modified("a.txt"));
    EXPECT_EQ(right.read("sub/deeper/b.txt"), "only left");
    EXPECT_EQ(left.read("c.txt"), "only right");

    const Result again = run({"compare", q(left.root()), q(right.root())});
    EXPECT_EQ(again.exitCode, 0) << again.out.constData();
    const Result nothing = run({"sync", q(left.root()), q(right.root())});
    EXPECT_EQ(nothing.exitCode, 0);
    EXPECT_TRUE(nothing.out.contains("No need to synchronize.")) << nothing.out.constData();
}

TEST(CliSync, FailingOperationsAreReportedAndTheRestCarriedOut)
{
    TestDir left, right;
    // A file on one side where the other has a folder of that name: neither
    // copy can be made, whoever runs it.
    left.file("clash", "a file");
    right.file("clash/inner.txt", "in a folder");
    left.file("fine.txt", "fine");
    right.file("also-fine.txt", "also fine");

    const Result r = run({"sync", q(left.root()), q(right.root())});
    EXPECT_EQ(r.exitCode, 1) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.err.contains("2 of 4 file operations failed. 2 were carried out.")) << r.err.constData();
    EXPECT_TRUE(r.err.contains(QByteArray::fromStdString(
        right.path("clash") + ": the destination already exists; it is not overwritten")))
        << r.err.constData();
    EXPECT_TRUE(r.err.contains(QByteArray::fromStdString(left.path("clash") + " is a file, not a folder")))
        << r.err.constData();
    EXPECT_TRUE(r.out.contains("FAILED: ")) << r.out.constData();
    EXPECT_TRUE(r.out.contains("2 file operations are still pending.")) << r.out.constData();
    EXPECT_EQ(right.read("fine.txt"), "fine");
    EXPECT_EQ(left.read("also-fine.txt"), "also fine");
    EXPECT_EQ(left.read("clash"), "a file");
    EXPECT_EQ(right.read("clash/inner.txt"), "in a folder");

    // The same for scripts: one object, the failures with their reasons.
    left.file("later.txt", "later");
    const Result j = run({"sync", "--json", q(left.root()), q(right.root())});
    EXPECT_EQ(j.exitCode, 1);
    const QJsonObject o = QJsonDocument::fromJson(j.out).object();
    EXPECT_EQ(o["passes"].toInt(), 1) << j.out.constData();
    ASSERT_EQ(o["carried_out"].toArray().size(), 1);
    EXPECT_EQ(o["carried_out"][0]["destination"].toString().toStdString(), right.path("later.txt"));
    ASSERT_EQ(o["failed"].toArray().size(), 2);
    EXPECT_EQ(o["failed"][0]["reason"].toString(), "the destination already exists; it is not overwritten");
    EXPECT_EQ(o["pending"].toArray().size(), 2);
    EXPECT_FALSE(o["synchronized"].toBool());
    EXPECT_TRUE(hiddenEntries(left.root()).empty());
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

// Before, the list's 10,001 slots made the command scan both trees again
// for every further 10,001 operations.
TEST(CliSync, MoreOperationsThanOneListHoldsTakeOnePass)
{
    TestDir left, right;
    for (int i = 0; i < 10050; ++i)
        left.file("d" + std::to_string(i % 50) + "/f" + std::to_string(i), "x");

    const Result r = run({"sync", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 0) << r.out.right(2000).constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("Carrying out 10050 file operations."));
    EXPECT_FALSE(r.out.contains("Pass 2"));
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    EXPECT_TRUE(right.exists("d0/f10000"));
}

TEST(CliSync, BadInput)
{
    TestDir dir;
    EXPECT_EQ(run({"sync", q(dir.root())}).exitCode, 2);
    const Result missing = run({"sync", q(dir.root()), q(dir.path("missing"))});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.contains("cannot open the right folder ")) << missing.err.constData();
    EXPECT_EQ(run({"sync", "--bogus", q(dir.root()), q(dir.root())}).exitCode, 2);
    const Result help = run({"--help"});
    EXPECT_TRUE(help.out.contains("corvanel-cli sync [--json] [--no-trash] [--no-space-check] [--content]"))
        << help.out.constData();
}

// 2,500 one-byte files on an 8 MB tmpfs: 2,500 bytes, but 10 MB in its
// 4 KiB pages. Nothing is written unless asked for.
TEST(CliSync, ADestinationTooSmallStopsTheSyncBeforeAnyCopyUnlessToldOtherwise)
{
    FsImage fs(FsImage::Kind::Tmpfs, 8);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir left;
    for (int i = 0; i < 2500; ++i)
        left.file("f" + std::to_string(i), "x");
    const Result refused = run({"sync", q(left.root()), q(fs.root())});
    EXPECT_EQ(refused.exitCode, 2) << refused.err.constData();
    EXPECT_TRUE(refused.err.contains(QByteArray::fromStdString("There is not enough free space on " + fs.root())))
        << refused.err.constData();
    EXPECT_TRUE(std::filesystem::is_empty(fs.root())) << "before: hundreds of copies, then failures";
    const Result forced = run({"sync", "--no-space-check", q(left.root()), q(fs.root())});
    EXPECT_EQ(forced.exitCode, 1) << forced.err.constData();
    EXPECT_FALSE(std::filesystem::is_empty(fs.root()));
}
