#pragma once

#include <string>

// Which volume a folder lies on, told so that the same stick or disk is
// known again when it is mounted somewhere else, and the folder's place on
// it, so that a memory kept for a pair of folders follows them there.
namespace platform {

struct VolumeMark
{
    // The volume: its file system's UUID where the system lists one, else
    // the file system type and the mount's source (with the device numbers
    // where the source names no device, as for tmpfs).
    std::string volume;
    // The folder's path from the top of that volume.
    std::string within;
    // The file system type, as the mount table names it.
    std::string type;
    // Whether the volume's inode numbers name the same files after a
    // remount (ext4, xfs, btrfs ...; not FAT, exFAT, FUSE or shares).
    bool lastingInodes = false;

    bool known() const { return !volume.empty(); }
};

// The mark of the folder at path; empty where the mount table does not
// list its file system.
VolumeMark VolumeOf(const std::string &path);

} // namespace platform
