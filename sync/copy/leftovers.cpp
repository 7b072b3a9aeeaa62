#include "platform/paths.h"
#include "platform/temporaryname.h"
#include "sync/copy/private/copierparts.h"
#include "sync/copy/private/temporarymark.h"
#include "sync/copy/temporaryrecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// Leftovers: the temporaries of a run that was killed while it copied.
namespace platform {

// Removes the temporaries in the folder that this program marked and no live
// copy holds: a run that is killed mid-copy leaves its one temporary behind,
// never a destination half-written. False when the folder could not be
// listed (out of descriptors, say): it is tried again with the next copy.
bool FileCopier::Impl::clearLeftovers(const Folder &folder)
{
    const int listFd = ::openat(folder.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return false;
    DIR *listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return false;
    }
    std::vector<std::string> found;
    while (const dirent *entry = ::readdir(listing)) {
        if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) && IsTemporaryName(entry->d_name))
            found.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string &name : found) {
        Fd file(::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st;
        if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const Mark mark = TemporaryMarkOf(file.get());
        if (mark == Mark::CannotTell) {
            note("Hidden files that look like temporaries of an earlier run were left in " + folder.shown
                 + ": this file system cannot carry the mark that proves them the program's own.");
            continue;
        }
        // A temporary being written is locked by its copy and stays.
        if (mark != Mark::Ours || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        // Still the file that was locked, not one that took its name since.
        struct stat now;
        if (::fstatat(folder.fd.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev
            || now.st_ino != st.st_ino)
            continue;
        // Closed first: a share such as SMB removes no file still open.
        file.reset();
        if (::unlinkat(folder.fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
            note("A temporary of an earlier run could not be removed and remains: " + JoinPath(folder.shown, name));
    }
    return true;
}

void FileCopier::Impl::removeLeftovers(const std::string &rootPath, FolderIdentity rootId,
                                       const std::vector<std::string> &names)
{
    std::call_once(m_common->cleared, [this] {
        std::vector<std::string> notes;
        TemporaryRecord::clearEnded(&notes);
        for (std::string &text : notes)
            note(std::move(text));
    });
    Root *r = names.empty() ? nullptr : root(rootPath, rootId, nullptr);
    if (!r)
        return;
    for (const std::string &relative : names) {
        std::string_view parent;
        std::string name;
        if (!SplitName(relative, parent, name))
            continue;
        const auto found = folder(*r, parent, false, nullptr);
        if (found && !m_cleared.count({found->id.device, found->id.inode}) && clearLeftovers(*found))
            m_cleared.insert({found->id.device, found->id.inode});
    }
}

} // namespace platform
