// corvanel-cli sync onto the file systems people sync to, one suite per
// family: FAT and exFAT sticks (through their FUSE drivers), and the local
// disk as root over folders other users own.

#include "support/clirun.h"

#include "support/fsimage.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

using namespace clirun;

namespace {

QStringList sync(const std::string &left, const std::string &right)
{
    return {"sync", "--", q(left), q(right)};
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void setTime(const std::string &path, std::int64_t seconds, long nanoseconds)
{
    const struct timespec times[2] = {{time_t(seconds), nanoseconds}, {time_t(seconds), nanoseconds}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

struct stat statOf(const std::string &path)
{
    struct stat st = {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Every entry below root (links not followed): a file's content, "<folder>"
// or "<link>".
std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> entries;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string relative = std::filesystem::relative(entry.path(), root).string();
        if (entry.is_symlink())
            entries[relative] = "<link>";
        else if (entry.is_directory())
            entries[relative] = "<folder>";
        else
            entries[relative] = readFile(entry.path().string());
    }
    return entries;
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

} // namespace

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
        for (int i = 0; i < 20; ++i)
            left.file("many/" + std::to_string(i) + ".txt", std::string(std::size_t(i), 'x'));
        ::setxattr(left.path("odd-second.txt").c_str(), "user.origin", "camera", 6, 0);

        const Result first = run(sync(left.root(), fs.root()));
        ASSERT_TRUE(first.finished);
        EXPECT_EQ(first.exitCode, 0) << first.out.constData() << first.err.constData();
        EXPECT_TRUE(first.out.contains("have been synchronized.")) << first.out.constData();
        EXPECT_EQ(occurrences(first.out, "cannot hold everything the sources carry"), 1) << first.out.constData();
        EXPECT_TRUE(first.out.contains("permissions")) << first.out.constData();
        EXPECT_TRUE(first.out.contains("extended attributes")) << first.out.constData();
        EXPECT_EQ(readFile(fs.root() + "/sub/private.txt"), "0600");

        const Result second = run(sync(left.root(), fs.root()));
        EXPECT_EQ(second.exitCode, 0) << second.out.constData();
        EXPECT_TRUE(second.out.contains("are identical.")) << second.out.constData();
    }
    if (ran == 0)
        GTEST_SKIP() << "neither stick could be mounted:" << skipped;
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
            const std::map<std::string, std::string> stick = {
                {"Dir", "<folder>"}, {"Dir/a.txt", "in Dir"}, {"Notes.txt", "upper"}};
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
