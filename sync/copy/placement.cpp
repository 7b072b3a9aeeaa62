#include "platform/paths.h"
#include "sync/copy/copyfailure.h"
#include "sync/copy/destinationtraits.h"
#include "sync/copy/private/copierparts.h"
#include "sync/copy/private/temporarymark.h"
#include "sync/copy/renamenoreplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <set>

// Putting staged copies in place: the flushes of a batch, the renames, and
// the flushes that make them last.
namespace platform {
namespace {

// Why a copy in place is no success: its flush failed.
const char kNotConfirmed[] = "the copy is in place, but its file system did not confirm it is on the disk";

bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

FileStatus stateOf(const struct stat &st)
{
    return {std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec), std::uint32_t(st.st_mtim.tv_nsec)};
}

std::string dayText(std::int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    struct tm day = {};
    char text[32] = "";
    if (::gmtime_r(&t, &day))
        std::strftime(text, sizeof text, "%Y-%m-%d", &day);
    return text;
}

} // namespace

// FAT and exFAT hold 1980 to 2107: a time past either end would be stored
// wrapped (1975 read back as 2103, newer than every edit from then on), so
// the copy gets the nearest time the volume holds, and a note says so.
void FileCopier::Impl::keepWithinRange(Root &toRoot, Staged &staged)
{
    if (!toRoot.fatTimes)
        toRoot.fatTimes = KeepsLocalTimes(toRoot.fd.get());
    struct timespec &modified = staged.times[1];
    if (!*toRoot.fatTimes || (modified.tv_sec >= kFatEarliest && modified.tv_sec <= kFatLatest))
        return;
    const std::int64_t held = modified.tv_sec < kFatEarliest ? kFatEarliest : kFatLatest;
    note(JoinPath(staged.folder->shown, staged.name) + " is dated " + dayText(modified.tv_sec)
         + ", which the file system there cannot hold: the copy is dated " + dayText(held) + ".");
    modified = {time_t(held), 0};
    struct timespec &accessed = staged.times[0];
    if (accessed.tv_sec < kFatEarliest || accessed.tv_sec > kFatLatest)
        accessed = modified;
}

// Some file systems (FAT through FUSE) stamp a file renamed with the time of
// the rename: the copy would then look newer than every other edit made
// before the sync. Once a volume is seen to, its copies get their times only
// after the rename. They are flushed with the file, or on FAT and exFAT,
// which keep times in the folder's entry, with the folder after the batch.
// Where even that does not hold, the copy is in place all the same and a
// note says so. placed gets the file's status as it is in place; false when
// it cannot be read.
bool FileCopier::Impl::keepTime(Staged &s, struct stat &placed)
{
    const int dir = s.folder->fd.get();
    // A copy still to be timed is looked at once, after its time is set.
    if (s.timed) {
        if (::fstatat(dir, s.name.c_str(), &placed, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(placed.st_mode))
            return false;
        if (sameTime(placed.st_mtim, s.stamped))
            return true;
    }
    Volume &volume = this->volume(dir, s.folder->id.device);
    volume.restamps = true;
    bool again = ::utimensat(dir, s.name.c_str(), s.times, AT_SYMLINK_NOFOLLOW) == 0;
    if (again && !volume.fat && !flushesWhole(dir, s.folder->id.device)) {
        const Fd file(::openat(dir, s.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        again = file.valid() && (m_flush(file.get(), false) == 0 || FlushNotOffered(errno));
    }
    struct stat after;
    const bool seen = ::fstatat(dir, s.name.c_str(), &after, AT_SYMLINK_NOFOLLOW) == 0
        && (s.timed || S_ISREG(after.st_mode));
    if (!seen && !s.timed)
        return false;
    if (seen)
        placed = after;
    again = again && seen;
    // Set only now, the time is judged as keepMetadata judges one set before.
    const bool held = s.timed ? sameTime(placed.st_mtim, s.stamped)
                              : !BeyondTheCoarsestStep(placed.st_mtim, s.times[1]);
    if (!again || !held)
        notKept(*s.folder->root, kTimes);
    return true;
}

// One flush for each file system of the batch that honours it; returns the
// devices so flushed. It reports any write-back error since the file it is
// given was opened, which covers the whole batch, and it covers the renames
// of earlier batches there too.
std::set<std::uint64_t> FileCopier::Impl::flushWholeFileSystems(std::size_t first)
{
    std::set<std::uint64_t> tried, flushed;
    for (std::size_t i = first; i < m_staged.size(); ++i) {
        const Staged &s = m_staged[i];
        const std::uint64_t device = s.folder->id.device;
        if (!tried.insert(device).second || !flushesWhole(s.folder->fd.get(), device))
            continue;
        if (m_flush(s.file.get(), true) == 0) {
            flushed.insert(device);
            m_unsettled.erase(device);
        }
    }
    return flushed;
}

// Where files are flushed one by one, so are the folders renamed into, once
// the batch is in place: else a power cut could undo the renames. A failure
// there fails the copies in that folder (they are in place, maybe not for good).
void FileCopier::Impl::settleFolders(const std::vector<std::size_t> &placedNow, std::vector<CopyError> &failures)
{
    std::set<const Folder *> done;
    for (const std::size_t i : placedNow) {
        const Folder *folder = m_staged[i].folder.get();
        if (flushesWhole(folder->fd.get(), folder->id.device) || !done.insert(folder).second)
            continue;
        if (m_flush(folder->fd.get(), false) == 0 || FlushNotOffered(errno))
            continue;
        CopyError error;
        failErrno(&error, kNotConfirmed);
        for (const std::size_t j : placedNow) {
            if (m_staged[j].folder.get() == folder)
                failures[j] = error;
        }
    }
}

// Renames one flushed temporary into place, if its folder still is where
// the root leads and its destination still is what was compared.
bool FileCopier::Impl::place(Staged &s, const Folder *&reachable, CopyError *error)
{
    const int dir = s.folder->fd.get();
    // Links put in place of a folder since it was opened are caught
    // here: the rename goes only where the root still leads.
    if (s.folder.get() != reachable) {
        const bool ok = stillReachable(s, error);
        reachable = ok ? s.folder.get() : nullptr;
        if (!ok)
            return false;
    }
    if (s.seen && !stillAsSeen(dir, s.name, *s.seen))
        return fail(error, 0, kChangedSinceComparison);
    if (s.trash) {
        CopyError kept;
        if (replaceKeepingOld(s, !flushesWhole(dir, s.folder->id.device), &kept))
            return true;
        if (!kept.reason.empty()) {
            if (error)
                *error = kept;
            return false;
        }
    } else {
        const int rc = s.existing == ExistingDestination::Keep
            ? RenameNoReplace(dir, s.temporary.c_str(), s.name.c_str(), &volume(dir, s.folder->id.device).renames)
            : ::renameat(dir, s.temporary.c_str(), dir, s.name.c_str());
        const int code = errno;
        // A share may carry out a rename and lose its reply.
        if (rc == 0 || copyStands(s))
            return true;
        errno = code;
    }
    const int code = errno;
    std::string other;
    if (code == EEXIST && foldsNames(*s.folder->root, dir) && !spelledAsListed(dir, s.name, &other))
        return fail(error, EEXIST, FoldedReason(JoinPath(s.folder->shown, s.name), JoinPath(s.folder->shown, other)));
    if (code == EEXIST)
        return fail(error, EEXIST, "the destination already exists; it is not overwritten");
    if (code == EISDIR || code == ENOTEMPTY)
        return fail(error, EISDIR, "the destination is a folder");
    errno = code;
    return failErrno(error, "cannot replace the destination");
}

// Flushes and renames the staged copies not yet placed; what each came to
// waits in m_failures and m_placedNow for commit() to report.
void FileCopier::Impl::placeFrom(std::size_t first, bool checkRoots)
{
    // A lone file gets just its own flush; so does each file where its file
    // system is not flushed as a whole, or where that flush failed (to tell
    // which file did).
    const std::set<std::uint64_t> flushed = m_staged.size() - first > 1 ? flushWholeFileSystems(first)
                                                                        : std::set<std::uint64_t>();
    // A root that now leads elsewhere (unmounted, replaced) takes nothing.
    for (const auto &r : m_roots) {
        struct stat st;
        if (checkRoots && r->failure.reason.empty()
            && (::stat(r->path.empty() ? "." : r->path.c_str(), &st) != 0 || IdentityOf(st) != r->id))
            r->failure = {ESTALE, "the folder " + r->path + " is no longer the folder that was compared"};
    }
    m_failures.resize(m_staged.size());
    for (std::size_t i = first; i < m_staged.size(); ++i) {
        Staged &s = m_staged[i];
        CopyError &error = m_failures[i];
        bool ok = true;
        if (!flushed.count(s.folder->id.device) && m_flush(s.file.get(), false) != 0 && errno != EINVAL
            && errno != EROFS)
            ok = failErrno(&error, "cannot write the destination");
        // The mark is for temporaries only; the file in place goes without.
        // It goes, with the descriptor, before the rename: a share such as
        // SMB renames no file still open. Until then the run's record names it.
        if (ok && s.marked)
            RemoveTemporaryMark(s.file.get());
        s.file.reset();
        std::unique_lock<std::mutex> placing(m_common->placing, std::defer_lock);
        if (s.existing == ExistingDestination::Replace)
            placing.lock();
        ok = ok && place(s, m_reachable, &error);
        struct stat placed;
        const bool known = ok && keepTime(s, placed);
        if (ok) {
            m_placedNow.push_back(i);
            // A link elsewhere in the tree may lead to what was replaced.
            if (known && s.existing == ExistingDestination::Replace)
                m_common->produced[{std::uint64_t(placed.st_dev), std::uint64_t(placed.st_ino)}] = {stateOf(placed),
                                                                                                    s.seen};
        }
        if (placing.owns_lock())
            placing.unlock();
        if (!ok && ::unlinkat(s.folder->fd.get(), s.temporary.c_str(), 0) != 0 && errno != ENOENT)
            remains(*s.folder, s.temporary);
        s.temporary.clear();
    }
    m_early = m_staged.size();
}

// On FAT every name asked for, made or renamed in a folder is sought entry
// by entry (fusefat reads each from the image): a batch staged whole keeps
// all its temporaries there at once, and each copy's steps read past them.
// Where files are flushed one by one anyway, placing each as soon as it is
// staged costs no more calls.
void FileCopier::Impl::placeStaged()
{
    for (std::size_t i = m_early; i < m_staged.size(); ++i) {
        const Folder &folder = *m_staged[i].folder;
        if (!volume(folder.fd.get(), folder.id.device).fat || flushesWhole(folder.fd.get(), folder.id.device))
            return;
    }
    placeFrom(m_early, m_early == 0);
}

void FileCopier::Impl::commit(const std::function<void(std::size_t, const CopyError *)> &done)
{
    placeFrom(m_early, true);
    std::vector<CopyError> &failures = m_failures;
    settleFolders(m_placedNow, failures);
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        const bool ok = failures[i].reason.empty();
        const Folder &folder = *m_staged[i].folder;
        if (ok && flushesWhole(folder.fd.get(), folder.id.device)) {
            Unsettled &unsettled = m_unsettled[folder.id.device];
            if (!unsettled.folder)
                unsettled.folder = m_staged[i].folder;
            unsettled.placed.push_back(m_placed);
        }
        m_placed += ok;
        if (done)
            done(i, ok ? nullptr : &failures[i]);
    }
    m_staged.clear();
    m_failures.clear();
    m_placedNow.clear();
    m_early = 0;
    m_reachable = nullptr;
    m_stagedBytes = 0;
}

void FileCopier::Impl::settle(const std::function<void(std::size_t, const CopyError &)> &failed)
{
    for (const auto &[device, unsettled] : m_unsettled) {
        if (m_flush(unsettled.folder->fd.get(), true) == 0)
            continue;
        CopyError error;
        failErrno(&error, kNotConfirmed);
        for (const std::size_t placed : unsettled.placed) {
            if (failed)
                failed(placed, error);
        }
    }
    m_unsettled.clear();
}

void FileCopier::Impl::discard()
{
    for (Staged &s : m_staged) {
        s.file.reset();
        if (!s.temporary.empty() && ::unlinkat(s.folder->fd.get(), s.temporary.c_str(), 0) != 0 && errno != ENOENT)
            remains(*s.folder, s.temporary);
    }
    m_staged.clear();
    m_stagedBytes = 0;
}

} // namespace platform
