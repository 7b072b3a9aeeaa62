#pragma once

// The copier's own parts, shared by the files that make it up: what it
// holds of each root and folder, and of each staged copy.

#include "platform/fd.h"
#include "sync/copy/destinationtraits.h"
#include "sync/copy/private/copier.h"
#include "sync/copy/renamenoreplace.h"

#include <string>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string_view>

namespace platform {

bool IsUsableName(std::string_view name);

FolderIdentity IdentityOf(const struct stat &st);

// Whether a and b are 2 s or more apart, the step of the coarsest clock a
// destination may have (FAT's).
bool BeyondTheCoarsestStep(const struct timespec &a, const struct timespec &b);

// Why a copy fails where the destination folds two names into one.
std::string FoldedReason(const std::string &name, const std::string &other);

// Splits a relative name into its folder (empty for the root itself) and its
// own name; false when it names no file.
bool SplitName(const std::string &relative, std::string_view &folder, std::string &name);

struct FileCopier::Impl::Root
{
    std::string path;
    std::string absolute; // path with no link left in it, for the Trash
    Fd fd;
    FolderIdentity id;
    CopyError failure; // set once the root may no longer be used
    std::optional<Folding> folding; // asked when first needed
    std::optional<bool> fatTimes; // keeps FAT's range of times; asked when first needed
    unsigned notKept = 0;           // NotKept bits said in its note
};

struct FileCopier::Impl::Folder
{
    Root *root = nullptr;
    Fd fd;
    std::string relative; // below the root; empty for the root itself
    std::string shown;    // the full path, for people
    FolderIdentity id;
};

// What a destination volume lacks, so that calls it can only refuse, or
// undo, are not made again: through FUSE each is a round trip that every
// other copy waits behind.
struct FileCopier::Impl::Volume
{
    // No permissions, owners or hard links; times kept in the folder's entry.
    bool fat = false;
    // No append-only or immutable flags to ask about.
    bool noFlags = false;
    // No extended attributes: the run's record alone names its temporaries.
    bool noMark = false;
    // A rename stamps the file with the time of the rename (fusefat).
    bool restamps = false;
    // FAT: how a writable file there looks, the same for every one.
    struct Looks
    {
        mode_t mode;
        uid_t uid;
        gid_t gid;
    };
    std::optional<Looks> looks;
    RenameWays renames;
};

struct FileCopier::Impl::Staged
{
    std::shared_ptr<const Folder> folder;
    Fd file;
    std::string temporary;
    std::string name;
    ExistingDestination existing = ExistingDestination::Replace;
    std::optional<FileStatus> seen;
    const TrashFolder *trash = nullptr; // where the file replaced goes
    std::string trashed;                // once it went: its path there
    struct timespec times[2] = {};      // the source's access and modification times
    struct timespec stamped = {};       // the modification time as the copy took it
    // Whether it carries the temporaries' mark; whether it was given its
    // times before the rename.
    bool marked = false;
    bool timed = false;
};

} // namespace platform
