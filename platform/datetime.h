#pragma once

#include <cstdint>
#include <string>

// Last-modified texts in the user's locale. A file's time is shown in the
// local time that was in force at its own date, so a summer file does not
// move by an hour in winter.
namespace platform {

// The locale's short date, a space and its long time with seconds; the date
// alone at exact local midnight. UTF-8. Fast enough to call once per file of
// a large scan: dates and times of day are cached.
std::string LocalTimeText(std::int64_t unixSeconds);

// The date-time value of the file time (100-nanosecond intervals since
// 1 January 1601 UTC) in local time: whole days since 30 December 1899 plus
// the fraction of the day.
double FileTimeToDate(std::int64_t fileTime);

// Forgets cached texts; for tests that switch the locale or the time zone.
void ResetTimeTextCache();

} // namespace platform
