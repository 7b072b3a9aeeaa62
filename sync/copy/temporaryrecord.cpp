#include "sync/copy/temporaryrecord.h"

#include "platform/filesystem.h"
#include "platform/paths.h"
#include "platform/temporaryname.h"
#include "sync/copy/trash.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

// A record older than this names folders that never came back.
constexpr std::time_t kForgetAfter = 30 * 24 * 3600;

std::string recordFolder()
{
    const std::string state = StateFolder();
    return state.empty() ? state : state + "/temporaries";
}

int fromHex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string percentDecoded(const std::string &text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? fromHex(text[i + 1]) : -1;
        const int low = high >= 0 ? fromHex(text[i + 2]) : -1;
        if (low >= 0) {
            decoded += char(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

enum class Outcome { Gone, Removed, Unreachable, Refused };

// Removes one recorded temporary, if it still is a file that no one holds.
Outcome removeRecorded(const std::string &folder, const std::string &name)
{
    if (!IsTemporaryName(name) || folder.empty() || folder[0] != '/')
        return Outcome::Gone;
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return errno == ENOENT ? Outcome::Gone : Outcome::Unreachable;
    Fd file(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st, now;
    if (!file.valid())
        return errno == ENOENT ? Outcome::Gone : Outcome::Refused;
    // A temporary being written is locked by its copy and stays.
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
        return Outcome::Refused;
    if (::fstatat(dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev
        || now.st_ino != st.st_ino)
        return Outcome::Gone;
    file.reset(); // a share such as SMB removes no file still open
    return ::unlinkat(dir.get(), name.c_str(), 0) == 0 || errno == ENOENT ? Outcome::Removed : Outcome::Refused;
}

// Clears what one ended run's record names; true when nothing is left to do.
bool clearRecord(int fd, std::vector<std::string> *notes)
{
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, off_t(text.size()))) > 0;)
        text.append(buffer, std::size_t(n));
    std::istringstream lines(text);
    bool done = true;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string folder = percentDecoded(line.substr(0, tab));
        const std::string name = percentDecoded(line.substr(tab + 1));
        const Outcome outcome = removeRecorded(folder, name);
        done = done && outcome != Outcome::Unreachable;
        if (outcome == Outcome::Refused && notes)
            notes->push_back("A temporary of an earlier run could not be removed and remains: "
                             + JoinPath(folder, name));
    }
    return done;
}

} // namespace

TemporaryRecord::~TemporaryRecord()
{
    if (m_fd.valid() && !m_kept)
        ::unlink(m_path.c_str());
}

void TemporaryRecord::add(const std::string &folder, const std::string &name)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_opened) {
        m_opened = true;
        const std::string where = recordFolder();
        if (where.empty() || !MakePrivateFolders(where))
            return;
        m_path = where + "/run-" + std::to_string(::getpid()) + "-" + std::to_string(std::time(nullptr));
        m_fd = Fd(::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
        if (m_fd.valid() && ::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0)
            m_fd.reset();
    }
    if (!m_fd.valid())
        return;
    // One write a line: a run killed mid-way leaves whole lines.
    const std::string line = PercentEncodedPath(folder) + "\t" + PercentEncodedPath(name) + "\n";
    if (::write(m_fd.get(), line.data(), line.size()) != ssize_t(line.size()))
        m_fd.reset();
}

void TemporaryRecord::keep()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_kept = true;
}

void TemporaryRecord::clearEnded(std::vector<std::string> *notes)
{
    const std::string where = recordFolder();
    DIR *listing = where.empty() ? nullptr : ::opendir(where.c_str());
    if (!listing)
        return;
    std::vector<std::string> records;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::string(entry->d_name).rfind("run-", 0) == 0)
            records.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string &name : records) {
        const std::string path = where + "/" + name;
        Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        // A record its run still holds is a live run's.
        if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.get(), &st) != 0)
            continue;
        if (clearRecord(fd.get(), notes) || std::time(nullptr) - st.st_mtime > kForgetAfter)
            ::unlink(path.c_str());
    }
}

} // namespace platform
