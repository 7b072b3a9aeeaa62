#pragma once

#include "compare/folderscan.h"
#include "compare/global.h"
#include "compare/resultrow.h"
#include "compare/side.h"
#include "compare/syncmode.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct Comparison;

// What a comparison needs of the window besides the scan's hooks. Any hook may
// be empty; the command-line tool leaves most of them so.
struct CompareHooks : ScanHooks
{
    std::function<void(const std::string &text, const std::string &caption)> showMessage;
    std::function<void()> clearLists;
    // The trimmed root goes back where the user typed it.
    std::function<void(Side, const std::string &)> writeBackRoot;
    // The root text as it stands once both have been written back; read once.
    std::function<std::string(Side)> readRoot;
    // The way of syncing chosen for the pair of roots (as compared); empty:
    // newest wins.
    std::function<ModeChoice(const std::string &left, const std::string &right)> chooseMode;
    // False for a compare that is never carried out: nothing of it is kept
    // for the memory of the last sync.
    bool draftMemory = true;
    // The matched rows, before any message about them; may take the rows.
    std::function<void(Comparison &)> showResults;
    // Hours by which the right side's times read late (ahead of the left's;
    // negative: early), as the user stated them for these roots; none lets
    // the comparison look for a shift itself.
    std::function<std::optional<int>(const std::string &left, const std::string &right)> statedTimeShift;
    // What the scan of these roots (trimmed) leaves out; without it, hidden
    // entries alone.
    std::function<ScanChoices(const std::string &left, const std::string &right)> choose;
};

inline const char kInvalidFolders[] = "Please make sure you have two valid folders selected.";
inline const char kErrorCaption[] = "Error";
// The program's name: its windows' caption and that of its plain messages.
inline const char kProductName[] = "Corvanel";

// How far past the system's clock a time may lie before it is taken to come
// from a wrong clock rather than from a clock a little ahead of this one.
inline constexpr std::int64_t kFutureSlack = 5 * 60; // seconds

// The refusal when one root lies inside the other; paths as given.
std::string NestedFoldersMessage(const std::string &inner, const std::string &outer);

struct Comparison
{
    std::string leftRoot;
    std::string rightRoot;
    ResultRows left;
    ResultRows right;
    std::size_t wantedOperations = 0; // may exceed what the list holds
    // The folders the roots led to when the scan opened them.
    platform::FolderIdentity leftRootId;
    platform::FolderIdentity rightRootId;
    ScanProblems leftProblems;
    ScanProblems rightProblems;
    // The steps in which each side's file system keeps times, in
    // nanoseconds: times closer than the coarser step count as the same.
    std::int64_t leftResolution = 1;
    std::int64_t rightResolution = 1;
    // Which sides keep local times (FAT, exFAT): read in another time zone
    // than they were written in, all their times move by whole hours.
    bool leftLocalTimes = false;
    bool rightLocalTimes = false;
    // Seconds added to each side's times when pairs are ordered, and
    // whether that shift was stated rather than found in the times.
    std::int64_t leftShift = 0;
    std::int64_t rightShift = 0;
    bool shiftStated = false;
    // Relative names of the pairs of different sizes whose times are the
    // same: they differ, and nothing tells which is newer.
    std::vector<std::string> unordered;
    // Positions in unordered, ascending, of the pairs that cannot be ordered
    // because a time lies in the future: a wrong clock must not win.
    std::vector<std::uint32_t> futureDated;
    // Pairs of equal size whose times differ: "OK" without their contents
    // having been compared.
    std::size_t unverified = 0;
    // Relative names of hidden temporaries a killed sync may have left; the
    // next sync removes those it can prove are its own.
    std::vector<std::string> leftLeftovers;
    std::vector<std::string> rightLeftovers;
    // What the memory of the last sync says of some rows, by row index.
    std::unordered_map<std::uint32_t, std::string> leftNotes;
    std::unordered_map<std::uint32_t, std::string> rightNotes;
    // What each side's scan left out on purpose, and the choices it used.
    LeftOut leftLeftOut;
    LeftOut rightLeftOut;
    ScanChoices choices;
    // When set before the comparison, receives every operation's job in list
    // order, those past the list's last slot included.
    std::vector<SyncJob> *everyJob = nullptr;

    bool complete() const { return leftProblems.count == 0 && rightProblems.count == 0; }
    bool inStep() const { return complete() && unordered.empty(); }
    bool truncated() const { return wantedOperations > std::size_t(PendingOperationList::kSlots); }
};

// Compare: checks that both texts name folders (else shows kInvalidFolders
// and returns false, changing nothing) and that neither lies inside the
// other (else shows NestedFoldersMessage, likewise), resets operations,
// trims trailing separators, scans both trees at once (rows as a scan of
// left then right gives them), sets every row's status and icon and appends
// the operations: each left row's in left order, then the copies of
// unmatched right rows in right order. Names match byte for byte. With
// different sizes, the later modification time wins, to the nanosecond or
// to the coarser time step of the two file systems (2 s on FAT); a pair
// whose times are the same at that step gets no status and is named in
// unordered. So is a pair of different sizes where either time lies more
// than kFutureSlack past the comparison's start (futureDated). Equal sizes
// are "OK", whatever the times (unverified counts those whose times differ),
// unless their contents were read and differ: then they are ordered as
// pairs of different sizes are. Times are ordered after each side's shift.
bool CompareFolders(const std::string &leftText, const std::string &rightText, const CompareHooks &hooks,
                    Comparison &result, PendingOperationList &operations);

// -1, 0 or 1 as a's time is earlier than, the same as or later than b's;
// times closer than step nanoseconds are the same, no time is earliest.
int TimeOrder(const ResultRow &a, const ResultRow &b, std::int64_t step);

// The matching alone, over scanned rows and their roots.
void MatchRows(Comparison &comparison, PendingOperationList &operations);

// Matches the rows again (after their contents were read, say): the
// operations and every summary of them are made anew from the rows.
void Rematch(Comparison &comparison, PendingOperationList &operations);

// Calls visit for each left row and its match, in left order.
void ForEachPair(Comparison &comparison, const std::function<void(ResultRow &left, ResultRow &right)> &visit);

// Whether the pair's times differ at the coarser side's step, each side's
// shift taken into account.
bool PairTimesDiffer(const Comparison &comparison, const ResultRow &left, const ResultRow &right);

// Where one side keeps local times and most pairs of equal size (at least
// kShiftEvidence of them) differ by the same whole hours, give or take the
// coarser step, sets that side's shift to undo it.
inline constexpr std::size_t kShiftEvidence = 3;
void FindTimeShift(Comparison &comparison);

// "times on ROOT read N hours late; this is allowed for" for a shift that
// was found, not stated; empty otherwise.
std::string TimeShiftText(const Comparison &comparison);

// The shift the user stated for the pair of roots (the pair's setting
// "TimeShift", whole hours), if any.
std::optional<int> PairTimeShift(const std::string &left, const std::string &right);

// The sentence on pairs of equal size but other times, whose contents were
// not compared; empty when there are none.
std::string UnverifiedText(std::size_t count);

// The first few of a longer list, one a line after text, and "... and K
// more." when count is larger than the lines given.
void AppendFirstAndMore(std::string &text, const std::vector<std::string> &first, std::size_t count,
                        const std::function<std::string(std::string_view)> &show = {});

// What could not be read, for a person: "not everything could be compared",
// how many items and the first few with their reasons. Empty when nothing.
std::string UnreadableText(const ScanProblems &problems,
                           const std::function<std::string(std::string_view)> &show = {});

// The pairs that cannot be ordered, for a person: how many, and the first
// few relative names. Empty when there are none.
std::string UnorderedText(const UnorderedPairs &pairs, const std::function<std::string(std::string_view)> &show = {});

// The message shown when more operations were found than the list holds.
std::string TruncationMessage(std::size_t wantedOperations);
