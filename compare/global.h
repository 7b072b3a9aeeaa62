#pragma once

#include "compare/folderscan.h" // ScanProblems
#include "compare/resultrow.h"
#include "compare/syncjob.h"
#include "compare/syncmode.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The hand-over between the comparison and the Sync Wizard: a fixed table of
// slots, packed from slot 0 and ended by the first slot whose source is empty.
// No count is stored; every reader finds the end by that rule.

inline const char kOverwrites[] = "overwrites";
inline const char kCopiedTo[] = "copied to";
inline const char kMovedToTrash[] = "moved to the Trash";
inline const char kRenamedTo[] = "renamed to";
inline const char kConflictLeft[] = "conflict: left as it is";
inline const char kConflictBoth[] = "conflict: both kept";

struct PendingOperation
{
    std::string source;       // shown in the wizard
    std::string action; // kOverwrites, kCopiedTo, kMovedToTrash, kRenamedTo or kConflictLeft
    std::string destination;  // shown: the replaced file, or the other root and a separator
    std::string copyFrom;     // the file copied (the same text as source)
    std::string copyTo;       // the path the copy is written to
    std::string deleteFirst;  // the file replaced; empty for kCopiedTo
    SyncJob job;              // what the sync carries out for this entry
};

// The action of a job as scripts read it: "overwrites", "copied to",
// "trash", "rename", "conflict".
const char *ActionKey(const SyncJob &job);

// The job that copies source (a row of the side fromLeft names) over
// replaced, or, without replaced, to a new file; each as compared.
SyncJob CopyJobFor(const ResultRow &source, const ResultRow *replaced, bool fromLeft);

// The entry that shows a job going from one root to the other.
PendingOperation PendingOperationFor(const std::string &fromRoot, const std::string &toRoot, SyncJob job);

// Pairs that differ in size but not in time (within the coarser side's
// time resolution): which is newer cannot be told, so no operation is
// appended for them, and no sync brings them into step.
struct UnorderedPairs
{
    static constexpr std::size_t kNamed = 5;
    std::size_t count = 0;
    std::vector<std::string> first; // the first kNamed of equal times, relative names
    // Of count, the pairs where a time lies in the future.
    std::size_t future = 0;
    std::vector<std::string> firstFuture; // the first kNamed of those
};

class PendingOperationList
{
public:
    static constexpr int kSlots = 10001;

    PendingOperationList();

    const PendingOperation &operator[](int slot) const { return m_slots[slot]; }

    // Entries in use: the slots before the first empty source.
    int count() const;
    bool empty() const { return m_slots[0].source.empty(); }

    // Empties every slot.
    void reset();

    // Writes the entry into the next free slot; false when all slots are taken.
    bool append(PendingOperation operation);
    // Changes what an entry says about why it is there.
    void setWhy(int slot, std::string why) { m_slots[slot].job.why = std::move(why); }
    // Changes an entry's job, as a person decides a conflict.
    void setOperation(int slot, PendingOperation operation) { m_slots[slot] = std::move(operation); }

    // The roots the entries' jobs are relative to, as the comparison found them.
    SyncRoots roots;
    // How many operations the comparison found: more than the slots hold
    // when the list was cut short.
    std::size_t found = 0;
    // What the comparison could not read, on both sides.
    ScanProblems unreadable;
    // The pairs the comparison could not order.
    UnorderedPairs unordered;
    // Pairs of equal size but other times: "OK" on their sizes alone.
    std::size_t unverified = 0;
    // The way of syncing these operations follow, what it and the memory of
    // the last sync decided, and the memory to keep once they are done.
    ModeOutcome mode;
    // What each side's scan left out on purpose (hidden, patterns).
    LeftOut leftLeftOut;
    LeftOut rightLeftOut;

private:
    std::vector<PendingOperation> m_slots;
    int m_next = 0;
};

namespace Global {
// Lives for the whole run; replaced by every Compare that passes its folder check.
extern PendingOperationList PendingOperations;
} // namespace Global
