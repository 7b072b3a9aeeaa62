// corvanel-cli sync where others may write the volume's top folder, where a
// share refuses a call or carries one out and loses its reply, and where
// the file system sets limits of its own.

#include "platform/temporaryname.h"
#include "support/clirun.h"
#include "sync/copy/filecopy.h"

#include "support/fsimage.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

using namespace clirun;
using platform::kSourceKeptChanging;

namespace {

constexpr std::int64_t kMiB = 1 << 20;

QStringList sync(const std::string &left, const std::string &right)
{
    return {"sync", "--", q(left), q(right)};
}

void writeFile(const std::string &path, const std::string &content, std::int64_t modified)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    const struct timespec times[2] = {{time_t(modified), 0}, {time_t(modified), 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::size_t entries(const std::string &folder)
{
    std::error_code ignored;
    return std::size_t(
        std::distance(std::filesystem::directory_iterator(folder, ignored), std::filesystem::directory_iterator()));
}

// Points the home trash into a folder of the test's own for the object's life.
struct HomeTrash
{
    TestDir data;
    QByteArray previous = qgetenv("XDG_DATA_HOME");
    HomeTrash() { qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data.root())); }
    ~HomeTrash() { qputenv("XDG_DATA_HOME", previous); }
};

// Where runs keep the records of their temporaries, for the object's life.
struct StateHome
{
    TestDir state;
    QByteArray previous = qgetenv("XDG_STATE_HOME");
    StateHome() { qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.root())); }
    ~StateHome() { qputenv("XDG_STATE_HOME", previous); }
};

// A folder made as user nobody would make it: theirs, open to all.
void plantFolder(const std::string &path, mode_t mode)
{
    std::filesystem::create_directory(path);
    ::chown(path.c_str(), 65534, 65534);
    ::chmod(path.c_str(), mode);
}

const std::string kTrash = "/.Trash-" + std::to_string(::geteuid());

} // namespace

// On a volume whose top folder everyone may write (a tmpfs such as /tmp),
// root's replaced files never go into a trash folder a user made or can
// enter: one that is the user's own fails the replacement, naming it; a
// user's folder in a shared .Trash gives way to root's own .Trash-0; root's
// own trash left open to others is closed.
TEST(SyncTrashOwnership, ATrashOthersCanReachIsNeverUsed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the exposure is root's files in a user's folder";
    struct Row
    {
        const char *what;
        std::function<void(const std::string &)> plant;
        bool replaced;
        const char *planted; // the folder that must stay empty, or null
    };
    const std::vector<Row> rows = {
        {"a user's .Trash-0",
         [](const std::string &top) {
             plantFolder(top + kTrash, 0777);
             plantFolder(top + kTrash + "/files", 0777);
             plantFolder(top + kTrash + "/info", 0777);
         },
         false, "/.Trash-0/files"},
        {"a user's 0 in a shared .Trash",
         [](const std::string &top) {
             plantFolder(top + "/.Trash", 01777);
             plantFolder(top + "/.Trash/0", 0777);
             plantFolder(top + "/.Trash/0/files", 0777);
             plantFolder(top + "/.Trash/0/info", 0777);
         },
         true, "/.Trash/0/files"},
        {"root's own .Trash-0 open to all",
         [](const std::string &top) {
             for (const char *folder : {"", "/files", "/info"}) {
                 std::filesystem::create_directory(top + kTrash + folder);
                 ::chmod((top + kTrash + folder).c_str(), 0755);
             }
         },
         true, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FsImage fs(FsImage::Kind::Tmpfs, 16);
        if (!fs.skipReason().empty())
            GTEST_SKIP() << fs.skipReason();
        HomeTrash home;
        const std::string top = fs.root();
        ::chmod(top.c_str(), 01777);
        std::filesystem::create_directory(top + "/private");
        ::chmod((top + "/private").c_str(), 0700);
        writeFile(top + "/private/config.txt", "root's old secret", TestDir::time(2020, 1, 1));
        ::chmod((top + "/private/config.txt").c_str(), 0644);
        row.plant(top);
        TestDir left;
        left.file("private/config.txt", "root's newer, longer secret", TestDir::time(2023, 1, 1));

        const Result r = run(sync(left.root(), top));
        ASSERT_TRUE(r.finished);
        if (row.planted) {
            EXPECT_EQ(entries(top + row.planted), 0u) << "the old file went where a user reads it";
        }
        if (!row.replaced) {
            EXPECT_EQ(r.exitCode, 1) << r.out.constData();
            EXPECT_TRUE(r.out.contains(("the trash folder " + top + kTrash + " belongs to another user").c_str()))
                << r.out.constData();
            EXPECT_EQ(readFile(top + "/private/config.txt"), "root's old secret");
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
        EXPECT_EQ(readFile(top + kTrash + "/files/config.txt"), "root's old secret");
        for (const char *folder : {"", "/files", "/info"}) {
            struct stat st = {};
            ::lstat((top + kTrash + folder).c_str(), &st);
            EXPECT_EQ(st.st_uid, 0u) << folder;
            EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
        }
    }
}

// A service started without HOME keeps replaced files in its user's own
// home trash, as the password database names the home, never in a
// .local/share/Trash made at the top of the disk.
TEST(SyncTrashOwnership, WithoutHomeTheHomeComesFromThePasswordDatabase)
{
    const passwd *entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    TestDir left, right;
    const std::string home = entry->pw_dir;
    struct stat homeSt, rightSt;
    if (::stat(home.c_str(), &homeSt) != 0 || ::stat(right.root().c_str(), &rightSt) != 0
        || homeSt.st_dev != rightSt.st_dev)
        GTEST_SKIP() << "the home folder " << home << " is not on the temporary folders' file system";
    // A name no other run shares, taken out of the real trash afterwards.
    const std::string name = "home-from-passwd-" + std::to_string(::getpid()) + ".txt";
    left.file(name, "the new one", TestDir::time(2023, 1, 1));
    right.file(name, "old", TestDir::time(2020, 1, 1));

    QProcess process;
    process.start(QStringLiteral("env"),
                  QStringList{"-u", "HOME", "-u", "XDG_DATA_HOME", program()} + sync(left.root(), right.root()));
    const Result r = collect(process, 120000);
    const std::string trash = home + "/.local/share/Trash";
    const std::string kept = readFile(trash + "/files/" + name);
    std::filesystem::remove(trash + "/files/" + name);
    std::filesystem::remove(trash + "/info/" + name + ".trashinfo");
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains(("(the old file is in the Trash: " + trash + "/files/" + name + ")").c_str()))
        << r.out.constData();
    EXPECT_EQ(kept, "old");
}

// A share that refuses the rename over the old file, or carries it out and
// loses its reply, with hard links and without: the report tells what
// happened, the old file is under its name or in the trash with its
// .trashinfo, never lost.
TEST(SyncOnShares, ARenameRefusedOrWhoseReplyIsLostLosesNoOldFile)
{
    struct Row
    {
        const char *what;
        QStringList faults;
        bool replaced; // the new copy took the name
        bool keptInTrash; // the old file is (also) in the trash
    };
    const std::vector<Row> rows = {
        {"reply lost, hard links", {"--lose-reply", "rename:/doc.txt"}, true, true},
        {"reply lost, no hard links", {"--no-links", "--lose-reply", "rename:/doc.txt"}, true, true},
        {"refused, hard links", {"--fail", "rename:/doc.txt:EACCES"}, false, false},
        {"refused, no hard links", {"--no-links", "--fail", "rename:/doc.txt:EACCES"}, false, false},
        // Not carried out, but nothing says so: the second link stays.
        {"connection lost, hard links", {"--fail", "rename:/doc.txt:EIO"}, false, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        TestDir lower, left;
        HomeTrash home; // on another file system: the share's own trash is used
        SlowShare share(lower.root(), 0, false, row.faults);
        if (!share.skipReason().empty())
            GTEST_SKIP() << share.skipReason();
        left.file("doc.txt", "the new version", TestDir::time(2023, 1, 1));
        writeFile(share.root() + "/doc.txt", "old", TestDir::time(2020, 1, 1));

        const Result r = run(sync(left.root(), share.root()));
        ASSERT_TRUE(r.finished);
        const std::string trash = share.root() + kTrash;
        EXPECT_EQ(r.exitCode, row.replaced ? 0 : 1) << r.out.constData() << r.err.constData();
        EXPECT_EQ(readFile(share.root() + "/doc.txt"), row.replaced ? "the new version" : "old");
        EXPECT_EQ(readFile(trash + "/files/doc.txt"), row.keptInTrash ? "old" : "");
        EXPECT_EQ(std::filesystem::exists(trash + "/info/doc.txt.trashinfo"), row.keptInTrash);
        if (row.replaced) {
            EXPECT_TRUE(r.out.contains(("(the old file is in the Trash: " + trash + "/files/doc.txt)").c_str()))
                << r.out.constData();
        } else if (row.keptInTrash) {
            EXPECT_TRUE(r.out.contains(("the old file is kept in the trash folder " + trash).c_str()))
                << r.out.constData();
        }
        EXPECT_TRUE(hiddenEntries(share.root()).empty());
    }
}

// The steps a way of syncing takes on a share, their replies lost: a move to
// the Trash and a rename that happened are done, the moved file keeps its
// note in the Trash. Before, both were reported failed and the note went.
TEST(SyncOnShares, AMoveToTheTrashOrARenameWhoseReplyIsLostIsDone)
{
    TestDir lower, left;
    HomeTrash home;
    StateHome state;
    const QStringList faults = {"--lose-reply", "rename:" + QString::fromStdString(kTrash) + "/files/gone.txt",
                                "--lose-reply", "rename:/moved/a.txt"};
    SlowShare share(lower.root(), 0, false, faults);
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    for (const char *name : {"a.txt", "gone.txt", "k1.txt", "k2.txt", "k3.txt"})
        writeFile(left.path(name), std::string("file ") + name, TestDir::time(2023, 1, 1));
    const auto twoWay = [&] { return run({"sync", "--mode", "two-way", "--", q(left.root()), q(share.root())}); };
    ASSERT_EQ(twoWay().exitCode, 0);
    std::filesystem::remove(left.path("gone.txt"));
    std::filesystem::create_directory(left.path("moved"));
    std::filesystem::rename(left.path("a.txt"), left.path("moved/a.txt"));

    const Result r = twoWay();
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    const std::string trash = share.root() + kTrash;
    EXPECT_EQ(readFile(trash + "/files/gone.txt"), "file gone.txt");
    EXPECT_TRUE(std::filesystem::exists(trash + "/info/gone.txt.trashinfo"));
    EXPECT_EQ(readFile(share.root() + "/moved/a.txt"), "file a.txt");
    EXPECT_FALSE(std::filesystem::exists(share.root() + "/a.txt"));
}

// Where each file and folder is flushed on its own (FUSE, shares), the
// trash's files/ and info/ reach the disk before the rename over the old
// file: a power cut after it finds the old file in the trash.
TEST(SyncOnShares, TheTrashIsFlushedBeforeTheOldFileIsReplaced)
{
    for (const bool links : {true, false}) {
        SCOPED_TRACE(links ? "hard links" : "no hard links");
        TestDir lower, left, logs;
        HomeTrash home;
        const std::string log = logs.path("calls");
        QStringList options = {"--log", q(log)};
        if (!links)
            options << "--no-links";
        SlowShare share(lower.root(), 0, false, options);
        if (!share.skipReason().empty())
            GTEST_SKIP() << share.skipReason();
        left.file("doc.txt", "the new version", TestDir::time(2023, 1, 1));
        writeFile(share.root() + "/doc.txt", "old", TestDir::time(2020, 1, 1));

        const Result r = run(sync(left.root(), share.root()));
        ASSERT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
        std::vector<std::string> calls;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            calls.push_back(line);
        const auto at = [&](const std::function<bool(const std::string &)> &match) {
            const auto found = std::find_if(calls.begin(), calls.end(), match);
            return found == calls.end() ? -1 : int(found - calls.begin());
        };
        const std::string keeping = (links ? "link /doc.txt " : "rename /doc.txt ") + kTrash + "/files/doc.txt";
        const int kept = at([&](const std::string &c) { return c == keeping; });
        const int replaced = at(
            [](const std::string &c) { return c.starts_with("rename /.") && c.ends_with(" /doc.txt"); });
        ASSERT_GE(kept, 0) << r.out.constData();
        ASSERT_GT(replaced, kept);
        for (const char *folder : {"/files", "/info"}) {
            const int flushed = at([&](const std::string &c) { return c == "fsyncdir " + kTrash + folder; });
            EXPECT_GT(flushed, kept) << folder;
            EXPECT_LT(flushed, replaced) << folder;
        }
    }
}

// FAT holds no file of 4 GiB or more: such a copy fails at once, before a
// byte is written, and the rest of the run goes on.
TEST(SyncLimits, FilesOf4GiBOrMoreFailAtOnceOnFat32)
{
    FsImage fs(FsImage::Kind::Fat32, 64);
    if (!fs.skipReason().empty())
        GTEST_SKIP() << fs.skipReason();
    TestDir left;
    {
        std::ofstream big(left.path("big.img"));
    }
    std::filesystem::resize_file(left.path("big.img"), std::uintmax_t(4) << 30); // a hole, costs nothing
    left.file("small.txt", "fits");

    const Result r = run(sync(left.root(), fs.root()), QString(), 60000);
    ASSERT_TRUE(r.finished) << "the copy was tried";
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.contains(("FAILED: " + left.path("big.img") + " copied to " + fs.root()
                                + "/big.img: FAT32 cannot hold files of 4 GiB or more")
                                   .c_str()))
        << r.out.constData();
    EXPECT_EQ(readFile(fs.root() + "/small.txt"), "fits");
    EXPECT_FALSE(std::filesystem::exists(fs.root() + "/big.img"));
    EXPECT_TRUE(hiddenEntries(fs.root()).empty());
}

// A run killed where its temporaries carry no mark (a share without
// extended attributes, or the mark not yet written) names them in its
// record: the next run removes them, and a user's hidden file that merely
// looks like one stays.
TEST(SyncOnShares, AKilledRunsUnmarkedTemporariesGoWithTheNextRun)
{
    for (const bool share : {true, false}) {
        SCOPED_TRACE(share ? "a share without extended attributes" : "killed before the mark was written");
        TestDir lower, left;
        StateHome records;
        std::unique_ptr<SlowShare> layer;
        if (share) {
            layer = std::make_unique<SlowShare>(lower.root(), 0, false, QStringList{"--no-xattrs"});
            if (!layer->skipReason().empty())
                GTEST_SKIP() << layer->skipReason();
        }
        const std::string to = share ? layer->root() : lower.root();
        const std::string lookalike = to + "/" + platform::TemporaryName("mine.txt", {});
        writeFile(lookalike, "a user's own hidden file", TestDir::time(2021, 1, 1));
        writeLargeFile(left.path("big.bin"), 48, 4);

        if (share) {
            QProcess process;
            process.start(program(), sync(left.root(), to));
            ASSERT_TRUE(waitUntilCopying(process, to + "/", kMiB)) << "the copy never started";
            process.kill();
            collect(process, 10000);
        } else {
            runKilledAt(sync(left.root(), to), "fsetxattr", 1);
        }
        ASSERT_EQ(hiddenEntries(to).size(), 2u) << "the kill left its temporary";

        const Result r = run(sync(left.root(), to));
        EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
        EXPECT_EQ(hiddenEntries(to), std::vector<std::string>{lookalike});
        EXPECT_TRUE(sameContent(left.path("big.bin"), to + "/big.bin"));
    }
}

// A share that refuses to rename or remove a file still open, as SMB does:
// each temporary is closed, once flushed, before its rename or removal, so
// new files and replacements land and a failure leaves no temporary.
TEST(SyncOnShares, TemporariesAreClosedBeforeTheyAreRenamedOrRemoved)
{
    TestDir lower, left;
    HomeTrash home;
    SlowShare share(lower.root(), 0, false,
                    {"--busy-while-open", "--fail", "link:/f1.txt:EACCES", "--fail", "rename:/f1.txt:EACCES"});
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    for (int i = 0; i < 30; ++i)
        left.file("f" + std::to_string(i) + ".txt", "new " + std::to_string(i), TestDir::time(2023, 1, 1));
    writeFile(share.root() + "/f0.txt", "old", TestDir::time(2020, 1, 1));

    const Result r = run(sync(left.root(), share.root()));
    EXPECT_EQ(r.exitCode, 1) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains(("FAILED: " + left.path("f1.txt") + " copied to " + share.root() + "/f1.txt: ").c_str()))
        << r.out.constData();
    EXPECT_TRUE(r.err.contains("1 of 30 file operations failed. 29 were carried out.")) << r.err.constData();
    EXPECT_EQ(readFile(share.root() + "/f0.txt"), "new 0");
    EXPECT_EQ(readFile(share.root() + kTrash + "/files/f0.txt"), "old");
    EXPECT_TRUE(hiddenEntries(share.root()).empty());
}

// sshfs keeps a file's status for 20 s: a source rewritten on the server
// during its copy, to the same size, shows no change there. The copy is
// checked against the source read again, so what lands is a version the
// source held as a whole, never a mix that would then compare as identical.
TEST(SyncOnShares, ASourceRewrittenOnTheServerDuringItsCopyIsNeverTorn)
{
    TestDir remote, right;
    writeLargeFile(remote.path("big.bin"), 64, 5);
    SshShare share(remote.root());
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    ASSERT_TRUE(std::filesystem::exists(share.root() + "/big.bin"));

    QProcess process;
    process.start(program(), sync(share.root(), right.root()));
    ASSERT_TRUE(waitUntilCopying(process, right.root() + "/", kMiB)) << "the copy never started";
    ::kill(pid_t(process.processId()), SIGSTOP);
    writeLargeFile(remote.path("big.bin"), 64, 6); // on the server: same size, other bytes
    ::kill(pid_t(process.processId()), SIGCONT);
    const Result r = collect(process, 180000);

    ASSERT_TRUE(r.finished);
    if (r.out.contains(kSourceKeptChanging))
        EXPECT_FALSE(right.exists("big.bin"));
    else
        EXPECT_TRUE(sameContent(remote.path("big.bin"), right.path("big.bin"))) << r.out.constData();
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

// An SMB share through smbnetfs: before, nothing copied ("Device or
// resource busy": each temporary was renamed while open) and temporaries
// piled up. New files and replacements land, the old files in a trash at
// the share's own top, since none can be made above it.
TEST(SyncOnShares, AnSmbShareTakesNewFilesAndReplacements)
{
    TestDir served, left;
    ::chmod(served.root().c_str(), 0777);
    SmbShare share(served.root());
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    HomeTrash home;
    for (int i = 0; i < 30; ++i)
        left.file("dest/f" + std::to_string(i) + ".txt", "file " + std::to_string(i), TestDir::time(2022, 1, 1));
    Result r = run(sync(left.root(), share.root()));
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_EQ(entries(served.path("dest")), 30u);

    left.file("dest/f0.txt", "file 0, newer and longer", TestDir::time(2023, 1, 1));
    r = run(sync(left.root(), share.root()));
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_EQ(readFile(served.path("dest/f0.txt")), "file 0, newer and longer");
    EXPECT_EQ(readFile(served.path(kTrash.substr(1) + "/files/f0.txt")), "file 0");
    EXPECT_TRUE(r.out.contains("is a share whose client keeps sizes and times for a while")) << r.out.constData();
    EXPECT_TRUE(hiddenEntries(served.root()).empty());
}
