#pragma once

#include "compare/syncjob.h"
#include "compare/syncmemory.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct Comparison;
class PendingOperationList;

// The ways of syncing a pair of folders. Newest wins is the program's own
// and the default: newer over older both ways, every one-sided file copied
// across, nothing deleted. The others are chosen per pair.
enum class SyncMode : std::uint8_t {
    NewestWins, // both ways, the later time wins
    TwoWay, // both ways, remembering: what changed since the last sync is carried over, deletions and renames too
    Mirror, // the destination becomes an exact copy of the source
    Update, // new and newer files copied from the source; nothing back, nothing deleted
};

struct ModeChoice
{
    SyncMode mode = SyncMode::NewestWins;
    bool fromLeft = true; // the source of a mirror or an update

    bool operator==(const ModeChoice &) const = default;
};

// "left" or "right".
const char *SideWord(bool left);

// "newest-wins", "two-way", "mirror", "update": the names scripts and the
// settings file use.
const char *ModeKey(SyncMode mode);
bool ModeFromKey(std::string_view key, SyncMode &mode);
// "Both ways, newest wins", "Both ways, remembering", "Mirror left onto
// right", "Update right from left" ...: the names people read.
std::string ModeTitle(const ModeChoice &choice);
// The choice as stored for a pair ("mirror right"), and back; a text that
// names no mode reads as the default.
std::string ModeSetting(const ModeChoice &choice);
ModeChoice ModeFromSetting(std::string_view text);

// The way of syncing a pair of folders (the roots as compared), chosen per
// pair and kept in the settings file in the pair's own section, never in
// the window's keys. A pair no one chose for syncs newest wins.
inline const char kPairModeKey[] = "Mode";
ModeChoice PairMode(const std::string &left, const std::string &right);

// What the memory of the last sync will hold once a run's operations are
// done: the files in step now, and the memory's old entries for files not in
// step (kept until a run brings them into step).
struct MemoryDraft
{
    std::string file; // where the pair's memory is kept; empty: nowhere
    std::string leftRoot;
    std::string rightRoot;
    SyncMemory inStep;
    SyncMemory carried;
    // Whether the roots' volumes are known, so that the memory can be kept.
    bool keepable() const { return !file.empty(); }
};

// What the mode and the memory decided, for the windows and reports.
struct ModeOutcome
{
    ModeChoice choice;
    // Said once: why no memory was used (a first sync, or one not trusted).
    std::string memoryNote;
    // Said once: why nothing is moved to the Trash on a side.
    std::string guardNote;
    std::size_t copies = 0, replaces = 0, renames = 0, conflicts = 0;
    std::size_t trashLeft = 0, trashRight = 0;
    // Deletions a guard held back: files left as they are, not in step.
    std::size_t heldBack = 0;
    // Newest wins: files it copies to a side that, by the memory, were
    // deleted there since the last sync.
    std::size_t deletedToLeft = 0, deletedToRight = 0;
    // More than half of a side's files (or more than kManyDeletions) would go
    // to the Trash: a run must be allowed that first.
    bool manyDeletions = false;
    std::shared_ptr<MemoryDraft> draft;
};

inline constexpr std::size_t kManyDeletions = 1000;

// "3 files that would be copied to the right were deleted there since the
// last sync; Both ways, remembering would move them to the Trash instead."
std::string DeletedSinceText(const ModeOutcome &mode);
// "This sync would move 600 of 1000 files on the right to the Trash." ...
std::string ManyDeletionsText(const ModeOutcome &mode);

// Why a side cannot vouch for its absences (so nothing is deleted on the
// other side because of them), or empty: an empty or partly unreadable
// root, or one on another volume than at the last sync.
struct SideTrust
{
    std::string left;
    std::string right;
};

// Replaces the operations MatchRows appended by those of the mode, given
// the memory as read; in newest wins only notes what the memory knows.
// Notes on rows the memory explains go to notes (row index to text).
// Without draft nothing is kept for the memory (a compare never carried out).
void PlanSyncMode(Comparison &comparison, const MemoryRead &memory, const ModeChoice &choice, const SideTrust &trust,
                  PendingOperationList &operations, bool draft = true);

// What a person decides for a conflict: keep one side's file (it is copied
// over the other), keep both (the right's file is renamed on the right to a
// name that says so, "report (right).txt", and each side gets the other's),
// or leave both as they are.
enum class ConflictDecision : std::uint8_t { Leave, KeepLeft, KeepRight, KeepBoth };

// "report (right).txt" for "report.txt": the name the right's file takes
// when both are kept.
std::string KeptName(std::string_view name, bool right);

// The job of a conflict once decided; a conflict's job again for Leave.
SyncJob DecidedConflict(const SyncJob &conflict, ConflictDecision decision);

// The jobs that carry a decided conflict out; one job for anything else.
std::vector<SyncJob> JobsOf(const SyncJob &job);
