#pragma once

#include <cstdint>
#include <string>

// An instant as RFC 3339 in UTC with nanoseconds: 2020-01-01T12:00:00.000000000Z.
std::string Rfc3339Utc(std::int64_t seconds, std::uint32_t nanoseconds);

// The same, appended to out without a string of its own: a report of a
// million rows calls it for each.
void AppendRfc3339Utc(std::string &out, std::int64_t seconds, std::uint32_t nanoseconds);
