#include "support/clirun.h"
#include "support/testdir.h"

#include "compare/leaveout.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

namespace {

using clirun::Result;
using clirun::run;

TEST(CliCompare, JsonCarriesEveryStatusInFieldOrder)
{
    TestDir left, right;
    const auto early = TestDir::time(2019, 12, 31), late = TestDir::time(2020, 1, 1);
    left.file("ok.txt", "same");
    right.file("ok.txt", "same");
    left.file("sub/newer.txt", "longer", late);
    right.file("sub/newer.txt", "x", early);
    left.file("left-only.txt", "l");
    right.file("sub/deep/right-only.txt", "r");

    const Result r = run({"compare", "--json", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 1) << r.err.constData();
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    ASSERT_FALSE(doc.isEmpty()) << r.out.constData();
    EXPECT_EQ(doc["left"]["root"].toString(), q(left.root()));
    EXPECT_FALSE(doc["truncated"].toBool());

    QMap<QString, QJsonObject> leftRows;
    for (const auto &v : doc["left"]["rows"].toArray())
        leftRows[v.toObject()["name"].toString()] = v.toObject();
    EXPECT_EQ(leftRows["ok.txt"]["status"].toString(), "OK");
    EXPECT_EQ(leftRows["ok.txt"]["icon"].toInt(), 0);
    EXPECT_EQ(leftRows["ok.txt"]["size"].toString(), "4 bytes");
    EXPECT_TRUE(leftRows["ok.txt"]["checked"].toBool());
    EXPECT_EQ(leftRows["sub/newer.txt"]["status"].toString(), "Newer");
    EXPECT_EQ(leftRows["sub/newer.txt"]["icon"].toInt(), 1);
    EXPECT_FALSE(leftRows["sub/newer.txt"]["modified"].toString().isEmpty());
    EXPECT_EQ(leftRows["left-only.txt"]["status"].toString(), "Not found");
    EXPECT_EQ(leftRows["left-only.txt"]["icon"].toInt(), 4);

    const QJsonArray ops = doc["operations"].toArray();
    ASSERT_EQ(ops.size(), 3);
    EXPECT_EQ(ops[2].toObject()["source"].toString(), q(right.path("sub/deep/right-only.txt")));
    EXPECT_EQ(ops[2].toObject()["destination"].toString(), q(left.root() + "/"));
    EXPECT_EQ(ops[2].toObject()["copy_to"].toString(), q(left.path("sub/deep/right-only.txt")));
    EXPECT_EQ(ops[2].toObject()["replaces"].toString(), "");
    EXPECT_EQ(ops[2].toObject()["delete_first"].toString(), "");
    for (const auto &op : ops) {
        if (op.toObject()["action"].toString() != "overwrites")
            continue;
        EXPECT_EQ(op.toObject()["replaces"].toString(), q(right.path("sub/newer.txt")));
        EXPECT_EQ(op.toObject()["delete_first"].toString(), q(right.path("sub/newer.txt")));
    }

    // Keys appear in the documented order.
    const QByteArray &out = r.out;
    EXPECT_LT(out.indexOf("\"left\""), out.indexOf("\"right\""));
    EXPECT_LT(out.indexOf("\"right\""), out.indexOf("\"operations\""));
    EXPECT_LT(out.indexOf("\"operations\""), out.indexOf("\"truncated\""));
    const QByteArray firstRow = out.mid(out.indexOf("{\"name\""), 200);
    EXPECT_TRUE(firstRow.indexOf("\"status\"") < firstRow.indexOf("\"size\"")
                && firstRow.indexOf("\"size\"") < firstRow.indexOf("\"modified\"")
                && firstRow.indexOf("\"modified\"") < firstRow.indexOf("\"icon\"")
                && firstRow.indexOf("\"icon\"") < firstRow.indexOf("\"checked\""));
    const QByteArray firstOp = out.mid(out.indexOf("{\"source\""));
    EXPECT_TRUE(firstOp.indexOf("\"action\"") < firstOp.indexOf("\"destination\"")
                && firstOp.indexOf("\"destination\"") < firstOp.indexOf("\"copy_from\"")
                && firstOp.indexOf("\"copy_from\"") < firstOp.indexOf("\"copy_to\"")
                && firstOp.indexOf("\"copy_to\"") < firstOp.indexOf("\"delete_first\""));
}

TEST(CliCompare, ExitStatusTellsWhetherAnythingIsPending)
{
    TestDir left, right;
    left.file("a.txt", "1");
    right.file("a.txt", "1");
    const Result same = run({"compare", q(left.root()), q(right.root())});
    EXPECT_EQ(same.exitCode, 0);
    EXPECT_TRUE(same.out.contains("Pending operations: 0"));

    // The same folder on both sides is in step with itself.
    const Result itself = run({"compare", "--json", q(left.root()), q(left.root() + "/.")});
    EXPECT_EQ(itself.exitCode, 0) << itself.err.constData();
    EXPECT_TRUE(QJsonDocument::fromJson(itself.out)["operations"].toArray().isEmpty());

    // The folder that cannot be opened is named, with the reason.
    left.file("plain.txt", "p");
    const struct
    {
        QStringList args;
        QString message;
    } refused[] = {
        {{"compare", q(left.root()), q(right.path("missing"))},
         "corvanel-cli: cannot open the right folder " + q(right.path("missing")) + ": No such file or directory\n"},
        {{"sync", "--json", q(left.path("plain.txt")), q(right.root())},
         "corvanel-cli: cannot open the left folder " + q(left.path("plain.txt")) + ": Not a directory\n"},
    };
    for (const auto &c : refused) {
        const Result bad = run(c.args);
        EXPECT_EQ(bad.exitCode, 2);
        EXPECT_EQ(QString::fromUtf8(bad.err), c.message);
        EXPECT_TRUE(bad.out.isEmpty());
    }
}

TEST(CliCompare, BadArgumentsAreExplained)
{
    // A usage error is one line and a hint; the full text is for --help or
    // no arguments at all.
    const struct
    {
        QStringList args;
        QByteArray firstLine;
    } errors[] = {
        {{"compare", "--frobnicate", "a", "b"}, "corvanel-cli: unknown option '--frobnicate'"},
        {{"compare", "onlyone"}, "corvanel-cli: compare needs two folders, LEFT and RIGHT"},
        {{"sync", "a"}, "corvanel-cli: sync needs two folders, LEFT and RIGHT"},
        {{"launch"}, "corvanel-cli: unknown command 'launch'"},
    };
    for (const auto &c : errors) {
        const Result r = run(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, c.firstLine + "\nTry 'corvanel-cli --help' for more information.\n");
    }
    const Result none = run({});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.startsWith("Usage: corvanel-cli compare"));
    const Result help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("corvanel-cli compare"));
}

TEST(CliCompare, NamesThatAreNotUtf8BecomeReplacementCharactersInJson)
{
    TestDir left, right;
    left.file("bad\xFFname.txt", "1");
    const Result r = run({"compare", "--json", q(left.root()), q(right.root())});
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    ASSERT_FALSE(doc.isEmpty());
    EXPECT_EQ(doc["left"]["rows"][0]["name"].toString(), QString::fromUtf8("bad\xEF\xBF\xBDname.txt"));
}

TEST(CliCompare, JsonRowsCarryBytesAndTimeAsNumbers)
{
    TestDir left, right;
    left.file("a.txt", "12345");
    const struct timespec times[2] = {{1577836800 + 3661, 123456789}, {1577836800 + 3661, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, left.path("a.txt").c_str(), times, 0), 0);
    left.file("secret.txt", "hidden");
    ::chmod(left.path("secret.txt").c_str(), 0600);
    ::chmod(left.root().c_str(), 0755);
    ::chmod(right.root().c_str(), 0777);
    const Result r = clirun::runAsNobody({"compare", "--json", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 1) << r.err.constData();
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    QMap<QString, QJsonObject> rows;
    for (const auto &v : doc["left"]["rows"].toArray())
        rows[v.toObject()["name"].toString()] = v.toObject();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_TRUE(rows["a.txt"]["bytes"].isDouble());
    EXPECT_EQ(rows["a.txt"]["bytes"].toInteger(), 5);
    EXPECT_EQ(rows["a.txt"]["mtime"].toString(), "2020-01-01T01:01:01.123456789Z");
    EXPECT_EQ(rows["a.txt"]["size"].toString(), "5 bytes"); // the texts stay
    // Size unreadable: no "bytes", but the time is there.
    EXPECT_FALSE(rows["secret.txt"].contains("bytes"));
    EXPECT_TRUE(rows["secret.txt"]["mtime"].toString().endsWith("Z"));
    EXPECT_EQ(doc["left"]["unreadable"]["count"].toInt(), 0);
}

TEST(CliCompare, UnreadableItemsAreReportedAndMakeTheExitStatusOne)
{
    TestDir left, right;
    left.file("closed/b.txt", "2");
    ::chmod(left.path("closed").c_str(), 0700);
    ::chmod(left.root().c_str(), 0755);
    ::chmod(right.root().c_str(), 0755);
    const Result json = clirun::runAsNobody({"compare", "--json", q(left.root()), q(right.root())});
    EXPECT_EQ(json.exitCode, 1) << json.err.constData(); // nothing pending, but not everything compared
    const QJsonObject doc = QJsonDocument::fromJson(json.out).object();
    const QJsonObject unreadable = doc["left"]["unreadable"].toObject();
    EXPECT_EQ(unreadable["count"].toInt(), 1);
    EXPECT_EQ(unreadable["first"].toArray()[0].toString(), q(left.path("closed") + ": Permission denied"));
    const Result text = clirun::runAsNobody({"compare", q(left.root()), q(right.root())});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_TRUE(text.out.contains("Could not read 1 item, so not everything was compared:\n    "
                                  + q(left.path("closed")).toUtf8() + ": Permission denied\n"))
        << text.out.constData();

    const Result nested = run({"compare", q(left.root()), q(left.path("closed"))});
    EXPECT_EQ(nested.exitCode, 2);
    EXPECT_TRUE(nested.err.contains("lies inside"));
}

TEST(CliCompare, TextListsDifferingRowsUnlessAllAreAskedFor)
{
    TestDir left, right;
    left.file("same.txt", "1");
    right.file("same.txt", "1");
    left.file("sub/left-only.txt", "l");
    left.file("evil\nname.txt", "n");
    const Result differing = run({"compare", q(left.root()), q(right.root())});
    EXPECT_EQ(differing.exitCode, 1);
    EXPECT_FALSE(differing.out.contains("same.txt"));
    EXPECT_TRUE(differing.out.contains("sub/left-only.txt"));
    EXPECT_TRUE(differing.out.contains("Left: " + q(left.root()).toUtf8() + " (3 files, 2 differ)\n"));
    EXPECT_TRUE(differing.out.contains("Right: " + q(right.root()).toUtf8() + " (1 file, 0 differ)\n"));
    // A name holding a newline stays on its line, quoted.
    EXPECT_TRUE(differing.out.contains("$'evil\\nname.txt'\n")) << differing.out.constData();
    for (const QByteArray &line : differing.out.split('\n'))
        EXPECT_FALSE(line.startsWith("name.txt"));

    const Result all = run({"compare", "--all", q(left.root()), q(right.root())});
    EXPECT_EQ(all.exitCode, 1);
    EXPECT_TRUE(all.out.contains("same.txt"));
    EXPECT_TRUE(all.out.contains("sub/left-only.txt"));
}

} // namespace

// Before, two contracts of the same size but other prices were "identical"
// with exit status 0, and a file dated 2031 overwrote a newer edit.
TEST(CliCompare, SameSizeOtherTimesAreCountedAndAFutureTimeIsNoOrder)
{
    TestDir left, right;
    left.file("contract.txt", "Price: 1000 EUR", TestDir::time(2025, 12, 1));
    right.file("contract.txt", "Price: 9000 EUR", TestDir::time(2025, 12, 9));
    const Result same = run({"sync", q(left.root()), q(right.root())});
    EXPECT_EQ(same.exitCode, 0);
    EXPECT_TRUE(
        same.out.endsWith("are identical. 1 file has the same size as its match but another time; its "
                          "contents were not compared.\n"))
        << same.out.constData();
    EXPECT_EQ(QJsonDocument::fromJson(run({"compare", "--json", q(left.root()), q(right.root())}).out)["unverified"],
              1);

    left.file("diary.txt", "the stick's old copy", std::int64_t(std::time(nullptr)) + 3 * 3600);
    right.file("diary.txt", "the laptop's newer edit", std::int64_t(std::time(nullptr)) - 60);
    const Result future = run({"sync", "--json", q(left.root()), q(right.root())});
    EXPECT_EQ(future.exitCode, 1);
    const QJsonObject doc = QJsonDocument::fromJson(future.out).object();
    EXPECT_TRUE(doc["carried_out"].toArray().isEmpty());
    EXPECT_EQ(doc["conflicts"][0]["reason"], "one of them is dated in the future, so which is newer cannot be trusted");
    EXPECT_EQ(right.read("diary.txt"), "the laptop's newer edit");
}

// Before, nothing could tell the two contracts apart: with --content the
// later one wins, a pair that only has other times stays "OK", and neither
// is counted unverified.
TEST(CliCompare, ContentTellsSameSizedFilesApart)
{
    TestDir left, right;
    left.file("contract.txt", "Price: 1000 EUR", TestDir::time(2025, 12, 1));
    right.file("contract.txt", "Price: 9000 EUR", TestDir::time(2025, 12, 9));
    left.file("touched.txt", "the same", TestDir::time(2025, 12, 1));
    right.file("touched.txt", "the same", TestDir::time(2025, 12, 2));
    const Result compared = run({"compare", "--json", "--content", q(left.root()), q(right.root())});
    EXPECT_EQ(compared.exitCode, 1) << compared.err.constData();
    const QJsonObject doc = QJsonDocument::fromJson(compared.out).object();
    ASSERT_EQ(doc["operations"].toArray().size(), 1) << compared.out.constData();
    EXPECT_EQ(doc["operations"][0]["replaces"].toString(), q(left.path("contract.txt")));
    EXPECT_EQ(doc["unverified"].toInt(), 0);

    const Result synced = run({"sync", "--content", q(left.root()), q(right.root())});
    EXPECT_EQ(synced.exitCode, 0) << synced.out.constData() << synced.err.constData();
    EXPECT_TRUE(synced.out.endsWith("have been synchronized.\n")) << synced.out.constData();
    EXPECT_EQ(left.read("contract.txt"), "Price: 9000 EUR");

    const Result bad = run({"compare", "--time-shift", "noon", q(left.root()), q(right.root())});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("--time-shift needs whole hours")) << bad.err.constData();
}

// Patterns from the command line, from a file and saved for the pair all
// leave out; so do hidden entries unless asked for. Each is counted.
TEST(CliLeaveOut, PatternsAndHiddenEntriesFromEverySourceAreLeftOutAndCounted)
{
    TestSettings settings;
    TestDir left, right, lists;
    left.file("keep.txt", "k");
    left.file("x.tmp", "t");
    left.file("build/out.o", "o");
    left.file(".env", "e");
    const std::string patterns = lists.file("patterns", "# build output\nbuild/\n*.tmp\n");
    ASSERT_TRUE(SavePairPatterns(left.root(), right.root(), {"x.tmp"}));
    const struct
    {
        QStringList options;
        QString withPair; // a pattern saved for the pair, or none
        QStringList copied; // to the right, in order
        int hidden, byPattern;
    } cases[] = {
        {{"--exclude", "*.tmp", "--exclude=build/"}, "", {"keep.txt"}, 1, 2},
        {{"--exclude-from", q(patterns)}, "", {"keep.txt"}, 1, 2},
        {{"--exclude-from=" + q(patterns), "--hidden"}, "", {".env", "keep.txt"}, 0, 2},
        {{"--exclude", "build"}, "x.tmp", {"keep.txt"}, 1, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        ASSERT_TRUE(SavePairPatterns(left.root(), right.root(),
                                     c.withPair.isEmpty() ? std::vector<std::string>{}
                                                          : std::vector<std::string>{c.withPair.toStdString()}));
        const Result r = run(QStringList{"compare", "--json"} + c.options
                             + QStringList{q(left.root()), q(right.root())});
        ASSERT_EQ(r.exitCode, 1) << r.err.constData();
        const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
        QStringList copied;
        for (const auto &op : doc["operations"].toArray())
            copied << op.toObject()["copy_to"].toString().mid(int(q(right.root()).size()) + 1);
        EXPECT_EQ(copied, c.copied);
        EXPECT_EQ(doc["left_out"]["left"]["hidden"].toInt(), c.hidden);
        EXPECT_EQ(doc["left_out"]["left"]["patterns"].toInt(), c.byPattern);
        EXPECT_EQ(doc["left_out"]["right"]["patterns"].toInt(), 0);
    }

    // A sync leaves them where they are, and says what it did not compare.
    const Result sync = run({"sync", "--exclude", "*.tmp", "--exclude", "build/", q(left.root()), q(right.root())});
    EXPECT_EQ(sync.exitCode, 0) << sync.err.constData();
    EXPECT_TRUE(right.exists("keep.txt"));
    EXPECT_FALSE(right.exists("x.tmp") || right.exists("build") || right.exists(".env"));
    EXPECT_TRUE(
        sync.out.endsWith("Not compared: on the left 1 hidden and 2 by patterns left out, on the right "
                          "nothing left out (a folder counts as one item).\n"))
        << sync.out.constData();

    const Result missing = run({"compare", "--exclude-from", q(lists.path("none")), q(left.root()), q(right.root())});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_TRUE(missing.err.startsWith("corvanel-cli: cannot read the patterns in " + q(lists.path("none")).toUtf8()))
        << missing.err.constData();
}
