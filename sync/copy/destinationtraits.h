#pragma once

// What a destination's file system can do and hold, asked of an open
// descriptor: permissions, owners, ACLs and attributes; whether it may fold
// two spellings into one name; whether one flush reaches all it holds;
// whether a folder refuses renames.
namespace platform {

// What a destination may be unable to hold; a copy goes on without it.
enum NotKept : unsigned { kPermissions = 1, kOwners = 2, kAcls = 4, kAttributes = 8, kTimes = 16 };

// The errors of a file system that has no permissions or owners to set.
bool CannotHold(int code);

// Copies the ACLs (for a folder its default ACL too) and the user's extended
// attributes of from onto to, never the temporary's mark. Returns the
// NotKept bits of what the destination could not take.
unsigned CopyAttributes(int from, int to, bool folder);

// Whether a file system may take two spellings for one name: those known
// never to fold, those that fold only in folders marked so, and the rest
// (FAT, exFAT, NTFS, FUSE, network shares), which may.
enum class Folding { Never, WhereMarked, Maybe };
Folding FoldingOf(int fd);
bool FoldsIn(Folding folding, int folder);

// Whether one syncfs makes everything written to the file system durable:
// the local ones whose drivers write back the whole volume.
bool FlushesAsAWhole(int fd);

// Why nothing can be renamed into or out of the folder ("append-only" or
// "immutable"), or null. noFlags, when given, is set where the file system
// keeps no such flags at all (FAT and exFAT through FUSE), so that later
// folders there need not be asked.
const char *RefusesRenames(int folder, bool *noFlags = nullptr);

// FAT and exFAT, through the kernel or FUSE: no permissions, owners or hard
// links to set, and each file's times kept in its folder's entry for it.
bool IsFatVolume(int fd);

// A folder flush that the file system does not offer (FUSE servers without
// fsyncdir, some network shares) is no failure: nothing more can be done.
bool FlushNotOffered(int code);

} // namespace platform
