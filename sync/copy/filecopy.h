#pragma once

#include "platform/filesystem.h"
#include "sync/copy/copyfailure.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct stat;

// Replacing files without ever exposing a half-written one, and without ever
// writing anywhere but below the two roots.
//
// - A copy is written to a hidden temporary (its name starts with ".", so a
//   scan never lists it) in the destination's own folder, given the source's
//   modification time and permission bits, made durable, and only then
//   renamed over the destination: at every moment the destination holds its
//   old or its complete new content, and a symbolic link there is replaced,
//   never written through. Holes of a sparse source stay holes. A volume
//   that stamps a renamed file with the time of the rename (fusefat) gets
//   its time just after the rename instead.
// - The source must not change while it is copied (size, modification and
//   change time); a copy that the source never held as a whole is never
//   renamed into place. It is copied again a few times, then given up. A
//   source whose size or modification time is no longer what was compared
//   is not copied at all.
// - A file larger than the destination's file system can hold (4 GiB on
//   FAT) fails at once, before anything is written.
// - A replacement names the destination as it was last seen: when its size
//   or modification time differs just before the rename, the destination is
//   kept and the copy fails. A new file is renamed into place only if nothing
//   has taken its name meanwhile.
// - Both files are reached from their roots one folder at a time, never
//   through a symbolic link, so paths longer than the system's limit work and
//   nothing below a root leads out of it. A root must still be the folder it
//   was when compared; no root is ever created, and a replacement never
//   creates a folder.
// - A source that is a link is followed only where that reveals nothing the
//   link's owner could not read (FollowingRevealsNothing); otherwise nothing
//   is copied.
// - A folder created for a new file has its source folder's permission bits
//   (never wider: created narrow, then set), its owner and group when run as
//   root, its ACLs (the default one included) and the user's extended
//   attributes, all before anything is put in it. A copy keeps its source's
//   ACLs and user extended attributes too; never the temporary's own mark.
// - What the destination cannot hold (permissions and owners on FAT and
//   exFAT, ACLs or extended attributes on many) does not fail a copy: one
//   note per destination and run says what was not kept.
// - A destination that does not tell names apart that the source does (upper
//   and lower case on FAT, exFAT, NTFS through FUSE, CIFS, casefold folders)
//   never receives a file or folder under a name that only folds onto
//   another: that copy fails, naming both, and writes nothing.
// - A destination link whose target this run itself replaced is judged by
//   the target as it was before the run: the run's own work is no change by
//   someone else, a later edit still is.
// - Durable: each temporary reaches the disk before its rename, by one flush
//   of the whole file system per batch where the file system honours that
//   (ext4, xfs, btrfs ...), else by a flush of each file (FUSE, network
//   shares). On the latter, the folders renamed into are flushed after each
//   batch; elsewhere settle() flushes what the last batches renamed. Once it
//   has, every copy reported done is on the disk.
// - A new file's name is never claimed before its complete copy takes it:
//   where the file system offers neither a rename that refuses to replace
//   nor hard links (exFAT, FAT), the name is checked to be free just before
//   the rename, and a file that appears in that instant is replaced.
// - No temporary is made in a folder that is append-only or immutable, where
//   it could neither be put in place nor removed: that copy fails at once.
// - Never more is written than the size the source had when its copy began;
//   a source that yields more (it grew, or reads without end) is copied
//   again, then given up.
// - A temporary's name is valid UTF-8 wherever the file's name is, and
//   within the destination's limit (bytes, or UTF-16 units on FAT, exFAT
//   and NTFS): it keeps as much of the name as fits, in whole characters.
//
// A program killed in the middle leaves no destination half-written, only
// the temporaries it had not yet renamed into place. Each carries a mark (an
// extended attribute), is named in a record kept outside the trees before
// it is made (platform/temporaryrecord.h: for shares that cannot carry the
// mark, and runs killed before it was written), and is locked while it
// exists; a later run removes only marked or recorded temporaries that no
// one holds, so a user's file that merely looks like one is never touched.
// Paths are native bytes.
namespace platform {

enum class ExistingDestination {
    Replace, // an existing file (or link) at the destination is replaced
    Keep,    // the copy fails if anything exists at the destination; never overwrites
};

struct CopyRequest
{
    // The source is `from` below `fromRoot`, the destination `to` below
    // `toRoot`; both names are relative, with separators between folders.
    std::string fromRoot;
    std::string from;
    std::string toRoot;
    std::string to;
    // When known, each root must still be this folder.
    FolderIdentity fromRootId;
    FolderIdentity toRootId;
    ExistingDestination existing = ExistingDestination::Replace;
    // For a replacement: the destination as last seen (size -1: not known).
    // It is replaced only while its size and modification time are these.
    std::optional<FileStatus> seen;
    // When known, the source as compared: it is copied only while its size
    // and modification time are these (a file put back since with an older
    // time must not replace a newer one).
    std::optional<FileStatus> sourceSeen;
    // For a replacement: the file replaced goes to the desktop's Trash
    // (platform/trash.h); where no trash can take it, the copy fails
    // (CopyError::trashUnusable) before anything is written.
    bool keepReplaced = false;
};


inline const char kChangedSinceComparison[] = "the destination changed since the comparison; it is kept";
inline const char kSourceKeptChanging[] = "the source kept changing while it was copied";
inline const char kSourceChangedSinceComparison[] = "the source changed since the comparison";
inline const char kTooLargeForFat[] = "FAT32 cannot hold files of 4 GiB or more";

// Copies in batches: stage() writes complete temporaries, commit() makes a
// whole batch durable with one file-system flush and moves each temporary
// into place in staging order. Far cheaper than a flush per file when many
// small files are copied. Temporaries that are never committed are removed
// by discard() or the destructor. Not thread-safe; one object per thread,
// several of one run joined by joinRun().
class FileCopier
{
public:
    // Makes what was written durable: the whole file system of fd, or fd
    // alone. Returns 0 or -1 with errno, as fsync does.
    using Flush = std::function<int(int fd, bool wholeFileSystem)>;

    explicit FileCopier(Flush flush = {});
    ~FileCopier();
    FileCopier(const FileCopier &) = delete;
    FileCopier &operator=(const FileCopier &) = delete;

    // Called with the bytes copied since its previous call, a few times per
    // large file and once per small one.
    using BytesCopied = std::function<void(std::int64_t)>;

    // Writes the complete temporary for one copy. On failure nothing is left
    // behind (folders created on the way excepted) and error says why.
    bool stage(const CopyRequest &request, CopyError *error, const BytesCopied &onBytes = {});

    std::size_t stagedCount() const;
    // Within commit()'s done: where the file the index-th copy replaced
    // went in the Trash, or empty.
    const std::string &trashedAt(std::size_t index) const;
    std::int64_t stagedBytes() const;

    // Flushes and renames every staged copy; done(i, error) reports the i-th
    // staged copy of this batch, error null on success. Afterwards nothing is
    // staged. Copies reported done are counted, in that order, as placed.
    void commit(const std::function<void(std::size_t index, const CopyError *error)> &done);

    // Where a volume's folders are sought entry by entry for each name (FAT
    // through FUSE) and files are flushed one by one anyway: flushes and
    // renames the copies staged so far at once, so that a folder holds one
    // temporary at a time, but reports them only in the next commit(), in
    // staging order, once their folders are flushed. Elsewhere nothing.
    void placeStaged();

    // Makes every rename of the commits so far durable. failed(n, error)
    // reports the n-th placed copy (counted from 0 since the copier was
    // made) whose file system did not confirm it: the copy is in place, but
    // may not survive a power cut.
    void settle(const std::function<void(std::size_t placed, const CopyError &error)> &failed = {});

    // Removes every staged temporary without touching a destination.
    void discard();

    // Removes the temporaries a killed run left at these names below root,
    // those this program marked and no one holds; the first call also those
    // the records of ended runs name, wherever they are.
    void removeLeftovers(const std::string &root, FolderIdentity rootId, const std::vector<std::string> &names);

    // What a person should know that is no failure of an operation: a
    // temporary that could not be removed, leftovers that could not be proved
    // ours. Each said once.
    std::vector<std::string> notes() const;

    // Makes this copier work beside other in the same run, each on its own
    // thread: a file either puts in place over another is known to both, as
    // the run's own work, and their notes are one list. Call before copying.
    void joinRun(const FileCopier &other);

    // Closes every folder the copier holds open, once nothing is staged or
    // left to settle; its notes stay.
    void letGo();

private:
    // The copier's state and steps: sync/copy/private/copier.h.
    class Impl;
    std::unique_ptr<Impl> d;
};

// One copy, staged and committed at once.
bool CopyFileSafely(const CopyRequest &request, CopyError *error, const FileCopier::BytesCopied &onBytes = {});

} // namespace platform
