#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// A native path as Qt shows it (as the program turns paths into texts).
inline QString q(const std::string &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// Files reached by a whole path (on a mounted image, in a trash folder).
std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
// Both times of the file a path names; false when they could not be set.
bool setTime(const std::string &path, std::int64_t seconds, long nanoseconds);
// The entry itself, a link not followed; all zero when it cannot be read.
struct stat statOf(const std::string &path);

// A temporary folder tree that a test builds to read like the situation it
// sets up: dir.file("sub/a.txt", "hello", dir.time(2020, 1, 1)). Removed with
// the object. Paths are native strings relative to the tree's root.
class TestDir
{
public:
    TestDir();
    ~TestDir();

    const std::string &root() const { return m_root; }
    std::string path(const std::string &relative) const;

    // Creates the file with its folders; sets its modification time when given.
    std::string file(const std::string &relative, const std::string &content = std::string(),
                     std::int64_t modified = -1);
    std::string folder(const std::string &relative);
    void setModified(const std::string &relative, std::int64_t modified);

    std::string read(const std::string &relative) const;
    bool exists(const std::string &relative) const;
    std::int64_t modified(const std::string &relative) const;

    // Seconds since 1970 for a local date and time.
    static std::int64_t time(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);

private:
    QTemporaryDir m_dir;
    std::string m_root;
};

// Points XDG_CONFIG_HOME at a fresh temporary folder for the object's life, so
// the settings store is a real file that no user owns.
class TestSettings
{
public:
    TestSettings();
    ~TestSettings();
    std::string configFolder() const;
    std::string settingsFile() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// Every hidden entry below root, trash folders aside: what an interrupted
// copy could leave.
std::vector<std::string> hiddenEntries(const std::string &root);

// Runs body in a child process as the unprivileged user nobody and returns
// its exit status: root reads and writes whatever the modes say, so a
// permission check proves something only as an ordinary user.
int asNobody(const std::function<int()> &body);
