#include "compare/comparefolders.h"

#include "platform/settings.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

namespace {

// The right side a stick: equal-size pairs whose times differ by the given
// seconds (stick minus laptop), and diary.txt, edited on the laptop an hour
// and a half after the sync, the stick's copy read with the first offset.
TEST(FindTimeShift, WholeHoursOnMostPairsAreAllowedFor)
{
    constexpr std::int64_t kHour = 3600, kSynced = 1654070400;
    const struct
    {
        const char *name;
        std::vector<std::int64_t> offsets;
        bool bothLocal;
        std::int64_t rightShift;
        Status diary;
        std::size_t unverified;
    } cases[] = {
        {"three-hours-late", {3 * kHour, 3 * kHour, 3 * kHour}, false, -3 * kHour, Status::Newer, 0},
        {"within-fats-step", {5 * kHour + 1, 5 * kHour - 1, 5 * kHour, 5 * kHour}, false, -5 * kHour, Status::Newer, 0},
        {"two-hours-early", {-2 * kHour, -2 * kHour, -2 * kHour, 0}, false, 2 * kHour, Status::Newer, 1},
        {"too-few-pairs", {3 * kHour, 3 * kHour}, false, 0, Status::Older, 2},
        {"no-one-shift-for-most", {3 * kHour, 3 * kHour, 3 * kHour, kHour, kHour}, false, 0, Status::Older, 5},
        {"not-whole-hours", {3 * kHour + 60, 3 * kHour + 60, 3 * kHour + 60}, false, 0, Status::Older, 3},
        {"both-sides-local", {3 * kHour, 3 * kHour, 3 * kHour}, true, 0, Status::Older, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Comparison comparison;
        comparison.leftRoot = "/home/me";
        comparison.rightRoot = "/media/stick";
        comparison.rightResolution = 2000000000;
        comparison.rightLocalTimes = true;
        comparison.leftLocalTimes = c.bothLocal;
        ResultRow &diary = comparison.left.add("diary.txt");
        diary.size = 20;
        diary.modified = kSynced + 90 * 60;
        ResultRow &stale = comparison.right.add("diary.txt");
        stale.size = 10;
        stale.modified = kSynced + c.offsets[0];
        for (std::size_t i = 0; i < c.offsets.size(); ++i) {
            const std::string name = "f" + std::to_string(i);
            ResultRow &l = comparison.left.add(name), &r = comparison.right.add(name);
            l.size = r.size = 5;
            l.modified = kSynced;
            r.modified = kSynced + c.offsets[i];
        }
        FindTimeShift(comparison);
        EXPECT_EQ(comparison.rightShift, c.rightShift);
        EXPECT_EQ(comparison.leftShift, 0);
        PendingOperationList operations;
        MatchRows(comparison, operations);
        EXPECT_EQ(comparison.left[0].status, c.diary);
        EXPECT_EQ(comparison.unverified, c.unverified);
    }
}

// The pair's own setting states the shift; what is no whole number of
// hours a time zone could explain states nothing.
TEST(FindTimeShift, APairsSettingStatesIt)
{
    const TestSettings settings;
    for (const auto &[stored, hours] :
         {std::pair<const char *, std::optional<int>>{"-3", -3}, {"noon", {}}, {"99", {}}}) {
        SCOPED_TRACE(stored);
        ASSERT_TRUE(platform::WritePairSetting("/home/me", "/media/stick", "TimeShift", stored));
        EXPECT_EQ(PairTimeShift("/home/me", "/media/stick"), hours);
    }
}

} // namespace
