#include "report/jsonrow.h"

#include "report/textescape.h"
#include "report/timetext.h"

#include <array>
#include <charconv>
#include <cstring>
#include <string_view>

namespace {

constexpr std::array<char, 200> kTwoDigits = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = char('0' + i / 10);
        pairs[2 * i + 1] = char('0' + i % 10);
    }
    return pairs;
}();

template<std::size_t N>
char *put(char *p, const char (&literal)[N])
{
    std::memcpy(p, literal, N - 1);
    return p + N - 1;
}

char *putTwo(char *p, unsigned value)
{
    std::memcpy(p, &kTwoDigits[2 * value], 2);
    return p + 2;
}

char *putNumber(char *p, std::int64_t value)
{
    return std::to_chars(p, p + 24, value).ptr;
}

// True when the text can stand in a JSON string as it is.
bool plainJson(std::string_view text)
{
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x80 || c == '"' || c == '\\')
            return false;
    }
    return true;
}

// Room for every fixed part of a row and the numbers in it; the parts after
// the local time take at most kTailRoom.
constexpr std::size_t kFixedRoom = 320;
constexpr std::size_t kTailRoom = 128;

} // namespace

char *JsonRowWriter::putInstant(char *p, std::int64_t seconds, std::uint32_t nanoseconds)
{
    constexpr std::int64_t kFar = std::int64_t(1) << 56; // no day sum overflows within
    if (seconds > kFar || seconds < -kFar) {
        std::string text;
        AppendRfc3339Utc(text, seconds, nanoseconds);
        text += '"';
        std::memcpy(p, text.data(), text.size());
        return p + text.size();
    }
    const std::int64_t day = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    const auto rest = unsigned(seconds - day * 86400);
    if (day != m_utcDay) {
        m_utcDay = day;
        m_utcDate.clear();
        AppendRfc3339Utc(m_utcDate, day * 86400, 0);
        m_utcDate.resize(m_utcDate.find('T') + 1);
    }
    std::memcpy(p, m_utcDate.data(), m_utcDate.size());
    p += m_utcDate.size();
    p = putTwo(p, rest / 3600);
    *p++ = ':';
    p = putTwo(p, rest / 60 % 60);
    *p++ = ':';
    p = putTwo(p, rest % 60);
    *p++ = '.';
    unsigned fraction = nanoseconds % 1000000000u;
    for (char *digit = p + 8; digit >= p; --digit, fraction /= 10)
        *digit = char('0' + fraction % 10);
    return put(p + 9, "Z\"");
}

void JsonRowWriter::append(std::string &out, const ResultRow &row)
{
    out += "{\"name\":";
    AppendJsonString(out, row.name());

    m_modified.clear();
    AppendModifiedText(m_modified, row);

    char room[kFixedRoom];
    char *p = put(room, ",\"status\":\"");
    const char *status = StatusText(row.status);
    const std::size_t statusLength = std::strlen(status);
    std::memcpy(p, status, statusLength);
    p = put(p + statusLength, "\",\"size\":\"");
    if (row.size >= 0)
        p = put(putNumber(p, row.size), " bytes");
    p = put(p, "\",\"modified\":");
    if (m_modified.size() + 2 <= kFixedRoom - std::size_t(p - room) - kTailRoom && plainJson(m_modified)) {
        *p++ = '"';
        std::memcpy(p, m_modified.data(), m_modified.size());
        p += m_modified.size();
        *p++ = '"';
    } else {
        out.append(room, p);
        AppendJsonString(out, m_modified);
        p = room;
    }
    p = put(p, ",\"icon\":");
    p = putNumber(p, row.icon);
    p = row.checked ? put(p, ",\"checked\":true") : put(p, ",\"checked\":false");
    if (row.size >= 0)
        p = putNumber(put(p, ",\"bytes\":"), row.size);
    if (row.modified != platform::kNoTime)
        p = putInstant(put(p, ",\"mtime\":\""), row.modified, row.modifiedNanos);
    *p++ = '}';
    out.append(room, p);
}
