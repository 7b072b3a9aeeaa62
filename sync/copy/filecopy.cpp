#include "sync/copy/filecopy.h"

#include "platform/paths.h"
#include "platform/temporaryname.h"
#include "sync/copy/copyfailure.h"
#include "sync/copy/destinationtraits.h"
#include "sync/copy/private/copierparts.h"
#include "sync/copy/private/datacopy.h"
#include "sync/copy/private/temporarymark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

namespace platform {
namespace {

// How often a source that changes while it is copied is copied again.
constexpr int kCopyAttempts = 3;

// From this size a new file's name is looked up before it is copied.
constexpr std::int64_t kWorthALookFirst = 1 << 20;

bool sameState(const FileStatus &seen, const FileStatus &now)
{
    return (seen.size < 0 || now.size == seen.size) && now.modified == seen.modified
        && now.nanoseconds == seen.nanoseconds;
}

FileStatus stateOf(const struct stat &st)
{
    return {std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec), std::uint32_t(st.st_mtim.tv_nsec)};
}

bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameContentState(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && sameTime(a.st_mtim, b.st_mtim) && sameTime(a.st_ctim, b.st_ctim);
}

int defaultFlush(int fd, bool wholeFileSystem)
{
    return wholeFileSystem ? ::syncfs(fd) : ::fsync(fd);
}

} // namespace

std::string FoldedReason(const std::string &name, const std::string &other)
{
    return "the destination cannot hold both " + name + " and " + other
        + ": its file system takes them for one name, so nothing is written there";
}

FolderIdentity IdentityOf(const struct stat &st)
{
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

bool IsUsableName(std::string_view name)
{
    return !name.empty() && name != "." && name != "..";
}

bool SplitName(const std::string &relative, std::string_view &folder, std::string &name)
{
    const std::size_t cut = relative.rfind(kSeparator);
    name = cut == std::string::npos ? relative : relative.substr(cut + 1);
    folder = cut == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, cut);
    return IsUsableName(name);
}

FileCopier::Impl::Impl(Flush flush) : m_flush(flush ? std::move(flush) : Flush(defaultFlush)) {}

FileCopier::Impl::~Impl()
{
    discard();
}

const std::string &FileCopier::Impl::trashedAt(std::size_t index) const
{
    return m_staged[index].trashed;
}

std::size_t FileCopier::Impl::stagedCount() const
{
    return m_staged.size();
}

// A temporary that could not be removed stays named in the run's record.
void FileCopier::Impl::remains(const Folder &folder, const std::string &temporary)
{
    m_common->record.keep();
    note("A temporary could not be removed and remains: " + JoinPath(folder.shown, temporary));
}

void FileCopier::Impl::note(std::string text)
{
    const std::lock_guard<std::mutex> lock(m_common->noting);
    if (m_common->noted.insert(text).second)
        m_common->notes.push_back(std::move(text));
}

std::vector<std::string> FileCopier::Impl::notes() const
{
    const std::lock_guard<std::mutex> lock(m_common->noting);
    return m_common->notes;
}

void FileCopier::Impl::joinRun(const Impl &other)
{
    m_common = other.m_common;
}

void FileCopier::Impl::letGo()
{
    if (!m_staged.empty() || !m_unsettled.empty())
        return;
    m_folder.reset();
    m_sourceFolder.reset();
    m_trashes = Trashes();
    m_roots.clear();
}

// One note per destination, grown as more turns out not to be kept.
void FileCopier::Impl::notKept(Root &root, unsigned lost)
{
    if ((root.notKept | lost) == root.notKept)
        return;
    const std::lock_guard<std::mutex> lock(m_common->noting);
    auto &[said, at] = m_common->notKept.try_emplace(root.path, 0u, std::size_t(-1)).first->second;
    root.notKept = said |= root.notKept | lost;
    std::vector<const char *> parts;
    if (said & kPermissions)
        parts.push_back("permissions");
    if (said & kOwners)
        parts.push_back("owners");
    if (said & kAcls)
        parts.push_back("access control lists");
    if (said & kAttributes)
        parts.push_back("extended attributes");
    if (said & kTimes)
        parts.push_back("modification times");
    std::string list;
    for (std::size_t i = 0; i < parts.size(); ++i)
        list += std::string(i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    std::string text = root.path + " cannot hold everything the sources carry: the copies there went without their "
        + list + ".";
    std::vector<std::string> &notes = m_common->notes;
    if (at < notes.size()) {
        notes[at] = std::move(text);
    } else {
        at = notes.size();
        notes.push_back(std::move(text));
    }
}

bool FileCopier::Impl::stillAsSeen(int dir, const std::string &name, const FileStatus &seen) const
{
    // Links followed, as the scan reads it.
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode))
        return false;
    FileStatus now = stateOf(st);
    // A file this run put in place, still as it left it, stands for the one
    // it replaced: a link to it was compared as leading to that one.
    const auto made = m_common->produced.find({std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)});
    if (made != m_common->produced.end() && sameState(made->second.state, now)) {
        if (!made->second.before)
            return false;
        now = *made->second.before;
    }
    return sameState(seen, now);
}

template <typename Held, typename Root>
static bool sameFolder(const Held &held, const Root *root, std::string_view relative)
{
    return held && held->root == root && held->relative == relative;
}

// Opens the source file of a copy, non-blocking, so a FIFO put where the
// source was cannot hang the copy. A link to a file stands for its file, as
// in the scan, where following it shows nothing its owner could not read;
// the file opened must be the one so judged.
Fd FileCopier::Impl::openSource(Root &root, const std::string &from, struct stat *st, CopyError *error)
{
    std::string_view sourceFolder;
    std::string sourceName;
    if (!SplitName(from, sourceFolder, sourceName)) {
        fail(error, EINVAL, "the source " + from + " does not name a file");
        return Fd();
    }
    // A source folder removed meanwhile just fails the open below, as it should.
    if (!sameFolder(m_sourceFolder, &root, sourceFolder)) {
        m_sourceFolder = folder(root, sourceFolder, false, error);
        if (!m_sourceFolder) {
            if (error)
                error->reason = "cannot read the source: " + error->reason;
            return Fd();
        }
    }
    const int sourceDir = m_sourceFolder->fd.get();
    constexpr int kRead = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd source(::openat(sourceDir, sourceName.c_str(), kRead | O_NOFOLLOW));
    FolderIdentity judged;
    if (!source.valid() && errno == ELOOP) {
        if (!FollowingRevealsNothing(sourceDir, sourceName.c_str(), &judged)) {
            fail(error, EACCES, "cannot read the source: it is a link that its owner may not follow to its file; not followed");
            return Fd();
        }
        source = Fd(::openat(sourceDir, sourceName.c_str(), kRead));
    }
    if (!source.valid() || ::fstat(source.get(), st) != 0) {
        failErrno(error, "cannot read the source");
        return Fd();
    }
    if (judged.known() && IdentityOf(*st) != judged) {
        fail(error, EACCES, "cannot read the source: the link changed while it was followed");
        return Fd();
    }
    if (!S_ISREG(st->st_mode)) {
        fail(error, EINVAL, "the source is not a regular file");
        return Fd();
    }
    ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return source;
}

// Opens the folder a copy goes into (creating it, for a new file, after its
// source folder) and clears it of a killed run's leftovers once per run.
bool FileCopier::Impl::openDestinationFolder(Root &toRoot, Root &fromRoot, std::string_view relative, bool create,
                                             CopyError *error, bool *reused)
{
    // A destination folder removed meanwhile has no links left and is opened
    // afresh, so that a new file does not vanish with it. A new file's is
    // not asked (makeTemporary finds out).
    struct stat held;
    if (sameFolder(m_folder, &toRoot, relative)
        && (create || (::fstat(m_folder->fd.get(), &held) == 0 && held.st_nlink > 0))) {
        if (reused)
            *reused = true;
        return true;
    }
    m_folder.reset();
    auto opened = folder(toRoot, relative, create, error, &fromRoot);
    if (!opened)
        return false;
    if (!m_cleared.count({opened->id.device, opened->id.inode}) && clearLeftovers(*opened))
        m_cleared.insert({opened->id.device, opened->id.inode});
    m_folder = std::move(opened);
    return true;
}

// Whether the copy may be put where it goes: what holds the name now, what
// was compared there, and whether the folder allows renames at all.
bool FileCopier::Impl::mayReplace(Root &toRoot, const Staged &staged, std::int64_t size, CopyError *error)
{
    const int dir = staged.folder->fd.get();
    // A new file's name is checked again just before its rename, or the
    // rename refuses to replace: looking now only spares the copy of a file
    // whose name was taken since the comparison. On a stick, where a name
    // not found is a round trip each time, that is worth it for large files
    // only.
    const bool look = staged.existing == ExistingDestination::Replace || size >= kWorthALookFirst;
    struct stat existing;
    if (look && ::fstatat(dir, staged.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        std::string other;
        if (staged.existing == ExistingDestination::Keep && foldsNames(toRoot, dir)
            && !spelledAsListed(dir, staged.name, &other))
            return fail(error, EEXIST, FoldedReason(JoinPath(staged.folder->shown, staged.name),
                                                    JoinPath(staged.folder->shown, other)));
        if (staged.existing == ExistingDestination::Keep)
            return fail(error, EEXIST, "the destination already exists; it is not overwritten");
        if (S_ISDIR(existing.st_mode))
            return fail(error, EISDIR, "the destination is a folder");
        // Replacing a file the user may not write would silently defeat its
        // read-only mode; a link is replaced whatever its target allows.
        if (S_ISREG(existing.st_mode) && ::faccessat(dir, staged.name.c_str(), W_OK, AT_EACCESS) != 0
            && errno == EACCES)
            return fail(error, EACCES, "the destination is read-only");
    }
    // Checked now to spare a useless copy, and again just before the rename.
    if (staged.seen) {
        const std::lock_guard<std::mutex> placing(m_common->placing);
        if (!stillAsSeen(dir, staged.name, *staged.seen))
            return fail(error, 0, kChangedSinceComparison);
    }
    Volume &volume = this->volume(dir, staged.folder->id.device);
    if (const char *why = volume.noFlags ? nullptr : RefusesRenames(dir, &volume.noFlags))
        return fail(error, EPERM, "the destination folder " + staged.folder->shown + " is " + why
                                      + ": no copy can be put in place there, so nothing is written");
    return true;
}

// Through FUSE asking whether a folder still exists is a round trip, so a
// new file's folder held from the copy before is not asked: a temporary
// made in a folder removed meanwhile fails with ENOENT, and then the folder
// is opened (made) afresh, as it would have been.
bool FileCopier::Impl::makeTemporary(Root &toRoot, Root &fromRoot, std::string_view relative, bool reused,
                                     Staged &staged, std::int64_t size, CopyError *error)
{
    if (!mayReplace(toRoot, staged, size, error))
        return false;
    CopyError why;
    if (createTemporary(staged, &why))
        return true;
    struct stat folder;
    if (reused && why.code == ENOENT && (::fstat(staged.folder->fd.get(), &folder) != 0 || folder.st_nlink == 0)) {
        m_folder.reset();
        if (!openDestinationFolder(toRoot, fromRoot, relative, true, error))
            return false;
        staged.folder = m_folder;
        return mayReplace(toRoot, staged, size, error) && createTemporary(staged, error);
    }
    if (error)
        *error = why;
    return false;
}

// The first character of name that FAT, exFAT and NTFS as Windows writes it
// refuse in a name, or 0. Their drivers refuse such a name with EPERM,
// EINVAL or even ENOENT, which would read as a folder that cannot be
// written or is gone.
static char refusedOnSticks(const std::string &name)
{
    for (const char c : name) {
        if ((unsigned char)c < 0x20 || std::strchr("\"*:<>?\\|", c))
            return c;
    }
    return 0;
}

// Every copy is written under a hidden temporary name and renamed into
// place when complete; a new file's rename refuses to replace anything that
// took the name meanwhile. (Unnamed files linked in at the end would do the
// same, but each one open costs the file system far more while a batch of
// them waits to be linked.)
bool FileCopier::Impl::createTemporary(Staged &staged, CopyError *error)
{
    const int dir = staged.folder->fd.get();
    const Folder &into = *staged.folder;
    const std::string absolute = into.relative.empty() ? into.root->absolute
                                                       : JoinPath(into.root->absolute, into.relative);
    for (int attempt = 0; attempt < 100 && !staged.file.valid(); ++attempt) {
        staged.temporary = TemporaryName(staged.name, nameLimit(*staged.folder));
        m_common->record.add(absolute, staged.temporary);
        staged.file = Fd(::openat(dir, staged.temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!staged.file.valid() && errno != EEXIST) {
            const int code = errno;
            struct stat folder;
            const char refused = refusedOnSticks(staged.name);
            if (refused && (code == EPERM || code == EINVAL || code == EILSEQ || code == ENOENT)
                && ::fstat(dir, &folder) == 0 && folder.st_nlink > 0)
                return fail(error, code, (unsigned char)refused < 0x20
                                ? std::string("the destination does not allow control characters in a name")
                                : std::string("the destination does not allow the character '") + refused + "' in a name");
            errno = code;
            return failErrno(error, "cannot write in the destination folder");
        }
        // Held until the temporary is renamed or removed, so that no other
        // run takes it for the leftover of a killed one. A run that is
        // clearing it holds the lock, or has already taken the name away.
        if (staged.file.valid() && !HoldTemporary(dir, staged.temporary, staged.file.get()))
            staged.file.reset();
    }
    if (!staged.file.valid())
        return fail(error, EEXIST, "cannot find a free temporary name in the destination folder");
    // Without the mark (a file system without extended attributes) the
    // record alone tells a later run that a leftover of this copy is ours.
    Volume &volume = this->volume(dir, staged.folder->id.device);
    staged.marked = !volume.noMark && SetTemporaryMark(staged.file.get());
    if (!staged.marked && (errno == ENOTSUP || errno == EOPNOTSUPP)) // NOLINT(misc-redundant-expression)
        volume.noMark = true;
    return true;
}

// Removes a temporary whose copy failed, closed first (a share such as SMB
// removes no file still open); returns false for `return abandon(...)`.
bool FileCopier::Impl::abandon(Staged &staged, int code, const std::string &reason, CopyError *error)
{
    staged.file.reset();
    if (::unlinkat(staged.folder->fd.get(), staged.temporary.c_str(), 0) != 0 && errno != ENOENT)
        remains(*staged.folder, staged.temporary);
    return fail(error, code, reason);
}

bool FileCopier::Impl::abandonErrno(Staged &staged, const std::string &what, CopyError *error)
{
    const int code = errno;
    return abandon(staged, code, what + ": " + errorText(code), error);
}

// A source rewritten while it is read would leave a copy that mixes two
// versions under the older one's time: copy until it held still. st becomes
// the source as it held still; *copied the bytes copied.
bool FileCopier::Impl::copyData(int source, struct stat &st, Staged &staged, const BytesCopied &onBytes,
                                std::int64_t *copied, CopyError *error)
{
    for (int attempt = 1;; ++attempt) {
        DataCopy data(source, staged.file.get(), m_buffer, onBytes);
        if (!data.run(st))
            return abandonErrno(staged, data.writeSide() ? "cannot write the destination" : "cannot copy", error);
        *copied = data.copied();
        struct stat after;
        bool more = false;
        if (::fstat(source, &after) != 0 || !data.moreBeyond(st.st_size, &more))
            return abandonErrno(staged, "cannot read the source", error);
        // Where the source's status may be a share's stale copy, its content
        // is read again and must be what was copied.
        const bool stale = AttributesMayBeStale(source);
        if (sameContentState(st, after) && !more
            && (!stale || ReadsAsCopied(source, staged.file.get(), *copied, m_buffer)))
            return true;
        if (stale && errno != 0)
            return abandonErrno(staged, "cannot read the source", error);
        if (attempt == kCopyAttempts)
            return abandon(staged, 0, kSourceKeptChanging, error);
        st = after;
        if (::ftruncate(staged.file.get(), 0) != 0)
            return abandonErrno(staged, "cannot write the destination", error);
    }
}

// Whether a and b are 2 s or more apart, the step of the coarsest clock a
// destination may have (FAT's).
bool BeyondTheCoarsestStep(const struct timespec &a, const struct timespec &b)
{
    const long double apart = (static_cast<long double>(a.tv_sec) - b.tv_sec) + (a.tv_nsec - b.tv_nsec) / 1e9L;
    return apart >= 2 || apart <= -2;
}

// As root the copy keeps the source's owner, as "cp -p" does. The
// set-user-ID, set-group-ID and sticky bits are dropped: they would be
// dangerous on a file whose owner may differ from the source's. Asked each
// time: a process may change its user between copies. A file system without
// owners (or a squashing share) keeps ours, one without permissions its own;
// as "cp -p" does, the copy goes on, and one note says so. FAT and exFAT are
// not asked to take owners or permissions they cannot keep, and a volume that
// stamps a renamed file gets its times once, after the rename (keepTime).
bool FileCopier::Impl::keepMetadata(int source, const struct stat &st, Root &toRoot, Staged &staged, CopyError *error)
{
    const int file = staged.file.get();
    Volume &volume = this->volume(staged.folder->fd.get(), staged.folder->id.device);
    const uid_t euid = ::geteuid();
    const gid_t egid = ::getegid();
    unsigned lost = 0;
    if (!volume.fat && euid == 0 && (st.st_uid != euid || st.st_gid != egid)
        && ::fchown(file, st.st_uid, st.st_gid) != 0)
        lost |= kOwners;
    // All FAT keeps of a mode is the read-only mark a mode without write
    // permission sets; the temporary is writable already.
    if ((!volume.fat || !(st.st_mode & 0222)) && ::fchmod(file, st.st_mode & 0777) != 0) {
        if (!CannotHold(errno))
            return abandonErrno(staged, "cannot set the permissions of the destination", error);
        lost |= kPermissions;
    }
    lost |= CopyAttributes(source, file, false);
    staged.times[0] = st.st_atim;
    staged.times[1] = st.st_mtim;
    keepWithinRange(toRoot, staged);
    staged.timed = !volume.restamps;
    // One look at the copy afterwards tells both what took. On FAT a
    // writable copy looks like any other (no modes or owners of its own):
    // where its time is set after the rename, the first look serves all.
    const bool writable = volume.fat && (st.st_mode & 0222);
    struct stat made = {};
    if (!staged.timed && writable && volume.looks) {
        made.st_mode = volume.looks->mode;
        made.st_uid = volume.looks->uid;
        made.st_gid = volume.looks->gid;
    } else if ((staged.timed && ::futimens(file, staged.times) != 0) || ::fstat(file, &made) != 0) {
        return abandonErrno(staged, "cannot set the modification time of the destination", error);
    } else if (writable) {
        volume.looks = Volume::Looks{made.st_mode, made.st_uid, made.st_gid};
    }
    if ((made.st_mode & 0777) != (st.st_mode & 0777))
        lost |= kPermissions;
    if (volume.fat && euid == 0 && (made.st_uid != st.st_uid || made.st_gid != st.st_gid))
        lost |= kOwners;
    staged.stamped = made.st_mtim;
    // FAT keeps times to 2 s; a copy further off (a time outside what the
    // file system can hold, a driver that shifts by a time zone) would look
    // newer or older than it is.
    if (staged.timed && BeyondTheCoarsestStep(made.st_mtim, staged.times[1]))
        lost |= kTimes;
    notKept(toRoot, lost);
    return true;
}

bool FileCopier::Impl::stage(const CopyRequest &request, CopyError *error, const BytesCopied &onBytes)
{
    Root *fromRoot = root(request.fromRoot, request.fromRootId, error);
    if (!fromRoot)
        return false;
    Root *toRoot = root(request.toRoot, request.toRootId, error);
    if (!toRoot)
        return false;
    struct stat st;
    const Fd source = openSource(*fromRoot, request.from, &st, error);
    if (!source.valid())
        return false;
    // A source put back since with another time (an older version restored
    // with its date) is not what the comparison chose to copy.
    if (request.sourceSeen && !sameState(*request.sourceSeen, stateOf(st)))
        return fail(error, 0, kSourceChangedSinceComparison);

    Staged staged;
    staged.existing = request.existing;
    staged.seen = request.existing == ExistingDestination::Replace ? request.seen : std::nullopt;
    std::string_view destinationFolder;
    if (!SplitName(request.to, destinationFolder, staged.name))
        return fail(error, EINVAL, "the destination " + JoinPath(request.toRoot, request.to) + " does not name a file");
    // Only a new file may need folders; a replacement's folder was there.
    const bool create = request.existing == ExistingDestination::Keep;
    bool reused = false;
    if (!openDestinationFolder(*toRoot, *fromRoot, destinationFolder, create, error, &reused))
        return false;
    staged.folder = m_folder;
    // A share's client may show a destination edited on the server as it
    // was compared: nothing here can ask past that, so the run says so.
    if (staged.seen && AttributesMayBeStale(staged.folder->fd.get()))
        note(toRoot->path + " is a share whose client keeps sizes and times for a while: a file edited on the server"
             " in the seconds before its replacement may have been replaced all the same.");

    const std::int64_t largest = largestFile(*staged.folder);
    if (largest >= 0 && st.st_size > largest)
        return fail(error, EFBIG, kTooLargeForFat);
    std::int64_t copied = 0;
    if (!makeTemporary(*toRoot, *fromRoot, destinationFolder, create && reused, staged, st.st_size, error))
        return false;
    if (request.keepReplaced && request.existing == ExistingDestination::Replace && !findTrash(staged, error)) {
        const CopyError why = error ? *error : CopyError();
        abandon(staged, why.code, why.reason, error);
        if (error)
            error->trashUnusable = true;
        return false;
    }
    if (!copyData(source.get(), st, staged, onBytes, &copied, error))
        return false;
    if (request.sourceSeen && !sameState(*request.sourceSeen, stateOf(st)))
        return abandon(staged, 0, kSourceChangedSinceComparison, error);
    if (!keepMetadata(source.get(), st, *toRoot, staged, error))
        return false;
    m_stagedBytes += copied;
    m_staged.push_back(std::move(staged));
    return true;
}

bool CopyFileSafely(const CopyRequest &request, CopyError *error, const FileCopier::BytesCopied &onBytes)
{
    FileCopier copier;
    if (!copier.stage(request, error, onBytes))
        return false;
    bool ok = true;
    const auto failed = [&](const CopyError &e) {
        ok = false;
        if (error)
            *error = e;
    };
    copier.commit([&](std::size_t, const CopyError *e) {
        if (e)
            failed(*e);
    });
    copier.settle([&](std::size_t, const CopyError &e) { failed(e); });
    return ok;
}

} // namespace platform
