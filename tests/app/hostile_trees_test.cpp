// Messy real-world trees through the command-line tool: nothing may hang,
// crash or go missing, whatever the tree holds.

#include "support/testdir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>

namespace {

struct Result
{
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

Result runCli(const QStringList &args, const QString &workingFolder = QString())
{
    QProcess process;
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(QStringLiteral(CORVANEL_BIN_DIR "/corvanel-cli"), args);
    Result r;
    r.finished = process.waitForFinished(60000);
    if (!r.finished)
        process.kill();
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    return r;
}

QString q(const std::string &s)
{
    return QFile::decodeName(QByteArray::fromStdString(s));
}

std::set<QString> leftNames(const Result &r)
{
    std::set<QString> names;
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    for (const auto &v : doc["left"].toObject()["rows"].toArray())
        names.insert(v.toObject()["name"].toString());
    return names;
}

TEST(HostileTrees, SpecialFilesAndLinksNeitherHangNorLeaveTheRoot)
{
    TestDir left, right, outside;
    outside.file("far-away.txt", "x");
    left.file("sub/a.txt", "a");
    ::symlink("..", left.path("sub/loop").c_str());
    ::symlink(left.root().c_str(), left.path("sub/loop-abs").c_str());
    ::symlink(outside.root().c_str(), left.path("outside").c_str());
    ::symlink("nowhere", left.path("dangling").c_str());
    ASSERT_EQ(::mkfifo(left.path("fifo").c_str(), 0644), 0);
    ::mknod(left.path("null-device").c_str(), S_IFCHR | 0644, makedev(1, 3));
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string socketPath = left.path("sock");
    ASSERT_LT(socketPath.size(), sizeof(addr.sun_path));
    std::strcpy(addr.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);

    const Result r = runCli({"compare", "--json", q(left.root()), q(right.root())});
    ::close(s);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(leftNames(r), std::set<QString>{"sub/a.txt"});
}

TEST(HostileTrees, AwkwardNamesAreListedAndMatchedByteForByte)
{
    TestDir left, right;
    const std::vector<std::string> names = {
        "with space.txt", "comma,in,name.txt", "quote\"d'.txt", "back\\slash.txt", "-leading-dash.txt",
        "--json", "new\nline.txt", "latin1-\xE9\xE8.txt", "tab\tname", "ünïcødé.txt",
    };
    for (const auto &n : names) {
        left.file(n, "left");
        right.file(n, "right-longer", TestDir::time(2030, 1, 1));
    }
    const Result r = runCli({"compare", "--json", "--", q(left.root()), q(right.root())});
    ASSERT_EQ(r.exitCode, 1) << r.err.constData();
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    ASSERT_FALSE(doc.isEmpty()) << "output must stay valid JSON";
    const QJsonArray rows = doc["left"].toObject()["rows"].toArray();
    EXPECT_EQ(rows.size(), int(names.size()));
    for (const auto &v : rows)
        EXPECT_EQ(v.toObject()["status"].toString(), "Older") << v.toObject()["name"].toString().toStdString();
    EXPECT_EQ(doc["operations"].toArray().size(), int(names.size()));
    EXPECT_TRUE(leftNames(r).count(QString::fromUtf8("new\nline.txt")));
}

TEST(HostileTrees, LongPathsAndCrowdedFolders)
{
    TestDir left, right;
    std::string deep;
    for (int i = 0; i < 30; ++i)
        deep += "a-rather-long-folder-name-" + std::to_string(i) + "/";
    ASSERT_GT(deep.size(), 260u);
    left.file(deep + "deep.txt", "x");
    const int crowd = 40000;
    left.folder("crowd");
    for (int i = 0; i < crowd; ++i) {
        const std::string p = left.path("crowd/" + std::to_string(i));
        const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0644);
        ::close(fd);
    }
    const Result r = runCli({"compare", "--json", q(left.root()), q(right.root())});
    ASSERT_TRUE(r.finished);
    const auto names = leftNames(r);
    EXPECT_EQ(names.size(), std::size_t(crowd + 1));
    EXPECT_TRUE(names.count(q(deep + "deep.txt")));
    // More operations than the list holds: all rows still get their status.
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    EXPECT_TRUE(doc["truncated"].toBool());
    EXPECT_EQ(doc["operations"].toArray().size(), 10001);
    EXPECT_TRUE(r.err.contains("Only the first 10001 of 40001 file operations are listed"));
}

TEST(HostileTrees, SparseFileOverFourGigabytes)
{
    TestDir left, right;
    const std::string big = left.file("big.img");
    ASSERT_EQ(::truncate(big.c_str(), 4LL * 1024 * 1024 * 1024 + 1), 0);
    const Result r = runCli({"compare", "--json", q(left.root()), q(right.root())});
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    EXPECT_EQ(doc["left"].toObject()["rows"].toArray()[0].toObject()["size"].toString(), "4294967297 bytes");
}

TEST(HostileTrees, RootsWithTrailingSeparatorsOrRelative)
{
    TestDir left, right;
    left.file("data/x/data/y.txt", "1");
    right.folder("data");
    const Result trailing = runCli({"compare", "--json", q(left.root() + "///"), q(right.root() + "/")});
    const QJsonObject doc = QJsonDocument::fromJson(trailing.out).object();
    EXPECT_EQ(doc["left"].toObject()["root"].toString(), q(left.root()));
    const QJsonObject op = doc["operations"].toArray()[0].toObject();
    EXPECT_EQ(op["copy_to"].toString(), q(right.path("data/x/data/y.txt")));

    // A relative root keeps its inner repeats of the root's own name.
    const Result relative = runCli({"compare", "--json", "data", q(right.path("data"))}, q(left.root()));
    const QJsonObject rel = QJsonDocument::fromJson(relative.out).object();
    const QJsonObject relOp = rel["operations"].toArray()[0].toObject();
    EXPECT_EQ(relOp["source"].toString(), "data/x/data/y.txt");
    EXPECT_EQ(relOp["copy_to"].toString(), q(right.path("data/x/data/y.txt")));
}

} // namespace
