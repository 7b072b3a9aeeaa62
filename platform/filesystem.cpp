#include "platform/filesystem.h"

#include "platform/filecopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// Who is asking, read when asked: a process may change its user between
// scans (tests run a part as nobody in a forked child).
struct Reader
{
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();

    bool modeGrantsRead(const struct stat &st) const
    {
        if (uid == 0)
            return true;
        if (st.st_uid == uid)
            return st.st_mode & S_IRUSR;
        if (st.st_gid == gid)
            return st.st_mode & S_IRGRP;
        return st.st_mode & S_IROTH;
    }

    // The mode bits answer for nearly every file; only where they deny
    // reading (supplementary groups, ACLs) is the file opened to be sure.
    bool readable(int dirFd, const char *name, const struct stat &st) const
    {
        if (modeGrantsRead(st))
            return true;
        const int fd = ::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }

    FileStatus statusOf(int dirFd, const char *name, const struct stat &st) const
    {
        FileStatus status;
        status.modified = st.st_mtim.tv_sec;
        status.nanoseconds = std::uint32_t(st.st_mtim.tv_nsec);
        if (readable(dirFd, name, st))
            status.size = st.st_size;
        return status;
    }
};

void setError(int *error, int value)
{
    if (error)
        *error = value;
}

// Not a fault of the scan: a dangling link, a link loop, an entry removed
// since the folder was listed.
bool isNoEntry(int error)
{
    return error == ENOENT || error == ELOOP || error == ENOTDIR;
}

} // namespace

std::optional<FileStatus> StatFile(const std::string &path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return Reader().statusOf(AT_FDCWD, path.c_str(), st);
}

OpenFolder::~OpenFolder()
{
    close();
}

OpenFolder::OpenFolder(OpenFolder &&other) noexcept : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

OpenFolder &OpenFolder::operator=(OpenFolder &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void OpenFolder::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

OpenFolder OpenFolder::open(const std::string &path, int *error)
{
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        setError(error, path.empty() ? ENOENT : errno);
    return OpenFolder(fd);
}

OpenFolder OpenFolder::child(const std::string &name, int *error) const
{
    const int fd = ::openat(m_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        setError(error, errno);
    return OpenFolder(fd);
}

OpenFolder OpenFolder::parent(int *error) const
{
    const int fd = ::openat(m_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        setError(error, errno);
    return OpenFolder(fd);
}

FolderIdentity OpenFolder::identity() const
{
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return {};
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

bool ReadFolder(const OpenFolder &folder,
                const std::function<void(std::string_view name, const FileStatus &)> &onFile,
                std::vector<std::string> &subfolders, const FolderReadNotes &notes, int *error)
{
    // The listing gets its own descriptor: the folder's stays open for
    // opening its subfolders afterwards.
    const int fd = folder.isOpen() ? ::fcntl(folder.handle(), F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) {
        setError(error, folder.isOpen() ? errno : EBADF);
        return false;
    }
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        setError(error, errno);
        ::close(fd);
        return false;
    }
    ::rewinddir(dir); // a duplicate shares the offset of earlier reads
    const Reader reader;
    const auto unreadable = [&](const char *name, int code) {
        if (!isNoEntry(code) && notes.unreadable)
            notes.unreadable(name, code);
    };
    bool listed = true;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) {
                setError(error, errno);
                listed = false;
            }
            break;
        }
        const char *name = entry->d_name;
        if (name[0] == '.') {
            // Hidden, and "." and "..". Only the copy's own temporaries are
            // noted, and only as plain files: a link named like one is not ours.
            if (notes.temporaries && (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)
                && IsTemporaryName(name)) {
                struct stat st;
                if (entry->d_type == DT_REG
                    || (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)))
                    notes.temporaries->emplace_back(name);
            }
            continue;
        }
        if (entry->d_type == DT_DIR) {
            subfolders.emplace_back(name);
            continue;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                unreadable(name, errno);
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                subfolders.emplace_back(name);
                continue;
            }
            if (S_ISLNK(st.st_mode) && ::fstatat(fd, name, &st, 0) != 0) {
                unreadable(name, errno);
                continue;
            }
        } else if (::fstatat(fd, name, &st, 0) != 0) {
            unreadable(name, errno);
            continue;
        }
        // A link to a folder is neither a file nor a folder to descend into.
        if (!S_ISREG(st.st_mode))
            continue;
        onFile(std::string_view(name, std::strlen(name)), reader.statusOf(fd, name, st));
    }
    ::closedir(dir);
    return listed;
}

std::size_t RaiseOpenFileLimit()
{
    constexpr rlim_t kEnough = 65536;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    const rlim_t wanted = std::min(limit.rlim_max, kEnough);
    if (limit.rlim_cur < wanted) {
        struct rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return std::size_t(std::min(limit.rlim_cur, kEnough));
}

std::string ErrorText(int error)
{
    char buffer[256];
    // The GNU variant returns the text, which may not be the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return ::strerror_r(error, buffer, sizeof buffer);
#else
    return ::strerror_r(error, buffer, sizeof buffer) == 0 ? buffer : "error " + std::to_string(error);
#endif
}

} // namespace platform
