#include "platform/temporaryname.h"
#include "sync/copy/filecopy.h"

#include "support/fsimage.h"
#include "support/testdir.h"

#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using platform::CopyError;
using platform::CopyFileSafely;
using platform::CopyRequest;
using platform::ExistingDestination;

namespace {

// A copy of the file `from` to `to`, both full paths: below `root` when one
// is given, else each below its own folder.
CopyRequest request(const std::string &from, const std::string &to,
                    ExistingDestination existing = ExistingDestination::Replace, const std::string &root = {})
{
    const auto split = [](const std::string &path, std::string &folder, std::string &name) {
        folder = std::filesystem::path(path).parent_path().string();
        name = std::filesystem::path(path).filename().string();
    };
    CopyRequest r;
    split(from, r.fromRoot, r.from);
    if (root.empty()) {
        split(to, r.toRoot, r.to);
    } else {
        r.toRoot = std::filesystem::path(root).lexically_normal().string();
        r.to = std::filesystem::path(to).lexically_relative(r.toRoot).string();
    }
    r.existing = existing;
    return r;
}

// A tmpfs of 1 MiB mounted for the object's life, or nothing when mounting
// is not allowed here.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(const std::string &where) : m_where(where)
    {
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_where.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::string m_where;
    bool m_mounted = false;
};

} // namespace

TEST(FileCopy, ReplacementCarriesContentTimeAndPermissions)
{
    TestDir dir;
    const std::string from = dir.file("from.txt", "new content");
    const std::string to = dir.file("to.txt", "old");
    ::chmod(from.c_str(), 0640);
    const struct timespec times[2] = {{1500000000, 123456789}, {1600000000, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), times, 0), 0);

    CopyError error;
    ASSERT_TRUE(CopyFileSafely(request(from, to), &error)) << error.reason;
    EXPECT_EQ(dir.read("to.txt"), "new content");
    const struct stat st = statOf(to);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(hiddenEntries(dir.root()).empty());
    char mark[16];
    EXPECT_LT(::getxattr(to.c_str(), "user.corvanel", mark, sizeof mark), 0) << "only temporaries carry the mark";
}

TEST(FileCopy, LargeFileIsCopiedExactlyWithProgress)
{
    TestDir dir;
    std::string content(20 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = char((i * 2654435761u) >> 13);
    const std::string from = dir.file("big.bin", content);
    std::int64_t reported = 0;
    int calls = 0;
    CopyError error;
    ASSERT_TRUE(CopyFileSafely(request(from, dir.path("copy.bin")), &error, [&](std::int64_t n) {
        reported += n;
        ++calls;
    })) << error.reason;
    EXPECT_EQ(dir.read("copy.bin"), content);
    EXPECT_EQ(reported, std::int64_t(content.size()));
    EXPECT_GT(calls, 1) << "a large file reports its progress along the way";
}

TEST(FileCopy, NoReplaceNeverOverwrites)
{
    TestDir dir;
    const std::string from = dir.file("from.txt", "new");
    const std::string to = dir.file("to.txt", "precious");
    CopyError error;
    EXPECT_FALSE(CopyFileSafely(request(from, to, ExistingDestination::Keep), &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_NE(error.reason.find("already exists"), std::string::npos) << error.reason;
    EXPECT_EQ(dir.read("to.txt"), "precious");

    // A dangling link counts as something there.
    ASSERT_EQ(::symlink(dir.path("nowhere").c_str(), dir.path("link").c_str()), 0);
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("link"), ExistingDestination::Keep), &error));
    EXPECT_FALSE(dir.exists("nowhere"));
    EXPECT_TRUE(hiddenEntries(dir.root()).empty());

    EXPECT_TRUE(CopyFileSafely(request(from, dir.path("fresh.txt"), ExistingDestination::Keep), &error));
    EXPECT_EQ(dir.read("fresh.txt"), "new");
}

TEST(FileCopy, LinkAtDestinationIsReplacedNotWrittenThrough)
{
    TestDir dir;
    const std::string target = dir.file("target.txt", "the link's target");
    const std::string from = dir.file("side/from.txt", "new content");
    ASSERT_EQ(::symlink(target.c_str(), dir.path("side/to.txt").c_str()), 0);
    CopyError error;
    ASSERT_TRUE(CopyFileSafely(request(from, dir.path("side/to.txt")), &error)) << error.reason;
    EXPECT_TRUE(S_ISREG(statOf(dir.path("side/to.txt")).st_mode));
    EXPECT_EQ(dir.read("side/to.txt"), "new content");
    EXPECT_EQ(dir.read("target.txt"), "the link's target");
}

TEST(FileCopy, MissingFoldersAreCreatedButNeverThroughALink)
{
    TestDir dir;
    const std::string from = dir.file("left/a/b/c.txt", "c");
    dir.folder("right");
    CopyError error;
    ASSERT_TRUE(CopyFileSafely(request(from, dir.path("right/a/b/c.txt"), ExistingDestination::Keep,
                                       dir.path("right") + "/"),
                               &error))
        << error.reason;
    EXPECT_EQ(dir.read("right/a/b/c.txt"), "c");

    // A root is never created: a vanished one (an unmounted drive) takes nothing.
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("other/x/c.txt")), &error));
    EXPECT_FALSE(dir.exists("other"));

    // A folder below the root that is a link leads out of the tree.
    dir.folder("outside");
    ASSERT_EQ(::symlink(dir.path("outside").c_str(), dir.path("right/linked").c_str()), 0);
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("right/linked/c.txt"), ExistingDestination::Keep,
                                        dir.path("right")),
                                &error));
    EXPECT_NE(error.reason.find("symbolic link"), std::string::npos) << error.reason;
    EXPECT_FALSE(dir.exists("outside/c.txt"));

    // A file where a folder should be.
    dir.file("right/plain", "p");
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("right/plain/c.txt"), ExistingDestination::Keep,
                                        dir.path("right")),
                                &error));
    EXPECT_NE(error.reason.find("not a folder"), std::string::npos) << error.reason;
    EXPECT_EQ(dir.read("right/plain"), "p");
    EXPECT_TRUE(hiddenEntries(dir.root()).empty());
}

TEST(FileCopy, FailuresLeaveTheOldFileAndNoTemporary)
{
    TestDir dir;
    const std::string to = dir.file("to.txt", "old");
    CopyError error;
    EXPECT_FALSE(CopyFileSafely(request(dir.path("gone.txt"), to), &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.reason, "cannot read the source: No such file or directory");
    EXPECT_EQ(dir.read("to.txt"), "old");

    ASSERT_EQ(::mkfifo(dir.path("fifo").c_str(), 0644), 0);
    EXPECT_FALSE(CopyFileSafely(request(dir.path("fifo"), to), &error)) << "a FIFO must not hang the copy";
    EXPECT_EQ(error.reason, "the source is not a regular file");

    dir.folder("folder");
    EXPECT_FALSE(CopyFileSafely(request(dir.file("src.txt", "s"), dir.path("folder")), &error));
    EXPECT_EQ(error.reason, "the destination is a folder");
    EXPECT_TRUE(hiddenEntries(dir.root()).empty());
}

TEST(FileCopy, ReadOnlyDestinationsRefuseAsAnOrdinaryUser)
{
    TestDir dir;
    ASSERT_EQ(::geteuid(), 0u) << "the check needs root to switch users";
    ::chmod(dir.root().c_str(), 0755);
    const std::string from = dir.file("from.txt", "new");
    ::chmod(from.c_str(), 0644);
    dir.file("closed/to.txt", "old in a closed folder");
    dir.file("open/locked.txt", "old read-only file");
    dir.file("open/fine.txt", "old");
    for (const char *f : {"closed", "open"})
        ASSERT_EQ(::chown(dir.path(f).c_str(), 65534, 65534), 0);
    for (const char *f : {"closed/to.txt", "open/locked.txt", "open/fine.txt"})
        ASSERT_EQ(::chown(dir.path(f).c_str(), 65534, 65534), 0);
    ::chmod(dir.path("closed").c_str(), 0555);
    ::chmod(dir.path("open/locked.txt").c_str(), 0444);

    const int status = asNobody([&] {
        CopyError error;
        if (CopyFileSafely(request(from, dir.path("closed/to.txt")), &error))
            return 1;
        if (error.reason != "cannot write in the destination folder: Permission denied")
            return 2;
        if (CopyFileSafely(request(from, dir.path("open/locked.txt")), &error))
            return 3;
        if (error.reason != "the destination is read-only")
            return 4;
        if (!CopyFileSafely(request(from, dir.path("open/fine.txt")), &error))
            return 5;
        // A new file, linked in under its name once complete.
        if (!CopyFileSafely(request(from, dir.path("open/new.txt"), ExistingDestination::Keep), &error))
            return 6;
        if (CopyFileSafely(request(from, dir.path("open/new.txt"), ExistingDestination::Keep), &error))
            return 7;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(dir.read("closed/to.txt"), "old in a closed folder");
    EXPECT_EQ(dir.read("open/locked.txt"), "old read-only file");
    EXPECT_EQ(dir.read("open/fine.txt"), "new");
    EXPECT_EQ(dir.read("open/new.txt"), "new");
    EXPECT_TRUE(hiddenEntries(dir.root()).empty());
}

TEST(FileCopy, ImmutableDestinationIsKept)
{
    TestDir dir;
    const std::string from = dir.file("from.txt", "new");
    const std::string to = dir.file("to.txt", "old");
    if (std::system(("chattr +i '" + to + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "this file system has no immutable attribute (chattr +i failed)";
    CopyError error;
    const bool copied = CopyFileSafely(request(from, to), &error);
    std::system(("chattr -i '" + to + "'").c_str());
    EXPECT_FALSE(copied);
    EXPECT_EQ(error.reason, "cannot replace the destination: Operation not permitted");
    EXPECT_EQ(dir.read("to.txt"), "old");
    EXPECT_TRUE(hiddenEntries(dir.root()).empty());
}

TEST(FileCopy, FullFileSystemKeepsTheOldFile)
{
    TestDir dir;
    const std::string small = dir.folder("small");
    SmallFileSystem fs(small);
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here (needs root and mount permission)";
    dir.file("small/to.bin", std::string(100 * 1024, 'o'));
    const std::string from = dir.file("big.bin", std::string(2 * 1024 * 1024, 'n'));
    CopyError error;
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("small/to.bin")), &error));
    EXPECT_EQ(error.code, ENOSPC);
    EXPECT_NE(error.reason.find("No space left on device"), std::string::npos) << error.reason;
    EXPECT_EQ(dir.read("small/to.bin"), std::string(100 * 1024, 'o'));
    EXPECT_TRUE(hiddenEntries(small).empty());

    // A small file still fits, across file systems.
    EXPECT_TRUE(CopyFileSafely(request(dir.file("little.txt", "fits"), dir.path("small/little.txt")), &error))
        << error.reason;
    EXPECT_EQ(dir.read("small/little.txt"), "fits");
}

TEST(FileCopy, LeftoversOfAKilledRunGoButATemporaryBeingWrittenStays)
{
    TestDir dir;
    const std::string from = dir.file("from.txt", "new");
    dir.file("side/to.txt", "old");
    // Another copy is writing into the folder and has not finished.
    platform::FileCopier busy;
    CopyError error;
    ASSERT_TRUE(busy.stage(request(from, dir.path("side/busy.txt")), &error)) << error.reason;
    // What a killed run leaves: a marked temporary nobody holds, beside files
    // the user named alike. Before, the user's ".plan.corvanel-20240101" went
    // too, since only the name was checked.
    const std::string killed = dir.file("side/.to.txt.corvanel-k1ll3d00", "half of it");
    if (::setxattr(killed.c_str(), "user.corvanel", "temporary", 9, 0) != 0)
        GTEST_SKIP() << "this file system has no user extended attributes";
    dir.file("side/.notes.corvanel-draft", "the user's own");
    dir.file("side/.plan.corvanel-20240101", "the user's own plan");
    ASSERT_EQ(hiddenEntries(dir.path("side")).size(), 4u);

    ASSERT_TRUE(CopyFileSafely(request(from, dir.path("side/to.txt")), &error)) << error.reason;
    EXPECT_FALSE(dir.exists("side/.to.txt.corvanel-k1ll3d00"));
    EXPECT_EQ(dir.read("side/.notes.corvanel-draft"), "the user's own");
    EXPECT_EQ(dir.read("side/.plan.corvanel-20240101"), "the user's own plan");
    ASSERT_EQ(hiddenEntries(dir.path("side")).size(), 3u) << "the busy copy's temporary stays";

    bool landed = false;
    busy.commit([&](std::size_t, const CopyError *e) { landed = e == nullptr; });
    EXPECT_TRUE(landed);
    EXPECT_EQ(dir.read("side/busy.txt"), "new");
    EXPECT_EQ(dir.read("side/to.txt"), "new");
}

namespace {

platform::FileStatus statusOf(const std::string &path)
{
    const struct stat st = statOf(path);
    return {st.st_size, st.st_mtim.tv_sec, std::uint32_t(st.st_mtim.tv_nsec)};
}

// Stages one copy, lets `meanwhile` change the world, then commits.
bool stageThenCommit(platform::FileCopier &copier, const CopyRequest &r, const std::function<void()> &meanwhile,
                     CopyError *error)
{
    if (!copier.stage(r, error))
        return false;
    meanwhile();
    bool ok = false;
    copier.commit([&](std::size_t, const CopyError *e) {
        ok = e == nullptr;
        if (e)
            *error = *e;
    });
    return ok;
}

} // namespace

// Whatever happens between the copy and its rename, the destination the user
// has is never replaced by something it should not be, and no temporary stays.
TEST(FileCopy, ChangesBetweenCopyAndRenameKeepTheDestination)
{
    struct Case
    {
        const char *what;
        ExistingDestination existing;
        std::function<void(TestDir &)> meanwhile;
        const char *reason;
    };
    const std::vector<Case> cases = {
        // Before, an edit saved after the comparison was overwritten by the older source.
        {"the destination is edited", ExistingDestination::Replace,
         [](TestDir &d) { d.file("right/sub/a.txt", "the user's edit"); }, "changed since the comparison"},
        {"the destination is touched", ExistingDestination::Replace,
         [](TestDir &d) { d.setModified("right/sub/a.txt", 1700000000); }, "changed since the comparison"},
        {"the destination is deleted", ExistingDestination::Replace,
         [](TestDir &d) { std::filesystem::remove(d.path("right/sub/a.txt")); }, "changed since the comparison"},
        {"a new file's name is taken", ExistingDestination::Keep,
         [](TestDir &d) { d.file("right/sub/new.txt", "someone else's"); }, "already exists"},
        // Before, an overwrite opened its folder by path and followed the link.
        {"the folder is swapped for a link", ExistingDestination::Replace,
         [](TestDir &d) {
             std::filesystem::rename(d.path("right/sub"), d.path("right/sub.old"));
             std::filesystem::create_directory_symlink(d.path("outside"), d.path("right/sub"));
         },
         "is a symbolic link"},
        {"the folder is moved away and another put in its place", ExistingDestination::Replace,
         [](TestDir &d) {
             std::filesystem::rename(d.path("right/sub"), d.path("right/sub.old"));
             d.file("right/sub/a.txt", "as compared");
         },
         "was moved or replaced"},
        {"the root is replaced (an unmounted drive)", ExistingDestination::Replace,
         [](TestDir &d) {
             std::filesystem::rename(d.path("right"), d.path("right.old"));
             d.folder("right/sub");
             d.file("right/sub/a.txt", "on the disk below");
         },
         "no longer the folder that was compared"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        const std::string from = dir.file("left/a.txt", "newer source");
        const std::string to = dir.file("right/sub/a.txt", "as compared", 1600000000);
        dir.file("outside/a.txt", "outside the tree");
        const bool replace = c.existing == ExistingDestination::Replace;
        CopyRequest r = request(from, replace ? to : dir.path("right/sub/new.txt"), c.existing, dir.path("right"));
        if (replace)
            r.seen = statusOf(to);
        platform::FileCopier copier;
        CopyError error;
        EXPECT_FALSE(stageThenCommit(copier, r, [&] { c.meanwhile(dir); }, &error));
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
        EXPECT_EQ(dir.read("outside/a.txt"), "outside the tree");
        EXPECT_FALSE(dir.exists("right/sub/new.txt") && dir.read("right/sub/new.txt") == "newer source");
        if (dir.exists("right/sub/a.txt")) {
            EXPECT_NE(dir.read("right/sub/a.txt"), "newer source");
        }
        EXPECT_TRUE(hiddenEntries(dir.root()).empty());
    }
}

namespace {

// Runs test on a fresh exFAT and a fresh FAT32 image, each it can mount;
// skips, with the reasons, when it can mount neither.
void onEachStick(const std::function<void(FsImage &fs)> &test)
{
    std::string skipped;
    int ran = 0;
    for (const FsImage::Kind kind : {FsImage::Kind::Exfat, FsImage::Kind::Fat32}) {
        FsImage fs(kind, 32);
        if (!fs.skipReason().empty()) {
            skipped += "\n" + fs.skipReason();
            continue;
        }
        ++ran;
        SCOPED_TRACE(FsImage::name(kind));
        test(fs);
    }
    if (ran == 0)
        GTEST_SKIP() << "no stick could be mounted:" << skipped;
}

} // namespace

// On a stick a small new file's name is checked just before its rename,
// not also before its copy (each name not found is a round trip there):
// taken before the copy or during it, the other file stays whole.
TEST(FileCopy, ANewFilesNameTakenOnAStickIsNeverOverwritten)
{
    onEachStick([](FsImage &fs) {
        TestDir left;
        const std::string from = left.file("new.txt", "newer source");
        // The first copy learns that the volume has no rename that refuses
        // to replace; the name is free.
        platform::FileCopier copier;
        CopyError error;
        ASSERT_TRUE(stageThenCommit(
            copier, request(from, fs.root() + "/first.txt", ExistingDestination::Keep, fs.root()), [] {}, &error))
            << error.reason;
        for (const bool beforeTheCopy : {true, false}) {
            SCOPED_TRACE(beforeTheCopy ? "taken before the copy" : "taken during it");
            const std::string to = fs.root() + "/new" + (beforeTheCopy ? "1" : "2") + ".txt";
            const auto take = [&] { writeFile(to, "someone else's"); };
            if (beforeTheCopy)
                take();
            EXPECT_FALSE(stageThenCommit(copier, request(from, to, ExistingDestination::Keep, fs.root()),
                                         beforeTheCopy ? std::function<void()>([] {}) : take, &error));
            EXPECT_NE(error.reason.find("already exists"), std::string::npos) << error.reason;
            EXPECT_EQ(readFile(to), "someone else's");
            EXPECT_TRUE(hiddenEntries(fs.root()).empty());
        }
    });
}

// A new file's folder is not asked again for each copy: removed (or made
// anew) since the copier's last copy there, the next copy still lands where
// its name leads now, never in the removed folder, where it would vanish.
TEST(FileCopy, ANewFilesFolderRemovedBetweenCopiesIsMadeAgain)
{
    for (const bool madeAgain : {false, true}) {
        SCOPED_TRACE(madeAgain ? "made again by someone else" : "removed");
        TestDir dir;
        dir.folder("right");
        const auto copy = [&](platform::FileCopier &copier, const char *name, CopyError *error) {
            return stageThenCommit(
                copier,
                request(dir.file(std::string("left/sub/") + name, name), dir.path(std::string("right/sub/") + name),
                        ExistingDestination::Keep, dir.path("right")),
                [] {}, error);
        };
        platform::FileCopier copier;
        CopyError error;
        ASSERT_TRUE(copy(copier, "a.txt", &error)) << error.reason;
        std::filesystem::remove_all(dir.path("right/sub"));
        if (madeAgain)
            dir.folder("right/sub");
        EXPECT_TRUE(copy(copier, "b.txt", &error)) << error.reason;
        EXPECT_EQ(dir.read("right/sub/b.txt"), "b.txt");
        EXPECT_TRUE(hiddenEntries(dir.root()).empty());
    }
}

// On a stick each copy is put in place as soon as it is staged, so that a
// folder holds one temporary at a time, yet none is reported done before
// its folder is flushed: a failed folder flush fails the whole batch.
TEST(FileCopy, OnAStickCopiesArePlacedAtOnceAndReportedAfterTheirFolder)
{
    for (const bool folderFails : {false, true}) {
        SCOPED_TRACE(folderFails ? "the folder's flush fails" : "the folder's flush succeeds");
        onEachStick([folderFails](FsImage &fs) {
            platform::FileCopier copier([folderFails](int fd, bool) {
                struct stat st;
                if (folderFails && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
                    errno = EIO;
                    return -1;
                }
                return ::fsync(fd);
            });
            TestDir left;
            std::filesystem::create_directory(fs.root() + "/sub");
            std::vector<std::string> reported;
            for (const char *name : {"a.txt", "b.txt", "c.txt"}) {
                CopyError error;
                ASSERT_TRUE(copier.stage(request(left.file(name, name), fs.root() + "/sub/" + name,
                                                 ExistingDestination::Keep, fs.root()),
                                         &error))
                    << error.reason;
                copier.placeStaged();
                EXPECT_EQ(readFile(fs.root() + "/sub/" + name), name);
                EXPECT_TRUE(hiddenEntries(fs.root()).empty());
            }
            copier.commit([&](std::size_t i, const CopyError *e) {
                reported.push_back(std::to_string(i) + (e ? ": " + e->reason : ""));
            });
            const std::string failed = folderFails ? std::string(": ") + "the copy is in place, but its file system"
                    " did not confirm it is on the disk: Input/output error" : "";
            EXPECT_EQ(reported, (std::vector<std::string>{"0" + failed, "1" + failed, "2" + failed}));
        });
    }
}

TEST(FileCopy, ReplacementNeverCreatesFoldersNorFollowsThem)
{
    TestDir dir;
    const std::string from = dir.file("left/a.txt", "new");
    dir.folder("right");
    dir.file("outside/a.txt", "outside");
    ::symlink(dir.path("outside").c_str(), dir.path("right/linked").c_str());
    CopyError error;
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("right/gone/a.txt"), ExistingDestination::Replace,
                                        dir.path("right")),
                                &error));
    EXPECT_NE(error.reason.find("no longer exists"), std::string::npos) << error.reason;
    EXPECT_FALSE(dir.exists("right/gone"));
    EXPECT_FALSE(CopyFileSafely(request(from, dir.path("right/linked/a.txt"), ExistingDestination::Replace,
                                        dir.path("right")),
                                &error));
    EXPECT_EQ(dir.read("outside/a.txt"), "outside");

    // A root that is no longer the folder compared takes nothing, not even at staging.
    CopyRequest r = request(from, dir.path("right/b.txt"), ExistingDestination::Keep);
    r.toRootId = {1, 2};
    EXPECT_FALSE(CopyFileSafely(r, &error));
    EXPECT_NE(error.reason.find("no longer the folder that was compared"), std::string::npos) << error.reason;
    EXPECT_FALSE(dir.exists("right/b.txt"));
}

// Before, a source rewritten during its copy left a torn copy stamped with the
// old time, which no later comparison would ever repair.
TEST(FileCopy, SourceRewrittenDuringTheCopyIsCopiedAgainOrGivenUp)
{
    for (const int rewrites : {1, 100}) {
        SCOPED_TRACE(rewrites);
        TestDir dir;
        const std::string from = dir.file("from.bin", std::string(20 << 20, 'a'));
        const std::string to = dir.file("to.bin", "old");
        int done = 0;
        CopyError error;
        const bool copied = CopyFileSafely(request(from, to), &error, [&](std::int64_t) {
            if (done < rewrites) {
                ++done;
                // The head and the tail, in place; the size stays.
                const int fd = ::open(from.c_str(), O_WRONLY);
                ::pwrite(fd, "B", 1, 0);
                ::pwrite(fd, "B", 1, (20 << 20) - 1);
                ::close(fd);
            }
        });
        if (rewrites == 1) {
            EXPECT_TRUE(copied) << error.reason;
            EXPECT_EQ(dir.read("to.bin"), dir.read("from.bin"));
            EXPECT_EQ(statOf(to).st_mtim.tv_nsec, statOf(from).st_mtim.tv_nsec);
        } else {
            EXPECT_FALSE(copied);
            EXPECT_EQ(error.reason, platform::kSourceKeptChanging);
            EXPECT_EQ(dir.read("to.bin"), "old");
        }
        EXPECT_TRUE(hiddenEntries(dir.root()).empty());
    }
}

// Both guarantees of the commit, each broken on purpose: a flush that fails
// must keep every old file, and no temporary may outlive it.
TEST(FileCopy, FailedFlushLandsNothing)
{
    for (const int files : {1, 3}) {
        SCOPED_TRACE(files);
        TestDir dir;
        platform::FileCopier copier([](int, bool) {
            errno = EIO;
            return -1;
        });
        CopyError error;
        for (int i = 0; i < files; ++i) {
            const std::string name = "f" + std::to_string(i);
            dir.file("to/" + name, "old");
            ASSERT_TRUE(copier.stage(request(dir.file("from/" + name, "new"), dir.path("to/" + name)), &error));
        }
        int failed = 0;
        copier.commit([&](std::size_t, const CopyError *e) {
            failed += e != nullptr;
            if (e) {
                EXPECT_EQ(e->reason, "cannot write the destination: Input/output error");
            }
        });
        EXPECT_EQ(failed, files);
        for (int i = 0; i < files; ++i)
            EXPECT_EQ(dir.read("to/f" + std::to_string(i)), "old");
        EXPECT_TRUE(hiddenEntries(dir.root()).empty());
    }
}

// Before, a 1.9 GiB file with a few KiB of data was written out in full.
TEST(FileCopy, HolesStayHoles)
{
    TestDir dir;
    const std::string from = dir.path("sparse.bin");
    const std::int64_t size = std::int64_t(1900) << 20;
    {
        const int fd = ::open(from.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ::pwrite(fd, "head", 4, 0);
        ::pwrite(fd, "middle", 6, size / 2);
        ::ftruncate(fd, size);
        ::close(fd);
    }
    if (statOf(from).st_blocks * 512 >= size)
        GTEST_SKIP() << "this file system does not keep holes";
    CopyError error;
    ASSERT_TRUE(CopyFileSafely(request(from, dir.path("copy.bin")), &error)) << error.reason;
    const struct stat st = statOf(dir.path("copy.bin"));
    EXPECT_EQ(st.st_size, size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    const int fd = ::open(dir.path("copy.bin").c_str(), O_RDONLY);
    char head[4], middle[6], tail[1];
    EXPECT_EQ(::pread(fd, head, 4, 0), 4);
    EXPECT_EQ(::pread(fd, middle, 6, size / 2), 6);
    EXPECT_EQ(::pread(fd, tail, 1, size - 1), 1);
    ::close(fd);
    EXPECT_EQ(std::string(head, 4), "head");
    EXPECT_EQ(std::string(middle, 6), "middle");
    EXPECT_EQ(tail[0], '\0');
}

// Before, every run left a temporary in an append-only folder, where it
// could be neither renamed nor removed. A folder found so before staging
// gets none; one that became so after staging gets its temporary named.
TEST(FileCopy, AppendOnlyOrImmutableFoldersGetNoTemporary)
{
    const struct
    {
        const char *flag;
        bool beforeStaging;
        const char *reason;
    } cases[] = {
        {"+a", true, "/locked is append-only: no copy can be put in place there, so nothing is written"},
        {"+i", true, "/locked is immutable: no copy can be put in place there, so nothing is written"},
        {"+a", false, "cannot replace the destination: Operation not permitted"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.flag) + (c.beforeStaging ? " before staging" : " after staging"));
        TestDir dir;
        const std::string from = dir.file("from.txt", "new");
        dir.file("locked/to.txt", "old");
        const std::string chattr = std::string("chattr ") + c.flag + " '" + dir.path("locked") + "' 2>/dev/null";
        if (c.beforeStaging && std::system(chattr.c_str()) != 0)
            GTEST_SKIP() << "this file system has no " << c.flag << " attribute (chattr failed)";
        platform::FileCopier copier;
        CopyError error;
        bool flagged = c.beforeStaging;
        const bool copied = stageThenCommit(copier, request(from, dir.path("locked/to.txt")), [&] {
            flagged = std::system(chattr.c_str()) == 0;
        }, &error);
        const std::vector<std::string> left = hiddenEntries(dir.path("locked"));
        std::system(("chattr -a -i '" + dir.path("locked") + "'").c_str());
        ASSERT_TRUE(flagged) << "chattr " << c.flag << " failed";
        EXPECT_FALSE(copied);
        EXPECT_NE(error.reason.find(c.reason), std::string::npos) << error.reason;
        EXPECT_EQ(dir.read("locked/to.txt"), "old");
        if (c.beforeStaging) {
            EXPECT_TRUE(left.empty());
            EXPECT_TRUE(copier.notes().empty());
            continue;
        }
        ASSERT_EQ(left.size(), 1u);
        ASSERT_EQ(copier.notes().size(), 1u);
        EXPECT_NE(copier.notes()[0].find("remains: " + left[0]), std::string::npos) << copier.notes()[0];
    }
}

namespace {

std::string repeated(const char *piece, int times)
{
    std::string s;
    for (int i = 0; i < times; ++i)
        s += piece;
    return s;
}

bool validUtf8(const std::string &s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size())).toUtf8() == QByteArray::fromStdString(s);
}

} // namespace

// Before, a temporary kept the first 200 bytes of its file's name, cut
// inside a character: file systems that take only UTF-8 names refused it.
TEST(FileCopy, TemporariesKeepWholeCharactersWithinTheNameLimit)
{
    const std::string names[] = {
        "a" + repeated("\u0436", 100),    // 201 bytes of Cyrillic after one letter
        repeated("\u4e2d", 85),           // 255 bytes of CJK
        repeated("\U0001F600", 63) + "abc", // four-byte characters
        std::string(255, 'x'),
        "\xff" + repeated("\u0436", 127), // not UTF-8 at all: cut anywhere
    };
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        TestDir dir;
        const std::string from = dir.file("from.txt", "content");
        dir.folder("to");
        platform::FileCopier copier;
        CopyError error;
        ASSERT_TRUE(copier.stage(request(from, dir.path("to/" + name), ExistingDestination::Keep), &error))
            << error.reason;
        const std::vector<std::string> staged = hiddenEntries(dir.path("to"));
        ASSERT_EQ(staged.size(), 1u);
        const std::string temporary = std::filesystem::path(staged[0]).filename().string();
        EXPECT_LE(temporary.size(), 255u);
        EXPECT_TRUE(platform::IsTemporaryName(temporary));
        EXPECT_EQ(validUtf8(temporary), validUtf8(name)) << temporary;
        const std::size_t kept = temporary.size() - std::string("..corvanel-12345678").size();
        EXPECT_EQ(temporary.substr(1, kept), name.substr(0, kept));
        EXPECT_GE(kept, std::min<std::size_t>(name.size(), 236 - 3)) << "as much of the name as fits";
        copier.commit({});
        EXPECT_EQ(dir.read("to/" + name), "content");
    }
}

// A link whose target this run replaced stands for that target as it was
// compared: the run's own replacement is no change, a later edit is one.
TEST(FileCopy, LinkToAFileThisRunReplacedIsJudgedByWhatItReplaced)
{
    for (const bool editedAfterwards : {false, true}) {
        SCOPED_TRACE(editedAfterwards ? "edited after the run replaced it" : "as the run left it");
        TestDir from, to;
        const auto old = TestDir::time(2020, 1, 1);
        to.file("target.txt", "old", old);
        std::filesystem::create_symlink("target.txt", to.path("link.txt"));
        from.file("target.txt", "new target");
        from.file("link.txt", "new target");
        const platform::FileStatus seen{3, old, 0};

        platform::FileCopier copier;
        const auto copy = [&](const char *name, CopyError &error) {
            CopyRequest r = request(from.path(name), to.path(name));
            r.seen = seen;
            if (!copier.stage(r, &error))
                return false;
            bool ok = true;
            copier.commit([&](std::size_t, const CopyError *e) {
                if (e) {
                    ok = false;
                    error = *e;
                }
            });
            return ok;
        };
        CopyError error;
        ASSERT_TRUE(copy("target.txt", error)) << error.reason;
        if (editedAfterwards)
            to.file("target.txt", "someone else's edit");
        EXPECT_EQ(copy("link.txt", error), !editedAfterwards) << error.reason;
        EXPECT_EQ(S_ISLNK(statOf(to.path("link.txt")).st_mode), editedAfterwards);
        if (editedAfterwards) {
            EXPECT_EQ(error.reason, platform::kChangedSinceComparison);
            EXPECT_EQ(to.read("target.txt"), "someone else's edit");
        }
    }
}

TEST(FileCopy, LinkThatShowsRootWhatItsOwnerMayNotReadIsNotFollowed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the test needs root to plant a link as another user";
    TestDir from, to, secret;
    secret.file("hidden/notes.txt", "root's secret");
    ::chmod(secret.path("hidden").c_str(), 0700);
    std::filesystem::create_symlink(secret.path("hidden/notes.txt"), from.path("notes.txt"));
    ASSERT_EQ(::lchown(from.path("notes.txt").c_str(), 65534, 65534), 0);

    CopyError error;
    EXPECT_FALSE(CopyFileSafely(request(from.path("notes.txt"), to.path("notes.txt"), ExistingDestination::Keep),
                                &error));
    EXPECT_EQ(error.code, EACCES);
    EXPECT_NE(error.reason.find("not followed"), std::string::npos) << error.reason;
    EXPECT_FALSE(to.exists("notes.txt"));
    EXPECT_TRUE(hiddenEntries(to.root()).empty());
}

// As root a copy keeps its source's owner; set-user-ID, set-group-ID and
// sticky bits would turn it into a program run as that owner, so they never
// travel with it, new file or replacement.
TEST(FileCopy, SetIdAndStickyBitsNeverTravelAsRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the bits matter when root copies";
    for (const mode_t mode : {04755, 02755, 01755, 06777}) {
        SCOPED_TRACE(mode);
        TestDir dir;
        const std::string from = dir.file("from", "#!/bin/sh\n");
        ASSERT_EQ(::chown(from.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(from.c_str(), mode), 0);
        for (const auto existing : {ExistingDestination::Keep, ExistingDestination::Replace}) {
            CopyError error;
            ASSERT_TRUE(CopyFileSafely(request(from, dir.path("to"), existing), &error)) << error.reason;
            const struct stat st = statOf(dir.path("to"));
            EXPECT_EQ(st.st_mode & 07777, mode & 0777);
            EXPECT_EQ(st.st_uid, 65534u);
        }
    }
}
