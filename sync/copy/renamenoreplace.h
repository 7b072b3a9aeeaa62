#pragma once

// Renames that never replace what holds the new name, on every file system.
namespace platform {

// What a file system lacks of the ways below, learned by one caller for its
// later renames there: each call not offered costs a FUSE server a round trip.
struct RenameWays
{
    bool noFlag = false; // renameat2's no-replace flag
    bool noLinks = false; // hard links
};

// renameat2's no-replace rename; where the file system lacks it, a hard link
// then an unlink; where it has neither (exFAT, FAT), a check that the name is
// free just before a plain rename. 0, or -1 with errno (EEXIST: taken).
// ways, when given, skips what it says is lacking and learns the flag's lack.
int RenameNoReplace(int fromDir, const char *from, int toDir, const char *to, RenameWays *ways = nullptr);
inline int RenameNoReplace(int dir, const char *from, const char *to, RenameWays *ways = nullptr)
{
    return RenameNoReplace(dir, from, dir, to, ways);
}

} // namespace platform
