#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writes JSON into a string, member by member: commas, quotes and escapes
// come by themselves. The caller opens and closes objects and lists in order.
class JsonWriter
{
public:
    explicit JsonWriter(std::string &out) : m_out(out) {}

    // An object or list as the next value: of the list open now (no key), or
    // of the object open now (under key).
    JsonWriter &object(const char *key = nullptr);
    JsonWriter &list(const char *key = nullptr);
    // Closes the innermost object or list.
    JsonWriter &end();

    JsonWriter &text(const char *key, std::string_view value);
    JsonWriter &text(std::string_view value) { return text(nullptr, value); }
    // A text of the program's own that needs no escaping (a status, a size).
    JsonWriter &plain(const char *key, std::string_view value)
    {
        member(key);
        m_out += '"';
        m_out += value;
        m_out += '"';
        return *this;
    }
    JsonWriter &number(const char *key, std::int64_t value);
    JsonWriter &boolean(const char *key, bool value);
    // An instant as an RFC 3339 text in UTC with nanoseconds.
    JsonWriter &instant(const char *key, std::int64_t seconds, std::uint32_t nanoseconds);
    // A line break before the next value, so that long lists read a row a line.
    JsonWriter &newline()
    {
        m_newline = true;
        return *this;
    }

    std::string &out() { return m_out; }

private:
    // Inline: a report of a million rows writes ten members a row.
    void member(const char *key)
    {
        if (!m_first)
            m_out += ',';
        m_first = false;
        if (m_newline) {
            m_out += '\n';
            m_newline = false;
        }
        if (key) {
            m_out += '"';
            m_out += key; // keys are the program's own ASCII names
            m_out += "\":";
        }
    }

    std::string &m_out;
    std::vector<char> m_open; // '}' or ']' of each open container
    bool m_first = true;      // nothing yet in the innermost container
    bool m_newline = false;
};
