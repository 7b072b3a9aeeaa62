// corvanel-cli sync onto a FAT32 stick (fusefat) whose times are not the
// laptop's: a time the volume cannot hold, and a stick read in another time
// zone than it was written in.

#include "support/clirun.h"

#include "support/fsimage.h"
#include "support/testdir.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace clirun;

namespace {

std::int64_t secondsOf(const std::string &path)
{
    return std::int64_t(statOf(path).st_mtim.tv_sec);
}

// Before, a file dated 1975 came back from the stick dated 2103, and from
// then on the stale copy beat every edit of the original.
TEST(StickTimes, ATimeBeforeFatsRangeIsKeptAtItsStartAndSaid)
{
    FsImage fs(FsImage::Kind::Fat32);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir laptop;
    laptop.file("old.txt", "written in 1975", TestDir::time(1975, 6, 1));

    const Result first = run({"sync", q(laptop.root()), q(fs.root())});
    EXPECT_EQ(first.exitCode, 0) << first.out.constData() << first.err.constData();
    EXPECT_TRUE(
        first.out.contains(QByteArray::fromStdString(
            fs.root()
            + "/old.txt is dated 1975-06-01, which the file system there cannot hold: the copy is dated "
              "1980-01-02.")))
        << first.out.constData();
    const std::int64_t copied = secondsOf(fs.root() + "/old.txt");
    EXPECT_GE(copied, TestDir::time(1980, 1, 1, 0, 0, 0));
    EXPECT_LT(copied, TestDir::time(1981, 1, 1));

    // The original is edited (same size): the stick's copy must not win.
    laptop.file("old.txt", "written in 1976", TestDir::time(2024, 3, 1));
    const Result second = run({"sync", "--content", q(laptop.root()), q(fs.root())});
    EXPECT_EQ(second.exitCode, 0) << second.out.constData() << second.err.constData();
    EXPECT_EQ(laptop.read("old.txt"), "written in 1976");
    EXPECT_EQ(readFile(fs.root() + "/old.txt"), "written in 1976");
}

// Synced in UTC, read three hours west: the stick's times all read three
// hours late. Before, its stale diary.txt looked newer than the laptop's
// edit made an hour and a half after the sync, and replaced it.
TEST(StickTimes, AStickReadInAnotherZoneIsAllowedForAndTheNewerEditKept)
{
    FsImage fs(FsImage::Kind::Fat32, 128, "UTC");
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir laptop;
    const std::int64_t synced = TestDir::time(2022, 6, 1, 8, 0, 0);
    for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt"})
        laptop.file(name, std::string("unchanged ") + name, synced);
    laptop.file("diary.txt", "monday", synced);
    const Result first = run({"sync", q(laptop.root()), q(fs.root())});
    ASSERT_EQ(first.exitCode, 0) << first.out.constData() << first.err.constData();

    ASSERT_TRUE(fs.remount("XXX+3")) << fs.skipReason();
    laptop.file("diary.txt", "monday, and the evening", synced + 90 * 60);
    const Result second = run({"sync", "--json", q(laptop.root()), q(fs.root())});
    EXPECT_EQ(laptop.read("diary.txt"), "monday, and the evening") << second.out.constData();
    EXPECT_EQ(readFile(fs.root() + "/diary.txt"), "monday, and the evening");
    const QJsonObject shift = QJsonDocument::fromJson(second.out)["time_shift"].toObject();
    EXPECT_EQ(shift["side"].toString(), "right") << second.out.constData();
    EXPECT_EQ(shift["hours"].toInt(), 3);
    EXPECT_EQ(shift["note"].toString(), q("times on " + fs.root() + " read 3 hours late; this is allowed for"));

    // Stated, the shift is taken as given, and not noted as found.
    const Result stated = run({"compare", "--time-shift", "3", q(laptop.root()), q(fs.root())});
    EXPECT_EQ(stated.exitCode, 0) << stated.out.constData() << stated.err.constData();
    EXPECT_FALSE(stated.out.contains("allowed for")) << stated.out.constData();
}

} // namespace
