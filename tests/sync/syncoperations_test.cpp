#include "compare/comparefolders.h"
#include "sync/spacecheck.h"
#include "sync/syncoperations.h"

#include "support/fsimage.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

// Compares the two trees into a fresh list, as the window does.
PendingOperationList compare(const TestDir &left, const TestDir &right)
{
    PendingOperationList operations;
    Comparison comparison;
    EXPECT_TRUE(CompareFolders(left.root(), right.root(), {}, comparison, operations));
    return operations;
}

struct timespec modifiedOf(const std::string &path)
{
    struct stat st = {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

} // namespace

TEST(SyncOperations, JobsFollowTheListInSlotOrder)
{
    TestDir left, right;
    left.file("a.txt", "newer and longer", TestDir::time(2021, 1, 1));
    right.file("a.txt", "old", TestDir::time(2020, 1, 1));
    left.file("sub/b.txt", "b");
    const PendingOperationList operations = compare(left, right);
    const SyncPlan jobs = SyncJobs(operations);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_TRUE(jobs.jobs[0].replace);
    EXPECT_EQ(jobs.to(0), right.path("a.txt"));
    EXPECT_FALSE(jobs.jobs[1].replace);
    EXPECT_EQ(jobs.from(1), left.path("sub/b.txt"));
    EXPECT_EQ(jobs.to(1), right.path("sub/b.txt"));
    EXPECT_EQ(jobs.roots.right, right.root());
}

TEST(SyncOperations, BringsBothSidesIntoStep)
{
    TestDir left, right;
    // Both directions, a new subfolder, and more files than one flush batch.
    left.file("newer.txt", "left wins", TestDir::time(2021, 5, 5));
    right.file("newer.txt", "old", TestDir::time(2020, 5, 5));
    right.file("older.txt", "right wins", TestDir::time(2022, 1, 1));
    left.file("older.txt", "old", TestDir::time(2019, 1, 1));
    for (int i = 0; i < 300; ++i)
        left.file("deep/er/f" + std::to_string(i) + ".txt", std::string(i, 'x'));
    right.file("only-right.txt", "r");
    right.file("not-utf8-\xff\xfe.txt", "bytes, not text");

    const PendingOperationList operations = compare(left, right);
    const SyncPlan jobs = SyncJobs(operations);
    ASSERT_EQ(jobs.size(), 304u);
    std::size_t lastFilesDone = 0;
    bool monotonic = true;
    const SyncReport report = RunSyncJobs(jobs, [&](const SyncProgress &p) {
        monotonic = monotonic && p.filesDone >= lastFilesDone && p.bytesDone <= p.bytesTotal;
        lastFilesDone = p.filesDone;
        return true;
    });
    EXPECT_TRUE(report.allDone());
    EXPECT_EQ(report.done, 304u);
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(lastFilesDone, 304u);

    EXPECT_TRUE(compare(left, right).empty());
    EXPECT_EQ(right.read("newer.txt"), "left wins");
    EXPECT_EQ(left.read("older.txt"), "right wins");
    EXPECT_EQ(right.read("deep/er/f299.txt"), std::string(299, 'x'));
    EXPECT_EQ(left.read("not-utf8-\xff\xfe.txt"), "bytes, not text");
    const struct timespec a = modifiedOf(left.path("deep/er/f7.txt")), b = modifiedOf(right.path("deep/er/f7.txt"));
    EXPECT_EQ(a.tv_sec, b.tv_sec);
    EXPECT_EQ(a.tv_nsec, b.tv_nsec);
    EXPECT_TRUE(hiddenEntries(left.root()).empty());
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

TEST(SyncOperations, BatchesFitTheOpenFileLimit)
{
    // Each staged copy holds a descriptor: under a limit of 200 open files,
    // batches of the usual 512 would fail most copies for want of one, and
    // under 40, the old least batch of 64 did. Descriptors taken by someone
    // else in the process once the run has begun (the callback takes all
    // but a few) make the copies land what is staged and go on; lanes left
    // without any hand their folders to the last, which waits for the
    // others' descriptors (this case failed now and then when it did not).
    const struct
    {
        rlim_t limit;
        bool othersTakeMost;
    } cases[] = {{200, false}, {40, false}, {200, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.limit) + (c.othersTakeMost ? ", others take most" : ""));
        TestDir left, right;
        for (int i = 0; i < 300; ++i)
            left.file("d" + std::to_string(i % 12) + "/f" + std::to_string(i), "x");
        const PendingOperationList operations = compare(left, right);
        const pid_t child = ::fork();
        if (child == 0) {
            const struct rlimit low = {c.limit, c.limit};
            if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
                ::_exit(2);
            bool taken = !c.othersTakeMost;
            const SyncReport report = RunSyncJobs(SyncJobs(operations), [&](const SyncProgress &) {
                std::vector<int> held;
                for (int fd; !taken && (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
                    held.push_back(fd);
                for (int i = 0; i < 8 && !held.empty(); ++i, held.pop_back())
                    ::close(held.back());
                taken = true;
                return true;
            });
            ::_exit(report.allDone() && report.done == 300 ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(compare(left, right).empty());
    }
}

TEST(SyncOperations, FailuresAreReportedAndTheRestStillRun)
{
    TestDir left, right;
    left.file("1-gone.txt", "vanishes before the sync");
    left.file("2-taken.txt", "mine");
    left.file("3-fine.txt", "fine");
    left.file("4-replace.txt", "newer text", TestDir::time(2022, 1, 1));
    right.file("4-replace.txt", "old", TestDir::time(2020, 1, 1));
    const PendingOperationList operations = compare(left, right);
    const SyncPlan jobs = SyncJobs(operations);
    ASSERT_EQ(jobs.size(), 4u);

    std::filesystem::remove(left.path("1-gone.txt"));
    // Someone else's file appears where a copy was to go.
    right.file("2-taken.txt", "someone else's");

    const SyncReport report = RunSyncJobs(jobs);
    EXPECT_EQ(report.failed, 2u);
    EXPECT_EQ(report.done, 2u);
    EXPECT_FALSE(report.allDone());
    EXPECT_EQ(right.read("2-taken.txt"), "someone else's");
    EXPECT_EQ(right.read("3-fine.txt"), "fine");
    EXPECT_EQ(right.read("4-replace.txt"), "newer text");
    EXPECT_TRUE(hiddenEntries(right.root()).empty());

    const std::string text = SyncFailureText(jobs, report);
    EXPECT_EQ(text.rfind("2 of 4 file operations failed. 2 were carried out.", 0), 0u) << text;
    EXPECT_NE(text.find(left.path("1-gone.txt") + " -> " + right.path("1-gone.txt")
                        + ": cannot read the source: No such file or directory"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(right.path("2-taken.txt") + ": the destination already exists; it is not overwritten"),
              std::string::npos)
        << text;
}

TEST(SyncOperations, FailureTextNamesOnlyTheFirstFew)
{
    SyncPlan jobs;
    jobs.roots.left = "/l";
    jobs.roots.right = "/r";
    jobs.jobs.resize(8);
    SyncReport report;
    report.outcomes.resize(8);
    for (int i = 0; i < 7; ++i) {
        jobs.jobs[i].name = std::to_string(i);
        report.outcomes[i] = {SyncResult::Failed, "reason " + std::to_string(i), {}};
    }
    report.outcomes[7].result = SyncResult::Done;
    report.failed = 7;
    report.done = 1;
    const std::string text = SyncFailureText(jobs, report, 5);
    EXPECT_NE(text.find("/l/4 -> /r/4: reason 4"), std::string::npos) << text;
    EXPECT_EQ(text.find("/l/5"), std::string::npos) << text;
    EXPECT_NE(text.find("... and 2 more."), std::string::npos) << text;
}

TEST(SyncOperations, StopLetsTheCurrentFileLandAndCountsTheRestAsNotDone)
{
    TestDir left, right;
    for (int i = 0; i < 10; ++i)
        left.file("f" + std::to_string(i) + ".txt", "content " + std::to_string(i));
    const SyncPlan jobs = SyncJobs(compare(left, right));
    ASSERT_EQ(jobs.size(), 10u);
    const SyncReport report = RunSyncJobs(jobs, [&](const SyncProgress &p) {
        return p.bytesDone == 0; // stop once the first file's bytes are in
    });
    EXPECT_EQ(report.done, 1u);
    EXPECT_EQ(report.notDone, 9u);
    EXPECT_TRUE(report.stopped);
    EXPECT_EQ(report.outcomes[0].result, SyncResult::Done);
    EXPECT_EQ(report.outcomes[1].result, SyncResult::NotDone);
    EXPECT_EQ(right.read(std::filesystem::path(jobs.to(0)).filename().string()),
              left.read(std::filesystem::path(jobs.from(0)).filename().string()));
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
    const std::string text = SyncFailureText(jobs, report);
    EXPECT_EQ(text, "The synchronization was stopped: 9 of 10 file operations were not carried out. 1 was carried out.");
}

namespace {

// Both sides of a run, built the same way each time: new files in new
// folders three deep (both ways), replacements, links in the destination to
// files the run replaces, and failures made after the comparison.
struct LaneScenario
{
    TestDir left, right;
    LaneScenario()
    {
        const auto old = TestDir::time(2020, 1, 1), newer = TestDir::time(2023, 1, 1);
        for (int i = 0; i < 240; ++i) {
            const std::string folder = "t" + std::to_string(i % 6) + "/s" + std::to_string(i % 4) + "/u" + std::to_string(i % 5);
            (i % 7 == 0 ? right : left).file(folder + "/f" + std::to_string(i), std::string(i % 50, 'a' + i % 26), old);
        }
        for (int i = 0; i < 30; ++i) {
            const std::string name = "r" + std::to_string(i % 3) + "/g" + std::to_string(i);
            left.file(name, "newer " + std::to_string(i), newer);
            right.file(name, "old", old);
            right.folder("links" + std::to_string(i % 3));
            std::filesystem::create_symlink("../" + name, right.path("links" + std::to_string(i % 3) + "/l" + std::to_string(i)));
            left.file("links" + std::to_string(i % 3) + "/l" + std::to_string(i), "newer " + std::to_string(i), newer);
        }
        left.file("gone/vanishes", "x", old);
        left.file("taken/here", "mine", old);
    }
    // After the comparison: a source goes, someone else's file takes a name.
    void meddle()
    {
        std::filesystem::remove(left.path("gone/vanishes"));
        right.file("taken/here", "someone else's", TestDir::time(2020, 1, 1));
    }
    // Every file and link of both trees with its content, roots left out.
    std::string contents() const
    {
        std::string all;
        for (const TestDir *side : {&left, &right}) {
            std::vector<std::string> lines;
            for (const auto &entry : std::filesystem::recursive_directory_iterator(side->root())) {
                const std::string relative = std::filesystem::relative(entry.path(), side->root()).string();
                if (entry.is_symlink())
                    lines.push_back(relative + " -> " + std::filesystem::read_symlink(entry.path()).string());
                else if (entry.is_regular_file())
                    lines.push_back(relative + ": " + side->read(relative) + " @" + std::to_string(side->modified(relative)));
            }
            std::sort(lines.begin(), lines.end());
            for (const std::string &line : lines)
                all += line + "\n";
            all += "--\n";
        }
        return all;
    }
};

std::string withoutRoots(std::string text, const LaneScenario &s)
{
    for (const auto &[root, shown] : {std::pair(s.left.root(), "LEFT"), std::pair(s.right.root(), "RIGHT")}) {
        for (std::size_t at; (at = text.find(root)) != std::string::npos;)
            text.replace(at, root.size(), shown);
    }
    return text;
}

} // namespace

// Copies in flight give each job the outcome and each tree the content that
// one copy at a time gives, and the callback is never entered twice at once.
TEST(SyncOperations, LanesCarryOutWhatOneLaneDoes)
{
    std::string expected;
    for (const std::size_t lanes : {1, 4, 16}) {
        SCOPED_TRACE(std::to_string(lanes) + " lanes");
        LaneScenario s;
        const SyncPlan plan = SyncJobs(compare(s.left, s.right));
        ASSERT_EQ(plan.size(), 302u);
        s.meddle();
        std::atomic<int> inside{0};
        bool overlapped = false;
        std::size_t lastDone = 0;
        bool monotonic = true;
        SyncOptions options;
        options.lanes = lanes;
        const SyncReport report = RunSyncJobs(plan, [&](const SyncProgress &p) {
            overlapped = overlapped || ++inside > 1;
            std::this_thread::yield();
            monotonic = monotonic && p.filesDone >= lastDone;
            lastDone = p.filesDone;
            --inside;
            return true;
        }, options);
        EXPECT_FALSE(overlapped);
        EXPECT_TRUE(monotonic);
        EXPECT_EQ(lastDone, 302u);
        EXPECT_EQ(report.failed, 2u);
        EXPECT_EQ(report.done, 300u);
        EXPECT_EQ(report.trashed, 60u);
        std::string outcomes;
        for (std::size_t i = 0; i < plan.size(); ++i)
            outcomes += plan.jobs[i].name + " " + std::to_string(int(report.outcomes[i].result)) + " "
                + report.outcomes[i].reason + "\n";
        const std::string got = withoutRoots(outcomes + SyncFailureText(plan, report, 5) + "\n" + s.contents(), s);
        if (expected.empty())
            expected = got;
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(hiddenEntries(s.left.root()).empty());
        EXPECT_TRUE(hiddenEntries(s.right.root()).empty());
    }
}

// A stop lets every lane land what it holds: each job is done, with its file
// in place, or not done, with nothing written for it.
TEST(SyncOperations, StopWithLanesLeavesEachJobDoneOrUntouched)
{
    LaneScenario s;
    const SyncPlan plan = SyncJobs(compare(s.left, s.right));
    SyncOptions options;
    options.lanes = 8;
    const SyncReport report = RunSyncJobs(plan, [&](const SyncProgress &p) { return p.bytesDone < 400; }, options);
    EXPECT_TRUE(report.stopped);
    EXPECT_EQ(report.failed, 0u);
    EXPECT_GT(report.done, 0u);
    EXPECT_EQ(report.done + report.notDone, plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const SyncJob &job = plan.jobs[i];
        const TestDir &from = job.fromLeft ? s.left : s.right, &to = job.fromLeft ? s.right : s.left;
        SCOPED_TRACE(job.name);
        if (report.outcomes[i].result == SyncResult::Done)
            EXPECT_EQ(to.read(job.name), from.read(job.name));
        else if (!job.replace)
            EXPECT_FALSE(to.exists(job.name));
        else if (job.name.rfind("links", 0) == 0)
            EXPECT_TRUE(std::filesystem::is_symlink(to.path(job.name)));
        else
            EXPECT_EQ(to.read(job.name), "old");
    }
    EXPECT_TRUE(hiddenEntries(s.right.root()).empty());
    EXPECT_TRUE(hiddenEntries(s.left.root()).empty());
}

// Onto a share that answers each call after a millisecond, the lanes keep
// several copies in flight, never more calls at once than there are lanes,
// and every file arrives whole.
TEST(SyncOperations, ASlowShareGetsNoMoreCallsAtOnceThanThereAreLanes)
{
    TestDir source, lower;
    SyncPlan plan;
    for (int i = 0; i < 120; ++i) {
        SyncJob job;
        job.name = "d" + std::to_string(i % 10) + "/f" + std::to_string(i);
        source.file(job.name, std::string(std::size_t(i), 'x'));
        job.size = i;
        plan.jobs.push_back(job);
    }
    lower.folder("dest");
    SlowShare share(lower.root(), 1);
    if (!share.skipReason().empty())
        GTEST_SKIP() << share.skipReason();
    plan.roots.left = source.root();
    plan.roots.right = share.root() + "/dest";
    SyncOptions options;
    options.lanes = 4;
    const SyncReport report = RunSyncJobs(plan, {}, options);
    EXPECT_TRUE(report.allDone()) << SyncFailureText(plan, report);
    for (const SyncJob &job : plan.jobs)
        EXPECT_EQ(lower.read("dest/" + job.name), source.read(job.name));
    EXPECT_LE(share.mostInFlight(), 4);
    EXPECT_GE(share.mostInFlight(), 3) << "the lanes kept too few calls in flight";
}

// A 4 MB tmpfs mounted below the destination root runs full: a 5 MB file
// first, then small ones that would fit by themselves. The estimate sees
// that file system on its own; run all the same, the copies left for it
// fail at once, with one reason, and the root's own file system goes on.
TEST(SyncOperations, AFullFileSystemFailsTheOperationsLeftForItAtOnce)
{
    TestDir left, right;
    right.folder("small");
    if (::mount("tmpfs", right.path("small").c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "cannot mount a 4 MiB tmpfs here (needs root): " << std::strerror(errno);
    struct Unmount
    {
        std::string where;
        ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
    } unmount{right.path("small")};
    left.file("small/a-big.bin", std::string(5 << 20, 'b'));
    for (int i = 0; i < 5; ++i)
        left.file("small/b" + std::to_string(i), "small");
    left.file("on-the-root.txt", "fits");
    const SyncPlan jobs = SyncJobs(compare(left, right));
    const std::vector<SpaceShortage> shortages = FindSpaceShortages(jobs, true);
    ASSERT_EQ(shortages.size(), 1u);
    EXPECT_EQ(shortages[0].root, right.path("small"));
    SyncOptions options;
    options.lanes = 1;
    const SyncReport report = RunSyncJobs(jobs, {}, options);
    EXPECT_EQ(report.failed, 6u) << "before: the small files were copied after the big one failed";
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const bool small = jobs.jobs[i].name.rfind("small/", 0) == 0;
        EXPECT_EQ(report.outcomes[i].result, small ? SyncResult::Failed : SyncResult::Done) << jobs.jobs[i].name;
        EXPECT_EQ(report.outcomes[i].reason, small ? "cannot write the destination: No space left on device" : "");
    }
    EXPECT_EQ(right.read("on-the-root.txt"), "fits");
}
