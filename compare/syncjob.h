#pragma once

#include "platform/filesystem.h"

#include <cstdint>
#include <string>
#include <vector>

// What a job does on its destination side: copies a file over (the
// default), moves a file to the Trash, renames a file or a whole folder
// there, or, for a conflict, nothing until someone decides.
enum class JobKind : std::uint8_t { Copy, Trash, Rename, Conflict };

// One file operation as the sync carries it out. The file has the same
// relative name on both sides; the sync reaches it from each root without
// following links, so paths longer than the system's limit work too and
// nothing below a root can lead outside it.
struct SyncJob
{
    std::string name;     // relative to both roots, native separators
    // Left to right, or right to left: the side the change comes from. A
    // job only ever writes on the other side.
    bool fromLeft = true;
    JobKind kind = JobKind::Copy;
    // A rename's new name on the destination side; its old one is name.
    std::string newName;
    bool folder = false; // a rename that moves a whole folder
    // What the memory of the last sync decided, for people; may be empty.
    std::string why;
    bool replace = false; // overwrites the destination; otherwise a new file that must not overwrite
    std::int64_t size = -1; // the source's size as compared, for progress
    // The source's time as compared: it is copied only while it still has
    // that size and time.
    std::int64_t sourceModified = platform::kNoTime;
    std::uint32_t sourceNanos = 0;
    // For a replacement, a move to the Trash or a rename: the destination as
    // the comparison saw it. It is touched only while it still is that file.
    std::int64_t seenSize = -1;
    std::int64_t seenModified = platform::kNoTime;
    std::uint32_t seenNanos = 0;
};

// The two roots of a comparison and the folders they were when scanned. A
// root that no longer leads to the same folder (unmounted, replaced) takes
// no operation.
struct SyncRoots
{
    std::string left;
    std::string right;
    platform::FolderIdentity leftId;
    platform::FolderIdentity rightId;
    // Hidden temporaries a killed run may have left below each root, by
    // relative name; the sync removes those it can prove are its own.
    std::vector<std::string> leftLeftovers;
    std::vector<std::string> rightLeftovers;

    const std::string &from(const SyncJob &job) const { return job.fromLeft ? left : right; }
    const std::string &to(const SyncJob &job) const { return job.fromLeft ? right : left; }
};
