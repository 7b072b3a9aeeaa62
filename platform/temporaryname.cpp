#include "platform/temporaryname.h"

#include <cstddef>
#include <random>

namespace platform {
namespace {

const char kTemporaryMark[] = ".corvanel-";
constexpr std::size_t kSuffixLength = 8;

std::string randomSuffix()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s;
    for (std::size_t i = 0; i < kSuffixLength; ++i)
        s += kDigits[generator() % 36];
    return s;
}

// The length in bytes of the character that starts at `at`: 1 to 4 for a
// valid UTF-8 sequence, 1 for a byte that starts none.
std::size_t characterLength(std::string_view text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    if (byte >= 0xC2 && byte <= 0xDF)
        length = 2;
    else if (byte >= 0xE0 && byte <= 0xEF)
        length = 3;
    else if (byte >= 0xF0 && byte <= 0xF4)
        length = 4;
    if (at + length > text.size())
        return 1;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
            return 1;
    }
    return length;
}

// How many bytes of name's start, in whole characters, fit in room bytes
// (or UTF-16 units). A name that is valid UTF-8 is never cut inside a
// character; one that is not is cut where its bytes allow. At least one
// character, so the temporary still names its file.
std::size_t fittingStart(std::string_view name, std::size_t room, bool utf16)
{
    std::size_t at = 0, used = 0;
    while (at < name.size()) {
        const std::size_t length = characterLength(name, at);
        const std::size_t cost = utf16 ? (length == 4 ? 2 : 1) : length;
        if (at > 0 && used + cost > room)
            break;
        used += cost;
        at += length;
    }
    return at;
}

} // namespace

// "." + as much of name as the folder's limit leaves room for + the mark +
// a random suffix; its own part is ASCII, one byte or unit a character.
std::string TemporaryName(std::string_view name, const NameLimit &limit)
{
    constexpr std::size_t kOwn = 1 + sizeof kTemporaryMark - 1 + kSuffixLength;
    const std::size_t room = limit.most > kOwn ? limit.most - kOwn : 0;
    std::string result = ".";
    result += name.substr(0, fittingStart(name, room, limit.utf16));
    result += kTemporaryMark;
    result += randomSuffix();
    return result;
}

// A name TemporaryName() gives: "." + name + kTemporaryMark + 8 characters.
bool IsTemporaryName(std::string_view name)
{
    constexpr std::size_t kMarkLength = sizeof kTemporaryMark - 1;
    if (name.size() < 2 + kMarkLength + kSuffixLength || name[0] != '.')
        return false;
    const std::string_view tail = name.substr(name.size() - kMarkLength - kSuffixLength);
    if (tail.substr(0, kMarkLength) != kTemporaryMark)
        return false;
    for (const char c : tail.substr(kMarkLength)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    }
    return true;
}

} // namespace platform
