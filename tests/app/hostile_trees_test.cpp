// Messy real-world trees through the command-line tool: nothing may hang,
// crash or go missing, whatever the tree holds.

#include "support/clirun.h"

#include "compare/comparefolders.h"
#include "platform/paths.h"
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
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
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

std::set<QString> leftNames(const QByteArray &json)
{
    std::set<QString> names;
    const QJsonObject doc = QJsonDocument::fromJson(json).object();
    for (const auto &v : doc["left"].toObject()["rows"].toArray())
        names.insert(v.toObject()["name"].toString());
    return names;
}

// Name to size text of one side's rows.
std::map<QString, QString> sizesByName(const QByteArray &json, const char *side)
{
    std::map<QString, QString> sizes;
    const QJsonObject doc = QJsonDocument::fromJson(json).object();
    for (const auto &v : doc[side].toObject()["rows"].toArray())
        sizes[v.toObject()["name"].toString()] = v.toObject()["size"].toString();
    return sizes;
}

// Every name below root, as bytes, with the content of each file.
std::map<std::string, std::string> treeBytes(const TestDir &dir)
{
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir.root(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string relative = it->path().native().substr(dir.root().size() + 1);
        tree[relative] = it->is_regular_file() ? dir.read(relative) : std::string("<folder>");
    }
    return tree;
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
    EXPECT_EQ(leftNames(r.out), std::set<QString>{"sub/a.txt"});
}

TEST(HostileTrees, AwkwardNamesAreListedAndMatchedByteForByte)
{
    TestDir left, right;
    const std::vector<std::string> names = {
        "with space.txt", "comma,in,name.txt", "quote\"d'.txt", "back\\slash.txt", "-leading-dash.txt",
        "--json", "new\nline.txt", "latin1-\xE9\xE8.txt", "tab\tname", "ünïcødé.txt",
    };
    for (const auto &n : names) {
        left.file(n, "left", TestDir::time(2020, 1, 1));
        right.file(n, "right-longer", TestDir::time(2024, 1, 1));
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
    EXPECT_TRUE(leftNames(r.out).count(QString::fromUtf8("new\nline.txt")));
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
    const auto names = leftNames(r.out);
    EXPECT_EQ(names.size(), std::size_t(crowd + 1));
    EXPECT_TRUE(names.count(q(deep + "deep.txt")));
    // More operations than the window's list holds: the report lists them all.
    const QJsonObject doc = QJsonDocument::fromJson(r.out).object();
    EXPECT_FALSE(doc["truncated"].toBool());
    EXPECT_EQ(doc["operations"].toArray().size(), crowd + 1);
    EXPECT_FALSE(r.err.contains("Only the first")) << r.err.constData();
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

TEST(HostileTrees, UnreadableFilesAndFoldersAsAnOrdinaryUser)
{
    ASSERT_EQ(::geteuid(), 0u) << "the test needs root to switch to nobody";
    TestDir left, right;
    for (const TestDir *dir : {&left, &right})
        ::chmod(dir->root().c_str(), 0755);
    ASSERT_EQ(::chown(right.root().c_str(), 65534, 65534), 0);
    left.file("open.txt", "readable");
    left.file("locked.txt", "no one but root reads this");
    left.file("closed/hidden-inside.txt", "x");
    left.file("no-search/listed-but-unreachable.txt", "x");
    left.file("no-search/deeper/b.txt", "x");
    ::chmod(left.path("locked.txt").c_str(), 0);
    ::chmod(left.path("closed").c_str(), 0);
    ::chmod(left.path("no-search").c_str(), 0644);

    const clirun::Result compared = clirun::runAsNobody({"compare", "--json", q(left.root()), q(right.root())});
    ASSERT_TRUE(compared.finished);
    EXPECT_EQ(compared.exitCode, 1) << compared.err.constData();
    const std::map<QString, QString> expected = {{"open.txt", "8 bytes"}, {"locked.txt", ""}};
    EXPECT_EQ(sizesByName(compared.out, "left"), expected) << compared.out.constData();

    // Syncing as that user: the file it may not read is the one failure.
    const clirun::Result synced = clirun::runAsNobody({"sync", q(left.root()), q(right.root())});
    ASSERT_TRUE(synced.finished);
    EXPECT_EQ(synced.exitCode, 1);
    EXPECT_TRUE(synced.out.contains(QByteArray::fromStdString(
        "FAILED: " + left.path("locked.txt") + " copied to " + right.path("locked.txt")
        + ": cannot read the source: Permission denied")))
        << synced.out.constData();
    EXPECT_TRUE(synced.err.contains("1 of 2 file operations failed. 1 was carried out.")) << synced.err.constData();
    EXPECT_EQ(right.read("open.txt"), "readable");
    EXPECT_FALSE(right.exists("locked.txt"));
    EXPECT_TRUE(hiddenEntries(right.root()).empty());
}

TEST(HostileTrees, AwkwardNamesAreCopiedByteForByte)
{
    TestDir left, right;
    const std::vector<std::string> names = {
        "with space.txt", "comma,in,name.txt", "quote\"d'.txt", "back\\slash.txt", "-leading-dash.txt",
        "--json", "-h", "new\nline.txt", "latin1-\xE9\xE8.txt", "tab\tname", "\xff\xfe not UTF-8",
        "ünïcødé.txt", "sub \xC3(/-dash \n folder/inner.txt",
    };
    const auto older = TestDir::time(2020, 1, 1), newer = TestDir::time(2022, 1, 1);
    for (std::size_t i = 0; i < names.size(); ++i) {
        // Every other name is replaced on the right, the rest are new there.
        left.file(names[i], "left " + std::to_string(i) + " " + names[i], newer);
        if (i % 2 == 0)
            right.file(names[i], "old", older);
    }
    right.file("right only \x80\n.txt", "from the right");

    const clirun::Result r = clirun::run({"sync", "--", q(left.root()), q(right.root())});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_EQ(treeBytes(left), treeBytes(right));
    EXPECT_EQ(right.read("\xff\xfe not UTF-8"), "left 10 \xff\xfe not UTF-8");
    EXPECT_EQ(left.read("right only \x80\n.txt"), "from the right");
    // Before, a name holding a newline spanned lines and could forge one.
    for (const QByteArray &line : r.out.split('\n')) {
        EXPECT_TRUE(line.isEmpty() || line.startsWith("  ") || line.startsWith("Carrying out ")
                    || line.startsWith("Carried out ") || line.endsWith(" now in the Trash.")
                    || line.endsWith(" have been synchronized."))
            << line.constData();
    }
    const clirun::Result again = clirun::run({"compare", "--", q(left.root()), q(right.root())});
    EXPECT_EQ(again.exitCode, 0) << again.out.constData();
}

TEST(HostileTrees, FoldersNamedLikeOptionsAfterTheSeparator)
{
    TestDir dir;
    dir.file("-h/a.txt", "a");
    dir.folder("--json");
    // Before, "-h" after "--" printed the help instead of comparing.
    const clirun::Result r = clirun::run({"compare", "--", "-h", "--json"}, q(dir.root()));
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 1) << r.out.constData() << r.err.constData();
    EXPECT_FALSE(r.out.contains("Usage:")) << r.out.constData();
    EXPECT_TRUE(r.out.contains("-h/a.txt")) << r.out.constData();
}

// The file-system root itself, without scanning the real one: the program
// runs in a small tree made the root with chroot. Its loader and libraries
// lie in a hidden folder, which no scan lists.
TEST(HostileTrees, FileSystemRootAsTheRoot)
{
#if defined(CORVANEL_SANITIZED)
    GTEST_SKIP() << "the sanitizer runtime reads /proc, which would have to be part of the scanned root; the "
                    "joining at the root is checked by FileSystemRootJoinsWithOneSeparator";
#endif
    if (::geteuid() != 0)
        GTEST_SKIP() << "chroot needs root; FileSystemRootJoinsWithOneSeparator checks the joining";
    TestDir root;
    root.file("top.txt", "newer and longer", TestDir::time(2022, 1, 1));
    root.file("sub/inner.txt", "in");
    root.file("r/top.txt", "old", TestDir::time(2020, 1, 1));
    const std::string runtime = root.folder(".rt");
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {clirun::program()});
    ASSERT_TRUE(ldd.waitForFinished(30000));
    std::vector<std::string> files = {clirun::program().toStdString()};
    for (const QByteArray &line : ldd.readAllStandardOutput().split('\n')) {
        const int slash = line.indexOf('/');
        if (slash >= 0)
            files.push_back(line.mid(slash, line.indexOf(' ', slash) - slash).trimmed().toStdString());
    }
    std::string loader;
    for (const std::string &file : files) {
        const std::string name = std::filesystem::path(file).filename();
        std::error_code ec;
        std::filesystem::create_hard_link(std::filesystem::canonical(file), runtime + "/" + name, ec);
        if (ec)
            std::filesystem::copy_file(std::filesystem::canonical(file), runtime + "/" + name);
        if (name.rfind("ld-linux", 0) == 0)
            loader = "/.rt/" + name;
    }
    ASSERT_FALSE(loader.empty()) << "no dynamic loader among " << files.size() << " files";

    // Every folder lies inside "/", so "/" with any other folder is refused,
    // and the message names the root as "/", never as an empty text.
    for (const char *rootText : {"/", "///"}) {
        SCOPED_TRACE(rootText);
        QProcess process;
        process.start(QStringLiteral("chroot"), {q(root.root()), q(loader), "--library-path", "/.rt",
                                                 "/.rt/corvanel-cli", "compare", "--json", rootText, "/r/"});
        const clirun::Result r = clirun::collect(process, 60000);
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.exitCode, 2) << r.out.constData() << r.err.constData();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.contains("/r lies inside /,")) << r.err.constData();
        EXPECT_EQ(root.read("r/top.txt"), "old");
    }

    // The scan of "/" itself names its rows without a leading separator.
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chroot(root.root().c_str()) != 0 || ::chdir("/") != 0)
            ::_exit(90);
        for (const char *rootText : {"/", "///"}) {
            ResultRows rows;
            FillResultList(rows, rootText);
            std::vector<std::string> names;
            for (const ResultRow &row : rows)
                names.emplace_back(row.name());
            if (names != std::vector<std::string>{"top.txt", "r/top.txt", "sub/inner.txt"})
                ::_exit(91);
        }
        ::_exit(0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(HostileTrees, FileSystemRootJoinsWithOneSeparator)
{
    EXPECT_EQ(platform::TrimTrailingSeparators("///"), "/");
    EXPECT_EQ(platform::WithSeparator("/"), "/");
    Comparison comparison;
    comparison.leftRoot = "/";
    comparison.rightRoot = "/mnt/r";
    ResultRow row;
    row.size = 1;
    comparison.left.add("sub/a.txt", row);
    PendingOperationList operations;
    MatchRows(comparison, operations);
    ASSERT_EQ(operations.count(), 1);
    EXPECT_EQ(operations[0].source, "/sub/a.txt");
    EXPECT_EQ(operations[0].copyTo, "/mnt/r/sub/a.txt");

    comparison = Comparison();
    comparison.leftRoot = "/mnt/l";
    comparison.rightRoot = "/";
    comparison.left.add("sub/a.txt", row);
    operations.reset();
    MatchRows(comparison, operations);
    EXPECT_EQ(operations[0].destination, "/");
    EXPECT_EQ(operations[0].copyTo, "/sub/a.txt");
}

} // namespace
