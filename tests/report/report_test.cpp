#include "report/jsonrow.h"
#include "report/report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdio>

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
        {-11644473600 + 86399, 5, "1601-01-01T23:59:59.000000005Z"}, // the day before's date kept
        {-86401, 0, "1969-12-30T23:59:59.000000000Z"},
        {std::int64_t(1) << 57, 0, "4566830479-10-18T01:44:32.000000000Z"},
        {-(std::int64_t(1) << 57), 0, "-4566826540-03-15T22:15:28.000000000Z"},
    };
    // The report's rows spell them the same, each row after the one before.
    JsonRowWriter rows;
    for (const auto &[seconds, nanos, expected] : cases) {
        EXPECT_EQ(Rfc3339Utc(seconds, nanos), expected) << seconds;
        ResultRow row;
        row.modified = seconds;
        row.modifiedNanos = nanos;
        std::string json;
        rows.append(json, row);
        const QJsonObject parsed = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
        EXPECT_EQ(parsed[QLatin1String("mtime")].toString().toStdString(), expected) << json;
    }
}

TEST(Report, JsonStringsReadBackAsTheNamesTheyCarry)
{
    // Every character that needs escaping, or is not ASCII, at every place
    // in names longer and shorter than the eight bytes checked at once.
    for (const std::string special : {"\"", "\\", "\n", "\x01", "\x1f", "\x7f", "\xC3\xA9", "\xE2\x82\xAC", " "}) {
        for (std::size_t length = 0; length < 20; ++length) {
            for (std::size_t at = 0; at <= length; ++at) {
                const std::string name = std::string(at, 'a') + special + std::string(length - at, 'b');
                std::string json = "[";
                AppendJsonString(json, name);
                json += "]";
                const QJsonDocument parsed = QJsonDocument::fromJson(QByteArray::fromStdString(json));
                ASSERT_EQ(parsed.array().at(0).toString(), QString::fromUtf8(name)) << json;
            }
        }
    }
}

// Long enough for many chunks on every thread the report uses; each row's
// fields differ so that a chunk out of place or cut short shows.
TEST(Report, LargeReportsComeOutWholeAndInOrder)
{
    Comparison comparison;
    comparison.leftRoot = "/l";
    comparison.rightRoot = "/r";
    for (int i = 0; i < 70001; ++i) {
        ResultRow &row = (i % 2 ? comparison.right : comparison.left)
                             .add("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + (i % 11 == 0 ? "\n\xFF" : ""));
        row.size = i % 13 == 0 ? -1 : i;
        row.modified = i % 17 == 0 ? platform::kNoTime : 1600000000 + i * 977;
        row.status = i % 3 == 0 ? Status::OK : Status::Newer;
    }
    const SyncPlan operations;
    const auto written = [&](bool json, bool allRows) {
        std::FILE *file = std::tmpfile();
        if (json)
            WriteJsonReport(file, comparison, operations);
        else
            WriteTextReport(file, comparison, operations, allRows);
        std::rewind(file);
        std::string text;
        char buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        std::fclose(file);
        return text;
    };

    const QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(written(true, false))).object();
    for (const char *side : {"left", "right"}) {
        const ResultRows &rows = std::string(side) == "left" ? comparison.left : comparison.right;
        const QJsonArray json = report[QLatin1String(side)][QLatin1String("rows")].toArray();
        ASSERT_EQ(std::size_t(json.size()), rows.size()) << side;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const QJsonObject row = json[qsizetype(i)].toObject();
            ASSERT_EQ(row[QLatin1String("name")].toString().toStdString(),
                      QString::fromUtf8(rows[i].name()).toStdString()) << side << " " << i;
            ASSERT_EQ(row[QLatin1String("bytes")].toInteger(-1), rows[i].size) << side << " " << i;
            ASSERT_EQ(row[QLatin1String("modified")].toString().toStdString(), ModifiedText(rows[i])) << i;
            ASSERT_EQ(row.contains(QLatin1String("mtime")), rows[i].modified != platform::kNoTime) << i;
        }
    }

    // Text: every row with --all, else those that differ, each on one line
    // in list order.
    for (const bool allRows : {true, false}) {
        const std::string text = written(false, allRows);
        std::size_t at = 0, listed = 0, expected = 0;
        for (const auto *rows : {&comparison.left, &comparison.right}) {
            for (const ResultRow &row : *rows) {
                if (!allRows && row.status == Status::OK)
                    continue;
                ++expected;
                const std::size_t found = text.find(EscapedForTerminal(row.name()) + "\n", at);
                if (found == std::string::npos)
                    break;
                at = found;
                ++listed;
            }
        }
        EXPECT_EQ(listed, expected) << allRows;
    }
}

} // namespace
