#include "report/textescape.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid.
std::size_t validSequence(std::string_view s, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    std::size_t length;
    std::uint32_t code;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 2 && code < 0x80) || (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

void AppendJsonString(std::string &out, std::string_view s)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        // Runs of plain ASCII, nearly every name, go in whole; found eight
        // bytes at a time while no byte is a control, quote, backslash or
        // above 127.
        const std::size_t start = i;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t x;
            std::memcpy(&x, s.data() + i, 8);
            constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
            const auto zeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
            if (((x | ((x - kOnes * 0x20) & ~x)) & kHigh) || zeroByte(x ^ (kOnes * '"'))
                || zeroByte(x ^ (kOnes * '\\')))
                break;
        }
        while (i < s.size()) {
            const unsigned char p = static_cast<unsigned char>(s[i]);
            if (p < 0x20 || p >= 0x80 || p == '"' || p == '\\')
                break;
            ++i;
        }
        if (i > start)
            out.append(s.substr(start, i - start));
        if (i == s.size())
            break;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
            ++i;
            continue;
        }
        const std::size_t length = validSequence(s, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            ++i;
        } else {
            out.append(s.substr(i, length));
            i += length;
        }
    }
    out += '"';
}

std::string EscapedForTerminal(std::string_view s)
{
    // The common case, a plain name, goes through untouched.
    std::size_t i = 0;
    for (; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && validSequence(s, i) == 0)
            || (c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0))
            break;
        if (c >= 0x80)
            i += validSequence(s, i) - 1;
    }
    if (i == s.size())
        return std::string(s);

    static const char kHex[] = "0123456789abcdef";
    std::string out = "$'";
    const auto hex = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = c >= 0x80 ? validSequence(s, i) : 1;
        if (length == 0) {
            hex(c);
            ++i;
            continue;
        }
        // U+0080 to U+009F: terminals may take them as control sequences.
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            hex(c);
            hex(static_cast<unsigned char>(s[i + 1]));
            i += 2;
            continue;
        }
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\'"; break;
        default:
            if (c < 0x20 || c == 0x7F)
                hex(c);
            else
                out.append(s.substr(i, length));
        }
        i += length;
    }
    out += '\'';
    return out;
}
