#include "compare/contentcompare.h"

#include "support/fsimage.h"
#include "support/rows.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <ctime>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

struct Run
{
    Comparison comparison;
    PendingOperationList operations;
};

std::unique_ptr<Run> compared(const std::string &left, const std::string &right)
{
    auto run = std::make_unique<Run>();
    EXPECT_TRUE(CompareFolders(left, right, CompareHooks(), run->comparison, run->operations));
    return run;
}

// Files larger than the chunk, so that a difference past the first turn is
// found; read in turns on one device and at once on two.
TEST(CompareContents, PairsThatDifferAreOrderedAndTheSameStayOk)
{
    const std::int64_t day = 86400, now = std::int64_t(std::time(nullptr));
    const std::string big(10000, 'x');
    const struct
    {
        const char *name;
        std::string left, right;
        std::int64_t leftTime, rightTime;
        Status status;
    } cases[] = {
        {"same-bytes-other-times", big, big, now - 2 * day, now - day, Status::OK},
        {"last-byte-differs", big + "a", big + "b", now - day, now - 2 * day, Status::Newer},
        {"first-byte-differs", "a" + big, "b" + big, now - 2 * day, now - day, Status::Older},
        {"differs-dated-in-the-future", big + "a", big + "b", now + day, now - day, Status::None},
        {"differs-same-time-unread", big + "a", big + "b", now - day, now - day, Status::OK},
    };
    FsImage tmpfs(FsImage::Kind::Tmpfs, 16);
    for (const bool twoDevices : {false, true}) {
        SCOPED_TRACE(twoDevices ? "two devices" : "one device");
        if (twoDevices && !tmpfs.skipReason().empty()) {
            std::printf("two devices not tried: %s\n", tmpfs.skipReason().c_str());
            continue;
        }
        TestDir left, right;
        const std::string rightRoot = twoDevices ? tmpfs.root() : right.root();
        for (const auto &c : cases) {
            left.file(c.name, c.left, c.leftTime);
            writeFile(rightRoot + "/" + c.name, c.right);
            setTime(rightRoot + "/" + c.name, c.rightTime, 0);
        }
        const auto run = compared(left.root(), rightRoot);
        EXPECT_EQ(run->comparison.unverified, 4u);
        ContentOptions options;
        options.chunk = 4096;
        const ContentFindings found = CompareContents(run->comparison, run->operations, options);
        EXPECT_EQ(found.read, 4u);
        EXPECT_EQ(found.different, 3u);
        EXPECT_EQ(found.failed, 0u);
        EXPECT_EQ(run->comparison.unverified, 0u);
        EXPECT_EQ(run->operations.count(), 2);
        EXPECT_EQ(run->comparison.futureDated.size(), 1u);
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(RowNamed(run->comparison.left, c.name).status, c.status);
        }
    }
}

// What a caller chooses: a subset, pairs known to be the same, a stop.
TEST(CompareContents, ChosenKnownAndStoppedPairsAreNotRead)
{
    TestDir left, right;
    const std::int64_t early = TestDir::time(2024, 1, 1), late = TestDir::time(2024, 1, 2);
    for (const char *name : {"a.txt", "b.txt"}) {
        left.file(name, std::string("left ") + name, early);
        right.file(name, std::string("rght ") + name, late);
    }
    const struct
    {
        const char *name;
        ContentOptions options;
        std::size_t read, unverified;
        bool cancelled;
    } cases[] = {
        {"only-a", {[](std::string_view name) { return name == "a.txt"; }, {}, {}}, 1, 1, false},
        {"a-known-the-same",
         {{}, [](const ResultRow &l, const ResultRow &) { return l.name() == "a.txt"; }, {}},
         1,
         0,
         false},
        {"stopped", {{}, {}, [](const ContentProgress &) { return false; }}, 0, 2, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = compared(left.root(), right.root());
        const ContentFindings found = CompareContents(run->comparison, run->operations, c.options);
        EXPECT_EQ(found.read, c.read);
        EXPECT_EQ(found.cancelled, c.cancelled);
        EXPECT_EQ(run->comparison.unverified, c.unverified);
        EXPECT_EQ(std::size_t(run->operations.count()), c.read);
    }
}

// Many small pairs, one in a hundred different: each found, none missed.
TEST(CompareContents, TenThousandSmallPairs)
{
    TestDir left, right;
    const std::int64_t early = TestDir::time(2024, 1, 1), late = TestDir::time(2024, 1, 2);
    constexpr int kPairs = 10000;
    for (int i = 0; i < kPairs; ++i) {
        const std::string name = "d" + std::to_string(i / 500) + "/f" + std::to_string(i) + ".txt";
        const std::string content = "content of file " + std::to_string(i);
        left.file(name, content, early);
        right.file(name, i % 100 == 7 ? content.substr(0, content.size() - 1) + "#" : content, late);
    }
    const auto run = compared(left.root(), right.root());
    ASSERT_EQ(run->comparison.unverified, std::size_t(kPairs));
    std::size_t calls = 0;
    ContentOptions options;
    options.progress = [&calls](const ContentProgress &p) {
        calls += p.filesTotal == kPairs;
        return true;
    };
    const ContentFindings found = CompareContents(run->comparison, run->operations, options);
    EXPECT_EQ(found.read, std::size_t(kPairs));
    EXPECT_EQ(found.different, std::size_t(kPairs / 100));
    EXPECT_EQ(run->comparison.unverified, 0u);
    EXPECT_EQ(run->operations.count(), kPairs / 100);
    EXPECT_EQ(RowNamed(run->comparison.right, "d0/f7.txt").status, Status::Newer);
    EXPECT_GT(calls, std::size_t(kPairs));
}

// A pair past 2 GiB, sparse so that it costs no disk: a difference beyond
// the 31st bit of the offset is found, and the same bytes stay "OK".
TEST(CompareContents, PairsPastTwoGibibytes)
{
    TestDir left, right;
    const std::int64_t early = TestDir::time(2024, 1, 1), late = TestDir::time(2024, 1, 2);
    const off_t size = (off_t(1) << 31) + 4096;
    for (const char *name : {"same.img", "differs.img"}) {
        for (TestDir *side : {&left, &right}) {
            const std::string path = side->path(name);
            const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            ASSERT_GE(fd, 0);
            const char last = side == &right && std::string(name) == "differs.img" ? 'r' : 'l';
            ASSERT_EQ(::pwrite(fd, &last, 1, size - 1), 1);
            ::close(fd);
            setTime(path, side == &left ? early : late, 0);
        }
    }
    const auto run = compared(left.root(), right.root());
    const ContentFindings found = CompareContents(run->comparison, run->operations, ContentOptions());
    EXPECT_EQ(found.read, 2u);
    EXPECT_EQ(found.different, 1u);
    EXPECT_EQ(RowNamed(run->comparison.right, "differs.img").status, Status::Newer);
    EXPECT_EQ(RowNamed(run->comparison.right, "same.img").status, Status::OK);
}

} // namespace
