#include "sync/copy/renamenoreplace.h"

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
int renameIfFree(int fromDir, const char *from, int toDir, const char *to)
{
    struct stat st;
    if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT)
        return -1;
    return ::renameat(fromDir, from, toDir, to);
}

} // namespace

int RenameNoReplace(int fromDir, const char *from, int toDir, const char *to, RenameWays *ways)
{
    if (!ways || !ways->noFlag) {
        if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return -1;
        if (ways)
            ways->noFlag = true;
    }
    if (ways && ways->noLinks)
        return renameIfFree(fromDir, from, toDir, to);
    if (::linkat(fromDir, from, toDir, to, 0) == 0) {
        ::unlinkat(fromDir, from, 0);
        return 0;
    }
    if (errno == EEXIST)
        return -1;
    return renameIfFree(fromDir, from, toDir, to);
}

} // namespace platform
