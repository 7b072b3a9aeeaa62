#include "platform/filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace platform {
namespace {

bool modeGrantsRead(const struct stat &st)
{
    static const uid_t euid = ::geteuid();
    static const gid_t egid = ::getegid();
    if (euid == 0)
        return true;
    if (st.st_uid == euid)
        return st.st_mode & S_IRUSR;
    if (st.st_gid == egid)
        return st.st_mode & S_IRGRP;
    return st.st_mode & S_IROTH;
}

// The mode bits answer for nearly every file; only where they deny reading
// (supplementary groups, ACLs) is the file opened to be sure.
bool readable(int dirFd, const char *name, const struct stat &st)
{
    if (modeGrantsRead(st))
        return true;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

FileStatus statusOf(int dirFd, const char *name, const struct stat &st)
{
    FileStatus status;
    status.modified = st.st_mtim.tv_sec;
    status.nanoseconds = std::uint32_t(st.st_mtim.tv_nsec);
    if (readable(dirFd, name, st))
        status.size = st.st_size;
    return status;
}

} // namespace

std::optional<FileStatus> StatFile(const std::string &path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return statusOf(AT_FDCWD, path.c_str(), st);
}

bool ReadFolder(const std::string &folder,
                const std::function<void(std::string_view name, const FileStatus &)> &onFile,
                std::vector<std::string> &subfolders)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (name[0] == '.')
            continue; // hidden, and "." and ".."
        if (entry->d_type == DT_DIR) {
            subfolders.emplace_back(name);
            continue;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
        struct stat st;
        if (entry->d_type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISDIR(st.st_mode)) {
                subfolders.emplace_back(name);
                continue;
            }
            if (S_ISLNK(st.st_mode) && ::fstatat(fd, name, &st, 0) != 0)
                continue;
        } else if (::fstatat(fd, name, &st, 0) != 0) {
            continue; // dangling link, or gone since it was listed
        }
        // A link to a folder is neither a file nor a folder to descend into.
        if (!S_ISREG(st.st_mode))
            continue;
        onFile(std::string_view(name, std::strlen(name)), statusOf(fd, name, st));
    }
    ::closedir(dir);
    return true;
}

} // namespace platform
