#pragma once

// Renames that never replace what holds the new name, on every file system.
namespace platform {

// renameat2's no-replace rename; where the file system lacks it, a hard link
// then an unlink; where it has neither (exFAT, FAT), a check that the name is
// free just before a plain rename. 0, or -1 with errno (EEXIST: taken).
int RenameNoReplace(int fromDir, const char *from, int toDir, const char *to);
inline int RenameNoReplace(int dir, const char *from, const char *to)
{
    return RenameNoReplace(dir, from, dir, to);
}

} // namespace platform
