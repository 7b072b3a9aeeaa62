#include "platform/paths.h"
#include "sync/copy/private/copierparts.h"

#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

// Reaching the folders of a copy from its roots, one name at a time and
// never through a link; making the folders a new file needs as private as
// their sources; telling names a destination folds together.
namespace platform {
namespace {

// Opens folder `name` inside `parent` without following a symbolic link,
// creating it when missing and `create` is set, with no more permission
// bits than createMode gives (asked only then); *created tells whether it
// did, *raced whether another made it in the same instant.
Fd openFolderIn(int parent, const std::string &name, bool create, const std::string &shown, CopyError *error,
                const std::function<mode_t()> &createMode = {}, bool *created = nullptr, bool *raced = nullptr)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.valid())
            return fd;
        if (errno == ENOENT && !create) {
            fail(error, ENOENT, "the folder " + shown + " no longer exists");
            return Fd();
        }
        if (errno == ENOENT) {
            const mode_t mode = createMode ? createMode() & 0777 : 0777;
            const bool made = ::mkdirat(parent, name.c_str(), mode) == 0;
            if (!made && errno != EEXIST) {
                failErrno(error, "cannot create the folder " + shown);
                return Fd();
            }
            if (made && created)
                *created = true;
            if (!made && raced)
                *raced = true;
            continue;
        }
        struct stat st;
        if ((errno == ELOOP || errno == ENOTDIR)
            && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            fail(error, ELOOP, "the folder " + shown + " is a symbolic link; nothing is copied through it");
        } else if (errno == ENOTDIR) {
            fail(error, ENOTDIR, shown + " is a file, not a folder");
        } else {
            failErrno(error, "cannot open the folder " + shown);
        }
        return Fd();
    }
    fail(error, ENOENT, "the folder " + shown + " disappeared while it was created");
    return Fd();
}


} // namespace

bool FileCopier::Impl::foldsNames(Root &root, int folder)
{
    if (!root.folding)
        root.folding = FoldingOf(root.fd.get());
    return FoldsIn(*root.folding, folder);
}

// Whether name is in the folder's listing as spelled. A name that opens but
// is not listed is another's, folded onto it. Listings are kept per run and
// read afresh on a miss, as names made since are the usual miss. other gets
// the listed spelling it folds onto, where one is found.
bool FileCopier::Impl::spelledAsListed(int folder, const std::string &name, std::string *other)
{
    struct stat st;
    if (::fstat(folder, &st) != 0)
        return true;
    std::set<std::string> &names = m_listings[{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)}];
    if (names.count(name))
        return true;
    names.clear();
    const int listFd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (!listing) {
        if (listFd >= 0)
            ::close(listFd);
        return true; // nothing to judge by; the copy goes as elsewhere
    }
    while (const dirent *entry = ::readdir(listing))
        names.emplace(entry->d_name);
    ::closedir(listing);
    if (names.count(name))
        return true;
    if (other) {
        const QString folded = QString::fromUtf8(name.data(), qsizetype(name.size())).toCaseFolded();
        *other = "another name";
        for (const std::string &listed : names) {
            if (QString::fromUtf8(listed.data(), qsizetype(listed.size())).toCaseFolded() == folded)
                *other = listed;
        }
    }
    return false;
}

// A folder just made for a copy becomes what its source folder is before
// anything is put in it: created with no more bits than the source's, it
// gets its owner (as root), its ACLs, then its exact bits (last, so that an
// ordinary user's folder stays writable to its maker whatever the ACL says).
void FileCopier::Impl::adoptFolder(int fd, const Folder *from, Root &root, unsigned mode)
{
    unsigned lost = 0;
    struct stat source, made;
    const bool known = from && ::fstat(from->fd.get(), &source) == 0;
    // Only an owner that differs is set: a file system without owners
    // refuses even ours, and then nothing was lost.
    const bool stated = ::fstat(fd, &made) == 0;
    const bool owned = known && stated && made.st_uid == source.st_uid && made.st_gid == source.st_gid;
    // FAT and exFAT are not asked for owners or permissions they cannot
    // keep; of a mode, only one without write permission marks anything.
    const bool fat = stated && volume(fd, std::uint64_t(made.st_dev)).fat;
    if (known && ::geteuid() == 0 && !owned && (fat || ::fchown(fd, source.st_uid, source.st_gid) != 0))
        lost |= kOwners;
    if (known)
        lost |= CopyAttributes(from->fd.get(), fd, true);
    const bool asked = !fat || !(mode & 0222);
    if ((asked && ::fchmod(fd, mode_t(mode)) != 0) || (::fstat(fd, &made) == 0 && (made.st_mode & 07777) != mode))
        lost |= kPermissions;
    notKept(root, lost);
}

FileCopier::Impl::Root *FileCopier::Impl::root(const std::string &path, FolderIdentity expected, CopyError *error)
{
    Root *found = nullptr;
    for (const auto &r : m_roots) {
        if (r->path == path)
            found = r.get();
    }
    if (!found) {
        auto r = std::make_unique<Root>();
        r->path = path;
        // The root itself is the folder the user named; a link there is
        // theirs to follow. Below it, nothing is followed.
        r->fd = Fd(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (!r->fd.valid() || ::fstat(r->fd.get(), &st) != 0) {
            const int code = errno;
            r->failure = {code, "cannot open the folder " + path + ": " + errorText(code)};
        } else {
            r->id = IdentityOf(st);
            if (char *real = ::realpath(path.empty() ? "." : path.c_str(), nullptr)) {
                r->absolute = real;
                std::free(real);
            }
            if (expected.known() && r->id != expected)
                r->failure = {ESTALE, "the folder " + path + " is no longer the folder that was compared"};
        }
        m_roots.push_back(std::move(r));
        found = m_roots.back().get();
    }
    if (!found->failure.reason.empty()) {
        if (error)
            *error = found->failure;
        // Out of descriptors is for now; the root may open once some are back.
        if (found->failure.code == EMFILE || found->failure.code == ENFILE)
            m_roots.erase(std::find_if(m_roots.begin(), m_roots.end(), [found](const auto &r) { return r.get() == found; }));
        return nullptr;
    }
    return found;
}

std::shared_ptr<const FileCopier::Impl::Folder> FileCopier::Impl::folder(Root &root, std::string_view relative,
                                                                         bool create, CopyError *error, Root *source)
{
    auto result = std::make_shared<Folder>();
    result->root = &root;
    result->relative = relative;
    result->shown = root.path;
    Fd current;
    int at = root.fd.get();
    std::size_t pos = 0;
    while (pos < relative.size()) {
        std::size_t end = relative.find(kSeparator, pos);
        if (end == std::string_view::npos)
            end = relative.size();
        const std::string component(relative.substr(pos, end - pos));
        pos = end + 1;
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            fail(error, EINVAL, "the name " + std::string(relative) + " leads out of " + root.path);
            return nullptr;
        }
        const std::string parentShown = result->shown;
        result->shown = JoinPath(result->shown, component);
        // A new folder is made as narrow as its source folder; as the one
        // running (not root) it stays open to its maker, who fills it.
        std::shared_ptr<const Folder> from;
        unsigned mode = 0700;
        const std::string_view prefix = relative.substr(0, end);
        const auto createMode = [&]() -> mode_t {
            from = source ? folder(*source, prefix, false, nullptr) : nullptr;
            struct stat st;
            if (from && ::fstat(from->fd.get(), &st) == 0)
                mode = (st.st_mode & 03777) | (::geteuid() == 0 ? 0 : S_IRWXU);
            return mode_t(mode);
        };
        bool created = false, raced = false;
        // The parent (at) stays open until its new entry is flushed and judged.
        Fd next = openFolderIn(at, component, create, result->shown, error, createMode, &created, &raced);
        if (!next.valid())
            return nullptr;
        if (created)
            adoptFolder(next.get(), from.get(), root, mode);
        // One made by another copier of the run is flushed here too: the
        // copies put in it may be said done before its maker flushed it.
        if ((created || raced) && !settleNewEntry(at, result->shown, error))
            return nullptr;
        std::string other;
        if (!created && create && foldsNames(root, at) && !spelledAsListed(at, component, &other)) {
            fail(error, EEXIST, FoldedReason(result->shown, JoinPath(parentShown, other)));
            return nullptr;
        }
        current = std::move(next);
        at = current.get();
    }
    result->fd = current.valid() ? std::move(current) : Fd(::dup(root.fd.get()));
    struct stat st;
    if (!result->fd.valid() || ::fstat(result->fd.get(), &st) != 0) {
        failErrno(error, "cannot open the folder " + result->shown);
        return nullptr;
    }
    result->id = IdentityOf(st);
    return result;
}

// Where files are flushed one by one, the entry of a folder just made is
// flushed in its parent too: else a power cut could take it away with the
// copies put in it.
bool FileCopier::Impl::settleNewEntry(int parent, const std::string &shown, CopyError *error)
{
    struct stat st;
    if (::fstat(parent, &st) != 0 || flushesWhole(parent, std::uint64_t(st.st_dev)) || m_flush(parent, false) == 0
        || FlushNotOffered(errno))
        return true;
    return failErrno(error, "cannot create the folder " + shown);
}

bool FileCopier::Impl::stillReachable(const Staged &staged, CopyError *error)
{
    const Folder &held = *staged.folder;
    if (!held.root->failure.reason.empty()) {
        if (error)
            *error = held.root->failure;
        return false;
    }
    if (held.relative.empty())
        return true;
    const auto now = folder(*held.root, held.relative, false, error);
    if (!now)
        return false;
    if (now->id != held.id)
        return fail(error, ESTALE, "the folder " + held.shown + " was moved or replaced during the copy");
    return true;
}

// Copies come folder by folder: the open folders serve the next file too.

// What each destination volume is, asked once per copier.
bool FileCopier::Impl::flushesWhole(int fd, std::uint64_t device)
{
    const auto known = m_flushesWhole.find(device);
    if (known != m_flushesWhole.end())
        return known->second;
    return m_flushesWhole[device] = FlushesAsAWhole(fd);
}

FileCopier::Impl::Volume &FileCopier::Impl::volume(int fd, std::uint64_t device)
{
    std::unique_ptr<Volume> &known = m_volumes[device];
    if (!known) {
        known = std::make_unique<Volume>();
        known->fat = IsFatVolume(fd);
        known->renames.noLinks = known->fat;
    }
    return *known;
}

const NameLimit &FileCopier::Impl::nameLimit(const Folder &folder)
{
    const auto known = m_nameLimits.find(folder.id.device);
    if (known != m_nameLimits.end())
        return known->second;
    return m_nameLimits[folder.id.device] = NameLimitOf(folder.fd.get());
}

std::int64_t FileCopier::Impl::largestFile(const Folder &folder)
{
    const auto known = m_largestFiles.find(folder.id.device);
    if (known != m_largestFiles.end())
        return known->second;
    return m_largestFiles[folder.id.device] = LargestFileOf(folder.fd.get());
}

} // namespace platform
