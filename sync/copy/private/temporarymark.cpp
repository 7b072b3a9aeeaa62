#include "sync/copy/private/temporarymark.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

const char kMarkValue[] = "temporary";

} // namespace

bool SetTemporaryMark(int fd)
{
    return ::fsetxattr(fd, kTemporaryMarkAttribute, kMarkValue, sizeof kMarkValue - 1, 0) == 0;
}

void RemoveTemporaryMark(int fd)
{
    ::fremovexattr(fd, kTemporaryMarkAttribute);
}

Mark TemporaryMarkOf(int fd)
{
    char value[sizeof kMarkValue];
    const ssize_t n = ::fgetxattr(fd, kTemporaryMarkAttribute, value, sizeof value);
    if (n == ssize_t(sizeof kMarkValue - 1) && std::memcmp(value, kMarkValue, n) == 0)
        return Mark::Ours;
    if (n < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
        return Mark::CannotTell;
    return Mark::NotOurs;
}

bool HoldTemporary(int dir, const std::string &name, int fd)
{
    struct stat byName, byFd;
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &byFd) == 0
        && ::fstatat(dir, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) == 0 && byName.st_dev == byFd.st_dev
        && byName.st_ino == byFd.st_ino;
}

} // namespace platform
