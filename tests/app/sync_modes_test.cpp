// Syncing the same pair again and again, as people do: the memory of the
// last sync carries deletions, renames and one-sided edits over, leaves
// conflicts alone, and never deletes because a side looks empty.

#include "support/clirun.h"
#include "support/fsimage.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>

#include <cstring>
#include <filesystem>

#include <sys/xattr.h>

using namespace clirun;

namespace {

Result syncIn(const char *mode, const std::string &left, const std::string &right, QStringList more = {})
{
    return run(QStringList{"sync", "--mode", mode} + more + QStringList{"--", q(left), q(right)});
}

std::size_t filesBelow(const std::string &root)
{
    std::size_t n = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
        n += entry.is_regular_file() && entry.path().filename().string()[0] != '.'
            && entry.path().string().find("/.Trash") == std::string::npos;
    return n;
}

// The memory the last sync wrote, whichever pair it was of.
std::string newestMemory()
{
    const QString folder = qEnvironmentVariable("XDG_STATE_HOME") + "/corvanel/memory";
    for (const QString &name : QDir(folder).entryList(QDir::Files, QDir::Time))
        if (!name.startsWith("where-") && !name.endsWith(".lock"))
            return (folder + "/" + name).toStdString();
    return {};
}

// The photo folder on a laptop and its copy on an exFAT stick: rejects
// deleted, an event folder renamed and edits made on the laptop, new photos
// taken onto the stick. Before, the deleted photos came back and the
// renamed folder stood on both sides under both names.
TEST(SyncModes, APhotoFolderAndItsStickStayInStepWithDeletionsAndARename)
{
    FsImage stick(FsImage::Kind::Exfat, 64);
    if (!stick.skipReason().empty())
        GTEST_SKIP() << stick.skipReason();
    TestDir laptop;
    const std::string photos = laptop.folder("Photos"), copy = stick.root() + "/Photos";
    std::filesystem::create_directory(copy);
    for (int i = 0; i < 10; ++i)
        laptop.file("Photos/rejects/r" + std::to_string(i) + ".jpg", "reject " + std::to_string(i),
                    TestDir::time(2024, 6, 1));
    for (int i = 0; i < 13; ++i)
        laptop.file("Photos/2024-06 Trip/IMG_" + std::to_string(i) + ".jpg", "trip " + std::to_string(i),
                    TestDir::time(2024, 6, 2));
    for (int i = 0; i < 3; ++i)
        laptop.file("Photos/edit" + std::to_string(i) + ".jpg", "first", TestDir::time(2024, 6, 3));
    ASSERT_EQ(syncIn("two-way", photos, copy).exitCode, 0);

    std::filesystem::remove_all(laptop.path("Photos/rejects"));
    std::filesystem::rename(laptop.path("Photos/2024-06 Trip"), laptop.path("Photos/2024-06 Lisbon"));
    for (int i = 0; i < 3; ++i) // a restored older version is a change too
        laptop.file("Photos/edit" + std::to_string(i) + ".jpg", "retouched", TestDir::time(2024, 5, 1));
    writeFile(copy + "/new1.jpg", "on the stick");
    writeFile(copy + "/new2.jpg", "on the stick too");

    const Result r = syncIn("two-way", photos, copy);
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_FALSE(std::filesystem::exists(copy + "/rejects")) << r.out.constData();
    EXPECT_FALSE(std::filesystem::exists(copy + "/2024-06 Trip"));
    EXPECT_EQ(readFile(copy + "/2024-06 Lisbon/IMG_7.jpg"), "trip 7");
    EXPECT_EQ(readFile(copy + "/edit2.jpg"), "retouched");
    EXPECT_EQ(laptop.read("Photos/new2.jpg"), "on the stick too");
    EXPECT_EQ(filesBelow(photos), 18u);
    EXPECT_EQ(filesBelow(copy), 18u);
    EXPECT_TRUE(r.out.contains("renamed to")) << r.out.constData();
    EXPECT_TRUE(r.out.contains("moved to the Trash"));
    EXPECT_TRUE(std::filesystem::exists(stick.root() + "/.Trash-0/files/r7.jpg"));
    EXPECT_EQ(run({"compare", "--mode", "two-way", q(photos), q(copy)}).exitCode, 0);
}

// Windows marks files hidden on a stick (desktop.ini, a folder): gone from
// the stick's list, they are not gone from the stick. Before, a two-way run
// moved the laptop's copies to the Trash, and so did a mirror of the stick.
TEST(SyncModes, WhatAVolumeMarksHiddenIsNotTakenForDeleted)
{
    for (const char *mode : {"two-way", "mirror"}) {
        SCOPED_TRACE(mode);
        FsImage stick(FsImage::Kind::Ntfs);
        if (!stick.skipReason().empty())
            GTEST_SKIP() << stick.skipReason();
        TestDir laptop;
        laptop.file("desktop.ini", "[.ShellClassInfo]", TestDir::time(2024, 6, 1));
        laptop.file("album/a.jpg", "a", TestDir::time(2024, 6, 1));
        for (const char *keep : {"k1.txt", "k2.txt", "k3.txt"}) // so that two are not most of the files
            laptop.file(keep, "k", TestDir::time(2024, 6, 1));
        const QStringList fromStick = std::string(mode) == "mirror" ? QStringList{"--from", "right"} : QStringList{};
        ASSERT_EQ(syncIn("two-way", laptop.root(), stick.root()).exitCode, 0);
        const unsigned char system[4] = {0, 0, 0, 0x06}, hiddenFolder[4] = {0, 0, 0, 0x12}; // big-endian
        ASSERT_EQ(::setxattr((stick.root() + "/desktop.ini").c_str(), "system.ntfs_attrib_be", system, 4, 0), 0);
        ASSERT_EQ(::setxattr((stick.root() + "/album").c_str(), "system.ntfs_attrib_be", hiddenFolder, 4, 0), 0);
        const Result r = syncIn(mode, laptop.root(), stick.root(), fromStick);
        EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
        EXPECT_EQ(laptop.read("desktop.ini"), "[.ShellClassInfo]") << r.out.constData();
        EXPECT_EQ(laptop.read("album/a.jpg"), "a");
    }
}

// Each way both sides can have moved on since the last sync.
TEST(SyncModes, WhatChangedOnWhichSideDecidesAndConflictsAreLeftAlone)
{
    const struct
    {
        const char *name;
        const char *left; // nullptr: deleted since the last sync
        const char *right;
        const char *leftAfter;
        const char *rightAfter;
        const char *action;
    } cases[] = {
        {"changed on both", "left edit", "the right's edit", "left edit", "the right's edit", "\"conflict\""},
        {"changed left, same size", "v4 = 9;", "v4 = 4;", "v4 = 9;", "v4 = 9;", "\"overwrites\""},
        {"changed right, older time", "v4 = 4;", "v3 = 3;", "v3 = 3;", "v3 = 3;", "\"overwrites\""},
        {"deleted left, unchanged right", nullptr, "v4 = 4;", nullptr, nullptr, "\"trash\""},
        {"deleted left, changed right", nullptr, "changed!", "changed!", "changed!", "\"copied to\""},
        {"deleted right, changed left", "changed!", nullptr, "changed!", "changed!", "\"copied to\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestDir left, right;
        left.file("code.c", "v4 = 4;", TestDir::time(2024, 1, 1));
        left.file("keep.c", "neither side is empty");
        ASSERT_EQ(syncIn("two-way", left.root(), right.root()).exitCode, 0);
        const auto change = [](TestDir &dir, const char *content, std::int64_t time) {
            if (!content)
                std::filesystem::remove(dir.path("code.c"));
            else if (dir.read("code.c") != content)
                dir.file("code.c", content, time);
        };
        change(left, c.left, TestDir::time(2024, 2, 2));
        const bool older = std::string(c.name).find("older") != std::string::npos;
        change(right, c.right, older ? TestDir::time(2023, 1, 1) : TestDir::time(2024, 2, 3));
        const Result compared = run({"compare", "--json", "--mode", "two-way", q(left.root()), q(right.root())});
        EXPECT_TRUE(compared.out.contains(QByteArray("\"action\":") + c.action)) << compared.out.constData();
        syncIn("two-way", left.root(), right.root());
        EXPECT_EQ(left.exists("code.c") ? left.read("code.c") : "(none)", c.leftAfter ? c.leftAfter : "(none)");
        EXPECT_EQ(right.exists("code.c") ? right.read("code.c") : "(none)", c.rightAfter ? c.rightAfter : "(none)");
    }
}

// A nightly backup in mirror mode becomes exactly the project: what the
// project no longer has goes to the Trash on the backup's side. Before,
// the backup copied deleted sources back into the project.
TEST(SyncModes, AMirrorMakesTheBackupExactlyTheProject)
{
    TestDir project, backup;
    project.file("src/main.c", "int main;", TestDir::time(2024, 1, 2));
    project.file("README", "read me", TestDir::time(2024, 1, 2));
    for (TestDir *side : {&project, &backup}) {
        for (int i = 0; i < 4; ++i)
            side->file("lib/l" + std::to_string(i) + ".c", "lib", TestDir::time(2024, 1, 2));
    }
    backup.file("src/main.c", "older main", TestDir::time(2024, 3, 1)); // newer, yet replaced
    backup.file("src/deleted.c", "gone from the project");
    backup.file("node_modules/pkg/index.js", "uninstalled");
    const Result r = syncIn("mirror", project.root(), backup.root());
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_EQ(backup.read("src/main.c"), "int main;");
    EXPECT_FALSE(backup.exists("src/deleted.c"));
    EXPECT_FALSE(backup.exists("node_modules")) << "an emptied folder the project lacks is removed";
    EXPECT_FALSE(project.exists("src/deleted.c"));
    EXPECT_EQ(filesBelow(project.root()), 6u);
    EXPECT_EQ(filesBelow(backup.root()), 6u);
    const std::string trash = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/Trash";
    EXPECT_EQ(readFile(trash + "/files/index.js"), "uninstalled");
    EXPECT_TRUE(std::filesystem::exists(trash + "/info/index.js.trashinfo"));
    EXPECT_TRUE(r.out.contains("\n1 replaced and 2 deleted files are now in the Trash.\n")) << r.out.constData();
}

// No run deletes because a side looks empty, cannot be read in full, or
// deletes more than half of a side without being allowed; a memory that is
// damaged, cut short or of other folders deletes nothing either.
TEST(SyncModes, NothingIsDeletedOnFaithOrInBulkWithoutLeave)
{
    const struct
    {
        const char *name;
        const char *mode;
        std::function<void(TestDir &, TestDir &)> meanwhile;
        int exitCode;
        const char *said;
    } cases[] = {
        {"mirror from an empty source", "mirror",
         [](TestDir &l, TestDir &) {
             std::filesystem::remove_all(l.path("docs"));
             std::filesystem::remove(l.path("a.txt"));
         },
         1, "Nothing is moved to the Trash on the right, because the left folder is empty."},
        {"two-way, mass deletion not allowed", "two-way",
         [](TestDir &l, TestDir &) { std::filesystem::remove_all(l.path("docs")); }, 2,
         "Nothing was done; --allow-many-deletions allows it."},
        {"two-way, memory damaged", "two-way",
         [](TestDir &l, TestDir &) {
             std::filesystem::remove(l.path("docs/d0.txt"));
             const QString memory = qEnvironmentVariable("XDG_STATE_HOME") + "/corvanel/memory";
             for (const QString &name : QDir(memory).entryList(QDir::Files))
                 if (!name.startsWith("where-"))
                     std::filesystem::resize_file((memory + "/" + name).toStdString(), 40);
         },
         0, "is not used (it is damaged)"},
        {"two-way, memory of another pair", "two-way",
         [](TestDir &l, TestDir &r) {
             // The same files (hard links: same sizes, times, identities)
             // under other roots: only the roots tell the memories apart.
             const std::string mine = newestMemory();
             TestDir other;
             const auto links = std::filesystem::copy_options::recursive
                 | std::filesystem::copy_options::create_hard_links;
             std::filesystem::copy(l.root(), other.path("l"), links);
             std::filesystem::copy(r.root(), other.path("r"), links);
             syncIn("two-way", other.path("l"), other.path("r"));
             std::filesystem::copy_file(newestMemory(), mine, std::filesystem::copy_options::overwrite_existing);
             std::filesystem::remove(l.path("docs/d0.txt"));
         },
         0, "is not used (it is of other folders)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestDir left, right;
        left.file("a.txt", "keep me");
        for (int i = 0; i < 4; ++i)
            left.file("docs/d" + std::to_string(i) + ".txt", "doc");
        ASSERT_EQ(syncIn(c.mode, left.root(), right.root()).exitCode, 0);
        c.meanwhile(left, right);
        const Result r = syncIn(c.mode, left.root(), right.root());
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out.constData() << r.err.constData();
        EXPECT_EQ(filesBelow(right.root()), 5u) << r.out.constData();
        EXPECT_TRUE((r.out + r.err).contains(c.said)) << r.out.constData() << r.err.constData();
    }
    TestDir left, right;
    for (int i = 0; i < 4; ++i)
        left.file("d" + std::to_string(i) + ".txt", "doc");
    ASSERT_EQ(syncIn("two-way", left.root(), right.root()).exitCode, 0);
    for (int i = 0; i < 3; ++i)
        std::filesystem::remove(left.path("d" + std::to_string(i) + ".txt"));
    EXPECT_EQ(syncIn("two-way", left.root(), right.root(), {"--allow-many-deletions"}).exitCode, 0);
    EXPECT_EQ(filesBelow(right.root()), 1u);
}

// With --content, a pair is not read again where the last sync knew both
// sides to hold the same bytes and neither has been touched since: right's
// bytes are changed behind its unchanged size and time, so a pair read
// again is found to differ. Before, every such pair was read again.
TEST(SyncModes, ContentsKnownTheSameAtTheLastSyncAreNotReadAgain)
{
    const std::int64_t early = TestDir::time(2024, 1, 1), late = TestDir::time(2024, 1, 2);
    const struct
    {
        const char *name;
        bool contentAtSync;
        std::int64_t rightSeconds;
        long rightNanos;
        bool oldFormat; // a memory written before it marked pairs known the same
        bool readAgain;
    } cases[] = {
        {"found the same, untouched since", true, late, 0, false, false},
        {"in step by size alone", false, late, 0, false, true},
        {"found the same, edited since", true, late + 3600, 0, false, true},
        {"found the same, touched a nanosecond later", true, late, 1, false, true},
        {"memory of the older format", false, late, 0, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestDir left, right;
        left.file("keep.txt", "in step", early);
        right.file("keep.txt", "in step", early);
        left.file("a.txt", "same bytes", early);
        right.file("a.txt", "same bytes", late);
        const Result synced = run(c.contentAtSync ? QStringList{"sync", "--content", q(left.root()), q(right.root())}
                                                  : QStringList{"sync", q(left.root()), q(right.root())});
        ASSERT_EQ(synced.exitCode, 0) << synced.out.constData() << synced.err.constData();
        right.file("a.txt", "SAME BYTES");
        setTime(right.path("a.txt"), c.rightSeconds, c.rightNanos);
        if (c.oldFormat) {
            QFile memory(QString::fromStdString(newestMemory()));
            ASSERT_TRUE(memory.open(QIODevice::ReadWrite));
            QByteArray bytes = memory.readAll();
            ASSERT_TRUE(bytes.startsWith("corvanel sync memory 2\n"));
            bytes[qsizetype(std::strlen("corvanel sync memory "))] = '1';
            memory.seek(0);
            memory.write(bytes);
        }
        const Result r = run({"compare", "--json", "--content", "--mode", "two-way", q(left.root()), q(right.root())});
        EXPECT_EQ(r.exitCode, c.readAgain ? 1 : 0) << r.out.constData() << r.err.constData();
        EXPECT_EQ(r.out.contains("\"action\":\"overwrites\""), c.readAgain) << r.out.constData();
        EXPECT_FALSE(r.out.contains("not used")) << r.out.constData();
    }
}

// Two syncs of one pair at once leave a whole memory that the next run
// trusts.
TEST(SyncModes, TwoRunsAtOnceLeaveAWholeMemory)
{
    TestDir left, right;
    for (int i = 0; i < 300; ++i)
        left.file("f" + std::to_string(i) + ".txt", "content " + std::to_string(i));
    QProcess a, b;
    const QStringList args{"sync", "--mode", "two-way", q(left.root()), q(right.root())};
    a.start(program(), args);
    b.start(program(), args);
    collect(a, 120000);
    collect(b, 120000);
    std::filesystem::remove(left.path("f1.txt"));
    const Result r = syncIn("two-way", left.root(), right.root());
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_FALSE(right.exists("f1.txt")) << r.out.constData();
    EXPECT_FALSE(r.out.contains("not used")) << r.out.constData();
}

} // namespace
