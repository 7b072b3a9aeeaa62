#include "compare/report.h"

#include <gtest/gtest.h>

namespace {

TEST(Report, NamesAreEscapedForATerminalOnlyWhenTheyNeedIt)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain.txt", "plain.txt"},
        {"with space, 'quote' and \\", "with space, 'quote' and \\"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xC2\xA3", "caf\xC3\xA9 \xE2\x82\xAC \xC2\xA3"}, // valid UTF-8 stays
        {"two\nlines", "$'two\\nlines'"},
        {"tab\there", "$'tab\\there'"},
        {"cr\r", "$'cr\\r'"},
        {"esc\x1b[31mred", "$'esc\\x1b[31mred'"},
        {"del\x7f", "$'del\\x7f'"},
        {"quote'and\\back\n", "$'quote\\'and\\\\back\\n'"},
        {"latin1 caf\xE9", "$'latin1 caf\\xe9'"},
        {"c1 \xC2\x9B", "$'c1 \\xc2\\x9b'"},
        {std::string("nul\0x", 5), "$'nul\\x00x'"},
        {"", ""},
    };
    for (const auto &[name, expected] : cases)
        EXPECT_EQ(EscapedForTerminal(name), expected) << name;
}

TEST(Report, TimesAreRfc3339InUtcWithNanoseconds)
{
    const std::tuple<std::int64_t, std::uint32_t, std::string> cases[] = {
        {0, 0, "1970-01-01T00:00:00.000000000Z"},
        {1577836800 + 3661, 123456789, "2020-01-01T01:01:01.123456789Z"},
        {951782400, 1, "2000-02-29T00:00:00.000000001Z"},
        {-1, 999999999, "1969-12-31T23:59:59.999999999Z"},
        {4102444799, 0, "2099-12-31T23:59:59.000000000Z"},
        {-11644473600, 0, "1601-01-01T00:00:00.000000000Z"},
    };
    for (const auto &[seconds, nanos, expected] : cases)
        EXPECT_EQ(Rfc3339Utc(seconds, nanos), expected) << seconds;
}

} // namespace
