#pragma once

#include "platform/fd.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Folder enumeration and file status, one status read per entry. Names are native
// bytes, never converted. Only regular files count as files: a FIFO, socket
// or device is never opened (opening a FIFO would block), and a symbolic link
// to a folder is never descended into, so no walk leaves its root or loops.
// Folders are opened relative to their open parent, one name at a time, so a
// tree deeper than the system's path limit is read like any other.
namespace platform {

inline constexpr std::int64_t kNoTime = INT64_MIN;

struct FileStatus
{
    std::int64_t size = -1;            // -1 when the file may not be read
    std::int64_t modified = kNoTime;   // whole seconds since 1970 UTC
    std::uint32_t nanoseconds = 0;     // within that second
};

// Which folder a path led to when it was opened: a folder replaced, or a
// mount point whose file system went away, has another identity.
struct FolderIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool known() const { return device != 0 || inode != 0; }
    bool operator==(const FolderIdentity &) const = default;
};

// Status of a regular file (links followed); nothing for anything else.
std::optional<FileStatus> StatFile(const std::string &path);

// An open folder, closed with the object. Not copyable; movable.
class OpenFolder
{
public:
    OpenFolder() = default;

    // The folder a path names (a link given as the path itself is followed,
    // as the user typed it). error gets errno on failure.
    static OpenFolder open(const std::string &path, int *error = nullptr);
    // The subfolder name of this folder; a link there is never followed.
    OpenFolder child(const std::string &name, int *error = nullptr) const;
    // The folder above this one ("/" is its own parent).
    OpenFolder parent(int *error = nullptr) const;

    bool isOpen() const { return m_fd.valid(); }
    FolderIdentity identity() const;
    void close() { m_fd.reset(); }
    int handle() const { return m_fd.get(); }

private:
    explicit OpenFolder(int fd) : m_fd(fd) {}
    Fd m_fd;
};

// Where a volume marks entries hidden besides their names: FAT as the
// kernel mounts it (its attributes, asked of each entry), NTFS (the
// attributes its drivers show as an extended attribute). No marks for the
// rest: exFAT and FAT through FUSE show none.
enum class HiddenMarks : std::uint8_t { None, FatAttributes, NtfsAttributes };

// Who reads files: the permission bits for this user and group decide
// whether a file's size counts as readable. Taken once per scan, not per
// folder, and not once per process: a process may change its user between
// scans (tests run a part as nobody in a forked child).
struct ReaderIds
{
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    static ReaderIds current();
};

// One folder's entries as listing it gives them, hidden ones (names
// starting with ".") left out unless asked for, before any entry's status
// is read: its
// subfolders can be opened at once, and the status of its other entries
// read afterwards, one at a time or several at once, in any order.
struct EntryStatus;

class FolderListing
{
public:
    // What an entry turned out to be once its status was read.
    enum class Kind : std::uint8_t {
        File,       // a regular file, or a link to one that may be followed
        Folder,     // a folder that listing could not tell from a file
        Other,      // nothing to list: a link to a folder, a device, an entry gone since it was listed
        Unreadable, // there, but its status could not be read (error tells why)
    };

    // Entries whose status is still to be read: files, links, and entries
    // of a type listing could not tell. In listing order.
    std::size_t size() const { return m_entries.size(); }
    std::string_view name(std::size_t i) const
    {
        return {m_names.data() + m_entries[i].offset, m_entries[i].length};
    }
    // Reads entry i's status in the folder it was listed from, which must
    // still be open; status for a file, error (errno) when unreadable.
    Kind read(const OpenFolder &folder, std::size_t i, FileStatus &status, int &error) const;
    // Reads entries first to last (not included) as read does, each into
    // statuses[i]; those whose type the listing told are asked for all at
    // once where the system can, the rest one by one.
    void readRange(const OpenFolder &folder, std::size_t first, std::size_t last, EntryStatus *statuses) const;

    // Subfolders the listing told apart, in listing order; never a link.
    std::vector<std::string> subfolders;
    // Hidden regular files named as the safe copy names its temporaries.
    std::vector<std::string> temporaries;
    // Whose permissions count when status is read.
    ReaderIds reader;
    // Whether hidden entries are listed; when not, how many were passed
    // over ("." and ".." and the copy's temporaries are never counted).
    bool withHidden = false;
    std::size_t hidden = 0;
    // Of those, the names the volume's marks hid (a name starting with "."
    // hides alike on every volume; a mark may be on one side only).
    std::vector<std::string> marked;
    // The volume's own marks, read for each entry while hidden ones are left
    // out: an entry marked hidden or system counts as hidden.
    HiddenMarks marks = HiddenMarks::None;

    // Drops, before any status is read, each subfolder and entry for which
    // leave(name, isFolder) is true; how many were dropped. An entry of a
    // type listing could not tell is asked as a file, and as a folder where
    // a pattern for folders alone would take it and it is one.
    template<class Leave>
    std::size_t leaveOut(const OpenFolder &folder, Leave &&leave)
    {
        const std::size_t before = subfolders.size() + m_entries.size();
        std::erase_if(subfolders, [&leave](const std::string &name) { return leave(std::string_view(name), true); });
        std::erase_if(m_entries, [&](const Entry &entry) {
            const std::string_view name(m_names.data() + entry.offset, entry.length);
            if (leave(name, false))
                return true;
            return entry.type == kUnknownType && leave(name, true) && isFolder(folder, name.data());
        });
        return before - subfolders.size() - m_entries.size();
    }

private:
    friend bool ListFolder(const OpenFolder &, FolderListing &, int *);
    Kind settle(int fd, const char *name, bool link, const struct stat &st, FileStatus &status, int &error) const;
    static bool isFolder(const OpenFolder &folder, const char *name);
    static constexpr unsigned char kUnknownType = 0; // DT_UNKNOWN
    struct Entry
    {
        std::uint32_t offset;
        std::uint32_t length;
        unsigned char type; // as listing told it (d_type)
    };
    std::string m_names; // each name followed by a NUL
    std::vector<Entry> m_entries;
};

// The status read for one entry of a listing.
struct EntryStatus
{
    FileStatus status;
    int error = 0;
    FolderListing::Kind kind = FolderListing::Kind::Other;
};

// Lists one open folder into listing (its entries emptied first), from the
// start of a folder opened for it: once per opening. A link to a folder is
// never a subfolder. False, with errno in *error, when the folder cannot be
// listed; what was read before the failure is kept.
bool ListFolder(const OpenFolder &folder, FolderListing &listing, int *error = nullptr);

// Whether following the link name in the open folder folderFd reveals
// nothing its owner could not read: the link is the reader's own, or its
// target's owner made it, or its owner may read the target (every folder on
// the way searchable, the file readable, by the permission bits for that
// user and their groups). As root a link someone planted in a shared folder
// would otherwise hand over whatever it points to. With target, receives
// the identity of the file judged, so that what is opened afterwards can be
// checked to be that file. False for anything that is no link to a file.
bool FollowingRevealsNothing(int folderFd, const char *name, FolderIdentity *target = nullptr);

// The step in which the file system of the open folder keeps modification
// times, in nanoseconds: 2 s on FAT, a second or 10 ms on exFAT, 100 ns on
// NTFS, 1 for the rest and for what cannot be told. Judged from the file
// system's type and, for FUSE, from the driver or the volume mounted.
std::int64_t TimeResolution(const OpenFolder &folder);

// Whether the file system keeps local times, not instants (FAT and exFAT as
// their drivers read them): its times move with the reader's time zone.
bool KeepsLocalTimes(const OpenFolder &folder);
bool KeepsLocalTimes(int fd);

// The times FAT can hold, in seconds since 1970 UTC: 1980 to 2107 as local
// times on the volume, a day in from either end so that no time zone the
// volume is read in carries a time past them; even, for FAT's 2 s step.
inline constexpr std::int64_t kFatEarliest = 315619200; // 1980-01-02 00:00 UTC
inline constexpr std::int64_t kFatLatest = 4354732798; // 2107-12-30 23:59:58 UTC
// The marks of the volume of the open folder, judged once for a tree.
HiddenMarks HiddenMarksOf(const OpenFolder &folder);

// How long one name in a folder may be: bytes as the file system reports
// them (statfs's f_namelen), or UTF-16 units on FAT, exFAT and NTFS, whose
// drivers (kernel or FUSE) count names so.
struct NameLimit
{
    std::size_t most = 255;
    bool utf16 = false; // most counts UTF-16 units, not bytes
};
NameLimit NameLimitOf(int folderFd);

// Whether the file system of fd keeps each file's owner and permission
// bits: not FAT, exFAT or NTFS as sticks are mounted, where every file
// shows the same ones, nor SMB shares, whose server decides access.
bool KeepsPermissions(int fd);

// Whether the status the file system of fd gives may be a cached copy that
// misses changes made on the server (sshfs keeps it 20 s, SMB shares too):
// there sizes and times cannot tell that a file changed.
bool AttributesMayBeStale(int fd);

// Whether fd is on an SMB share (the kernel's client or smbnetfs).
bool IsSmb(int fd);

// The largest file the file system of the open folder can hold, in bytes,
// or -1 where no limit is known: 4 GiB less a byte on FAT.
std::int64_t LargestFileOf(int folderFd);

// The system's words for an errno value.
std::string ErrorText(int error);

// How many files the process may hold open, after raising its own limit to
// what the system allows it (at most 65,536).
std::size_t RaiseOpenFileLimit();

// How many descriptors the process holds open now.
std::size_t OpenFileCount();

} // namespace platform
