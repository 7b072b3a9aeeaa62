#pragma once

#include "compare/resultrow.h"

#include <cstdint>
#include <string>

// Appends the rows of a JSON report, one object each. A report of millions
// of rows is mostly these: each row's fixed parts are put down in one piece
// and the date of the last row is kept, where a general writer spent more on
// its checks per member than on the bytes.
class JsonRowWriter
{
public:
    void append(std::string &out, const ResultRow &row);

private:
    // Puts the instant as RFC 3339 in UTC with nanoseconds, its date taken
    // from the last row's where the day is the same.
    char *putInstant(char *p, std::int64_t seconds, std::uint32_t nanoseconds);

    std::string m_modified; // the row's local time text, kept between rows
    std::int64_t m_utcDay = INT64_MIN; // the day m_utcDate spells
    std::string m_utcDate; // "YYYY-MM-DDT"
};
