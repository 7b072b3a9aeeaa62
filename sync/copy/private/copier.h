#pragma once

// The copier's state and the steps of a copy, behind FileCopier's contract
// (sync/copy/filecopy.h); for the files of sync/copy alone.

#include "platform/fd.h"
#include "platform/temporaryname.h"
#include "sync/copy/filecopy.h"
#include "sync/copy/temporaryrecord.h"
#include "sync/copy/trash.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class FileCopier::Impl
{
public:
    using Flush = FileCopier::Flush;
    using BytesCopied = FileCopier::BytesCopied;

    explicit Impl(Flush flush);
    ~Impl();

    bool stage(const CopyRequest &request, CopyError *error, const BytesCopied &onBytes);
    std::size_t stagedCount() const;
    const std::string &trashedAt(std::size_t index) const;
    void placeStaged();
    void commit(const std::function<void(std::size_t index, const CopyError *error)> &done);
    void settle(const std::function<void(std::size_t placed, const CopyError &error)> &failed);
    void discard();
    void removeLeftovers(const std::string &root, FolderIdentity rootId, const std::vector<std::string> &names);
    std::vector<std::string> notes() const;
    void joinRun(const Impl &other);
    void letGo();

    struct Root;
    struct Folder;
    struct Staged;
    struct Volume;
    struct Produced
    {
        FileStatus state; // as this run left it
        std::optional<FileStatus> before; // the file it replaced, as compared
    };
    using Key = std::pair<std::uint64_t, std::uint64_t>; // device and inode
    // What copiers of one run share. Placing a replacement and judging a
    // destination as seen take `placing`, so that a file another copier is
    // putting in place is either not there yet or already known as produced.
    struct Common
    {
        std::mutex placing;
        std::map<Key, Produced> produced; // files this run put in place over others
        mutable std::mutex noting;
        std::vector<std::string> notes;
        std::set<std::string> noted;
        std::map<std::string, std::pair<unsigned, std::size_t>> notKept; // by root: bits said, and where
        TemporaryRecord record; // the run's temporaries, for a later run should it be killed
        std::once_flag cleared; // ended runs' recorded temporaries removed
    };
    Root *root(const std::string &path, FolderIdentity expected, CopyError *error);
    // With create, folders missing below root are made after those of the
    // same names below source.
    std::shared_ptr<const Folder> folder(Root &root, std::string_view relative, bool create, CopyError *error,
                                         Root *source = nullptr);
    void adoptFolder(int fd, const Folder *from, Root &root, unsigned mode);
    bool spelledAsListed(int folder, const std::string &name, std::string *other);
    bool foldsNames(Root &root, int folder);
    bool stillAsSeen(int dir, const std::string &name, const FileStatus &seen) const;
    bool stillReachable(const Staged &staged, CopyError *error);
    // The steps of stage(), in their order.
    Fd openSource(Root &root, const std::string &from, struct stat *st, CopyError *error);
    bool openDestinationFolder(Root &toRoot, Root &fromRoot, std::string_view relative, bool create, CopyError *error,
                               bool *reused = nullptr);
    bool mayReplace(Root &toRoot, const Staged &staged, std::int64_t size, CopyError *error);
    bool makeTemporary(Root &toRoot, Root &fromRoot, std::string_view relative, bool reused, Staged &staged,
                       std::int64_t size, CopyError *error);
    bool createTemporary(Staged &staged, CopyError *error);
    bool copyData(int source, struct stat &st, Staged &staged, const BytesCopied &onBytes, std::int64_t *copied,
                  CopyError *error);
    bool keepMetadata(int source, const struct stat &st, Root &toRoot, Staged &staged, CopyError *error);
    void keepWithinRange(Root &toRoot, Staged &staged);
    bool keepTime(Staged &s, struct stat &placed);
    bool abandon(Staged &staged, int code, const std::string &reason, CopyError *error);
    bool abandonErrno(Staged &staged, const std::string &what, CopyError *error);
    bool findTrash(Staged &staged, CopyError *error);
    bool replaceKeepingOld(Staged &staged, bool flushEach, CopyError *error);
    bool copyStands(const Staged &staged);
    bool takeBack(const Staged &staged, const std::string &entry, bool moved, int why);
    bool place(Staged &staged, const Folder *&reachable, CopyError *error);
    bool flushesWhole(int fd, std::uint64_t device);
    bool settleNewEntry(int parent, const std::string &shown, CopyError *error);
    void placeFrom(std::size_t first, bool checkRoots);
    std::set<std::uint64_t> flushWholeFileSystems(std::size_t first);
    void settleFolders(const std::vector<std::size_t> &placedNow, std::vector<CopyError> &failures);
    Volume &volume(int fd, std::uint64_t device);
    const NameLimit &nameLimit(const Folder &folder);
    std::int64_t largestFile(const Folder &folder);
    bool clearLeftovers(const Folder &folder);
    void note(std::string text);
    void remains(const Folder &folder, const std::string &temporary);
    void notKept(Root &root, unsigned lost);

    Flush m_flush;
    std::vector<std::unique_ptr<Root>> m_roots;
    std::vector<Staged> m_staged;
    // Of the batch staged: how many are placed already (placeStaged), what
    // each came to, those in place, and the folder last found reachable.
    std::size_t m_early = 0;
    std::vector<CopyError> m_failures;
    std::vector<std::size_t> m_placedNow;
    const Folder *m_reachable = nullptr;
    std::shared_ptr<const Folder> m_folder; // the destination folder of the latest copy, kept open for the next
    std::shared_ptr<const Folder> m_sourceFolder;
    std::int64_t m_stagedBytes = 0;
    std::vector<char> m_buffer;
    Trashes m_trashes;
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_cleared; // folders rid of leftovers, by device and inode
    std::shared_ptr<Common> m_common = std::make_shared<Common>();
    std::map<Key, std::set<std::string>> m_listings; // names of folders that may fold them
    std::map<std::uint64_t, bool> m_flushesWhole; // by device: whether syncfs reaches everything
    std::map<std::uint64_t, NameLimit> m_nameLimits; // by device
    std::map<std::uint64_t, std::unique_ptr<Volume>> m_volumes; // by device
    std::map<std::uint64_t, std::int64_t> m_largestFiles; // by device: -1 for no known limit
    // Renames on file systems flushed as a whole that no flush has covered
    // yet, by device: a folder there to flush it by, and the placed copies.
    struct Unsettled
    {
        std::shared_ptr<const Folder> folder;
        std::vector<std::size_t> placed;
    };
    std::map<std::uint64_t, Unsettled> m_unsettled;
    std::size_t m_placed = 0; // copies placed since the copier was made
};

} // namespace platform
