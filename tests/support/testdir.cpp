#include "support/testdir.h"

#include <QDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TestDir::TestDir()
{
    if (!m_dir.isValid())
        throw std::runtime_error("cannot create a temporary folder");
    m_root = QDir(m_dir.path()).canonicalPath().toStdString();
}

TestDir::~TestDir()
{
    // Tests may leave folders without permissions behind.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(m_root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0755);
    }
    // Removed here, byte for byte: names that are not valid UTF-8 defeat
    // QTemporaryDir's own removal.
    std::filesystem::remove_all(m_root, ec);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool setTime(const std::string &path, std::int64_t seconds, long nanoseconds)
{
    const struct timespec times[2] = {{time_t(seconds), nanoseconds}, {time_t(seconds), nanoseconds}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

struct stat statOf(const std::string &path)
{
    struct stat st = {};
    ::lstat(path.c_str(), &st);
    return st;
}

std::string TestDir::path(const std::string &relative) const
{
    return relative.empty() ? m_root : m_root + "/" + relative;
}

std::string TestDir::file(const std::string &relative, const std::string &content, std::int64_t modified)
{
    const std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (modified >= 0)
        setModified(relative, modified);
    return full;
}

std::string TestDir::folder(const std::string &relative)
{
    const std::string full = path(relative);
    std::filesystem::create_directories(full);
    return full;
}

void TestDir::setModified(const std::string &relative, std::int64_t modified)
{
    struct timespec times[2];
    times[0].tv_sec = modified;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::utimensat(AT_FDCWD, path(relative).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

std::string TestDir::read(const std::string &relative) const
{
    std::ifstream in(path(relative), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TestDir::exists(const std::string &relative) const
{
    struct stat st;
    return ::lstat(path(relative).c_str(), &st) == 0;
}

std::int64_t TestDir::modified(const std::string &relative) const
{
    struct stat st;
    if (::stat(path(relative).c_str(), &st) != 0)
        return -1;
    return st.st_mtim.tv_sec;
}

std::int64_t TestDir::time(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

TestSettings::TestSettings()
    : m_previous(qgetenv("XDG_CONFIG_HOME")), m_hadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME"))
{
    qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
}

TestSettings::~TestSettings()
{
    if (m_hadPrevious)
        qputenv("XDG_CONFIG_HOME", m_previous);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

std::string TestSettings::configFolder() const
{
    return m_dir.path().toStdString();
}

std::string TestSettings::settingsFile() const
{
    return configFolder() + "/Quillmark.conf";
}

std::vector<std::string> hiddenEntries(const std::string &root)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // A file system's trash, where a sync keeps what it replaced, is no leftover.
        if (name == ".Trash" || name.rfind(".Trash-", 0) == 0) {
            it.disable_recursion_pending();
            continue;
        }
        if (name[0] == '.')
            found.push_back(it->path().string());
    }
    return found;
}

int asNobody(const std::function<int()> &body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}
