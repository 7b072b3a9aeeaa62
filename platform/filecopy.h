#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Replacing files without ever exposing a half-written one. A replacement
// is written to a hidden temporary (its name starts with ".", so a scan never
// lists it) in the destination's own folder, given the source's modification
// time and permission bits, made durable, and only then renamed over the
// destination: at every moment the destination holds its old or its complete
// new content, and a symbolic link there is replaced, never written through.
// A new file is written the same way and renamed into place only if nothing
// has taken its name meanwhile. Paths are native bytes.
//
// A program killed in the middle leaves no destination half-written, only
// the temporaries it had not yet renamed into place (hidden, so no scan lists
// them). Each is locked while it exists; the next copy into that folder
// removes those that no one holds.
namespace platform {

enum class ExistingDestination {
    Replace, // an existing file (or link) at the destination is replaced
    Keep,    // the copy fails if anything exists at the destination; never overwrites
};

struct CopyRequest
{
    std::string from;
    std::string to;
    ExistingDestination existing = ExistingDestination::Replace;
    // When not empty, `to` lies below this folder: missing folders between
    // them are created, and none of them may be a symbolic link, so a copy
    // never lands outside the tree. When empty, missing folders of `to`'s
    // parent are created the ordinary way.
    std::string root;
};

struct CopyError
{
    int code = 0;       // errno, or 0 when the reason is the program's own
    std::string reason; // plain words, such as "cannot read the source: No such file or directory"
};

// Copies in batches: stage() writes complete temporaries, commit() makes a
// whole batch durable with one file-system flush and moves each temporary
// into place in staging order. Far cheaper than a flush per file when many
// small files are copied. Temporaries that are never committed are removed
// by discard() or the destructor. Not thread-safe; one object per thread.
class FileCopier
{
public:
    FileCopier();
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
    std::int64_t stagedBytes() const { return m_stagedBytes; }

    // Flushes and renames every staged copy; done(i, error) reports the i-th
    // staged copy of this batch, error null on success. Afterwards nothing is
    // staged.
    void commit(const std::function<void(std::size_t index, const CopyError *error)> &done);

    // Removes every staged temporary without touching a destination.
    void discard();

private:
    struct Folder;
    struct Staged;
    std::vector<Staged> m_staged;
    std::shared_ptr<const Folder> m_folder; // the folder of the latest copy, kept open for the next
    std::string m_folderKey;
    std::int64_t m_stagedBytes = 0;
    std::vector<char> m_buffer;
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_cleared; // folders rid of leftovers, by device and inode
};

// True for a name that the copy gives its temporaries; the scan collects
// such names so that a later sync can remove those its own runs left.
bool IsTemporaryName(std::string_view name);

// One copy, staged and committed at once.
bool CopyFileSafely(const CopyRequest &request, CopyError *error, const FileCopier::BytesCopied &onBytes = {});

} // namespace platform
