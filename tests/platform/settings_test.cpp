#include "platform/settings.h"

#include "support/testdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <utility>

namespace {

TEST(Settings, TextsComeBackExactly)
{
    TestSettings settings;
    const QStringList values = {
        QStringLiteral("C:\\data,D:\\more,"), QStringLiteral("/home/x, y/"), QStringLiteral("Ünïcødé ✓"),
        QString(), QStringLiteral("\"quoted\" ; #hash = eq"), QStringLiteral("-1"),
    };
    for (int i = 0; i < values.size(); ++i)
        ASSERT_TRUE(platform::WriteSetting(QStringLiteral("Key%1").arg(i), values[i]));
    for (int i = 0; i < values.size(); ++i)
        EXPECT_EQ(platform::ReadSetting(QStringLiteral("Key%1").arg(i)), values[i]) << i;
    EXPECT_TRUE(platform::HasSetting(QStringLiteral("Key3")));
    EXPECT_FALSE(platform::HasSetting(QStringLiteral("Absent")));
    EXPECT_EQ(platform::ReadSetting(QStringLiteral("Absent")), QString());
}

TEST(Settings, HandEditedFileIsReadAsTyped)
{
    TestSettings settings;
    {
        std::ofstream out(settings.settingsFile());
        out << "[Corvanel]\nLeftCombo=/a,/b,\nWindowState=2\n";
    }
    EXPECT_EQ(platform::ReadSetting(QStringLiteral("LeftCombo")), QStringLiteral("/a,/b,"));
    EXPECT_EQ(platform::ReadSetting(QStringLiteral("WindowState")), QStringLiteral("2"));
}

TEST(Settings, WritesReachTheFileAtOnce)
{
    TestSettings settings;
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7845")));
    std::ifstream in(settings.settingsFile());
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("[Corvanel]"), std::string::npos);
    EXPECT_NE(content.find("FormHeight=7845"), std::string::npos);
}

TEST(Settings, AValueAlreadyStoredIsNotWrittenAgain)
{
    // Every write is flushed to the disk; the window stores its size on
    // every layout, and used to write it unchanged 24 times for 20 resizes.
    TestSettings settings;
    auto identity = [&] {
        struct stat st {};
        ::stat(settings.settingsFile().c_str(), &st);
        return std::pair(st.st_ino, st.st_mtim.tv_nsec);
    };
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7845")));
    const auto written = identity();
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7845")));
    EXPECT_EQ(identity(), written);
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("FormHeight"), QStringLiteral("7846")));
    EXPECT_NE(identity(), written);
    EXPECT_EQ(platform::ReadSetting(QStringLiteral("FormHeight")), QStringLiteral("7846"));
}

} // namespace

namespace {

// Choices for one pair stay with that pair (the order of the sides counts)
// and never reach the window's own keys.
TEST(Settings, PairChoicesLiveInASectionOfTheirOwn)
{
    TestSettings settings;
    const QString a = QStringLiteral("/home/x/Photos"), b = QStringLiteral("/media/stick [1]/Photos,=;");
    ASSERT_TRUE(platform::WriteSetting(QStringLiteral("Mode"), QStringLiteral("window")));
    ASSERT_TRUE(platform::WritePairSetting(a, b, QStringLiteral("Mode"), QStringLiteral("two-way")));
    EXPECT_EQ(platform::ReadPairSetting(a, b, QStringLiteral("Mode")), QStringLiteral("two-way"));
    EXPECT_EQ(platform::ReadPairSetting(b, a, QStringLiteral("Mode")), QString());
    EXPECT_EQ(platform::ReadSetting(QStringLiteral("Mode")), QStringLiteral("window"));
    EXPECT_EQ(platform::ReadSetting(platform::PairSection(a, b), QStringLiteral("Right")), b);
}

} // namespace
