// Last-modified texts in every locale Qt knows, and at a leap second.

#include "platform/datetime.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Sets TZ for the test's life.
class TimeZone
{
public:
    explicit TimeZone(const char *zone)
    {
        if (const char *old = std::getenv("TZ"))
            m_old = old, m_had = true;
        setenv("TZ", zone, 1);
        tzset();
        platform::ResetTimeTextCache();
    }
    ~TimeZone()
    {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        platform::ResetTimeTextCache();
    }

private:
    std::string m_old;
    bool m_had = false;
};

TEST(TimeTexts, EveryLocaleShowsDateAndTimeWithoutZoneOrStrayLetters)
{
    TimeZone zone("Europe/Madrid");
    const QDate date(2024, 3, 7);
    const QList<QLocale> locales = QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    ASSERT_GT(locales.size(), 100);
    for (const QLocale &locale : locales) {
        const QString name = locale.name();
        const QString dateText = locale.toString(date, platform::GeneralDateFormat(locale));
        EXPECT_TRUE(dateText.contains(locale.toString(date, QStringLiteral("yyyy")))) << name.toStdString() << ": " << dateText.toStdString();

        const QString format = platform::GeneralTimeFormat(locale);
        const QString time = platform::FormatTimeOfDay(locale, format, 17, 5, 9);
        // Before: "(CET)" in es_ES, a literal "B" in zh_TW.
        for (const char *zoneText : {"CET", "CEST", "GMT", "UTC", "Madrid", "(", "["})
            EXPECT_FALSE(time.contains(QLatin1String(zoneText))) << name.toStdString() << ": " << time.toStdString();
        EXPECT_FALSE(format.contains(QLatin1Char('t')) && !format.contains(QLatin1Char('\'')))
            << name.toStdString() << ": " << format.toStdString();
        // The minutes and seconds, in the locale's digits.
        EXPECT_TRUE(time.contains(locale.toString(QTime(17, 5, 9), QStringLiteral("m")))) << name.toStdString();
        EXPECT_TRUE(time.contains(locale.toString(QTime(17, 5, 9), QStringLiteral("s")))) << name.toStdString();
        // The program's own rendering is Qt's wherever Qt can render.
        EXPECT_EQ(time, locale.toString(QTime(17, 5, 9), format)) << name.toStdString();
    }
}

TEST(TimeTexts, NamedLocales)
{
    struct Case
    {
        const char *locale;
        QTime time;
        const char *expected;
    };
    const Case cases[] = {
        {"es_ES", QTime(14, 0, 0), "14:00:00"},
        {"en_US", QTime(14, 3, 4), "2:03:04 PM"},
        {"de_DE", QTime(9, 3, 4), "09:03:04"},
        {"C", QTime(23, 59, 59), "23:59:59"},
    };
    for (const Case &c : cases) {
        const QLocale locale(QLatin1String(c.locale));
        EXPECT_EQ(platform::FormatTimeOfDay(locale, platform::GeneralTimeFormat(locale), c.time.hour(), c.time.minute(),
                                            c.time.second()),
                  QLatin1String(c.expected))
            << c.locale;
    }
    // zh_TW marks the half of the day with a field Qt prints as a letter.
    const QLocale taiwan(QStringLiteral("zh_TW"));
    const QString text = platform::FormatTimeOfDay(taiwan, platform::GeneralTimeFormat(taiwan), 17, 5, 5);
    EXPECT_FALSE(text.contains(QLatin1Char('B'))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("17:05:05")) || text.contains(taiwan.pmText())) << text.toStdString();
    // Two-digit years in the short date come out with four.
    const QLocale us(QStringLiteral("en_US"));
    EXPECT_EQ(us.toString(QDate(2024, 3, 7), platform::GeneralDateFormat(us)), QStringLiteral("3/7/2024"));
}

TEST(TimeTexts, LeapSecondIsATimeOfDay)
{
    // Under the "right/" zones the clock counts leap seconds: the last
    // second of 2016 reads 23:59:60. Before, it indexed past a cache and
    // crashed corvanel-cli.
    TimeZone zone("right/UTC");
    std::int64_t leap = -1;
    for (std::int64_t t = 1483228800; t < 1483228800 + 40 && leap < 0; ++t) {
        const std::time_t value = t;
        std::tm tm{};
        if (localtime_r(&value, &tm) && tm.tm_sec == 60)
            leap = t;
    }
    if (leap < 0)
        GTEST_SKIP() << "right/UTC is not installed (tzdata)";
    const QLocale locale = QLocale::system();
    const std::string text = platform::LocalTimeText(leap);
    const std::string before = platform::LocalTimeText(leap - 1);
    EXPECT_NE(text, before);
    EXPECT_NE(text.find(platform::FormatTimeOfDay(locale, platform::GeneralTimeFormat(locale), 23, 59, 60).toStdString()),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("60"), std::string::npos) << text;
}

TEST(TimeTexts, EveryInstantReadsAsLocaltimeHasIt)
{
    // Hours with a change of offset (half-hour and 45-minute zones, a day
    // skipped in Apia) or a leap second, next to plain ones; instants at
    // both ends of every hour and every second around leap seconds.
    const QLocale locale = QLocale::system();
    const QString dateFormat = platform::GeneralDateFormat(locale);
    const QString timeFormat = platform::GeneralTimeFormat(locale);
    const auto expected = [&](std::int64_t t) {
        const std::time_t value = t;
        std::tm tm{};
        localtime_r(&value, &tm);
        std::string text = locale.toString(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday), dateFormat).toStdString();
        if (tm.tm_hour || tm.tm_min || tm.tm_sec)
            text += " " + platform::FormatTimeOfDay(locale, timeFormat, tm.tm_hour, tm.tm_min, tm.tm_sec).toStdString();
        return text;
    };
    std::vector<std::int64_t> instants;
    for (std::int64_t hour = 1293840000 / 3600; hour < 1356998400 / 3600; hour += 5)
        for (const std::int64_t second : {0, 1, 1800, 3598, 3599})
            instants.push_back(hour * 3600 + second);
    for (const std::int64_t midnight : {1341100800, 1435708800, 1483228800})
        for (std::int64_t t = midnight - 5; t < midnight + 40; ++t)
            instants.push_back(t);
    for (const char *name : {"Europe/Berlin", "Australia/Lord_Howe", "Asia/Kathmandu", "Pacific/Apia",
                             "America/St_Johns", "right/Europe/London"}) {
        TimeZone zone(name);
        int wrong = 0;
        for (const std::int64_t t : instants) {
            if (wrong < 3 && platform::LocalTimeText(t) != expected(t)) {
                ++wrong;
                ADD_FAILURE() << name << " at " << t << ": " << platform::LocalTimeText(t) << " against " << expected(t);
            }
        }
    }
}

} // namespace
