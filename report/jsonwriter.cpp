#include "report/jsonwriter.h"

#include "report/textescape.h"
#include "report/timetext.h"

#include <charconv>

JsonWriter &JsonWriter::object(const char *key)
{
    member(key);
    m_out += '{';
    m_open.push_back('}');
    m_first = true;
    return *this;
}

JsonWriter &JsonWriter::list(const char *key)
{
    member(key);
    m_out += '[';
    m_open.push_back(']');
    m_first = true;
    return *this;
}

JsonWriter &JsonWriter::end()
{
    m_out += m_open.back();
    m_open.pop_back();
    m_first = false;
    m_newline = false;
    return *this;
}

JsonWriter &JsonWriter::text(const char *key, std::string_view value)
{
    member(key);
    AppendJsonString(m_out, value);
    return *this;
}

JsonWriter &JsonWriter::number(const char *key, std::int64_t value)
{
    member(key);
    char digits[24];
    m_out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    return *this;
}

JsonWriter &JsonWriter::boolean(const char *key, bool value)
{
    member(key);
    m_out += value ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::instant(const char *key, std::int64_t seconds, std::uint32_t nanoseconds)
{
    member(key);
    m_out += '"';
    AppendRfc3339Utc(m_out, seconds, nanoseconds);
    m_out += '"';
    return *this;
}
