// corvanel-cli sync onto the file systems people sync to, one suite per
// family: FAT, exFAT and NTFS sticks (through their FUSE drivers), power cuts
// on xfs, ext4 and a FUSE layer, and the local disk as root over folders
// other users own.

#include "compare/comparefolders.h"
#include "support/clirun.h"

#include "support/fsimage.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <vector>

using namespace clirun;

namespace {

QStringList sync(const std::string &left, const std::string &right)
{
    return {"sync", "--", q(left), q(right)};
}

std::int64_t secondsOf(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? std::int64_t(st.st_mtim.tv_sec) : -1;
}

std::string shortened(const std::string &content)
{
    if (content.size() <= 100)
        return content;
    return std::to_string(content.size()) + " bytes, digest " + std::to_string(std::hash<std::string>()(content));
}

// Every entry below root (links not followed): a file's content (its size
// and a digest past 100 bytes, so a failure prints short), "<folder>" or
// "<link>".
std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> entries;
    for (auto it = std::filesystem::recursive_directory_iterator(root); it != decltype(it)(); ++it) {
        const auto &entry = *it;
        const std::string relative = std::filesystem::relative(entry.path(), root).string();
        if (relative == "lost+found") { // ext4's own
            it.disable_recursion_pending();
            continue;
        }
        if (entry.is_symlink())
            entries[relative] = "<link>";
        else if (entry.is_directory())
            entries[relative] = "<folder>";
        else
            entries[relative] = shortened(readFile(entry.path().string()));
    }
    return entries;
}

// The entries of the two snapshots that differ, "name: what, not what".
std::vector<std::string> differences(const std::map<std::string, std::string> &actual,
                                     const std::map<std::string, std::string> &expected)
{
    std::vector<std::string> found;
    std::set<std::string> names;
    for (const auto *side : {&actual, &expected}) {
        for (const auto &entry : *side)
            names.insert(entry.first);
    }
    for (const std::string &name : names) {
        const auto a = actual.find(name), e = expected.find(name);
        const std::string got = a == actual.end() ? "missing" : "\"" + a->second + "\"";
        const std::string want = e == expected.end() ? "nothing" : "\"" + e->second + "\"";
        if (got != want)
            found.push_back(name + ": " + got + ", not " + want);
    }
    return found;
}

std::string attribute(const std::string &path, const char *name)
{
    char value[4096];
    const ssize_t n = ::lgetxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string() : std::string(value, std::size_t(n));
}

int occurrences(const QByteArray &text, const QByteArray &part)
{
    return int(text.count(part));
}

std::string repeated(const std::string &piece, int times)
{
    std::string s;
    for (int i = 0; i < times; ++i)
        s += piece;
    return s;
}

struct Mounted
{
    int ran = 0;
    std::string skipped; // why the others could not be had
};

// Runs body on a fresh file system of each kind that mounts here.
Mounted onEach(std::initializer_list<FsImage::Kind> kinds, int megabytes, const std::function<void(FsImage &)> &body)
{
    Mounted mounted;
    for (const FsImage::Kind kind : kinds) {
        SCOPED_TRACE(FsImage::name(kind));
        FsImage fs(kind, megabytes);
        if (!fs.skipReason().empty()) {
            mounted.skipped += "\n" + fs.skipReason();
            continue;
        }
        ++mounted.ran;
        body(fs);
    }
    if (mounted.ran > 0 && !mounted.skipped.empty())
        std::printf("not mounted here:%s\n", mounted.skipped.c_str());
    return mounted;
}

} // namespace

// Before, where neither a no-replace rename nor hard links exist, a new
// file's name was claimed by an empty file just before the rename: a run
// killed in between left it dated now, and the next run took it for the
// newer file and emptied the user's original.
TEST(SyncOntoSticks, AKilledRunNeverLeavesAnEmptyFileUnderARealName)
{
    const Mounted m = onEach({FsImage::Kind::Exfat, FsImage::Kind::Fat32}, 64, [](FsImage &fs) {
        TestDir left;
        constexpr int kFiles = 4;
        const auto name = [](int i) { return "photo-" + std::to_string(i) + ".jpg"; };
        const auto content = [](int i) { return std::string(5000, char('a' + i)); };
        for (int i = 0; i < kFiles; ++i)
            left.file(name(i), content(i), TestDir::time(2020, 2, 2));
        for (int call = 1; call <= kFiles; ++call) {
            SCOPED_TRACE("killed before rename " + std::to_string(call));
            for (const auto &entry : std::filesystem::directory_iterator(fs.root()))
                std::filesystem::remove_all(entry.path());
            const Result killed = runKilledAt(sync(left.root(), fs.root()), "renameat", call);
            ASSERT_TRUE(killed.finished);
            ASSERT_EQ(killed.exitCode, -1) << "not killed: " << killed.out.constData() << killed.err.constData();
            for (int i = 0; i < kFiles; ++i) {
                if (std::filesystem::exists(fs.root() + "/" + name(i))) {
                    EXPECT_EQ(shortened(readFile(fs.root() + "/" + name(i))), shortened(content(i))) << name(i);
                }
            }

            const Result next = run(sync(left.root(), fs.root()));
            EXPECT_EQ(next.exitCode, 0) << next.out.constData() << next.err.constData();
            for (int i = 0; i < kFiles; ++i) {
                EXPECT_EQ(shortened(left.read(name(i))), shortened(content(i))) << name(i);
                EXPECT_EQ(shortened(readFile(fs.root() + "/" + name(i))), shortened(content(i))) << name(i);
            }
        }
    });
    if (m.ran == 0)
        GTEST_SKIP() << "neither stick could be mounted:" << m.skipped;
}

// Before, a share lost in the middle of a sync (the network, a stick pulled
// out) ended the run with the message on invalid folders alone: what had
// been carried out and what had failed was never told, nor which folder
// went and why.
TEST(SyncOntoSticks, AShareLostMidwayStillGetsItsReport)
{
    TestDir left, lower;
    for (int i = 0; i < 160; ++i)
        left.file("d" + std::to_string(i % 8) + "/f" + std::to_string(i), std::string(20000, 'x'));
    SlowShare share(lower.root(), 2, false);
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    QProcess process;
    process.start(program(), sync(left.root(), share.root()));
    // Cut off once the sync has begun to write there.
    const auto begun = [&] { return std::filesystem::exists(lower.path("d0")); };
    for (int i = 0; i < 2000 && !begun() && process.state() != QProcess::NotRunning; ++i)
        QThread::msleep(10);
    ASSERT_TRUE(begun());
    share.cutOff();
    const Result r = collect(process, 120000);
    EXPECT_EQ(r.exitCode, 2) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.err.contains(
        ("corvanel-cli: the right folder " + share.root() + " can no longer be read after the sync: ").c_str()))
        << r.err.constData();
    EXPECT_FALSE(r.err.contains(kInvalidFolders)) << r.err.constData();
    EXPECT_TRUE(r.out.contains("FAILED: ")) << r.out.constData();
    EXPECT_TRUE(r.out.contains(" of 160 file operations (")) << r.out.constData();
}

// Before, a name a stick refuses failed as "cannot write in the destination
// folder: Operation not permitted" (FAT) or "...: No such file or
// directory" (exFAT); now it says what the stick refuses.
TEST(SyncOntoSticks, NamesAStickRefusesSayWhy)
{
    const Mounted m = onEach({FsImage::Kind::Exfat, FsImage::Kind::Fat32}, 64, [](FsImage &fs) {
        TestDir left;
        left.file("12:30 meeting.txt", "colon");
        left.file("tab\tin name", "control");
        left.file("fine.txt", "fine");
        const Result r = run(sync(left.root(), fs.root()));
        EXPECT_TRUE(r.out.contains("the destination does not allow the character ':' in a name")) << r.out.constData();
        EXPECT_TRUE(r.out.contains("the destination does not allow control characters in a name")) << r.out.constData();
        EXPECT_EQ(readFile(fs.root() + "/fine.txt"), "fine");
    });
    if (m.ran == 0)
        GTEST_SKIP() << "neither stick could be mounted:" << m.skipped;
}

// Before, a temporary kept the first 200 bytes of its file's name, cut
// inside a character: NTFS and exFAT refuse such names, so valid long names
// could not be copied at all.
TEST(SyncOntoSticks, LongNamesInAnyScriptAreCopied)
{
    const Mounted m = onEach({FsImage::Kind::Exfat, FsImage::Kind::Ntfs}, 64, [](FsImage &fs) {
        TestDir left;
        left.file("a" + repeated("\u0436", 100), "201 bytes of Cyrillic");
        left.file(repeated("\u4e2d", 85), "255 bytes of CJK");
        left.file(repeated("\u00e9", 60) + "/" + repeated("\U0001F600", 60) + "x", "four-byte characters");
        const Result first = run(sync(left.root(), fs.root()));
        EXPECT_EQ(first.exitCode, 0) << first.out.constData() << first.err.constData();
        EXPECT_EQ(snapshot(fs.root()), snapshot(left.root()));
        EXPECT_TRUE(hiddenEntries(fs.root()).empty());
        const Result second = run(sync(left.root(), fs.root()));
        EXPECT_TRUE(second.out.contains("are identical.")) << second.out.constData();
    });
    if (m.ran == 0)
        GTEST_SKIP() << "neither NTFS nor exFAT could be mounted:" << m.skipped;
}

// A power cut right after the run said "synchronized": every copy it made
// must be there, whole. Before, onto a FUSE layer (which never passes a
// flush of the whole file system on) the copies were renamed into place
// before their data reached the disk: once another program had flushed a
// file of its own there (so the renames were on the disk), they came back
// empty. Onto xfs and ext4 the last renames were still only in memory and
// came back old.
TEST(SyncThroughPowerCuts, WhatARunCalledSynchronizedSurvivesAPowerCut)
{
    const auto old = TestDir::time(2020, 1, 1), newer = TestDir::time(2023, 1, 1);
    const Mounted m = onEach({FsImage::Kind::Passthrough, FsImage::Kind::Xfs, FsImage::Kind::Ext4}, 300,
                             [&](FsImage &fs) {
        TestDir left;
        for (int i = 0; i < 40; ++i) {
            const std::string name = "replaced/" + std::to_string(i) + ".txt";
            std::filesystem::create_directories(fs.root() + "/replaced");
            writeFile(fs.root() + "/" + name, "old " + std::to_string(i));
            setTime(fs.root() + "/" + name, old, 0);
            left.file(name, "new content " + std::to_string(i) + std::string(std::size_t(i) * 100, 'n'), newer);
            left.file("new/sub" + std::to_string(i % 4) + "/" + std::to_string(i) + ".txt",
                      "fresh " + std::to_string(i), newer);
        }
        writeLargeFile(left.path("large.bin"), 12, 7); // a batch of its own
        ::sync(); // the old state is on the disk
        const Result r = run(sync(left.root(), fs.root()));
        ASSERT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
        ASSERT_TRUE(r.out.contains("have been synchronized.")) << r.out.constData();
        const std::string others = fs.root() + "/another program's.txt";
        if (fs.kind() == FsImage::Kind::Passthrough) {
            const int other = ::open(others.c_str(), O_WRONLY | O_CREAT, 0600);
            ASSERT_EQ(::fsync(other), 0);
            ::close(other);
        }

        ASSERT_TRUE(fs.powerCut()) << fs.skipReason();
        auto after = snapshot(fs.root());
        after.erase("another program's.txt");
        // Each file replaced is in the trash on its own file system, whole.
        const std::string trash = ".Trash-" + std::to_string(::geteuid()) + "/files/";
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(after[trash + std::to_string(i) + ".txt"], "old " + std::to_string(i));
        std::erase_if(after, [](const auto &entry) { return entry.first.rfind(".Trash-", 0) == 0; });
        EXPECT_EQ(differences(after, snapshot(left.root())), std::vector<std::string>());
        EXPECT_TRUE(hiddenEntries(fs.root()).empty());
    });
    if (m.ran == 0)
        GTEST_SKIP() << "no file system of the table could be mounted:" << m.skipped;
}

// Before, a link to /proc/self/pagemap (listed as 0 bytes, read without
// end) was copied until the destination was full.
TEST(SyncOnLocalDisk, ASourceThatReadsWithoutEndIsGivenUp)
{
    FsImage fs(FsImage::Kind::Tmpfs, 16);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir left;
    left.file("plain.txt", "plain");
    std::filesystem::create_symlink("/proc/self/pagemap", left.path("endless"));
    const Result r = run(sync(left.root(), fs.root()));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1) << r.out.constData();
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(
        "FAILED: " + left.path("endless") + " copied to " + fs.root() + "/endless: the source kept changing")))
        << r.out.constData();
    EXPECT_FALSE(std::filesystem::exists(fs.root() + "/endless"));
    EXPECT_EQ(readFile(fs.root() + "/plain.txt"), "plain");
    EXPECT_TRUE(hiddenEntries(fs.root()).empty());
}

// Before, under "ulimit -n 32" 284 of 300 copies failed with "Too many open
// files": a batch held at least 64 of them.
TEST(SyncOnLocalDisk, ALowOpenFileLimitFailsNoCopy)
{
    TestDir left, right;
    for (int i = 0; i < 300; ++i)
        left.file("d" + std::to_string(i % 3) + "/e" + std::to_string(i % 7) + "/" + std::to_string(i) + ".txt",
                  std::to_string(i));
    const Result r = runWithOpenFileLimit(sync(left.root(), right.root()), 32);
    EXPECT_EQ(r.exitCode, 0) << r.out.right(600).constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("Carried out 300 of 300 file operations")) << r.out.right(600).constData();
    EXPECT_EQ(snapshot(right.root()), snapshot(left.root()));
}

// Before, every copy onto FAT32 failed with "cannot set the permissions";
// now the copies land with one note, and a second run finds nothing to do.
TEST(SyncOntoSticks, CopiesWithoutPermissionsAndASecondRunChangesNothing)
{
    std::string skipped;
    int ran = 0;
    for (const FsImage::Kind kind : {FsImage::Kind::Fat32, FsImage::Kind::Exfat}) {
        SCOPED_TRACE(FsImage::name(kind));
        FsImage fs(kind);
        if (!fs.skipReason().empty()) {
            skipped += "\n" + fs.skipReason();
            continue;
        }
        ++ran;
        TestDir left;
        left.file("odd-second.txt", "kept to 2 s on FAT", TestDir::time(2021, 3, 4, 10, 0, 1));
        left.file("sub/private.txt", "0600", TestDir::time(2021, 3, 4, 10, 0, 3));
        ::chmod(left.path("sub/private.txt").c_str(), 0600);
        // More than one batch in a folder: a volume found to stamp renamed
        // files gives the later copies their times only after the rename.
        for (int i = 0; i < 40; ++i)
            left.file("many/" + std::to_string(i) + ".txt", std::string(std::size_t(i), 'x'),
                      TestDir::time(2021, 3, 4, 10, 0, 4));
        ::setxattr(left.path("odd-second.txt").c_str(), "user.origin", "camera", 6, 0);

        const Result first = run(sync(left.root(), fs.root()));
        ASSERT_TRUE(first.finished);
        EXPECT_EQ(first.exitCode, 0) << first.out.constData() << first.err.constData();
        EXPECT_TRUE(first.out.contains("have been synchronized.")) << first.out.constData();
        EXPECT_EQ(occurrences(first.out, "cannot hold everything the sources carry"), 1) << first.out.constData();
        EXPECT_TRUE(first.out.contains("permissions")) << first.out.constData();
        EXPECT_TRUE(first.out.contains("extended attributes")) << first.out.constData();
        // Nor owners: the sources are root's, as is everything there.
        EXPECT_FALSE(first.out.contains("owners")) << first.out.constData();
        EXPECT_FALSE(first.out.contains("modification times")) << first.out.constData();
        EXPECT_EQ(readFile(fs.root() + "/sub/private.txt"), "0600");
        // Each copy has its source's time, to FAT's 2 s. Before, FAT through
        // FUSE gave every file renamed into place the time of the rename.
        std::vector<std::string> names = {"odd-second.txt", "sub/private.txt"};
        for (int i = 0; i < 40; ++i)
            names.push_back("many/" + std::to_string(i) + ".txt");
        for (const std::string &name : names)
            EXPECT_LE(std::abs(secondsOf(fs.root() + "/" + name) - secondsOf(left.path(name))), 1) << name;

        const Result second = run(sync(left.root(), fs.root()));
        EXPECT_EQ(second.exitCode, 0) << second.out.constData();
        EXPECT_TRUE(second.out.contains("are identical.")) << second.out.constData();

        // The file a later run replaces keeps its time in the stick's
        // trash (before, on FAT, the time of its move there).
        const std::int64_t old = secondsOf(fs.root() + "/odd-second.txt");
        left.file("odd-second.txt", "a newer, longer text", TestDir::time(2022, 3, 4, 10, 0, 0));
        const Result third = run(sync(left.root(), fs.root()));
        const std::string trashed = fs.root() + "/.Trash-0/files/odd-second.txt";
        EXPECT_EQ(readFile(trashed), "kept to 2 s on FAT") << third.out.constData();
        EXPECT_EQ(secondsOf(trashed), old);
    }
    if (ran == 0)
        GTEST_SKIP() << "neither stick could be mounted:" << skipped;
}

// fusefat outside UTC gives a file a time set on it hours off; the copies
// would look newer or older than they are, and the note says so.
TEST(SyncOntoSticks, ADriverThatShiftsTimesIsNamedInTheNote)
{
    FsImage fs(FsImage::Kind::Fat32, 128, "XXX+5");
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir left;
    left.file("a.txt", "x", TestDir::time(2022, 6, 1, 8, 0, 0));
    const Result r = run(sync(left.root(), fs.root()));
    EXPECT_EQ(r.exitCode, 0) << r.out.constData();
    EXPECT_TRUE(r.out.contains("went without their permissions and modification times.")) << r.out.constData();
}

// A coarse clock cannot order two edits a second apart: before, the left
// file, 1.5 s "newer", overwrote a different right one on FAT.
TEST(SyncOntoSticks, DifferentSizesWithinTheClocksStepAreAConflict)
{
    FsImage fs(FsImage::Kind::Fat32);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir left;
    const std::int64_t when = TestDir::time(2022, 6, 1, 8, 0, 0);
    writeFile(fs.root() + "/notes.txt", "edited on the stick");
    setTime(fs.root() + "/notes.txt", when, 0);
    left.file("notes.txt", "edited here");
    setTime(left.path("notes.txt"), when + 1, 500000000);

    const Result r = run(sync(left.root(), fs.root()));
    EXPECT_EQ(r.exitCode, 1) << r.out.constData();
    EXPECT_TRUE(r.out.contains(QByteArray::fromStdString("CONFLICT: " + left.path("notes.txt") + " and " + fs.root()
                                                         + "/notes.txt: they differ in size")))
        << r.out.constData();
    EXPECT_EQ(readFile(fs.root() + "/notes.txt"), "edited on the stick");
    EXPECT_EQ(left.read("notes.txt"), "edited here");
}

// Before, dir/b.txt landed in Dir on the stick, and the next run copied it
// back into the source's Dir, where the user never had it. File systems that
// keep both spellings must still get both.
TEST(SyncOntoSticks, NamesTheDestinationFoldsTogetherAreRefusedAndNothingComesBack)
{
    const struct
    {
        FsImage::Kind kind;
        bool folds;
    } cases[] = {
        {FsImage::Kind::Fat32, true},  {FsImage::Kind::Exfat, true},        {FsImage::Kind::Ext4Casefold, true},
        {FsImage::Kind::Ntfs, false},  {FsImage::Kind::Passthrough, false},
    };
    std::string skipped;
    int ran = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(FsImage::name(c.kind));
        FsImage fs(c.kind);
        if (!fs.skipReason().empty()) {
            skipped += "\n" + fs.skipReason();
            continue;
        }
        ++ran;
        TestDir left;
        left.file("Dir/a.txt", "in Dir");
        left.file("dir/b.txt", "in dir");
        left.file("Notes.txt", "upper");
        left.file("notes.txt", "lower");
        // A level down, below a folder the run makes too.
        left.file("top/Dir/c.txt", "in top/Dir");
        left.file("top/dir/d.txt", "in top/dir");
        const auto leftBefore = snapshot(left.root());

        for (int pass = 1; pass <= 2; ++pass) {
            SCOPED_TRACE(pass);
            const Result r = run(sync(left.root(), fs.root()));
            ASSERT_TRUE(r.finished);
            EXPECT_EQ(snapshot(left.root()), leftBefore);
            if (!c.folds) {
                EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
                EXPECT_EQ(snapshot(fs.root()), leftBefore);
                continue;
            }
            EXPECT_EQ(r.exitCode, 1) << r.out.constData();
            EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(
                "the destination cannot hold both " + fs.root() + "/dir and " + fs.root() + "/Dir")))
                << r.out.constData();
            EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(
                "the destination cannot hold both " + fs.root() + "/notes.txt and " + fs.root() + "/Notes.txt")))
                << r.out.constData();
            EXPECT_TRUE(r.out.contains(QByteArray::fromStdString(
                "the destination cannot hold both " + fs.root() + "/top/dir and " + fs.root() + "/top/Dir")))
                << r.out.constData();
            const std::map<std::string, std::string> stick = {
                {"Dir", "<folder>"},         {"Dir/a.txt", "in Dir"},
                {"Notes.txt", "upper"},      {"top", "<folder>"},
                {"top/Dir", "<folder>"},     {"top/Dir/c.txt", "in top/Dir"}};
            EXPECT_EQ(snapshot(fs.root()), stick);
        }
    }
    if (ran == 0)
        GTEST_SKIP() << "no file system of the table could be mounted:" << skipped;
    if (!skipped.empty())
        std::printf("not mounted here:%s\n", skipped.c_str());
}

// Before, a new folder was made 0755 and owned by root, whatever its source.
TEST(SyncOnLocalDisk, NewFoldersAreAsPrivateAsTheirSources)
{
    ASSERT_EQ(::geteuid(), 0u) << "the test needs root to give the folders other owners";
    TestDir left, right;
    left.file("private/inner/notes.txt", "mine");
    left.file("shared/readme.txt", "ours");
    ::chmod(left.path("private").c_str(), 0700);
    ::chmod(left.path("private/inner").c_str(), 0750);
    ::chmod(left.path("shared").c_str(), 01777);
    ASSERT_EQ(::chown(left.path("private").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(left.path("private/inner").c_str(), 65534, 100), 0);

    const Result r = run(sync(left.root(), right.root()));
    ASSERT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    struct Expected
    {
        const char *folder;
        mode_t mode;
        uid_t owner;
        gid_t group;
    };
    for (const Expected &e : {Expected{"private", 0700, 65534, 65534}, Expected{"private/inner", 0750, 65534, 100},
                              Expected{"shared", 01777, 0, 0}}) {
        struct stat st;
        ASSERT_EQ(::stat(right.path(e.folder).c_str(), &st), 0) << e.folder;
        EXPECT_EQ(st.st_mode & 07777, e.mode) << e.folder;
        EXPECT_EQ(st.st_uid, e.owner) << e.folder;
        EXPECT_EQ(st.st_gid, e.group) << e.folder;
    }
}

// Before, a file with user:daemon:rw and group::--- arrived as plain 0660:
// the group could read and write it.
TEST(SyncOnLocalDisk, AclsAndTheUsersAttributesAreKept)
{
    TestDir left, right;
    left.file("acl.txt", "for daemon only");
    left.file("defaults/inside.txt", "inherits");
    left.file("tagged.txt", "tagged");
    const std::string acl = "setfacl -m u:daemon:rw,g::- '" + left.path("acl.txt") + "' && setfacl -d -m u:daemon:rx '"
        + left.path("defaults") + "'";
    if (std::system(acl.c_str()) != 0)
        GTEST_SKIP() << "setfacl is missing or this file system keeps no ACLs";
    ASSERT_EQ(::setxattr(left.path("tagged.txt").c_str(), "user.origin", "camera", 6, 0), 0);

    const Result r = run(sync(left.root(), right.root()));
    ASSERT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_FALSE(r.out.contains("cannot hold")) << r.out.constData();
    const std::string access = attribute(left.path("acl.txt"), "system.posix_acl_access");
    ASSERT_FALSE(access.empty());
    EXPECT_EQ(attribute(right.path("acl.txt"), "system.posix_acl_access"), access);
    EXPECT_EQ(statOf(right.path("acl.txt")).st_mode & 0777, statOf(left.path("acl.txt")).st_mode & 0777);
    EXPECT_EQ(attribute(right.path("defaults"), "system.posix_acl_default"),
              attribute(left.path("defaults"), "system.posix_acl_default"));
    EXPECT_EQ(attribute(right.path("tagged.txt"), "user.origin"), "camera");
    for (const char *name : {"acl.txt", "tagged.txt", "defaults/inside.txt"})
        EXPECT_EQ(attribute(right.path(name), "user.corvanel"), "") << name;
}

// Before, root followed a link that nobody planted in a shared folder and
// copied the file it leads to, unreadable to nobody, readable to all.
TEST(SyncOnLocalDisk, LinksPlantedByAnotherUserAreNotFollowed)
{
    ASSERT_EQ(::geteuid(), 0u) << "the test needs root to plant links as another user";
    TestDir left, right, secret;
    secret.file("hidden/notes.txt", "root's secret");
    ::chmod(secret.path("hidden").c_str(), 0700);
    left.file("shared/own.txt", "nobody's own");
    ::chmod(left.path("shared").c_str(), 01777);
    ASSERT_EQ(::chown(left.path("shared/own.txt").c_str(), 65534, 65534), 0);
    const auto plant = [&](const std::string &target, const std::string &link) {
        std::filesystem::create_symlink(target, left.path(link));
        ASSERT_EQ(::lchown(left.path(link).c_str(), 65534, 65534), 0);
    };
    plant(secret.path("hidden/notes.txt"), "shared/notes.txt");
    plant("own.txt", "shared/own-link.txt");
    std::filesystem::create_symlink(secret.path("hidden/notes.txt"), left.path("root-link.txt"));

    const Result r = run(sync(left.root(), right.root()));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1) << r.out.constData();
    EXPECT_TRUE(r.err.contains(QByteArray::fromStdString(left.path("shared/notes.txt") + ": Permission denied")))
        << r.err.constData();
    EXPECT_FALSE(right.exists("shared/notes.txt"));
    EXPECT_EQ(right.read("shared/own-link.txt"), "nobody's own");
    EXPECT_EQ(right.read("root-link.txt"), "root's secret"); // root's own link shows root what root may read
}

// Before, the link's own replacement failed "changed since the comparison"
// once the run had replaced the file it leads to.
TEST(SyncOnLocalDisk, LinkToAFileTheRunReplacedIsReplacedToo)
{
    TestDir left, right;
    const auto old = TestDir::time(2020, 1, 1), newer = TestDir::time(2023, 1, 1);
    right.file("python3/policy.txt.gz", "old policy", old);
    right.folder("python3.11");
    std::filesystem::create_symlink("../python3/policy.txt.gz", right.path("python3.11/policy.txt.gz"));
    left.file("python3/policy.txt.gz", "the newer policy", newer);
    left.file("python3.11/policy.txt.gz", "the newer policy", newer);

    const Result r = run(sync(left.root(), right.root()));
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_EQ(right.read("python3/policy.txt.gz"), "the newer policy");
    EXPECT_EQ(right.read("python3.11/policy.txt.gz"), "the newer policy");
    EXPECT_TRUE(S_ISREG(statOf(right.path("python3.11/policy.txt.gz")).st_mode));
}

// Before, a pair of different sizes with one time was left alone and the
// run said "identical", exit 0.
TEST(SyncOnLocalDisk, PairsThatCannotBeOrderedAreListedAsConflicts)
{
    TestDir left, right;
    const auto when = TestDir::time(2021, 5, 5);
    left.file("same-time.txt", "short", when);
    right.file("same-time.txt", "a good deal longer", when);

    const Result compare = run({"compare", "--json", q(left.root()), q(right.root())});
    EXPECT_EQ(compare.exitCode, 1);
    EXPECT_TRUE(compare.out.contains(QByteArray::fromStdString(
        "\"conflicts\":[{\"left\":\"" + left.path("same-time.txt") + "\",\"right\":\"" + right.path("same-time.txt")
        + "\",\"reason\":\"they differ in size but have the same modification time")))
        << compare.out.constData();
    EXPECT_TRUE(compare.out.contains("\"status\":\"\"")) << "the rows keep their empty status";

    const Result text = run(sync(left.root(), right.root()));
    EXPECT_EQ(text.exitCode, 1) << text.out.constData();
    EXPECT_TRUE(text.out.contains(QByteArray::fromStdString("CONFLICT: " + left.path("same-time.txt"))))
        << text.out.constData();
    EXPECT_FALSE(text.out.contains("identical")) << text.out.constData();

    const Result json = run({"sync", "--json", q(left.root()), q(right.root())});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_TRUE(json.out.contains("\"conflicts\":[{")) << json.out.constData();
    EXPECT_TRUE(json.out.contains("\"synchronized\":false")) << json.out.constData();
    EXPECT_EQ(left.read("same-time.txt"), "short");
    EXPECT_EQ(right.read("same-time.txt"), "a good deal longer");
}

namespace {

// The .trashinfo beside a trashed file: its Path, decoded, and DeletionDate.
std::pair<std::string, std::string> trashInfo(const std::string &trash, const std::string &name)
{
    const std::string text = readFile(trash + "/info/" + name + ".trashinfo");
    std::string path, date;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "[Trash Info]");
    while (std::getline(lines, line)) {
        if (line.rfind("Path=", 0) == 0)
            path = QByteArray::fromPercentEncoding(QByteArray::fromStdString(line.substr(5))).toStdString();
        if (line.rfind("DeletionDate=", 0) == 0)
            date = line.substr(13);
    }
    return {path, date};
}

// Points the home trash into a folder of the test's own for the object's life.
struct HomeTrash
{
    TestDir data;
    QByteArray previous = qgetenv("XDG_DATA_HOME");
    HomeTrash() { qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data.root())); }
    ~HomeTrash() { qputenv("XDG_DATA_HOME", previous); }
    std::string path() const { return data.path("Trash"); }
};

} // namespace

// What a sync replaces goes to the Trash on the file's own file system,
// where a file manager restores it byte for byte, with its time and mode.
TEST(SyncIntoTheTrash, ReplacedFilesCanBeRestoredAndEachReplacementKeepsItsOwn)
{
    HomeTrash home;
    TestDir left, right;
    const std::string name = "50% off & more.txt";
    left.file(name, "newer and longer", TestDir::time(2022, 1, 1));
    right.file(name, "oldest", TestDir::time(2020, 1, 1));
    ::chmod(right.path(name).c_str(), 0640);
    const struct stat before = statOf(right.path(name));

    Result r = run(sync(left.root(), right.root()));
    ASSERT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("(the old file is in the Trash: " + q(home.path() + "/files/" + name).toUtf8() + ")"))
        << r.out.constData();
    EXPECT_TRUE(r.out.contains("\n1 replaced file is now in the Trash.\n")) << r.out.constData();
    EXPECT_EQ(right.read(name), "newer and longer");

    // A second replacement of the same name the same day gets its own entry.
    left.file(name, "newest of all, longer still", TestDir::time(2023, 1, 1));
    r = run({"sync", "--json", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 0) << r.out.constData();
    EXPECT_TRUE(r.out.contains("\"trashed\":\"" + q(home.path() + "/files/" + name + ".2").toUtf8() + "\""))
        << r.out.constData();
    EXPECT_EQ(readFile(home.path() + "/files/" + name + ".2"), "newer and longer");

    const auto [path, date] = trashInfo(home.path(), name);
    EXPECT_EQ(path, right.path(name));
    EXPECT_TRUE(QDateTime::fromString(QString::fromStdString(date), Qt::ISODate).isValid()) << date;
    // Restore as a file manager does: the entry back to its Path.
    std::filesystem::remove(right.path(name));
    ASSERT_EQ(::rename((home.path() + "/files/" + name).c_str(), path.c_str()), 0);
    const struct stat restored = statOf(path);
    EXPECT_EQ(readFile(path), "oldest");
    EXPECT_EQ(restored.st_mode, before.st_mode);
    EXPECT_EQ(restored.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(restored.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // --no-trash replaces for good, as before.
    left.file(name, "the very newest, and longest of them", TestDir::time(2024, 1, 1));
    r = run({"sync", "--no-trash", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 0) << r.out.constData();
    EXPECT_FALSE(r.out.contains("Trash")) << r.out.constData();
    EXPECT_EQ(std::filesystem::exists(home.path() + "/files/" + name), false);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.path() + "/info"),
                            std::filesystem::directory_iterator()), 2);
}

// A run killed between any two steps of a replacement leaves the old or the
// new file under its name and, once the new one is there, the old one in
// the trash; the next run finishes the job. With hard links (xfs) the old
// file is linked into the trash first; without them (exFAT) it is moved
// there just before the new one takes its name.
TEST(SyncIntoTheTrash, AKillBetweenAnyTwoStepsLosesNoOldFile)
{
    const Mounted m = onEach({FsImage::Kind::Xfs, FsImage::Kind::Exfat}, 300, [&](FsImage &fs) {
        HomeTrash home; // on another file system: the top folder's trash is used
        const std::string trash = fs.root() + "/.Trash-" + std::to_string(::geteuid());
        const bool links = fs.kind() == FsImage::Kind::Xfs;
        for (const auto &[function, call] : std::vector<std::pair<const char *, int>>{
                 {"fsync", 1}, {"linkat", 1}, {"renameat", 1}, {"renameat", 2}, {"syncfs", 1}}) {
            SCOPED_TRACE(std::string(function) + ":" + std::to_string(call));
            std::filesystem::remove_all(trash);
            TestDir left;
            left.file("doc.txt", "the new version", TestDir::time(2023, 1, 1));
            writeFile(fs.root() + "/doc.txt", "old");
            setTime(fs.root() + "/doc.txt", TestDir::time(2020, 1, 1), 0);

            const Result killed = runKilledAt(sync(left.root(), fs.root()), function, call);
            const bool there = std::filesystem::exists(fs.root() + "/doc.txt");
            const std::string now = there ? readFile(fs.root() + "/doc.txt") : std::string();
            const std::string kept = readFile(trash + "/files/doc.txt");
            EXPECT_TRUE(now == "old" || now == "the new version" || (!links && !there))
                << now << killed.out.constData();
            if (now != "old") {
                EXPECT_EQ(kept, "old");
                EXPECT_EQ(trashInfo(trash, "doc.txt").first, "doc.txt");
            }
            const Result again = run(sync(left.root(), fs.root()));
            EXPECT_EQ(again.exitCode, 0) << again.out.constData() << again.err.constData();
            EXPECT_EQ(readFile(fs.root() + "/doc.txt"), "the new version");
            // The old version is in the trash, once or (a link left by the
            // kill and the next run's own) twice; nothing else is.
            int olds = 0;
            for (const auto &entry : std::filesystem::directory_iterator(trash + "/files")) {
                EXPECT_EQ(readFile(entry.path()), "old") << entry.path();
                ++olds;
            }
            EXPECT_GE(olds, 1);
            // exFAT cannot carry the mark that proves a temporary ours.
            if (links) {
                EXPECT_TRUE(hiddenEntries(fs.root()).empty());
            }
        }
    });
    if (m.ran == 0)
        GTEST_SKIP() << "no file system of the table could be mounted:" << m.skipped;
}

// Where no trash can take the old file, it is not replaced, the reason
// names the trash tried, and the rest of the run goes on.
TEST(SyncIntoTheTrash, NoUsableTrashKeepsTheOldFileAndSaysWhy)
{
    const Mounted m = onEach({FsImage::Kind::Tmpfs}, 64, [&](FsImage &fs) {
        HomeTrash home;
        TestDir left, elsewhere;
        left.file("doc.txt", "the new version", TestDir::time(2023, 1, 1));
        left.file("new.txt", "a new file");
        writeFile(fs.root() + "/doc.txt", "old");
        setTime(fs.root() + "/doc.txt", TestDir::time(2020, 1, 1), 0);

        // The trash folder is a link: refused.
        const std::string trash = fs.root() + "/.Trash-" + std::to_string(::geteuid());
        std::filesystem::create_directory_symlink(elsewhere.root(), trash);
        Result r = run(sync(left.root(), fs.root()));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.contains("the trash folder " + q(trash).toUtf8() + " is a symbolic link"))
            << r.out.constData();
        EXPECT_EQ(readFile(fs.root() + "/doc.txt"), "old");
        EXPECT_EQ(readFile(fs.root() + "/new.txt"), "a new file");
        EXPECT_TRUE(std::filesystem::is_empty(elsewhere.root()));
        std::filesystem::remove(trash);

        // An ordinary user who may not make a trash in the top folder.
        ::chmod(std::filesystem::path(fs.root()).parent_path().c_str(), 0755);
        ::chown(fs.root().c_str(), 0, 0);
        ::chmod(fs.root().c_str(), 0755);
        const std::string folder = fs.root() + "/theirs";
        std::filesystem::create_directory(folder);
        writeFile(folder + "/doc.txt", "their old");
        setTime(folder + "/doc.txt", TestDir::time(2020, 1, 1), 0);
        ::chown(folder.c_str(), 65534, 65534);
        ::chown((folder + "/doc.txt").c_str(), 65534, 65534);
        TestDir source;
        source.file("doc.txt", "the new version", TestDir::time(2023, 1, 1));
        ::chmod(source.root().c_str(), 0755);
        ::chmod(source.path("doc.txt").c_str(), 0644);
        r = runAsNobody(sync(source.root(), folder));
        EXPECT_EQ(r.exitCode, 1) << r.out.constData() << r.err.constData();
        EXPECT_TRUE(r.out.contains("cannot use the trash folder " + q(fs.root() + "/.Trash-65534").toUtf8()
                                   + ": Permission denied"))
            << r.out.constData();
        EXPECT_EQ(readFile(folder + "/doc.txt"), "their old");
    });
    if (m.ran == 0)
        GTEST_SKIP() << "no file system of the table could be mounted:" << m.skipped;
}
