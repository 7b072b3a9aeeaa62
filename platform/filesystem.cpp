#include "platform/filesystem.h"

#include "platform/statusring.h"
#include "platform/temporaryname.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/msdos_fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

// Who is asking, read when asked: a process may change its user between
// scans (tests run a part as nobody in a forked child).
struct Reader
{
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();

    bool modeGrantsRead(const struct stat &st) const
    {
        if (uid == 0)
            return true;
        if (st.st_uid == uid)
            return st.st_mode & S_IRUSR;
        if (st.st_gid == gid)
            return st.st_mode & S_IRGRP;
        return st.st_mode & S_IROTH;
    }

    // The mode bits answer for nearly every file; only where they deny
    // reading (supplementary groups, ACLs) is the file opened to be sure.
    bool readable(int dirFd, const char *name, const struct stat &st) const
    {
        if (modeGrantsRead(st))
            return true;
        const int fd = ::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }

    FileStatus statusOf(int dirFd, const char *name, const struct stat &st) const
    {
        FileStatus status;
        status.modified = st.st_mtim.tv_sec;
        status.nanoseconds = std::uint32_t(st.st_mtim.tv_nsec);
        if (readable(dirFd, name, st))
            status.size = st.st_size;
        return status;
    }
};

void setError(int *error, int value)
{
    if (error)
        *error = value;
}

// Not a fault of the scan: a dangling link, a link loop, an entry removed
// since the folder was listed.
bool isNoEntry(int error)
{
    return error == ENOENT || error == ELOOP || error == ENOTDIR;
}

// The groups of a user as the user database lists them; none for a user it
// does not know.
std::vector<gid_t> groupsOf(uid_t uid)
{
    std::vector<gid_t> groups;
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? std::size_t(hint) : 16384);
    struct passwd entry, *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return groups;
    int count = 64;
    groups.resize(std::size_t(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(std::size_t(count));
        ::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count);
    }
    groups.resize(std::size_t(std::max(count, 0)));
    return groups;
}

// Whether the permission bits give uid the access whose owner bit is given
// (S_IRUSR, S_IXUSR).
bool grants(const struct stat &st, uid_t uid, const std::vector<gid_t> &groups, mode_t ownerBit)
{
    if (uid == 0)
        return true;
    if (st.st_uid == uid)
        return st.st_mode & ownerBit;
    if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end())
        return st.st_mode & (ownerBit >> 3);
    return st.st_mode & (ownerBit >> 6);
}

// Whether uid may read the file open as fd, reached by its own path: every
// folder from the top searchable, the file readable.
bool mayRead(int fd, uid_t uid)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string path(4096, '\0');
    const ssize_t n = ::readlink(link, path.data(), path.size());
    if (n <= 0 || std::size_t(n) >= path.size() || path[0] != '/')
        return false;
    path.resize(std::size_t(n));
    const std::vector<gid_t> groups = groupsOf(uid);
    struct stat st;
    if (::stat("/", &st) != 0 || !grants(st, uid, groups, S_IXUSR))
        return false;
    for (std::size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1)) {
        if (::stat(path.substr(0, end).c_str(), &st) != 0 || !grants(st, uid, groups, S_IXUSR))
            return false;
    }
    return ::fstat(fd, &st) == 0 && grants(st, uid, groups, S_IRUSR);
}

// The families of file system whose clocks and names differ from the rest.
enum class Family { Other, Fat, Exfat, ExfatFuse, Ntfs, Smb, Sshfs };

// The family of a FUSE file system, from its driver's name in the mount
// table or, failing that, from the volume it serves.
Family fuseFamily(dev_t device)
{
    std::ifstream table("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, field;
        if (!(fields >> id >> parent >> numbers) || numbers != wanted)
            continue;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        const auto has = [&type](const char *word) { return type.find(word) != std::string::npos; };
        if (has("exfat"))
            return Family::ExfatFuse;
        if (has("fat"))
            return Family::Fat;
        if (has("ntfs"))
            return Family::Ntfs;
        if (has("sshfs"))
            return Family::Sshfs;
        if (has("smb") || has("cifs"))
            return Family::Smb;
        // No driver named: the volume's boot sector tells, where it may be read.
        for (std::size_t at; (at = source.find("\\040")) != std::string::npos;)
            source.replace(at, 4, " ");
        const int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return Family::Other;
        char sector[512] = {};
        const ssize_t n = ::pread(fd, sector, sizeof sector, 0);
        ::close(fd);
        if (n < ssize_t(sizeof sector))
            return Family::Other;
        if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0)
            return Family::ExfatFuse;
        if (std::memcmp(sector + 3, "NTFS    ", 8) == 0)
            return Family::Ntfs;
        if (std::memcmp(sector + 82, "FAT32   ", 8) == 0 || std::memcmp(sector + 54, "FAT1", 4) == 0)
            return Family::Fat;
        return Family::Other;
    }
    return Family::Other;
}

Family familyOf(int fd)
{
    struct statfs fs;
    struct stat st;
    if (fd < 0 || ::fstatfs(fd, &fs) != 0 || ::fstat(fd, &st) != 0)
        return Family::Other;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x4d44: return Family::Fat;
    case 0x2011BAB0: return Family::Exfat;
    case 0x5346544e: case 0x7366746e: return Family::Ntfs;
    case 0xFF534D42: case 0xFE534D42: case 0x517B: return Family::Smb;
    case 0x65735546: return fuseFamily(st.st_dev);
    default: return Family::Other;
    }
}

// Whether the volume marks the entry hidden or system (the same bits on
// FAT and NTFS); an entry whose marks cannot be read is not.
bool markedHidden(int folderFd, const char *name, HiddenMarks marks)
{
    constexpr std::uint32_t kHiddenOrSystem = 0x2 | 0x4;
    std::uint32_t attributes = 0;
    if (marks == HiddenMarks::FatAttributes) {
        const int fd = ::openat(folderFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool got = ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0;
        ::close(fd);
        return got && (attributes & kHiddenOrSystem);
    }
    // No call reads an attribute relative to a folder: the folder's own
    // entry in /proc stands for its path.
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", folderFd, name);
    unsigned char value[4];
    if (length <= 0 || std::size_t(length) >= sizeof path
        || ::lgetxattr(path, "system.ntfs_attrib_be", value, sizeof value) != ssize_t(sizeof value))
        return false;
    attributes = std::uint32_t(value[0]) << 24 | std::uint32_t(value[1]) << 16 | std::uint32_t(value[2]) << 8
        | value[3];
    return attributes & kHiddenOrSystem;
}

} // namespace

HiddenMarks HiddenMarksOf(const OpenFolder &folder)
{
    struct statfs fs;
    if (!folder.isOpen() || ::fstatfs(folder.handle(), &fs) != 0)
        return HiddenMarks::None;
    if (static_cast<unsigned long>(fs.f_type) == 0x4d44)
        return HiddenMarks::FatAttributes;
    return familyOf(folder.handle()) == Family::Ntfs ? HiddenMarks::NtfsAttributes : HiddenMarks::None;
}

bool FollowingRevealsNothing(int folderFd, const char *name, FolderIdentity *target)
{
    struct stat link, st;
    if (::fstatat(folderFd, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode))
        return false;
    const uid_t reader = ::geteuid();
    // The reader's own links show only what the reader may read.
    if (link.st_uid == reader && !target)
        return true;
    const int fd = ::openat(folderFd, name, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
        && (link.st_uid == reader || link.st_uid == st.st_uid || mayRead(fd, link.st_uid));
    ::close(fd);
    if (ok && target)
        *target = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
    return ok;
}

std::int64_t TimeResolution(const OpenFolder &folder)
{
    constexpr std::int64_t kSecond = 1000000000;
    switch (familyOf(folder.handle())) {
    case Family::Fat: return 2 * kSecond;
    case Family::Exfat: return kSecond / 100;
    case Family::ExfatFuse: return kSecond; // exfat-fuse keeps whole seconds
    case Family::Ntfs: return 100;
    case Family::Smb: return 100; // SMB shares keep Windows' 100 ns
    case Family::Sshfs: return kSecond;
    case Family::Other: return 1;
    }
    return 1;
}

bool KeepsLocalTimes(const OpenFolder &folder)
{
    return KeepsLocalTimes(folder.handle());
}

bool KeepsLocalTimes(int fd)
{
    const Family family = familyOf(fd);
    return family == Family::Fat || family == Family::Exfat || family == Family::ExfatFuse;
}

NameLimit NameLimitOf(int folderFd)
{
    switch (familyOf(folderFd)) {
    case Family::Fat:
    case Family::Exfat:
    case Family::ExfatFuse:
    case Family::Ntfs:
        return {255, true};
    default:
        break;
    }
    struct statfs fs;
    if (::fstatfs(folderFd, &fs) != 0 || fs.f_namelen <= 0)
        return {255, false};
    return {std::size_t(fs.f_namelen), false};
}

bool KeepsPermissions(int fd)
{
    switch (familyOf(fd)) {
    case Family::Fat:
    case Family::Exfat:
    case Family::ExfatFuse:
    case Family::Ntfs:
    case Family::Smb: // modes the client makes up; the server decides
        return false;
    default:
        return true;
    }
}

bool AttributesMayBeStale(int fd)
{
    const Family family = familyOf(fd);
    return family == Family::Sshfs || family == Family::Smb;
}

bool IsSmb(int fd)
{
    return familyOf(fd) == Family::Smb;
}

std::int64_t LargestFileOf(int folderFd)
{
    return familyOf(folderFd) == Family::Fat ? (std::int64_t(4) << 30) - 1 : -1;
}

ReaderIds ReaderIds::current()
{
    const Reader reader;
    return {reader.uid, reader.gid};
}

std::optional<FileStatus> StatFile(const std::string &path)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return Reader().statusOf(AT_FDCWD, path.c_str(), st);
}

OpenFolder OpenFolder::open(const std::string &path, int *error)
{
    const int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        setError(error, path.empty() ? ENOENT : errno);
    return OpenFolder(fd);
}

OpenFolder OpenFolder::child(const std::string &name, int *error) const
{
    const int fd = ::openat(m_fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        setError(error, errno);
    return OpenFolder(fd);
}

OpenFolder OpenFolder::parent(int *error) const
{
    const int fd = ::openat(m_fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        setError(error, errno);
    return OpenFolder(fd);
}

FolderIdentity OpenFolder::identity() const
{
    struct stat st;
    if (!m_fd.valid() || ::fstat(m_fd.get(), &st) != 0)
        return {};
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

bool ListFolder(const OpenFolder &folder, FolderListing &listing, int *error)
{
    listing.subfolders.clear();
    listing.temporaries.clear();
    listing.hidden = 0;
    listing.marked.clear();
    listing.m_names.clear();
    listing.m_entries.clear();
    const int fd = folder.handle();
    if (fd < 0) {
        setError(error, EBADF);
        return false;
    }
    // Read straight from the folder's own descriptor: no second descriptor
    // per folder, and its subfolders are opened from it all the same.
    thread_local std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer.data(), buffer.size());
        if (got == 0)
            return true;
        if (got < 0) {
            setError(error, errno);
            return false;
        }
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.data() + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.') {
                // Hidden, and "." and "..". The copy's own temporaries are never
                // listed; they are noted only as plain files: a link named like
                // one is not ours.
                if (IsTemporaryName(name)) {
                    struct stat st;
                    if (entry->d_type == DT_REG
                        || (entry->d_type == DT_UNKNOWN && ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0
                            && S_ISREG(st.st_mode)))
                        listing.temporaries.emplace_back(name);
                    continue;
                }
                const bool dots = name[1] == '\0' || (name[1] == '.' && name[2] == '\0');
                if (dots || !listing.withHidden) {
                    listing.hidden += !dots;
                    continue;
                }
            }
            if (!listing.withHidden && listing.marks != HiddenMarks::None && markedHidden(fd, name, listing.marks)) {
                ++listing.hidden;
                listing.marked.emplace_back(name);
                continue;
            }
            if (entry->d_type == DT_DIR) {
                listing.subfolders.emplace_back(name);
                continue;
            }
            if (entry->d_type != DT_REG && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
                continue;
            const std::size_t length = std::strlen(name);
            listing.m_entries.push_back({std::uint32_t(listing.m_names.size()), std::uint32_t(length), entry->d_type});
            listing.m_names.append(name, length + 1);
        }
    }
}

bool FolderListing::isFolder(const OpenFolder &folder, const char *name)
{
    struct stat st;
    return ::fstatat(folder.handle(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// A dangling link, a link loop or an entry removed since the listing is no
// fault of the scan: nothing to list.
FolderListing::Kind failedWith(int code, int &error)
{
    error = code;
    return isNoEntry(code) ? FolderListing::Kind::Other : FolderListing::Kind::Unreadable;
}

} // namespace

FolderListing::Kind FolderListing::read(const OpenFolder &folder, std::size_t i, FileStatus &status, int &error) const
{
    const int fd = folder.handle();
    const Entry &entry = m_entries[i];
    const char *name = m_names.data() + entry.offset;
    struct stat st;
    bool link = entry.type == DT_LNK;
    if (entry.type == DT_UNKNOWN) {
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return failedWith(errno, error);
        if (S_ISDIR(st.st_mode))
            return Kind::Folder;
        link = S_ISLNK(st.st_mode);
        if (link && ::fstatat(fd, name, &st, 0) != 0)
            return failedWith(errno, error);
    } else if (::fstatat(fd, name, &st, 0) != 0) {
        return failedWith(errno, error);
    }
    return settle(fd, name, link, st, status, error);
}

// What an entry is, from its status with links followed.
FolderListing::Kind FolderListing::settle(int fd, const char *name, bool link, const struct stat &st,
                                          FileStatus &status, int &error) const
{
    // A link to a folder is neither a file nor a folder to descend into.
    if (!S_ISREG(st.st_mode))
        return Kind::Other;
    // A link someone else planted is not read for them.
    if (link && !FollowingRevealsNothing(fd, name)) {
        error = EACCES;
        return Kind::Unreadable;
    }
    status = Reader{reader.uid, reader.gid}.statusOf(fd, name, st);
    return Kind::File;
}

void FolderListing::readRange(const OpenFolder &folder, std::size_t first, std::size_t last,
                              EntryStatus *statuses) const
{
    if (first == last)
        return;
    // A status the cache holds comes back in a microsecond or two, sooner
    // than the ring's workers can hand it over; one that waits for a disk or
    // a share is worth asking for with the rest all at once. The first
    // entry's time tells which this folder is.
    constexpr auto kFromCache = std::chrono::microseconds(40);
    const auto began = std::chrono::steady_clock::now();
    statuses[first].kind = read(folder, first, statuses[first].status, statuses[first].error);
    if (std::chrono::steady_clock::now() - began < kFromCache) {
        for (std::size_t i = first + 1; i < last; ++i)
            statuses[i].kind = read(folder, i, statuses[i].status, statuses[i].error);
        return;
    }
    ++first;
    const int fd = folder.handle();
    thread_local std::vector<const char *> names;
    thread_local std::vector<std::size_t> which;
    thread_local std::vector<struct stat> answers;
    thread_local std::vector<int> errors;
    names.clear();
    which.clear();
    for (std::size_t i = first; i < last; ++i) {
        if (m_entries[i].type == DT_UNKNOWN)
            continue;
        names.push_back(m_names.data() + m_entries[i].offset);
        which.push_back(i);
    }
    answers.resize(names.size());
    errors.resize(names.size());
    // One or two names are not worth the round through the ring.
    const bool together = names.size() > 2 && StatMany(fd, names.data(), names.size(), answers.data(), errors.data());
    std::size_t next = 0;
    for (std::size_t i = first; i < last; ++i) {
        EntryStatus &out = statuses[i];
        if (together && next < which.size() && which[next] == i) {
            const int error = errors[next];
            const std::size_t k = next++;
            // What only the ring could fail with is asked again alone.
            if (error != EINVAL && error != EOPNOTSUPP && error != ENOSYS && error != EAGAIN) {
                out.kind = error != 0 ? failedWith(error, out.error)
                                      : settle(fd, names[k], m_entries[i].type == DT_LNK, answers[k], out.status,
                                               out.error);
                continue;
            }
        }
        out.kind = read(folder, i, out.status, out.error);
    }
}

std::size_t RaiseOpenFileLimit()
{
    constexpr rlim_t kEnough = 65536;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    const rlim_t wanted = std::min(limit.rlim_max, kEnough);
    if (limit.rlim_cur < wanted) {
        struct rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return std::size_t(std::min(limit.rlim_cur, kEnough));
}

std::size_t OpenFileCount()
{
    DIR *listing = ::opendir("/proc/self/fd");
    if (!listing)
        return 3;
    std::size_t count = 0;
    while (const dirent *entry = ::readdir(listing))
        count += entry->d_name[0] != '.';
    ::closedir(listing);
    return count > 0 ? count - 1 : 0; // the listing's own descriptor
}

std::string ErrorText(int error)
{
    char buffer[256];
    // The GNU variant returns the text, which may not be the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return ::strerror_r(error, buffer, sizeof buffer);
#else
    return ::strerror_r(error, buffer, sizeof buffer) == 0 ? buffer : "error " + std::to_string(error);
#endif
}

} // namespace platform
