#include "sync/copy/destinationtraits.h"

#include "platform/filesystem.h"
#include "sync/copy/private/temporarymark.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {

namespace {

// One code on Linux, two on other systems.
bool notSupported(int code)
{
    return code == ENOTSUP || code == EOPNOTSUPP; // NOLINT(misc-redundant-expression)
}

} // namespace

bool CannotHold(int code)
{
    return code == EPERM || code == ENOSYS || notSupported(code) || code == EINVAL;
}

// Copies the ACLs (for a folder its default ACL too) and the user's extended
// attributes of from onto to, never the temporary's mark. Returns what the
// destination could not take.
unsigned CopyAttributes(int from, int to, bool folder)
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
        const bool user = std::strncmp(name, "user.", 5) == 0 && std::strcmp(name, kTemporaryMarkAttribute) != 0;
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

Folding FoldingOf(int fd)
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

bool FoldsIn(Folding folding, int folder)
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
bool FlushesAsAWhole(int fd)
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
const char *RefusesRenames(int folder, bool *noFlags)
{
    int flags = 0;
    if (::ioctl(folder, FS_IOC_GETFLAGS, &flags) != 0) {
        if (noFlags)
            *noFlags = errno == ENOTTY || errno == ENOSYS || notSupported(errno);
        return nullptr;
    }
    if (flags & FS_IMMUTABLE_FL)
        return "immutable";
    if (flags & FS_APPEND_FL)
        return "append-only";
    return nullptr;
}

// FAT's family is the one whose times are kept as local times.
bool IsFatVolume(int fd)
{
    return KeepsLocalTimes(fd);
}

// A folder flush that the file system does not offer (FUSE servers without
// fsyncdir, some network shares) is no failure: nothing more can be done.
bool FlushNotOffered(int code)
{
    return code == EINVAL || notSupported(code) || code == ENOSYS || code == EROFS;
}

} // namespace platform
