#include "compare/folderscan.h"

#include "platform/datetime.h"
#include "support/testdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace {

TEST(SizesAndTimes, SizesAreSixtyFourBit)
{
    TestDir dir;
    dir.file("empty");
    const std::string big = dir.file("sparse");
    ASSERT_EQ(::truncate(big.c_str(), 5LL * 1024 * 1024 * 1024), 0);
    ResultRows rows;
    FillResultList(rows, dir.root());
    for (const auto &r : rows)
        if (r.name() == "sparse")
            EXPECT_EQ(SizeText(r), "5368709120 bytes");
        else
            EXPECT_EQ(SizeText(r), "0 bytes");
}

TEST(SizesAndTimes, UnreadableFileHasNoSizeButKeepsItsTime)
{
    TestDir dir;
    ::chmod(dir.root().c_str(), 0755);
    dir.file("locked.txt", "secret", TestDir::time(2021, 3, 4, 5, 6, 7));
    dir.file("open.txt", "x");
    ::chmod(dir.path("locked.txt").c_str(), 0600);
    ASSERT_EQ(::geteuid(), 0u) << "the check needs root to switch users";
    const int status = asNobody([&] {
        ResultRows rows;
        FillResultList(rows, dir.root());
        if (rows.size() != 2)
            return 1;
        for (const auto &r : rows) {
            if (r.name() == "locked.txt" && (r.size != -1 || ModifiedText(r).empty()))
                return 2;
            if (r.name() == "open.txt" && r.size != 1)
                return 3;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(SizesAndTimes, UnreadableSubfolderIsSkipped)
{
    TestDir dir;
    ::chmod(dir.root().c_str(), 0755);
    dir.file("a.txt");
    dir.file("closed/b.txt");
    dir.file("later/c.txt");
    ::chmod(dir.path("closed").c_str(), 0700);
    const int status = asNobody([&] {
        ResultRows rows;
        FillResultList(rows, dir.root());
        return rows.size() == 2 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

class LocalTime : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_tz = std::getenv("TZ") ? std::getenv("TZ") : "";
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        platform::ResetTimeTextCache();
    }
    void TearDown() override
    {
        if (m_tz.empty())
            unsetenv("TZ");
        else
            setenv("TZ", m_tz.c_str(), 1);
        tzset();
        platform::ResetTimeTextCache();
    }
    std::string m_tz;
};

TEST_F(LocalTime, MidnightShowsTheDateAlone)
{
    const std::string midnight = platform::LocalTimeText(TestDir::time(2020, 1, 1, 0, 0, 0));
    const std::string second = platform::LocalTimeText(TestDir::time(2020, 1, 1, 0, 0, 1));
    EXPECT_FALSE(midnight.empty());
    EXPECT_EQ(second.rfind(midnight + " ", 0), 0u) << second << " starts with " << midnight;
    EXPECT_EQ(second.substr(midnight.size() + 1), "00:00:01");
}

TEST_F(LocalTime, EachFileShowsTheOffsetOfItsOwnDate)
{
    // 10:00 UTC is 12:00 in Berlin in summer and 11:00 in winter.
    EXPECT_NE(platform::LocalTimeText(1593511200).find("12:00:00"), std::string::npos); // 2020-06-30
    EXPECT_NE(platform::LocalTimeText(1577872800).find("11:00:00"), std::string::npos); // 2020-01-01
}

} // namespace
