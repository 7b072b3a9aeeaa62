#include "platform/filecopy.h"

#include "platform/paths.h"

#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string_view>

namespace platform {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
// One kernel copy call at a time, so progress can be reported during a large file.
constexpr std::size_t kChunk = 8 << 20;
const char kTemporaryMark[] = ".corvanel-";
constexpr std::size_t kSuffixLength = 8;

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
    for (std::size_t i = 0; i < kSuffixLength; ++i)
        s += kDigits[generator() % 36];
    return s;
}

// The length in bytes of the character that starts at `at`: 1 to 4 for a
// valid UTF-8 sequence, 1 for a byte that starts none.
std::size_t characterLength(std::string_view text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    if (byte >= 0xC2 && byte <= 0xDF)
        length = 2;
    else if (byte >= 0xE0 && byte <= 0xEF)
        length = 3;
    else if (byte >= 0xF0 && byte <= 0xF4)
        length = 4;
    if (at + length > text.size())
        return 1;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80)
            return 1;
    }
    return length;
}

// How many bytes of name's start, in whole characters, fit in room bytes
// (or UTF-16 units). A name that is valid UTF-8 is never cut inside a
// character; one that is not is cut where its bytes allow. At least one
// character, so the temporary still names its file.
std::size_t fittingStart(std::string_view name, std::size_t room, bool utf16)
{
    std::size_t at = 0, used = 0;
    while (at < name.size()) {
        const std::size_t length = characterLength(name, at);
        const std::size_t cost = utf16 ? (length == 4 ? 2 : 1) : length;
        if (at > 0 && used + cost > room)
            break;
        used += cost;
        at += length;
    }
    return at;
}

// "." + as much of name as the folder's limit leaves room for + the mark +
// a random suffix; its own part is ASCII, one byte or unit a character.
std::string temporaryName(std::string_view name, const NameLimit &limit)
{
    constexpr std::size_t kOwn = 1 + sizeof kTemporaryMark - 1 + kSuffixLength;
    const std::size_t room = limit.most > kOwn ? limit.most - kOwn : 0;
    std::string result = ".";
    result += name.substr(0, fittingStart(name, room, limit.utf16));
    result += kTemporaryMark;
    result += randomSuffix();
    return result;
}

} // namespace

// A name temporaryName() gives: "." + name + kTemporaryMark + 8 characters.
bool IsTemporaryName(std::string_view name)
{
    constexpr std::size_t kMarkLength = sizeof kTemporaryMark - 1;
    if (name.size() < 2 + kMarkLength + kSuffixLength || name[0] != '.')
        return false;
    const std::string_view tail = name.substr(name.size() - kMarkLength - kSuffixLength);
    if (tail.substr(0, kMarkLength) != kTemporaryMark)
        return false;
    for (const char c : tail.substr(kMarkLength)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    }
    return true;
}

namespace {

// The mark that proves a temporary was made by this program: a user's file
// that merely has a name like ours never carries it.
const char kMarkAttribute[] = "user.corvanel";
const char kMarkValue[] = "temporary";
// How often a source that changes while it is copied is copied again.
constexpr int kCopyAttempts = 3;
// Why a copy in place is no success: its flush failed.
const char kNotConfirmed[] = "the copy is in place, but its file system did not confirm it is on the disk";

bool setMark(int fd)
{
    return ::fsetxattr(fd, kMarkAttribute, kMarkValue, sizeof kMarkValue - 1, 0) == 0;
}

enum class Mark { Ours, NotOurs, CannotTell };

Mark markOf(int fd)
{
    char value[sizeof kMarkValue];
    const ssize_t n = ::fgetxattr(fd, kMarkAttribute, value, sizeof value);
    if (n == ssize_t(sizeof kMarkValue - 1) && std::memcmp(value, kMarkValue, n) == 0)
        return Mark::Ours;
    if (n < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
        return Mark::CannotTell;
    return Mark::NotOurs;
}

// Locks the freshly created temporary and checks that the name still leads
// to it.
bool holdsTemporary(int dir, const std::string &name, int fd)
{
    struct stat byName, byFd;
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &byFd) == 0
        && ::fstatat(dir, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) == 0 && byName.st_dev == byFd.st_dev
        && byName.st_ino == byFd.st_ino;
}

// What a destination may be unable to hold; a copy goes on without it.
enum NotKept : unsigned { kPermissions = 1, kOwners = 2, kAcls = 4, kAttributes = 8 };

// The errors of a file system that has no permissions or owners to set.
bool cannotHold(int code)
{
    return code == EPERM || code == ENOSYS || code == ENOTSUP || code == EOPNOTSUPP || code == EINVAL;
}

// Copies the ACLs (for a folder its default ACL too) and the user's extended
// attributes of from onto to, never the temporary's mark. Returns what the
// destination could not take.
unsigned copyAttributes(int from, int to, bool folder)
{
    std::vector<char> names(1024);
    ssize_t n;
    while ((n = ::flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE) {
        const ssize_t needed = ::flistxattr(from, nullptr, 0);
        if (needed < 0)
            return 0;
        names.resize(std::size_t(needed) + 256);
    }
    unsigned lost = 0;
    std::vector<char> value;
    for (ssize_t at = 0; at < n; at += ssize_t(std::strlen(names.data() + at)) + 1) {
        const char *name = names.data() + at;
        const bool acl = std::strcmp(name, "system.posix_acl_access") == 0
            || (folder && std::strcmp(name, "system.posix_acl_default") == 0);
        const bool user = std::strncmp(name, "user.", 5) == 0 && std::strcmp(name, kMarkAttribute) != 0;
        if (!acl && !user)
            continue;
        ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0)
            continue;
        value.resize(std::size_t(size) + 1);
        size = ::fgetxattr(from, name, value.data(), value.size());
        if (size >= 0 && ::fsetxattr(to, name, value.data(), std::size_t(size), 0) != 0)
            lost |= acl ? kAcls : kAttributes;
    }
    return lost;
}

// Whether a file system may take two spellings for one name: those known
// never to fold, those that fold only in folders marked so, and the rest
// (FAT, exFAT, NTFS, FUSE, network shares), which may.
enum class Folding { Never, WhereMarked, Maybe };

Folding foldingOf(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return Folding::Maybe;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0xF2F52010: // f2fs
    case 0x01021994: // tmpfs
        return Folding::WhereMarked;
    case 0x58465342: // xfs
    case 0x9123683E: // btrfs
    case 0x2FC12FC1: // zfs
        return Folding::Never;
    default:
        return Folding::Maybe;
    }
}

bool foldsIn(Folding folding, int folder)
{
    int flags = 0;
    return folding == Folding::Maybe
        || (folding == Folding::WhereMarked && ::ioctl(folder, FS_IOC_GETFLAGS, &flags) == 0
            && (flags & FS_CASEFOLD_FL));
}

// Whether one syncfs makes everything written to the file system durable:
// the local ones whose drivers write back the whole volume. FUSE never
// passes syncfs on to its server and network file systems (NFS, SMB, 9p)
// flush at best what the client holds: there, and on any type not known,
// each file is flushed on its own.
bool flushesAsAWhole(int fd)
{
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x58465342: // xfs
    case 0x9123683E: // btrfs
    case 0xF2F52010: // f2fs
    case 0x2FC12FC1: // zfs
    case 0x3153464A: // jfs
    case 0xCA451A4E: // bcachefs
    case 0x794C7630: // overlayfs, which passes it to the upper file system
    case 0x01021994: // tmpfs
    case 0x858458F6: // ramfs
    case 0x4D44:     // FAT, exFAT and NTFS through the kernel's own drivers
    case 0x2011BAB0:
    case 0x7366746E:
        return true;
    default:
        return false;
    }
}

// Why nothing can be renamed into or out of the folder (append-only or
// immutable), or null. A temporary made there could never be put in place
// nor removed.
const char *refusesRenames(int folder)
{
    int flags = 0;
    if (::ioctl(folder, FS_IOC_GETFLAGS, &flags) != 0)
        return nullptr;
    if (flags & FS_IMMUTABLE_FL)
        return "immutable";
    if (flags & FS_APPEND_FL)
        return "append-only";
    return nullptr;
}

// A folder flush that the file system does not offer (FUSE servers without
// fsyncdir, some network shares) is no failure: nothing more can be done.
bool flushNotOffered(int code)
{
    return code == EINVAL || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS || code == EROFS;
}

std::string foldedReason(const std::string &name, const std::string &other)
{
    return "the destination cannot hold both " + name + " and " + other
        + ": its file system takes them for one name, so nothing is written there";
}

bool isUsableName(std::string_view name)
{
    return !name.empty() && name != "." && name != "..";
}

FolderIdentity identityOf(const struct stat &st)
{
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

// Opens folder `name` inside `parent` without following a symbolic link,
// creating it when missing and `create` is set, with no more permission
// bits than createMode gives (asked only then); *created tells whether it did.
Fd openFolderIn(int parent, const std::string &name, bool create, const std::string &shown, CopyError *error,
                const std::function<mode_t()> &createMode = {}, bool *created = nullptr)
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

// Splits a relative name into its folder (empty for the root itself) and its
// own name; false when it names no file.
bool splitName(const std::string &relative, std::string_view &folder, std::string &name)
{
    const std::size_t cut = relative.rfind(kSeparator);
    name = cut == std::string::npos ? relative : relative.substr(cut + 1);
    folder = cut == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, cut);
    return isUsableName(name);
}

bool isWriteSideError(int code)
{
    return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS;
}

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
    return renameIfFree(dir, from, to);
}

bool sameState(const FileStatus &seen, const FileStatus &now)
{
    return (seen.size < 0 || now.size == seen.size) && now.modified == seen.modified
        && now.nanoseconds == seen.nanoseconds;
}

FileStatus stateOf(const struct stat &st)
{
    return {std::int64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec), std::uint32_t(st.st_mtim.tv_nsec)};
}

bool sameContentState(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

int defaultFlush(int fd, bool wholeFileSystem)
{
    return wholeFileSystem ? ::syncfs(fd) : ::fsync(fd);
}

// Moves the bytes of one file into a temporary: by the kernel where it can,
// else through a buffer, keeping the source's holes when it has any.
class DataCopy
{
public:
    DataCopy(int from, int to, std::vector<char> &buffer, const FileCopier::BytesCopied &onBytes)
        : m_from(from), m_to(to), m_buffer(buffer), m_onBytes(onBytes)
    {
    }

    // False with errno set; writeSide() then tells whether writing failed.
    bool run(const struct stat &st)
    {
        m_copied = 0;
        m_writeBehind = st.st_size > std::int64_t(kChunk);
        // As "cp --sparse=auto" does: only a file with fewer blocks than its
        // size has holes worth looking for.
        if (st.st_size > 0 && std::int64_t(st.st_blocks) * 512 < std::int64_t(st.st_size)) {
            const off_t first = ::lseek(m_from, 0, SEEK_DATA);
            if (first >= 0 || errno == ENXIO)
                return sparse(first < 0 ? st.st_size : first, st.st_size);
        }
        // Never more than the size the copy began with: a file that lists
        // as empty yet reads without end (/proc/self/pagemap) would fill
        // the disk. What lies beyond is for moreBeyond() to tell.
        return range(0, st.st_size);
    }

    // Whether the source yields data past size, where a file that held
    // still has none. False with errno set when that cannot be read.
    bool moreBeyond(off_t size, bool *more)
    {
        // Some kernel files answer only reads of whole 8-byte entries.
        char probe[64];
        ssize_t n;
        while ((n = ::pread(m_from, probe, sizeof probe, size)) < 0 && errno == EINTR) {
        }
        if (n < 0)
            return false;
        *more = n > 0;
        return true;
    }

    bool writeSide() const { return m_writeSide; }
    std::int64_t copied() const { return m_copied; }

private:
    bool sparse(off_t data, off_t size)
    {
        while (data < size) {
            off_t hole = ::lseek(m_from, data, SEEK_HOLE);
            if (hole < 0 || hole > size)
                hole = size;
            if (!range(data, hole))
                return false;
            data = ::lseek(m_from, hole, SEEK_DATA);
            if (data < 0) {
                if (errno != ENXIO)
                    return false;
                break;
            }
        }
        if (::ftruncate(m_to, size) != 0) {
            m_writeSide = true;
            return false;
        }
        return true;
    }

    // Copies [offset, end), or less where the file ends sooner.
    bool range(off_t offset, off_t end)
    {
        while (offset < end) {
            const std::size_t want = std::size_t(std::min<off_t>(end - offset, kChunk));
            ssize_t n;
            if (m_kernelCopy) {
                loff_t in = offset, out = offset;
                n = ::copy_file_range(m_from, &in, m_to, &out, want, 0);
                if (n < 0 && m_copied == 0
                    && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM
                        || errno == ETXTBSY)) {
                    m_kernelCopy = false;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    m_writeSide = isWriteSideError(errno);
                    return false;
                }
            } else {
                if (m_buffer.empty())
                    m_buffer.resize(kBufferSize);
                n = ::pread(m_from, m_buffer.data(), std::min(want, m_buffer.size()), offset);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return false;
                for (ssize_t written = 0; written < n;) {
                    const ssize_t w = ::pwrite(m_to, m_buffer.data() + written, n - written, offset + written);
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w < 0) {
                        m_writeSide = true;
                        return false;
                    }
                    written += w;
                }
            }
            if (n == 0)
                break;
            // A large file's pages start their way to the disk while the
            // copy goes on, so the flush at the end has little left to wait for.
            if (m_writeBehind)
                ::sync_file_range(m_to, offset, n, SYNC_FILE_RANGE_WRITE);
            offset += n;
            m_copied += n;
            if (m_onBytes)
                m_onBytes(n);
        }
        return true;
    }

    int m_from;
    int m_to;
    std::vector<char> &m_buffer;
    const FileCopier::BytesCopied &m_onBytes;
    bool m_kernelCopy = true;
    bool m_writeBehind = false;
    bool m_writeSide = false;
    std::int64_t m_copied = 0;
};

} // namespace

struct FileCopier::Root
{
    std::string path;
    Fd fd;
    FolderIdentity id;
    CopyError failure; // set once the root may no longer be used
    std::optional<Folding> folding; // asked when first needed
    unsigned notKept = 0;           // NotKept bits said in its note
    std::size_t note = std::size_t(-1);
};

struct FileCopier::Folder
{
    Root *root = nullptr;
    Fd fd;
    std::string relative; // below the root; empty for the root itself
    std::string shown;    // the full path, for people
    FolderIdentity id;
};

struct FileCopier::Staged
{
    std::shared_ptr<const Folder> folder;
    Fd file;
    std::string temporary;
    std::string name;
    ExistingDestination existing = ExistingDestination::Replace;
    std::optional<FileStatus> seen;
};

FileCopier::FileCopier(Flush flush)
    : m_flush(flush ? std::move(flush) : Flush(defaultFlush))
{
}

FileCopier::~FileCopier()
{
    discard();
}

std::size_t FileCopier::stagedCount() const
{
    return m_staged.size();
}

void FileCopier::note(std::string text)
{
    if (m_noted.insert(text).second)
        m_notes.push_back(std::move(text));
}

// One note per destination, grown as more turns out not to be kept.
void FileCopier::notKept(Root &root, unsigned lost)
{
    if ((root.notKept | lost) == root.notKept)
        return;
    root.notKept |= lost;
    std::vector<const char *> parts;
    if (root.notKept & kPermissions)
        parts.push_back("permissions");
    if (root.notKept & kOwners)
        parts.push_back("owners");
    if (root.notKept & kAcls)
        parts.push_back("access control lists");
    if (root.notKept & kAttributes)
        parts.push_back("extended attributes");
    std::string list;
    for (std::size_t i = 0; i < parts.size(); ++i)
        list += std::string(i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    std::string text = root.path + " cannot hold everything the sources carry: the copies there went without their "
        + list + ".";
    if (root.note < m_notes.size()) {
        m_notes[root.note] = std::move(text);
    } else {
        root.note = m_notes.size();
        m_notes.push_back(std::move(text));
    }
}

bool FileCopier::foldsNames(Root &root, int folder)
{
    if (!root.folding)
        root.folding = foldingOf(root.fd.get());
    return foldsIn(*root.folding, folder);
}

// Whether name is in the folder's listing as spelled. A name that opens but
// is not listed is another's, folded onto it. Listings are kept per run and
// read afresh on a miss, as names made since are the usual miss. other gets
// the listed spelling it folds onto, where one is found.
bool FileCopier::spelledAsListed(int folder, const std::string &name, std::string *other)
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
void FileCopier::adoptFolder(int fd, const Folder *from, Root &root, unsigned mode)
{
    unsigned lost = 0;
    struct stat source;
    const bool known = from && ::fstat(from->fd.get(), &source) == 0;
    if (known && ::geteuid() == 0 && ::fchown(fd, source.st_uid, source.st_gid) != 0)
        lost |= kOwners;
    if (known)
        lost |= copyAttributes(from->fd.get(), fd, true);
    struct stat made;
    if (::fchmod(fd, mode_t(mode)) != 0 || (::fstat(fd, &made) == 0 && (made.st_mode & 07777) != mode))
        lost |= kPermissions;
    notKept(root, lost);
}

bool FileCopier::stillAsSeen(int dir, const std::string &name, const FileStatus &seen) const
{
    // Links followed, as the scan reads it.
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode))
        return false;
    FileStatus now = stateOf(st);
    // A file this run put in place, still as it left it, stands for the one
    // it replaced: a link to it was compared as leading to that one.
    const auto made = m_produced.find({std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)});
    if (made != m_produced.end() && sameState(made->second.state, now)) {
        if (!made->second.before)
            return false;
        now = *made->second.before;
    }
    return sameState(seen, now);
}

FileCopier::Root *FileCopier::root(const std::string &path, FolderIdentity expected, CopyError *error)
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
            r->id = identityOf(st);
            if (expected.known() && r->id != expected)
                r->failure = {ESTALE, "the folder " + path + " is no longer the folder that was compared"};
        }
        m_roots.push_back(std::move(r));
        found = m_roots.back().get();
    }
    if (!found->failure.reason.empty()) {
        if (error)
            *error = found->failure;
        return nullptr;
    }
    return found;
}

std::shared_ptr<const FileCopier::Folder> FileCopier::folder(Root &root, std::string_view relative, bool create,
                                                             CopyError *error, Root *source)
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
        bool created = false;
        current = openFolderIn(at, component, create, result->shown, error, createMode, &created);
        if (!current.valid())
            return nullptr;
        std::string other;
        if (created) {
            adoptFolder(current.get(), from.get(), root, mode);
            if (!settleNewEntry(at, result->shown, error))
                return nullptr;
        } else if (create && foldsNames(root, at) && !spelledAsListed(at, component, &other)) {
            fail(error, EEXIST, foldedReason(result->shown, JoinPath(parentShown, other)));
            return nullptr;
        }
        at = current.get();
    }
    result->fd = current.valid() ? std::move(current) : Fd(::dup(root.fd.get()));
    struct stat st;
    if (!result->fd.valid() || ::fstat(result->fd.get(), &st) != 0) {
        failErrno(error, "cannot open the folder " + result->shown);
        return nullptr;
    }
    result->id = identityOf(st);
    return result;
}

// Where files are flushed one by one, the entry of a folder just made is
// flushed in its parent too: else a power cut could take it away with the
// copies put in it.
bool FileCopier::settleNewEntry(int parent, const std::string &shown, CopyError *error)
{
    struct stat st;
    if (::fstat(parent, &st) != 0 || flushesWhole(parent, std::uint64_t(st.st_dev)) || m_flush(parent, false) == 0
        || flushNotOffered(errno))
        return true;
    return failErrno(error, "cannot create the folder " + shown);
}

bool FileCopier::stillReachable(const Staged &staged, CopyError *error)
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

// Removes the temporaries in the folder that this program marked and no live
// copy holds: a run that is killed mid-copy leaves its one temporary behind,
// never a destination half-written. False when the folder could not be
// listed (out of descriptors, say): it is tried again with the next copy.
bool FileCopier::clearLeftovers(const Folder &folder)
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
        const Mark mark = markOf(file.get());
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
        if (::unlinkat(folder.fd.get(), name.c_str(), 0) != 0 && errno != ENOENT)
            note("A temporary of an earlier run could not be removed and remains: " + JoinPath(folder.shown, name));
    }
    return true;
}

void FileCopier::removeLeftovers(const std::string &rootPath, FolderIdentity rootId,
                                 const std::vector<std::string> &names)
{
    Root *r = names.empty() ? nullptr : root(rootPath, rootId, nullptr);
    if (!r)
        return;
    for (const std::string &relative : names) {
        std::string_view parent;
        std::string name;
        if (!splitName(relative, parent, name))
            continue;
        const auto found = folder(*r, parent, false, nullptr);
        if (found && !m_cleared.count({found->id.device, found->id.inode}) && clearLeftovers(*found))
            m_cleared.insert({found->id.device, found->id.inode});
    }
}

bool FileCopier::stage(const CopyRequest &request, CopyError *error, const BytesCopied &onBytes)
{
    Root *fromRoot = root(request.fromRoot, request.fromRootId, error);
    if (!fromRoot)
        return false;
    Root *toRoot = root(request.toRoot, request.toRootId, error);
    if (!toRoot)
        return false;

    // Copies come folder by folder: the open folders serve the next file too.
    const auto same = [](const std::shared_ptr<const Folder> &held, const Root *r, std::string_view relative) {
        return held && held->root == r && held->relative == relative;
    };

    std::string_view sourceFolder;
    std::string sourceName;
    if (!splitName(request.from, sourceFolder, sourceName))
        return fail(error, EINVAL, "the source " + request.from + " does not name a file");
    // A source folder removed meanwhile just fails the open below, as it should.
    if (!same(m_sourceFolder, fromRoot, sourceFolder)) {
        m_sourceFolder = folder(*fromRoot, sourceFolder, false, error);
        if (!m_sourceFolder) {
            if (error)
                error->reason = "cannot read the source: " + error->reason;
            return false;
        }
    }
    // Non-blocking, so a FIFO put where the source was cannot hang the copy.
    // A link to a file stands for its file, as in the scan, where following
    // it shows nothing its owner could not read; the file opened must be the
    // one so judged.
    const int sourceDir = m_sourceFolder->fd.get();
    constexpr int kRead = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Fd source(::openat(sourceDir, sourceName.c_str(), kRead | O_NOFOLLOW));
    FolderIdentity judged;
    if (!source.valid() && errno == ELOOP) {
        if (!FollowingRevealsNothing(sourceDir, sourceName.c_str(), &judged))
            return fail(error, EACCES,
                        "cannot read the source: it is a link that its owner may not follow to its file; not followed");
        source = Fd(::openat(sourceDir, sourceName.c_str(), kRead));
    }
    if (!source.valid())
        return failErrno(error, "cannot read the source");
    struct stat st;
    if (::fstat(source.get(), &st) != 0)
        return failErrno(error, "cannot read the source");
    if (judged.known() && identityOf(st) != judged)
        return fail(error, EACCES, "cannot read the source: the link changed while it was followed");
    if (!S_ISREG(st.st_mode))
        return fail(error, EINVAL, "the source is not a regular file");
    ::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    Staged staged;
    staged.existing = request.existing;
    staged.seen = request.existing == ExistingDestination::Replace ? request.seen : std::nullopt;
    std::string_view destinationFolder;
    if (!splitName(request.to, destinationFolder, staged.name))
        return fail(error, EINVAL, "the destination " + JoinPath(request.toRoot, request.to) + " does not name a file");
    // A destination folder removed meanwhile has no links left and is opened
    // afresh, so that a new file does not vanish with it.
    struct stat held;
    if (!same(m_folder, toRoot, destinationFolder) || ::fstat(m_folder->fd.get(), &held) != 0 || held.st_nlink == 0) {
        m_folder.reset();
        // Only a new file may need folders; a replacement's folder was there.
        auto opened = folder(*toRoot, destinationFolder, request.existing == ExistingDestination::Keep, error, fromRoot);
        if (!opened)
            return false;
        // Once per folder and run: the leftovers of a run that was killed
        // while it copied into this folder.
        if (!m_cleared.count({opened->id.device, opened->id.inode}) && clearLeftovers(*opened))
            m_cleared.insert({opened->id.device, opened->id.inode});
        m_folder = std::move(opened);
    }
    staged.folder = m_folder;
    const int dir = staged.folder->fd.get();

    struct stat existing;
    if (::fstatat(dir, staged.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        std::string other;
        if (request.existing == ExistingDestination::Keep && foldsNames(*toRoot, dir)
            && !spelledAsListed(dir, staged.name, &other))
            return fail(error, EEXIST, foldedReason(JoinPath(staged.folder->shown, staged.name),
                                                    JoinPath(staged.folder->shown, other)));
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
    // Checked now to spare a useless copy, and again just before the rename.
    if (staged.seen && !stillAsSeen(dir, staged.name, *staged.seen))
        return fail(error, 0, kChangedSinceComparison);
    if (const char *why = refusesRenames(dir))
        return fail(error, EPERM, "the destination folder " + staged.folder->shown + " is " + why
                                      + ": no copy can be put in place there, so nothing is written");

    // Every copy is written under a hidden temporary name and renamed into
    // place when complete; a new file's rename refuses to replace anything
    // that took the name meanwhile. (Unnamed files linked in at the end
    // would do the same, but each one open costs the file system far more
    // while a batch of them waits to be linked.)
    for (int attempt = 0; attempt < 100 && !staged.file.valid(); ++attempt) {
        staged.temporary = temporaryName(staged.name, nameLimit(*staged.folder));
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
    // Without the mark (a file system without extended attributes) a
    // leftover of this copy is never removed by a later run, only reported.
    setMark(staged.file.get());

    const auto abandon = [&](int code, const std::string &reason) {
        if (::unlinkat(dir, staged.temporary.c_str(), 0) != 0 && errno != ENOENT)
            note("A temporary could not be removed and remains: " + JoinPath(staged.folder->shown, staged.temporary));
        return fail(error, code, reason);
    };
    const auto abandonErrno = [&](const std::string &what) {
        const int code = errno;
        return abandon(code, what + ": " + errorText(code));
    };

    // A source rewritten while it is read would leave a copy that mixes two
    // versions under the older one's time: copy until it held still.
    std::int64_t copied = 0;
    for (int attempt = 1;; ++attempt) {
        DataCopy data(source.get(), staged.file.get(), m_buffer, onBytes);
        if (!data.run(st))
            return abandonErrno(data.writeSide() ? "cannot write the destination" : "cannot copy");
        copied = data.copied();
        struct stat after;
        bool more = false;
        if (::fstat(source.get(), &after) != 0 || !data.moreBeyond(st.st_size, &more))
            return abandonErrno("cannot read the source");
        if (sameContentState(st, after) && !more)
            break;
        if (attempt == kCopyAttempts)
            return abandon(0, kSourceKeptChanging);
        st = after;
        if (::ftruncate(staged.file.get(), 0) != 0)
            return abandonErrno("cannot write the destination");
    }

    // As root the copy keeps the source's owner, as "cp -p" does. The
    // set-user-ID, set-group-ID and sticky bits are dropped: they would be
    // dangerous on a file whose owner may differ from the source's.
    // Asked each time: a process may change its user between copies.
    // A file system without owners (or a squashing share) keeps ours, one
    // without permissions its own; as "cp -p" does, the copy goes on, and
    // one note says so.
    const uid_t euid = ::geteuid();
    const gid_t egid = ::getegid();
    unsigned lost = 0;
    if (euid == 0 && (st.st_uid != euid || st.st_gid != egid)
        && ::fchown(staged.file.get(), st.st_uid, st.st_gid) != 0)
        lost |= kOwners;
    if (::fchmod(staged.file.get(), st.st_mode & 0777) != 0) {
        if (!cannotHold(errno))
            return abandonErrno("cannot set the permissions of the destination");
        lost |= kPermissions;
    }
    lost |= copyAttributes(source.get(), staged.file.get(), false);
    struct stat made;
    if (!(lost & kPermissions) && ::fstat(staged.file.get(), &made) == 0 && (made.st_mode & 0777) != (st.st_mode & 0777))
        lost |= kPermissions;
    notKept(*toRoot, lost);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(staged.file.get(), times) != 0)
        return abandonErrno("cannot set the modification time of the destination");

    m_stagedBytes += copied;
    m_staged.push_back(std::move(staged));
    return true;
}

bool FileCopier::flushesWhole(int fd, std::uint64_t device)
{
    const auto known = m_flushesWhole.find(device);
    if (known != m_flushesWhole.end())
        return known->second;
    return m_flushesWhole[device] = flushesAsAWhole(fd);
}

const NameLimit &FileCopier::nameLimit(const Folder &folder)
{
    const auto known = m_nameLimits.find(folder.id.device);
    if (known != m_nameLimits.end())
        return known->second;
    return m_nameLimits[folder.id.device] = NameLimitOf(folder.fd.get());
}

// One flush for each file system of the batch that honours it; returns the
// devices so flushed. It reports any write-back error since the file it is
// given was opened, which covers the whole batch, and it covers the renames
// of earlier batches there too.
std::set<std::uint64_t> FileCopier::flushWholeFileSystems()
{
    std::set<std::uint64_t> tried, flushed;
    for (const Staged &s : m_staged) {
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
void FileCopier::settleFolders(const std::vector<std::size_t> &placedNow, std::vector<CopyError> &failures)
{
    std::set<const Folder *> done;
    for (const std::size_t i : placedNow) {
        const Folder *folder = m_staged[i].folder.get();
        if (flushesWhole(folder->fd.get(), folder->id.device) || !done.insert(folder).second)
            continue;
        if (m_flush(folder->fd.get(), false) == 0 || flushNotOffered(errno))
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
bool FileCopier::place(Staged &s, const Folder *&reachable, CopyError *error)
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
    const int rc = s.existing == ExistingDestination::Keep
        ? renameNoReplace(dir, s.temporary.c_str(), s.name.c_str())
        : ::renameat(dir, s.temporary.c_str(), dir, s.name.c_str());
    if (rc == 0)
        return true;
    const int code = errno;
    std::string other;
    if (code == EEXIST && foldsNames(*s.folder->root, dir) && !spelledAsListed(dir, s.name, &other))
        return fail(error, EEXIST, foldedReason(JoinPath(s.folder->shown, s.name), JoinPath(s.folder->shown, other)));
    if (code == EEXIST)
        return fail(error, EEXIST, "the destination already exists; it is not overwritten");
    if (code == EISDIR || code == ENOTEMPTY)
        return fail(error, EISDIR, "the destination is a folder");
    errno = code;
    return failErrno(error, "cannot replace the destination");
}

void FileCopier::commit(const std::function<void(std::size_t, const CopyError *)> &done)
{
    // A lone file gets just its own flush; so does each file where its file
    // system is not flushed as a whole, or where that flush failed (to tell
    // which file did).
    const std::set<std::uint64_t> flushed = m_staged.size() > 1 ? flushWholeFileSystems() : std::set<std::uint64_t>();
    // A root that now leads elsewhere (unmounted, replaced) takes nothing.
    for (const auto &r : m_roots) {
        struct stat st;
        if (r->failure.reason.empty() && (::stat(r->path.empty() ? "." : r->path.c_str(), &st) != 0 || identityOf(st) != r->id))
            r->failure = {ESTALE, "the folder " + r->path + " is no longer the folder that was compared"};
    }
    std::vector<CopyError> failures(m_staged.size());
    std::vector<std::size_t> placedNow;
    const Folder *reachable = nullptr;
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        Staged &s = m_staged[i];
        CopyError &error = failures[i];
        bool ok = true;
        if (!flushed.count(s.folder->id.device) && m_flush(s.file.get(), false) != 0 && errno != EINVAL
            && errno != EROFS)
            ok = failErrno(&error, "cannot write the destination");
        ok = ok && place(s, reachable, &error);
        if (ok) {
            placedNow.push_back(i);
            // The mark is for temporaries only; the file in place goes without.
            ::fremovexattr(s.file.get(), kMarkAttribute);
            // A link elsewhere in the tree may lead to what was replaced.
            struct stat placed;
            if (s.existing == ExistingDestination::Replace && ::fstat(s.file.get(), &placed) == 0)
                m_produced[{std::uint64_t(placed.st_dev), std::uint64_t(placed.st_ino)}] = {stateOf(placed), s.seen};
        }
        s.file.reset();
        if (!ok && ::unlinkat(s.folder->fd.get(), s.temporary.c_str(), 0) != 0 && errno != ENOENT)
            note("A temporary could not be removed and remains: " + JoinPath(s.folder->shown, s.temporary));
        s.temporary.clear();
    }
    settleFolders(placedNow, failures);
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
    m_stagedBytes = 0;
}

void FileCopier::settle(const std::function<void(std::size_t, const CopyError &)> &failed)
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

void FileCopier::discard()
{
    for (Staged &s : m_staged) {
        s.file.reset();
        if (::unlinkat(s.folder->fd.get(), s.temporary.c_str(), 0) != 0 && errno != ENOENT)
            note("A temporary could not be removed and remains: " + JoinPath(s.folder->shown, s.temporary));
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
