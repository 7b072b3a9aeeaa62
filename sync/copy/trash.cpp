#include "sync/copy/trash.h"

#include "platform/filesystem.h"
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace platform {
namespace {

// Opens folder name in parent, making it (mode) where missing; never
// through a link: a trash reached through one could be anywhere.
Fd openOrMake(int parent, const std::string &name, mode_t mode, const std::string &shown, CopyError *error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.valid())
            return fd;
        if (errno == ENOENT && (::mkdirat(parent, name.c_str(), mode) == 0 || errno == EEXIST))
            continue;
        struct stat st;
        if ((errno == ELOOP || errno == ENOTDIR) && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(st.st_mode))
            fail(error, ELOOP, "the trash folder " + shown + " is a symbolic link, so the old file cannot be kept there");
        else
            failErrno(error, "cannot use the trash folder " + shown);
        return Fd();
    }
    fail(error, ENOENT, "the trash folder " + shown + " disappeared while it was made");
    return Fd();
}

// Whether a top folder's trash folder is the runner's alone, as the home
// trash is made: its own, open to no one else. One that a user made where
// root's replaced files fall would hand them what root replaced there. A
// trash of our own that others may enter is closed. Where the file system
// keeps no permissions (FAT, exFAT, NTFS sticks) every file is as open as
// the trash, and nothing is told by asking.
bool closedToOthers(int fd, const std::string &shown, CopyError *error)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return failErrno(error, "cannot use the trash folder " + shown);
    if (!KeepsPermissions(fd))
        return true;
    if (st.st_uid != ::geteuid())
        return fail(error, EPERM,
                    "the trash folder " + shown + " belongs to another user, so the old file is not kept there");
    if ((st.st_mode & 077) && (::fchmod(fd, st.st_mode & 07700) != 0 || ::fstat(fd, &st) != 0 || (st.st_mode & 077)))
        return fail(error, EPERM,
                    "the trash folder " + shown + " is open to other users, so the old file is not kept there");
    return true;
}

// files/ and info/ in the open trash folder, both writable; in a top
// folder's trash, all three the runner's alone.
std::unique_ptr<TrashFolder> openTrash(Fd folder, const std::string &path, const std::string &topdir,
                                       CopyError *error)
{
    if (!topdir.empty() && !closedToOthers(folder.get(), path, error))
        return nullptr;
    auto trash = std::make_unique<TrashFolder>();
    trash->path = path;
    trash->topdir = topdir;
    trash->files = openOrMake(folder.get(), "files", 0700, path + "/files", error);
    if (!trash->files.valid())
        return nullptr;
    trash->info = openOrMake(folder.get(), "info", 0700, path + "/info", error);
    if (!trash->info.valid())
        return nullptr;
    if (!topdir.empty()
        && (!closedToOthers(trash->files.get(), path + "/files", error)
            || !closedToOthers(trash->info.get(), path + "/info", error)))
        return nullptr;
    for (const int fd : {trash->files.get(), trash->info.get()}) {
        if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
            failErrno(error, "cannot write in the trash folder " + path);
            return nullptr;
        }
    }
    return trash;
}

std::string homeTrashPath()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/Trash";
    // A service started without HOME still has a home: the password
    // database's. Without any, only the top folders' trashes are used.
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.local/share/Trash";
}

std::string parentOf(const std::string &path)
{
    const std::size_t cut = path.rfind('/');
    return cut == 0 || cut == std::string::npos ? std::string("/") : path.substr(0, cut);
}

// The device of path, or of the nearest folder above it that exists.
bool deviceOfNearest(std::string path, std::uint64_t *device)
{
    for (;;) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            *device = std::uint64_t(st.st_dev);
            return true;
        }
        if (path == "/" || path.empty())
            return false;
        path = parentOf(path);
    }
}

// The home trash, with the folders above it made as "mkdir -p" would.
std::unique_ptr<TrashFolder> openHomeTrash(const std::string &path, CopyError *error)
{
    Fd at(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string shown;
    std::size_t pos = 1;
    while (at.valid() && pos <= path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(pos, end - pos);
        pos = end + 1;
        if (part.empty())
            continue;
        shown += "/" + part;
        // Folders above the trash may be links the user made; the trash not.
        if (pos > path.size()) {
            at = openOrMake(at.get(), part, 0700, shown, error);
            break;
        }
        Fd next(::openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // Another copier of the run may make it at the same moment.
        if (!next.valid() && errno == ENOENT && (::mkdirat(at.get(), part.c_str(), 0700) == 0 || errno == EEXIST))
            next = Fd(::openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next.valid()) {
            failErrno(error, "cannot use the trash folder " + path);
            return nullptr;
        }
        at = std::move(next);
    }
    if (!at.valid())
        return nullptr;
    return openTrash(std::move(at), path, std::string(), error);
}

// The top folder of the file system that holds folder: the last one on the
// way up that is still on device.
std::string topdirOf(const std::string &folder, std::uint64_t device)
{
    std::string top = folder.empty() ? std::string("/") : folder;
    while (top != "/") {
        const std::string parent = parentOf(top);
        struct stat st;
        if (::stat(parent.c_str(), &st) != 0 || std::uint64_t(st.st_dev) != device)
            break;
        top = parent;
    }
    return top;
}

std::unique_ptr<TrashFolder> openTopdirTrash(const std::string &topdir, CopyError *error)
{
    Fd top(::open(topdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top.valid()) {
        failErrno(error, "cannot use the top folder " + topdir + " for a trash");
        return nullptr;
    }
    const std::string base = topdir == "/" ? std::string() : topdir;
    const std::string uid = std::to_string(::geteuid());
    // An administrator's shared .Trash (sticky, not a link) holds a folder
    // per user; without one, or where that folder is not ours alone, each
    // user has .Trash-UID.
    struct stat st;
    if (::fstatat(top.get(), ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
        && (st.st_mode & S_ISVTX)) {
        Fd shared(::openat(top.get(), ".Trash", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        CopyError ignored;
        Fd own = shared.valid() ? openOrMake(shared.get(), uid, 0700, base + "/.Trash/" + uid, &ignored) : Fd();
        if (own.valid()) {
            if (auto trash = openTrash(std::move(own), base + "/.Trash/" + uid, topdir, &ignored))
                return trash;
        }
    }
    const std::string path = base + "/.Trash-" + uid;
    Fd own = openOrMake(top.get(), ".Trash-" + uid, 0700, path, error);
    if (!own.valid())
        return nullptr;
    return openTrash(std::move(own), path, topdir, error);
}

bool onSmb(const std::string &folder)
{
    const Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && IsSmb(fd.get());
}

// smbnetfs shows its hosts (and workgroups) above the shares, where
// nothing can be made: there the highest folder on the way to the file
// that takes a trash, the share's own top folder, has it.
std::unique_ptr<TrashFolder> shareTrash(const std::string &top, const std::string &folder, CopyError *error)
{
    std::string below = top == "/" ? std::string() : top;
    for (int level = 0; level < 3 && folder.size() > below.size() + 1; ++level) {
        const std::size_t end = folder.find('/', below.size() + 1);
        below = folder.substr(0, end);
        if (auto trash = openTopdirTrash(below, error))
            return trash;
    }
    return nullptr;
}

// At most maxBytes of name, cut between characters.
std::string shortened(const std::string &name, std::size_t maxBytes)
{
    if (name.size() <= maxBytes)
        return name;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
    return name.substr(0, cut);
}

std::string localTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

bool writeAll(int fd, const std::string &text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

const TrashFolder *Trashes::forFolder(const std::string &absoluteFolder, std::uint64_t device, CopyError *error)
{
    if (const auto found = m_found.find(device); found != m_found.end())
        return found->second.get();
    if (const auto failed = m_failed.find(device); failed != m_failed.end()) {
        if (error)
            *error = failed->second;
        return nullptr;
    }
    CopyError why;
    std::unique_ptr<TrashFolder> trash;
    const std::string home = homeTrashPath();
    std::uint64_t homeDevice = 0;
    if (!home.empty() && deviceOfNearest(home, &homeDevice) && homeDevice == device)
        trash = openHomeTrash(home, &why);
    else
        trash = openTopdirTrash(topdirOf(absoluteFolder, device), &why);
    if (!trash && onSmb(absoluteFolder))
        trash = shareTrash(topdirOf(absoluteFolder, device), absoluteFolder, &why);
    if (!trash) {
        why.trashUnusable = true;
        m_failed[device] = why;
        if (error)
            *error = why;
        return nullptr;
    }
    return (m_found[device] = std::move(trash)).get();
}

std::string PercentEncodedPath(const std::string &path)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9')
            || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 15];
        }
    }
    return encoded;
}

bool WriteTrashInfo(const TrashFolder &trash, const std::string &absolutePath, bool flush, std::string *name,
                    CopyError *error)
{
    // Room for ".trashinfo" and a number within every file system's limit.
    const std::string base = shortened(absolutePath.substr(absolutePath.rfind('/') + 1), 200);
    std::string path = absolutePath;
    if (!trash.topdir.empty())
        path = trash.topdir == "/" ? path.substr(1) : path.substr(trash.topdir.size() + 1);
    const std::string text = "[Trash Info]\nPath=" + PercentEncodedPath(path) + "\nDeletionDate=" + localTimeText() + "\n";
    for (int n = 1; n < 100000; ++n) {
        const std::string candidate = n == 1 ? base : base + "." + std::to_string(n);
        struct stat st;
        if (::fstatat(trash.files.get(), candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        const std::string infoName = candidate + ".trashinfo";
        Fd fd(::openat(trash.info.get(), infoName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid() && errno == EEXIST)
            continue;
        if (!fd.valid() || !writeAll(fd.get(), text)
            || (flush && ::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS)) {
            const int code = errno;
            if (fd.valid())
                ::unlinkat(trash.info.get(), infoName.c_str(), 0);
            errno = code;
            return failErrno(error, "cannot write in the trash folder " + trash.path);
        }
        *name = candidate;
        return true;
    }
    return fail(error, EEXIST, "cannot find a free name in the trash folder " + trash.path);
}

void RemoveTrashEntry(const TrashFolder &trash, const std::string &name, bool alsoFile)
{
    if (alsoFile)
        ::unlinkat(trash.files.get(), name.c_str(), 0);
    ::unlinkat(trash.info.get(), (name + ".trashinfo").c_str(), 0);
}

} // namespace platform
