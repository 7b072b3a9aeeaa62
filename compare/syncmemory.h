#pragma once

#include "platform/filesystem.h"
#include "platform/paths.h"
#include "platform/volume.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The memory of the last sync of a pair of folders: for every file the two
// sides held in step when a sync ended, what each side held. It lets a sync
// tell a file deleted on one side from one new on the other, an edit on one
// side from edits on both, and a rename from a new file.
//
// It is kept outside both trees, under the state folder
// (platform::StateFolder()/memory), one file per pair, named by the volumes
// the roots lie on and their places there: a stick mounted at another path
// finds its memory again, and a stick synced with two computers has one on
// each. A memory is replaced whole (written beside it, made durable, then
// renamed), so a kill leaves the old or the new one; one that is missing,
// damaged, of a newer format or of other folders is never trusted.

// One side of a remembered file.
struct RememberedSide
{
    std::int64_t size = -1;
    std::int64_t modified = platform::kNoTime;
    std::uint64_t inode = 0; // 0: not known
    std::uint32_t nanos = 0;
};

class SyncMemory
{
public:
    // Files in walk order (WalkBefore), each name once.
    std::size_t size() const { return m_left.size(); }
    std::string_view name(std::size_t i) const
    {
        return std::string_view(m_names).substr(m_starts[i], m_starts[i + 1] - m_starts[i]);
    }
    const RememberedSide &left(std::size_t i) const { return m_left[i]; }
    const RememberedSide &right(std::size_t i) const { return m_right[i]; }
    RememberedSide &left(std::size_t i) { return m_left[i]; }
    RememberedSide &right(std::size_t i) { return m_right[i]; }
    // Whether both sides, as remembered, held the same bytes: copied by the
    // sync, or read and found the same. Equal sizes alone say nothing.
    bool sameContents(std::size_t i) const { return m_same[i]; }
    void add(std::string_view name, const RememberedSide &left, const RememberedSide &right, bool sameContents = false);
    // The position of name, or size() when it is not remembered.
    std::size_t find(std::string_view name) const;
    void reserve(std::size_t files, std::size_t nameBytes);
    std::size_t nameBytes() const { return m_names.size(); }
    void clear();

    // The volumes and places the roots had when it was written.
    platform::VolumeMark leftVolume;
    platform::VolumeMark rightVolume;

private:
    std::string m_names;
    std::vector<std::size_t> m_starts{0};
    std::vector<RememberedSide> m_left;
    std::vector<RememberedSide> m_right;
    std::vector<bool> m_same;
};

struct MemoryRead
{
    SyncMemory memory;
    bool trusted = false;
    // Why an existing memory is not trusted, for people; empty where there
    // was none (a first sync) or it is trusted.
    std::string distrust;
    // Where the memory of this pair is kept; empty where it cannot be kept.
    std::string file;
    // Where these very paths were synced before: a root now on another
    // volume (a stick not plugged in, a share not mounted) is not the tree
    // it was.
    bool leftMoved = false;
    bool rightMoved = false;
    std::string leftRoot;
    std::string rightRoot;
};

// The memory of the pair of roots (as compared), as found.
MemoryRead ReadSyncMemory(const std::string &leftRoot, const std::string &rightRoot);

// Replaces the pair's memory whole; false with error in plain words when it
// could not be written (the old one then stays).
// Notes the roots' paths and volumes beside it.
bool WriteSyncMemory(const std::string &file, const SyncMemory &memory, std::string *error,
                     const std::string &leftRoot = {}, const std::string &rightRoot = {});

// Held for a whole run of a pair, from its comparison to the keeping of its
// memory, so that two runs of one pair at once take turns: a second run
// then compares what the first left, and keeps a memory that knows it.
class SyncMemoryLock
{
public:
    // Takes the pair's lock; with wait, blocks until no other run holds it,
    // else gives up at once. held() tells whether it was taken; a pair
    // whose memory cannot be kept needs no lock and counts as held.
    SyncMemoryLock(const std::string &leftRoot, const std::string &rightRoot, bool wait);
    ~SyncMemoryLock();
    SyncMemoryLock(const SyncMemoryLock &) = delete;
    SyncMemoryLock &operator=(const SyncMemoryLock &) = delete;
    bool held() const { return m_held; }

private:
    int m_fd = -1;
    bool m_held = true;
};

// Where the pair's memory is kept, from the roots' volume marks.
std::string SyncMemoryFile(const platform::VolumeMark &left, const platform::VolumeMark &right);
