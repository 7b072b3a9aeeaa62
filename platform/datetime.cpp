#include "platform/datetime.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <ctime>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

struct TimeTextCache
{
    QLocale locale = QLocale::system();
    QString dateFormat;
    QString timeFormat;
    std::unordered_map<std::int64_t, std::string> dates;
    std::vector<std::string> times = std::vector<std::string>(24 * 60 * 60);

    TimeTextCache()
    {
        dateFormat = locale.dateFormat(QLocale::ShortFormat);
        timeFormat = locale.timeFormat(QLocale::LongFormat);
        // The long format ends with the time zone; the column shows none.
        timeFormat.replace(QStringLiteral(" t"), QString());
        if (timeFormat.startsWith(QStringLiteral("t ")))
            timeFormat.remove(0, 2);
        timeFormat = timeFormat.trimmed();
    }

    const std::string &date(int year, int month, int day)
    {
        const std::int64_t key = (std::int64_t(year) * 16 + month) * 32 + day;
        auto it = dates.find(key);
        if (it == dates.end())
            it = dates.emplace(key, locale.toString(QDate(year, month, day), dateFormat).toStdString()).first;
        return it->second;
    }

    const std::string &time(int hour, int minute, int second)
    {
        std::string &text = times[std::size_t(hour) * 3600 + minute * 60 + second];
        if (text.empty())
            text = locale.toString(QTime(hour, minute, second), timeFormat).toStdString();
        return text;
    }
};

TimeTextCache *g_cache = nullptr;

TimeTextCache &cache()
{
    if (!g_cache)
        g_cache = new TimeTextCache;
    return *g_cache;
}

bool toLocal(std::int64_t unixSeconds, std::tm &out)
{
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    return localtime_r(&t, &out) != nullptr;
}

} // namespace

std::string LocalTimeText(std::int64_t unixSeconds)
{
    std::tm tm{};
    if (!toLocal(unixSeconds, tm))
        return std::string();
    TimeTextCache &c = cache();
    const int year = tm.tm_year + 1900;
    const int month = tm.tm_mon + 1;
    const bool midnight = tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
    // Day zero of the date-time scale shows its time alone.
    if (year == 1899 && month == 12 && tm.tm_mday == 30)
        return c.time(tm.tm_hour, tm.tm_min, tm.tm_sec);
    const std::string &date = c.date(year, month, tm.tm_mday);
    if (midnight)
        return date;
    std::string text;
    text.reserve(date.size() + 1 + 12);
    text += date;
    text += ' ';
    text += c.time(tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

double FileTimeToDate(std::int64_t fileTime)
{
    // 1601-01-01 to 1970-01-01 in 100-nanosecond intervals.
    constexpr std::int64_t kEpochDifference = 116444736000000000LL;
    const std::int64_t unixSeconds = (fileTime - kEpochDifference) / 10000000;
    std::tm tm{};
    if (!toLocal(unixSeconds, tm))
        return 0.0;
    const std::int64_t localFileTime = fileTime + std::int64_t(tm.tm_gmtoff) * 10000000;
    const long double milliseconds = static_cast<long double>(localFileTime) / 10000.0L;
    return static_cast<double>(milliseconds / 86400000.0L - 109205.0L);
}

void ResetTimeTextCache()
{
    delete g_cache;
    g_cache = nullptr;
}

} // namespace platform
