#include "report/timetext.h"

#include "platform/datetime.h"

void AppendRfc3339Utc(std::string &out, std::int64_t seconds, std::uint32_t nanoseconds)
{
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const platform::CivilDate date = platform::CivilFromDays(days);
    const std::int64_t year = date.year;
    const unsigned month = date.month, day = date.day;
    // By hand: a million rows would otherwise spend most of this in printf.
    char text[40];
    char *end = text + sizeof text;
    char *p = end;
    const auto digits = [&p](std::uint64_t value, int width) {
        do {
            *--p = char('0' + value % 10);
            value /= 10;
            --width;
        } while (value != 0 || width > 0);
    };
    *--p = 'Z';
    digits(nanoseconds % 1000000000u, 9);
    *--p = '.';
    digits(std::uint64_t(rest % 60), 2);
    *--p = ':';
    digits(std::uint64_t(rest / 60 % 60), 2);
    *--p = ':';
    digits(std::uint64_t(rest / 3600), 2);
    *--p = 'T';
    digits(day, 2);
    *--p = '-';
    digits(month, 2);
    *--p = '-';
    digits(std::uint64_t(year < 0 ? -year : year), 4);
    if (year < 0)
        *--p = '-';
    out.append(p, end);
}

std::string Rfc3339Utc(std::int64_t seconds, std::uint32_t nanoseconds)
{
    std::string text;
    AppendRfc3339Utc(text, seconds, nanoseconds);
    return text;
}
