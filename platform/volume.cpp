#include "platform/volume.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <array>
#include <fstream>
#include <memory>
#include <sstream>

namespace platform {
namespace {

// The mount table escapes spaces, tabs, newlines and backslashes as octal.
std::string unescaped(const std::string &field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += char(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::string realPath(const std::string &path)
{
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

// The UUID the system lists for a block device, or empty.
std::string uuidOf(const std::string &device)
{
    const std::string target = realPath(device);
    if (target.empty())
        return {};
    DIR *folder = ::opendir("/dev/disk/by-uuid");
    if (!folder)
        return {};
    std::string found;
    while (const dirent *entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.' && realPath(std::string("/dev/disk/by-uuid/") + entry->d_name) == target) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(folder);
    return found;
}

bool lasting(const std::string &type)
{
    static const std::array<const char *, 8> kinds = {"ext2", "ext3", "ext4", "xfs", "btrfs", "f2fs", "zfs", "tmpfs"};
    for (const char *kind : kinds) {
        if (type == kind)
            return true;
    }
    return false;
}

} // namespace

VolumeMark VolumeOf(const std::string &path)
{
    VolumeMark mark;
    struct stat st;
    const std::string resolved = realPath(path);
    if (resolved.empty() || ::stat(resolved.c_str(), &st) != 0)
        return mark;
    const std::string numbers = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    std::size_t longest = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, parent, devices, root, point, field;
        if (!(fields >> id >> parent >> devices >> root >> point) || devices != numbers)
            continue;
        while (fields >> field && field != "-") {}
        std::string type, source;
        fields >> type >> source;
        root = unescaped(root);
        point = unescaped(point);
        source = unescaped(source);
        // Bind mounts list the same file system more than once: the one
        // whose mount point leads to the folder names its place.
        const bool below = resolved == point || point == "/"
            || (resolved.size() > point.size() && resolved.compare(0, point.size(), point) == 0
                && resolved[point.size()] == '/');
        if (!below || point.size() < longest)
            continue;
        longest = point.size();
        std::string rest = point == "/" ? resolved : resolved.substr(point.size());
        mark.within = (root == "/" ? "" : root) + rest;
        if (mark.within.empty())
            mark.within = "/";
        mark.type = type;
        const std::string uuid = source.rfind("/dev/", 0) == 0 ? uuidOf(source) : std::string();
        const std::string device = source.rfind('/', 0) == 0 ? realPath(source) : std::string();
        if (!uuid.empty())
            mark.volume = "uuid:" + uuid;
        else if (!device.empty())
            mark.volume = type + ":" + device;
        else
            mark.volume = type + ":" + source + ":" + numbers;
        mark.lastingInodes = lasting(type);
    }
    return mark;
}

} // namespace platform
