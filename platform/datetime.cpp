#include "platform/datetime.h"

#include <QDate>
#include <QLocale>

#include <algorithm>
#include <climits>
#include <ctime>
#include <memory>
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

// A time format taken apart once, with the locale's numbers up to 60 and its
// markers ready as UTF-8, so that each time of day costs a few appends.
class TimeOfDayFormat
{
public:
    TimeOfDayFormat(const QLocale &locale, const QString &format)
    {
        for (int value = 0; value <= 60; ++value) {
            m_numbers[0][value] = locale.toString(value).toStdString();
            m_numbers[1][value] = twoDigits(locale, value).toStdString();
        }
        for (const FormatToken &token : tokenize(format)) {
            Token piece;
            const QChar letter = token.text[0];
            piece.padded = token.text.size() >= 2;
            if (!token.field) {
                piece.text = token.text.toStdString();
            } else if (letter == QLatin1Char('H')) {
                piece.kind = Kind::Hour24;
            } else if (letter == QLatin1Char('h')) {
                piece.kind = Kind::Hour12;
            } else if (letter == QLatin1Char('m')) {
                piece.kind = Kind::Minute;
            } else if (letter == QLatin1Char('s')) {
                piece.kind = Kind::Second;
            } else if (letter.toLower() == QLatin1Char('a')) {
                piece.kind = Kind::Marker;
                const bool upper = letter == QLatin1Char('A');
                piece.text = (upper ? locale.amText().toUpper() : locale.amText().toLower()).toStdString();
                piece.pm = (upper ? locale.pmText().toUpper() : locale.pmText().toLower()).toStdString();
            } else {
                continue; // a field no time of day fills
            }
            m_tokens.push_back(std::move(piece));
        }
    }

    // The second may be 60, a leap second.
    void append(std::string &out, int hour, int minute, int second) const
    {
        for (const Token &token : m_tokens) {
            const std::string *numbers = m_numbers[token.padded ? 1 : 0];
            switch (token.kind) {
            case Kind::Text: out += token.text; break;
            case Kind::Hour24: out += numbers[hour]; break;
            case Kind::Hour12: out += numbers[hour % 12 == 0 ? 12 : hour % 12]; break;
            case Kind::Minute: out += numbers[minute]; break;
            case Kind::Second: out += numbers[second]; break;
            case Kind::Marker: out += hour < 12 ? token.text : token.pm; break;
            }
        }
    }

private:
    enum class Kind : std::uint8_t { Text, Hour24, Hour12, Minute, Second, Marker };
    struct Token
    {
        Kind kind = Kind::Text;
        bool padded = false;
        std::string text; // the literal, or the AM marker
        std::string pm;
    };
    std::vector<Token> m_tokens;
    std::string m_numbers[2][61]; // plain and two-digit
};

bool validTimeOfDay(int hour, int minute, int second)
{
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

std::int64_t floorDivide(std::int64_t a, std::int64_t b)
{
    return a / b - (a % b < 0 ? 1 : 0);
}

struct LocalFields
{
    std::int64_t year = 0;
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

bool toLocal(std::int64_t unixSeconds, std::tm &out)
{
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    return localtime_r(&t, &out) != nullptr;
}

// How far local time runs ahead of the given instant.
std::int64_t shiftOf(std::int64_t unixSeconds, const std::tm &local)
{
    return DaysFromCivil(std::int64_t(local.tm_year) + 1900, unsigned(local.tm_mon + 1), unsigned(local.tm_mday)) * 86400
        + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec - unixSeconds;
}

struct TimeTextCache
{
    QLocale locale = QLocale::system();
    QString dateFormat = GeneralDateFormat(locale);
    TimeOfDayFormat time{locale, GeneralTimeFormat(locale)};
    std::unordered_map<std::int64_t, std::string> dates;

    std::int64_t lastDate = INT64_MIN;
    const std::string *lastDateText = nullptr;

    // Rows next to each other are often of one day: that day's text is kept
    // at hand.
    const std::string &date(int year, int month, int day)
    {
        const std::int64_t key = (std::int64_t(year) * 16 + month) * 32 + day;
        if (key == lastDate)
            return *lastDateText;
        auto it = dates.find(key);
        if (it == dates.end())
            it = dates.emplace(key, locale.toString(QDate(year, month, day), dateFormat).toStdString()).first;
        lastDate = key;
        lastDateText = &it->second;
        return it->second;
    }

    void appendTime(std::string &out, int hour, int minute, int second) const
    {
        if (validTimeOfDay(hour, minute, second))
            time.append(out, hour, minute, second);
    }

    // localtime_r takes a lock of the whole process and works through the
    // zone's rules on every call. Within a day, local time is nearly always
    // the instant moved by one amount: kept for each day asked, when the
    // start, middle and end of the day agree on it. A day that holds a
    // change of offset or a leap second asks localtime_r for each instant.
    static constexpr std::int64_t kAskEachTime = INT64_MIN;
    std::unordered_map<std::int64_t, std::int64_t> shifts; // by UTC day
    std::int64_t lastDay = INT64_MIN, lastShift = kAskEachTime;
    std::int64_t lastLocalDay = INT64_MIN;
    CivilDate lastLocalDate{};

    std::int64_t shiftOfDay(std::int64_t day)
    {
        if (day == lastDay)
            return lastShift;
        auto it = shifts.find(day);
        if (it == shifts.end()) {
            std::int64_t shift = kAskEachTime;
            const std::int64_t points[3] = {day * 86400, day * 86400 + 43200, day * 86400 + 86399};
            std::tm tm[3] = {};
            if (toLocal(points[0], tm[0]) && toLocal(points[1], tm[1]) && toLocal(points[2], tm[2])
                && tm[0].tm_sec < 60 && tm[1].tm_sec < 60 && tm[2].tm_sec < 60
                && shiftOf(points[0], tm[0]) == shiftOf(points[1], tm[1])
                && shiftOf(points[0], tm[0]) == shiftOf(points[2], tm[2]))
                shift = shiftOf(points[0], tm[0]);
            it = shifts.emplace(day, shift).first;
        }
        lastDay = day;
        lastShift = it->second;
        return lastShift;
    }

    bool local(std::int64_t unixSeconds, LocalFields &fields)
    {
        // Far beyond any calendar localtime_r can give, and out of reach of
        // overflow in the sums below.
        constexpr std::int64_t kFar = std::int64_t(1) << 56;
        const bool far = unixSeconds > kFar || unixSeconds < -kFar;
        const std::int64_t shift = far ? kAskEachTime : shiftOfDay(floorDivide(unixSeconds, 86400));
        if (shift == kAskEachTime) {
            std::tm tm{};
            if (!toLocal(unixSeconds, tm))
                return false;
            fields = {std::int64_t(tm.tm_year) + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
            return true;
        }
        const std::int64_t localSeconds = unixSeconds + shift;
        const std::int64_t localDay = floorDivide(localSeconds, 86400);
        const std::int64_t secondOfDay = localSeconds - localDay * 86400;
        if (localDay != lastLocalDay) {
            lastLocalDay = localDay;
            lastLocalDate = CivilFromDays(localDay);
        }
        const CivilDate &date = lastLocalDate;
        fields = {date.year, int(date.month), int(date.day), int(secondOfDay / 3600), int(secondOfDay / 60 % 60),
                  int(secondOfDay % 60)};
        return true;
    }
};

thread_local std::unique_ptr<TimeTextCache> t_cache;

TimeTextCache &cache()
{
    if (!t_cache)
        t_cache = std::make_unique<TimeTextCache>();
    return *t_cache;
}

} // namespace

std::string LocalTimeText(std::int64_t unixSeconds)
{
    std::string text;
    AppendLocalTimeText(text, unixSeconds);
    return text;
}

void AppendLocalTimeText(std::string &out, std::int64_t unixSeconds)
{
    TimeTextCache &c = cache();
    LocalFields local;
    if (!c.local(unixSeconds, local))
        return;
    // Day zero of the date-time scale shows its time alone.
    if (local.year == 1899 && local.month == 12 && local.day == 30) {
        c.appendTime(out, local.hour, local.minute, local.second);
        return;
    }
    out += c.date(int(local.year), local.month, local.day);
    if (local.hour == 0 && local.minute == 0 && local.second == 0)
        return;
    out += ' ';
    c.appendTime(out, local.hour, local.minute, local.second);
}

CivilDate CivilFromDays(std::int64_t days)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {std::int64_t(yearOfEra) + era * 400 + (month <= 2), month, day};
}

std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = unsigned(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + std::int64_t(dayOfEra) - 719468;
}

void ResetTimeTextCache()
{
    t_cache.reset();
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
    std::string text;
    if (validTimeOfDay(hour, minute, second))
        TimeOfDayFormat(locale, format).append(text, hour, minute, second);
    return QString::fromStdString(text);
}

} // namespace platform
