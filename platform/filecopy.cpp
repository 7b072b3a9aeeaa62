#include "platform/filecopy.h"

#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string_view>
#include <system_error>

namespace platform {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
// One kernel copy call at a time, so progress can be reported during a large file.
constexpr std::size_t kChunk = 8 << 20;
// Long enough for any temporary name to stay below the usual 255-byte limit.
constexpr std::size_t kMaxNameInTemporary = 200;
const char kTemporaryMark[] = ".corvanel-";

std::string errorText(int code)
{
    return std::strerror(code);
}

bool fail(CopyError *error, int code, std::string reason)
{
    if (error) {
        error->code = code;
        error->reason = std::move(reason);
    }
    return false;
}

// The errno of the last call, as "what: description".
bool failErrno(CopyError *error, const std::string &what)
{
    const int code = errno;
    return fail(error, code, what + ": " + errorText(code));
}

class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

std::string randomSuffix()
{
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s;
    for (int i = 0; i < 8; ++i)
        s += kDigits[generator() % 36];
    return s;
}

std::string temporaryName(std::string_view name)
{
    std::string result = ".";
    result += name.substr(0, kMaxNameInTemporary);
    result += kTemporaryMark;
    result += randomSuffix();
    return result;
}

} // namespace

// A name temporaryName() gives: "." + name + kTemporaryMark + 8 characters.
bool IsTemporaryName(std::string_view name)
{
    constexpr std::size_t kMarkLength = sizeof kTemporaryMark - 1;
    if (name.size() < 2 + kMarkLength + 8 || name[0] != '.')
        return false;
    const std::string_view tail = name.substr(name.size() - kMarkLength - 8);
    if (tail.substr(0, kMarkLength) != kTemporaryMark)
        return false;
    for (const char c : tail.substr(kMarkLength)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    }
    return true;
}

namespace {

// Locks the freshly created temporary and checks that the name still leads
// to it.
bool holdsTemporary(int dir, const std::string &name, int fd)
{
    struct stat byName, byFd;
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &byFd) == 0
        && ::fstatat(dir, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) == 0 && byName.st_dev == byFd.st_dev
        && byName.st_ino == byFd.st_ino;
}

// Removes the temporaries in the folder that no live copy holds: a run that
// is killed mid-copy leaves its one temporary behind, never a destination
// half-written. A temporary that is being written is locked and stays.
void removeLeftoverTemporaries(int dir)
{
    const int listFd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return;
    DIR *listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return;
    }
    std::vector<std::string> found;
    while (const dirent *entry = ::readdir(listing)) {
        if ((entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN) && IsTemporaryName(entry->d_name))
            found.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string &name : found) {
        Fd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st;
        if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        // Still the file that was locked, not one that took its name since.
        struct stat now;
        if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev
            && now.st_ino == st.st_ino)
            ::unlinkat(dir, name.c_str(), 0);
    }
}

bool isUsableName(std::string_view name)
{
    return !name.empty() && name != "." && name != "..";
}

// Opens folder `name` inside `parent`, creating it when missing. Never
// follows a symbolic link.
Fd openOrCreateFolder(int parent, const std::string &name, const std::string &shown, CopyError *error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.valid())
            return fd;
        if (errno == ENOENT) {
            if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
                failErrno(error, "cannot create the folder " + shown);
                return Fd();
            }
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

// Splits `to` into its folder and its own name; false when it names no file.
bool splitDestination(const std::string &to, std::string &parent, std::string &name, CopyError *error)
{
    const std::size_t cut = to.rfind(kSeparator);
    name = cut == std::string::npos ? to : to.substr(cut + 1);
    if (!isUsableName(name))
        return fail(error, EINVAL, "the destination " + to + " does not name a file");
    parent = cut == std::string::npos ? std::string(".") : cut == 0 ? std::string(1, kSeparator) : to.substr(0, cut);
    return true;
}

// Opens the folder `parent` that will hold a copy, creating what is missing.
// Below a given root, no folder on the way may be a link.
Fd openDestinationFolder(const std::string &rootText, const std::string &parent, CopyError *error)
{
    const std::string root = TrimTrailingSeparators(rootText);
    if (!root.empty() && parent.size() >= root.size() && parent.compare(0, root.size(), root) == 0
        && (parent.size() == root.size() || parent[root.size()] == kSeparator || root.back() == kSeparator)) {
        Fd folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.valid()) {
            failErrno(error, "cannot open the folder " + root);
            return Fd();
        }
        std::string shown = root;
        std::size_t pos = root.size();
        while (pos < parent.size()) {
            if (parent[pos] == kSeparator) {
                ++pos;
                continue;
            }
            std::size_t end = parent.find(kSeparator, pos);
            if (end == std::string::npos)
                end = parent.size();
            const std::string component = parent.substr(pos, end - pos);
            pos = end;
            if (component == ".")
                continue;
            if (component == "..") {
                fail(error, EINVAL, "the folder " + parent + " leads out of " + root);
                return Fd();
            }
            shown = JoinPath(shown, component);
            folder = openOrCreateFolder(folder.get(), component, shown, error);
            if (!folder.valid())
                return Fd();
        }
        return folder;
    }

    Fd folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid())
        return folder;
    if (errno != ENOENT) {
        failErrno(error, "cannot open the folder " + parent);
        return Fd();
    }
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) {
        fail(error, ec.value(), "cannot create the folder " + parent + ": " + errorText(ec.value()));
        return Fd();
    }
    folder = Fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        failErrno(error, "cannot open the folder " + parent);
    return folder;
}

bool isWriteSideError(int code)
{
    return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS;
}

// The last resort for "never overwrite" on a file system that offers neither
// renameat2's no-replace flag nor hard links: a placeholder claimed with
// O_EXCL, then replaced by the complete copy.
int renameNoReplaceByPlaceholder(int dir, const char *from, const char *to)
{
    const int fd = ::openat(dir, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    ::close(fd);
    if (::renameat(dir, from, dir, to) != 0) {
        const int saved = errno;
        ::unlinkat(dir, to, 0);
        errno = saved;
        return -1;
    }
    return 0;
}

int renameNoReplace(int dir, const char *from, const char *to)
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
    return renameNoReplaceByPlaceholder(dir, from, to);
}

} // namespace

struct FileCopier::Folder
{
    Fd fd;
    dev_t device = 0;
};

struct FileCopier::Staged
{
    std::shared_ptr<const Folder> folder;
    Fd file;
    std::string temporary;
    std::string name;
    ExistingDestination existing = ExistingDestination::Replace;
};

FileCopier::FileCopier() = default;

FileCopier::~FileCopier()
{
    discard();
}

std::size_t FileCopier::stagedCount() const
{
    return m_staged.size();
}

bool FileCopier::stage(const CopyRequest &request, CopyError *error, const BytesCopied &onBytes)
{
    // Non-blocking, so a FIFO put where the source was cannot hang the copy.
    Fd source(::open(request.from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!source.valid())
        return failErrno(error, "cannot read the source");
    struct stat st;
    if (::fstat(source.get(), &st) != 0)
        return failErrno(error, "cannot read the source");
    if (!S_ISREG(st.st_mode))
        return fail(error, EINVAL, "the source is not a regular file");
    ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    Staged staged;
    staged.existing = request.existing;
    std::string parent;
    if (!splitDestination(request.to, parent, staged.name, error))
        return false;
    // Copies come folder by folder: the open folder serves the next file too.
    // A folder removed meanwhile has no links left and is opened afresh.
    const std::string folderKey = request.root + '\0' + parent;
    struct stat folderStatus;
    if (!m_folder || m_folderKey != folderKey || ::fstat(m_folder->fd.get(), &folderStatus) != 0
        || folderStatus.st_nlink == 0) {
        m_folder.reset();
        Fd folder = openDestinationFolder(request.root, parent, error);
        if (!folder.valid())
            return false;
        struct stat folderInfo;
        const bool known = ::fstat(folder.get(), &folderInfo) == 0;
        const dev_t device = known ? folderInfo.st_dev : 0;
        // Once per folder and run: the leftovers of a run that was killed
        // while it copied into this folder.
        if (known && m_cleared.insert({std::uint64_t(folderInfo.st_dev), std::uint64_t(folderInfo.st_ino)}).second)
            removeLeftoverTemporaries(folder.get());
        m_folder = std::make_shared<const Folder>(Folder{std::move(folder), device});
        m_folderKey = folderKey;
    }
    staged.folder = m_folder;
    const int dir = staged.folder->fd.get();

    struct stat existing;
    if (::fstatat(dir, staged.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (request.existing == ExistingDestination::Keep)
            return fail(error, EEXIST, "the destination already exists; it is not overwritten");
        if (S_ISDIR(existing.st_mode))
            return fail(error, EISDIR, "the destination is a folder");
        // Replacing a file the user may not write would silently defeat its
        // read-only mode; a link is replaced whatever its target allows.
        if (S_ISREG(existing.st_mode) && ::faccessat(dir, staged.name.c_str(), W_OK, AT_EACCESS) != 0
            && errno == EACCES)
            return fail(error, EACCES, "the destination is read-only");
    }

    // Every copy is written under a hidden temporary name and renamed into
    // place when complete; a new file's rename refuses to replace anything
    // that took the name meanwhile. (Unnamed files linked in at the end
    // would do the same, but each one open costs the file system far more
    // while a batch of them waits to be linked.)
    for (int attempt = 0; attempt < 100 && !staged.file.valid(); ++attempt) {
        staged.temporary = temporaryName(staged.name);
        staged.file = Fd(::openat(dir, staged.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!staged.file.valid() && errno != EEXIST)
            return failErrno(error, "cannot write in the destination folder");
        // Held until the temporary is renamed or removed, so that no other
        // run takes it for the leftover of a killed one. A run that is
        // clearing it holds the lock, or has already taken the name away.
        if (staged.file.valid() && !holdsTemporary(dir, staged.temporary, staged.file.get()))
            staged.file.reset();
    }
    if (!staged.file.valid())
        return fail(error, EEXIST, "cannot find a free temporary name in the destination folder");

    const auto abandon = [&](int code, const std::string &reason) {
        ::unlinkat(dir, staged.temporary.c_str(), 0);
        return fail(error, code, reason);
    };
    const auto abandonErrno = [&](const std::string &what) {
        const int code = errno;
        return abandon(code, what + ": " + errorText(code));
    };

    std::int64_t copied = 0;
    bool kernelCopy = true;
    // A large file's pages start their way to the disk while the copy goes
    // on, so the flush at the end has little left to wait for.
    const bool writeBehind = st.st_size > std::int64_t(kChunk);
    for (;;) {
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(source.get(), nullptr, staged.file.get(), nullptr, kChunk, 0);
            if (n < 0 && copied == 0
                && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP
                    || errno == EPERM || errno == ETXTBSY)) {
                kernelCopy = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return abandonErrno(isWriteSideError(errno) ? "cannot write the destination" : "cannot copy");
        } else {
            if (m_buffer.empty())
                m_buffer.resize(kBufferSize);
            n = ::read(source.get(), m_buffer.data(), m_buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return abandonErrno("cannot read the source");
            for (ssize_t written = 0; written < n;) {
                const ssize_t w = ::write(staged.file.get(), m_buffer.data() + written, n - written);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    return abandonErrno("cannot write the destination");
                written += w;
            }
        }
        if (n == 0)
            break;
        if (writeBehind)
            ::sync_file_range(staged.file.get(), copied, n, SYNC_FILE_RANGE_WRITE);
        copied += n;
        if (onBytes)
            onBytes(n);
    }

    // As root the copy keeps the source's owner, as "cp -p" does. The
    // set-user-ID, set-group-ID and sticky bits are dropped: they would be
    // dangerous on a file whose owner may differ from the source's.
    static const uid_t euid = ::geteuid();
    static const gid_t egid = ::getegid();
    if (euid == 0 && (st.st_uid != euid || st.st_gid != egid)
        && ::fchown(staged.file.get(), st.st_uid, st.st_gid) != 0) {
        // A file system without owners (or a squashing share) keeps ours.
    }
    if (::fchmod(staged.file.get(), st.st_mode & 0777) != 0)
        return abandonErrno("cannot set the permissions of the destination");
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(staged.file.get(), times) != 0)
        return abandonErrno("cannot set the modification time of the destination");

    m_stagedBytes += copied;
    m_staged.push_back(std::move(staged));
    return true;
}

void FileCopier::commit(const std::function<void(std::size_t, const CopyError *)> &done)
{
    // One flush per file system makes the whole batch durable. It reports
    // any write-back error since the file it is given was opened, which
    // covers the whole batch; only then does an fsync of each file tell which
    // one failed. A lone file gets just its own fsync.
    bool flushed = false;
    if (m_staged.size() > 1) {
        std::set<dev_t> devices;
        flushed = true;
        for (const Staged &s : m_staged) {
            if (devices.insert(s.folder->device).second && ::syncfs(s.file.get()) != 0)
                flushed = false;
        }
    }
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        Staged &s = m_staged[i];
        const int dir = s.folder->fd.get();
        CopyError error;
        bool ok = true;
        if (!flushed && ::fsync(s.file.get()) != 0 && errno != EINVAL && errno != EROFS)
            ok = failErrno(&error, "cannot write the destination");
        if (ok) {
            const int rc = s.existing == ExistingDestination::Keep
                ? renameNoReplace(dir, s.temporary.c_str(), s.name.c_str())
                : ::renameat(dir, s.temporary.c_str(), dir, s.name.c_str());
            if (rc != 0) {
                if (errno == EEXIST)
                    ok = fail(&error, EEXIST, "the destination already exists; it is not overwritten");
                else if (errno == EISDIR || errno == ENOTEMPTY)
                    ok = fail(&error, EISDIR, "the destination is a folder");
                else
                    ok = failErrno(&error, "cannot replace the destination");
            }
        }
        s.file.reset();
        if (!ok)
            ::unlinkat(dir, s.temporary.c_str(), 0);
        s.temporary.clear();
        if (done)
            done(i, ok ? nullptr : &error);
    }
    m_staged.clear();
    m_stagedBytes = 0;
}

void FileCopier::discard()
{
    for (Staged &s : m_staged) {
        s.file.reset();
        ::unlinkat(s.folder->fd.get(), s.temporary.c_str(), 0);
    }
    m_staged.clear();
    m_stagedBytes = 0;
}

bool CopyFileSafely(const CopyRequest &request, CopyError *error, const FileCopier::BytesCopied &onBytes)
{
    FileCopier copier;
    if (!copier.stage(request, error, onBytes))
        return false;
    bool ok = true;
    copier.commit([&](std::size_t, const CopyError *e) {
        if (e) {
            ok = false;
            if (error)
                *error = *e;
        }
    });
    return ok;
}

} // namespace platform
