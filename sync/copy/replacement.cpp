#include "platform/paths.h"
#include "sync/copy/copyfailure.h"
#include "sync/copy/private/copierparts.h"
#include "sync/copy/renamenoreplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// A replacement that keeps the old file in the Trash, and what is done when
// one of its steps fails: nothing is undone before a look at what the step
// left, since a share may carry out a call and lose its reply.
namespace platform {
namespace {

bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Where a file system offers no hard links (FAT, exFAT, many FUSE layers).
bool noHardLinks(int code)
{
    return code == EPERM || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS || code == EMLINK
        || code == EXDEV; // NOLINT(misc-redundant-expression): ENOTSUP is EOPNOTSUPP on Linux only
}

// Failures after which the call may have been carried out all the same: a
// share that lost its connection or timed out before it answered.
bool outcomeUnknown(int code)
{
    return code == EIO || code == ETIMEDOUT || code == ENOTCONN || code == ECONNRESET || code == ECONNABORTED
        || code == ENETDOWN || code == ENETUNREACH || code == EHOSTUNREACH || code == EINTR || code == ESTALE;
}

// Moves a file, and gives it back its time where the move changed it (FAT
// through FUSE stamps a renamed file with the time of the rename): the old
// file in the trash, or back from there, is the file as it was. With
// noReplace, nothing that holds the name meanwhile is replaced.
int moveKeepingTime(int fromDir, const char *from, int toDir, const char *to, bool noReplace = false)
{
    struct stat before, after;
    const bool known = ::fstatat(fromDir, from, &before, AT_SYMLINK_NOFOLLOW) == 0;
    int rc = ::renameat2(fromDir, from, toDir, to, noReplace ? RENAME_NOREPLACE : 0);
    if (rc != 0 && noReplace && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        // The name checked free just before, where the file system has no other way.
        rc = ::fstatat(toDir, to, &after, AT_SYMLINK_NOFOLLOW) == 0 ? (errno = EEXIST, -1)
            : errno != ENOENT                                       ? -1
                                                                    : ::renameat(fromDir, from, toDir, to);
    }
    if (rc != 0)
        return -1;
    if (known && ::fstatat(toDir, to, &after, AT_SYMLINK_NOFOLLOW) == 0 && !sameTime(after.st_mtim, before.st_mtim)) {
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ::utimensat(toDir, to, times, AT_SYMLINK_NOFOLLOW);
    }
    return 0;
}

// Which of the names the folder lists now, read from the folder itself:
// a share's cached status of a name may still show it as before a rename
// whose reply was lost.
bool listed(int dir, const std::string &name, bool *found)
{
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!listing) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    *found = false;
    errno = 0;
    while (const dirent *entry = ::readdir(listing))
        *found = *found || name == entry->d_name;
    const bool complete = errno == 0;
    ::closedir(listing);
    return complete;
}

bool sameFile(int dirA, const char *a, int dirB, const char *b)
{
    struct stat first, second;
    return ::fstatat(dirA, a, &first, AT_SYMLINK_NOFOLLOW) == 0 && ::fstatat(dirB, b, &second, AT_SYMLINK_NOFOLLOW) == 0
        && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether the old file went into the trash though the call said it failed.
bool reachedTrash(int dir, const char *name, const TrashFolder &trash, const char *entry, bool moving)
{
    bool there = false, left = true;
    if (!listed(trash.files.get(), entry, &there) || !there)
        return false;
    return moving ? listed(dir, name, &left) && !left : sameFile(dir, name, trash.files.get(), entry);
}

} // namespace

// The absolute path of a copy's destination, for the Trash.
template<typename Folder>
static std::string absoluteDestination(const Folder &folder, const std::string &name)
{
    const std::string &root = folder.root->absolute;
    std::string path = folder.relative.empty() ? root : JoinPath(root, folder.relative);
    return JoinPath(path, name);
}

// The trash that will take the file a replacement replaces; none is needed
// where there is nothing to replace.
bool FileCopier::Impl::findTrash(Staged &staged, CopyError *error)
{
    struct stat existing;
    if (::fstatat(staged.folder->fd.get(), staged.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0
        || S_ISDIR(existing.st_mode))
        return true;
    const std::string path = absoluteDestination(*staged.folder, staged.name);
    staged.trash = m_trashes.forFolder(path.substr(0, path.rfind('/')), staged.folder->id.device, error);
    return staged.trash != nullptr;
}

// Whether the copy took its name though the rename said it failed: its
// temporary's name is gone from the folder and the name is there.
bool FileCopier::Impl::copyStands(const Staged &s)
{
    bool temporary = true, name = false;
    return listed(s.folder->fd.get(), s.temporary, &temporary) && !temporary
        && listed(s.folder->fd.get(), s.name, &name) && name;
}

// Takes the trash entry back after a replacement that did not happen. A
// second link is removed only while the old file still is under its name,
// and only where the failure says for certain that nothing was done; a
// moved file goes back only where its name is free. What cannot be taken
// back stays in the trash with its .trashinfo. True when it was.
bool FileCopier::Impl::takeBack(const Staged &s, const std::string &entry, bool moved, int why)
{
    const int dir = s.folder->fd.get();
    const TrashFolder &trash = *s.trash;
    bool back = false;
    if (moved) {
        back = moveKeepingTime(trash.files.get(), entry.c_str(), dir, s.name.c_str(), true) == 0;
        bool left = true;
        back = back || (outcomeUnknown(errno) && listed(trash.files.get(), entry, &left) && !left);
    } else if (!outcomeUnknown(why) && sameFile(dir, s.name.c_str(), trash.files.get(), entry.c_str())) {
        back = ::unlinkat(trash.files.get(), entry.c_str(), 0) == 0;
    }
    if (back)
        RemoveTrashEntry(trash, entry, false);
    return back;
}

// Why a replacement failed, and where the old file is when it stayed in the trash.
static bool failedKeeping(const TrashFolder &trash, bool back, int code, const std::string &what, CopyError *error)
{
    std::string reason = what + ": " + errorText(code);
    if (!back)
        reason += "; the old file is kept in the trash folder " + trash.path;
    return fail(error, code, reason);
}

// Puts the copy in place and the file it replaces in the Trash, in an order
// that never loses the old file: its .trashinfo first, then a second link
// to it in the trash, then the rename over it. Where there are no hard
// links, the old file moves into the trash just before the new one takes
// its name: a kill in between leaves the name empty, the old file in the
// trash, and the next sync copies the file again. A step whose reply is
// lost is judged by what it left.
bool FileCopier::Impl::replaceKeepingOld(Staged &s, bool flushEach, CopyError *error)
{
    const int dir = s.folder->fd.get();
    const TrashFolder &trash = *s.trash;
    std::string entry;
    if (!WriteTrashInfo(trash, absoluteDestination(*s.folder, s.name), flushEach, &entry, error))
        return false;
    bool moved = false;
    RenameWays &ways = volume(dir, s.folder->id.device).renames;
    // Where the volume has no hard links, the old file moves at once.
    if (ways.noLinks || ::linkat(dir, s.name.c_str(), trash.files.get(), entry.c_str(), 0) != 0) {
        const int code = ways.noLinks ? EPERM : errno;
        const bool linked = outcomeUnknown(code) && reachedTrash(dir, s.name.c_str(), trash, entry.c_str(), false);
        moved = !linked && noHardLinks(code)
            && (moveKeepingTime(dir, s.name.c_str(), trash.files.get(), entry.c_str()) == 0
                || (outcomeUnknown(errno) && reachedTrash(dir, s.name.c_str(), trash, entry.c_str(), true)));
        if (!linked && !moved) {
            // Neither linked nor moved: where the file itself refuses
            // (immutable, append-only), it is the destination that cannot
            // be replaced.
            const int why = noHardLinks(code) ? errno : code;
            RemoveTrashEntry(trash, entry, false);
            if (why == ENOENT)
                return fail(error, 0, kChangedSinceComparison);
            errno = why;
            return failErrno(error,
                             why == EPERM ? std::string("cannot replace the destination")
                                          : "cannot keep the old file in the trash folder " + trash.path);
        }
    }
    // The trash's folders are flushed before the rename: a power cut
    // after it must find the old file there.
    if (flushEach) {
        for (const int folder : {trash.files.get(), trash.info.get()}) {
            if (m_flush(folder, false) != 0 && !FlushNotOffered(errno)) {
                const int code = errno;
                return failedKeeping(trash, takeBack(s, entry, moved, code), code,
                                     "cannot keep the old file in the trash folder " + trash.path, error);
            }
        }
    }
    const int rc = moved ? RenameNoReplace(dir, s.temporary.c_str(), s.name.c_str(), &ways)
                         : ::renameat(dir, s.temporary.c_str(), dir, s.name.c_str());
    const int code = rc != 0 ? errno : 0;
    if (rc != 0 && !copyStands(s)) {
        // Undone in full: the caller tells why from errno, as for any rename.
        if (takeBack(s, entry, moved, code)) {
            errno = code;
            return false;
        }
        return failedKeeping(trash, false, code, "cannot replace the destination", error);
    }
    s.trashed = JoinPath(JoinPath(trash.path, "files"), entry);
    return true;
}

} // namespace platform
