#include "sync/copy/private/renamenoreplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {
namespace {

// The last resort for "never overwrite" on a file system that offers neither
// renameat2's no-replace flag nor hard links (exFAT, FAT): the name is
// checked to be free just before the rename. No placeholder claims it
// first: one left by a kill in between would be taken for the user's file.
int renameIfFree(int dir, const char *from, const char *to)
{
    struct stat st;
    if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT)
        return -1;
    return ::renameat(dir, from, dir, to);
}

} // namespace

int RenameNoReplace(int dir, const char *from, const char *to)
{
    if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    if (::linkat(dir, from, dir, to, 0) == 0) {
        ::unlinkat(dir, from, 0);
        return 0;
    }
    if (errno == EEXIST)
        return -1;
    return renameIfFree(dir, from, to);
}

} // namespace platform
