#pragma once

#include <QString>

#include <cstdint>
#include <string>

class QLocale;

// Last-modified texts in the user's locale. A file's time is shown in the
// local time that was in force at its own date, so a summer file does not
// move by an hour in winter.
namespace platform {

// The locale's short date, a space and its long time with seconds; the date
// alone at exact local midnight. UTF-8. Fast enough to call once per file of
// a large scan: dates and times of day are cached, per thread, so that
// threads may format at once.
std::string LocalTimeText(std::int64_t unixSeconds);

// The same text appended to out, without a string of its own.
void AppendLocalTimeText(std::string &out, std::int64_t unixSeconds);

// Dates of the proleptic Gregorian calendar and days counted from 1970-01-01.
struct CivilDate
{
    std::int64_t year;
    unsigned month; // 1 to 12
    unsigned day;   // 1 to 31
};
CivilDate CivilFromDays(std::int64_t days);
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day);

// Forgets the calling thread's cached texts (each thread keeps its own); for
// tests that switch the locale or the time zone.
void ResetTimeTextCache();

// The formats the texts above use, built from the locale's own fields only:
// its short date with the year in four digits, and its long time with
// seconds but without the time zone or any text around it. A 12-hour clock
// whose AM/PM marker Qt cannot show becomes a 24-hour clock.
QString GeneralDateFormat(const QLocale &locale);
QString GeneralTimeFormat(const QLocale &locale);

// A time of day in such a time format. The second may be 60: a leap second,
// which QTime cannot hold.
QString FormatTimeOfDay(const QLocale &locale, const QString &format, int hour, int minute, int second);

} // namespace platform
