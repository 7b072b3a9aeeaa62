#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Folder enumeration and file status, one stat per entry. Names are native
// bytes, never converted. Only regular files count as files: a FIFO, socket
// or device is never opened (opening a FIFO would block), and a symbolic link
// to a folder is never descended into, so no walk leaves its root or loops.
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

// Reads one folder, hidden entries (names starting with ".") left out. Calls
// onFile for every regular file and appends every real subfolder's name to
// subfolders, both in enumeration order. False when the folder cannot be
// listed; entries whose status cannot be read are skipped.
bool ReadFolder(const std::string &folder,
                const std::function<void(std::string_view name, const FileStatus &)> &onFile,
                std::vector<std::string> &subfolders);

} // namespace platform
