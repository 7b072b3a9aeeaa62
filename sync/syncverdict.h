#pragma once

#include "sync/syncoperations.h"

#include <cstddef>
#include <cstdint>
#include <string>

// What a run's end means, decided once for the Sync Wizard's end message and
// for corvanel-cli's summary and exit status alike.

// What the comparison after a run found.
struct SyncAfterwards
{
    bool compared = false; // both folders could be compared again
    std::size_t pending = 0; // operations that comparison found
    std::size_t unreadable = 0; // folders and files it could not read
    std::size_t unordered = 0; // pairs of files nothing can order
    std::size_t unverified = 0; // pairs "OK" on their sizes alone, times differing
    // The comparison before the run read everything; a front end that does
    // not keep it judges by the comparison afterwards alone.
    bool readAllBefore = true;
};

enum class SyncEnd : std::uint8_t {
    Identical, // nothing was to be done, and nothing is
    Synchronized, // every operation carried out, the folders in step
    Failed, // operations failed, or the run was stopped
    NotComparedAgain, // a folder is gone by the end (a stick pulled out)
    StillPending, // every operation carried out, yet the folders differ
    MayStillDiffer, // what could not be read or ordered may hide differences
};

struct SyncVerdict
{
    SyncEnd end = SyncEnd::Failed;
    // 0 when the folders are in step, 2 when one is gone by the end, 1 otherwise.
    int exitStatus = 1;
    bool synchronized() const { return exitStatus == 0; }
};

SyncVerdict JudgeSync(const SyncReport &report, const SyncAfterwards &after);

// "No need to synchronize. LEFT & RIGHT are identical.", and how many pairs
// were taken as the same on their sizes alone.
std::string IdenticalText(const std::string &left, const std::string &right, std::size_t unverified);
// "LEFT & RIGHT have been synchronized.", likewise.
std::string SynchronizedText(const std::string &left, const std::string &right, std::size_t unverified);
// The wizard's words for an end where every operation was carried out but
// the folders are not known to be in step; empty for the other ends.
std::string NotInStepText(const SyncVerdict &verdict, const SyncAfterwards &after, const std::string &left,
                          const std::string &right);
