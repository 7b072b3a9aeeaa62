#include "platform/datetime.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <algorithm>
#include <ctime>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

// One piece of a Qt date or time format: a field (a run of one letter, or
// "AP"/"ap") or literal text (quoted, or anything that is not a letter).
struct FormatToken
{
    bool field = false;
    QString text;
};

std::vector<FormatToken> tokenize(const QString &format)
{
    std::vector<FormatToken> tokens;
    auto literal = [&tokens](const QString &text) {
        if (!tokens.empty() && !tokens.back().field)
            tokens.back().text += text;
        else
            tokens.push_back({false, text});
    };
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            // '' inside or outside quotes is one quote character.
            QString text;
            qsizetype j = i + 1;
            for (; j < format.size(); ++j) {
                if (format[j] == QLatin1Char('\'')) {
                    if (j + 1 < format.size() && format[j + 1] == QLatin1Char('\'')) {
                        text += QLatin1Char('\'');
                        ++j;
                        continue;
                    }
                    break;
                }
                text += format[j];
            }
            literal(j == i + 1 ? QStringLiteral("'") : text);
            i = j + 1;
        } else if ((c == QLatin1Char('A') || c == QLatin1Char('a')) && i + 1 < format.size()
                   && format[i + 1].toLower() == QLatin1Char('p')) {
            tokens.push_back({true, format.mid(i, 2)});
            i += 2;
        } else if (c.isLetter() && c.unicode() < 128) {
            qsizetype j = i;
            while (j < format.size() && format[j] == c)
                ++j;
            tokens.push_back({true, format.mid(i, j - i)});
            i = j;
        } else {
            literal(QString(c));
            ++i;
        }
    }
    return tokens;
}

// Literal text that only frames something removed: spaces, brackets, commas.
bool onlyFraming(const QString &text)
{
    for (QChar c : text) {
        if (!c.isSpace() && !c.isPunct())
            return false;
    }
    return true;
}

// Keeps the fields whose letter is in `keep`; drops every other field (the
// zone, letters Qt does not know and would print as they are) and the
// framing left at either end.
std::vector<FormatToken> keepFields(const QString &format, const QString &keep)
{
    std::vector<FormatToken> kept;
    for (FormatToken &token : tokenize(format)) {
        if (token.field && !keep.contains(token.text[0]))
            continue;
        if (!token.field && !kept.empty() && !kept.back().field)
            kept.back().text += token.text;
        else
            kept.push_back(std::move(token));
    }
    while (!kept.empty() && !kept.back().field && onlyFraming(kept.back().text))
        kept.pop_back();
    while (!kept.empty() && !kept.front().field && onlyFraming(kept.front().text))
        kept.erase(kept.begin());
    return kept;
}

QString joinFormat(const std::vector<FormatToken> &tokens)
{
    QString format;
    for (const FormatToken &token : tokens) {
        if (token.field) {
            format += token.text;
        } else {
            QString quoted = token.text;
            quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
            format += QLatin1Char('\'') + quoted + QLatin1Char('\'');
        }
    }
    return format;
}

QString twoDigits(const QLocale &locale, int value)
{
    QString text = locale.toString(value);
    if (value < 10)
        text.prepend(locale.zeroDigit());
    return text;
}

struct TimeTextCache
{
    QLocale locale = QLocale::system();
    QString dateFormat = GeneralDateFormat(locale);
    QString timeFormat = GeneralTimeFormat(locale);
    std::unordered_map<std::int64_t, std::string> dates;
    // Indexed by hour, minute and second up to 60: a leap second (23:59:60
    // under the "right/" zones) is a time of day too.
    std::vector<std::string> times = std::vector<std::string>(24 * 60 * 61);

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
        static const std::string none;
        if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
            return none;
        std::string &text = times[(std::size_t(hour) * 60 + minute) * 61 + second];
        if (text.empty())
            text = FormatTimeOfDay(locale, timeFormat, hour, minute, second).toStdString();
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

QString GeneralDateFormat(const QLocale &locale)
{
    std::vector<FormatToken> tokens = keepFields(locale.dateFormat(QLocale::ShortFormat), QStringLiteral("dMy"));
    for (FormatToken &token : tokens) {
        if (token.field && token.text[0] == QLatin1Char('y'))
            token.text = QStringLiteral("yyyy");
    }
    return joinFormat(tokens);
}

QString GeneralTimeFormat(const QLocale &locale)
{
    std::vector<FormatToken> tokens = keepFields(locale.timeFormat(QLocale::LongFormat), QStringLiteral("hHmsAa"));
    const bool marker = std::any_of(tokens.begin(), tokens.end(), [](const FormatToken &token) {
        return token.field && token.text[0].toLower() == QLatin1Char('a');
    });
    if (!marker) {
        // The locale marks the half of the day with a field Qt cannot show
        // (zh_TW's "B"); without it a 12-hour clock would be ambiguous.
        for (FormatToken &token : tokens) {
            if (token.field && token.text[0] == QLatin1Char('h'))
                token.text.fill(QLatin1Char('H'));
        }
    }
    return joinFormat(tokens);
}

QString FormatTimeOfDay(const QLocale &locale, const QString &format, int hour, int minute, int second)
{
    QString text;
    for (const FormatToken &token : tokenize(format)) {
        if (!token.field) {
            text += token.text;
            continue;
        }
        const QChar letter = token.text[0];
        const bool padded = token.text.size() >= 2;
        auto number = [&](int value) { return padded ? twoDigits(locale, value) : locale.toString(value); };
        if (letter == QLatin1Char('H')) {
            text += number(hour);
        } else if (letter == QLatin1Char('h')) {
            text += number(hour % 12 == 0 ? 12 : hour % 12);
        } else if (letter == QLatin1Char('m')) {
            text += number(minute);
        } else if (letter == QLatin1Char('s')) {
            text += number(second);
        } else if (letter.toLower() == QLatin1Char('a')) {
            const QString marker = hour < 12 ? locale.amText() : locale.pmText();
            text += letter == QLatin1Char('A') ? marker.toUpper() : marker.toLower();
        }
    }
    return text;
}

} // namespace platform
