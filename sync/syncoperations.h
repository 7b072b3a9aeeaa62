#pragma once

#include "compare/global.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Carrying out the pending operations, shared by the wizard's OK and the
// command-line sync. Widget-free and thread-agnostic: the wizard runs it on a
// worker thread, the command-line tool on its main thread, and a run keeps
// several copies in flight on threads of its own, one destination folder's
// copies in one of them, in their order.
//
// Nothing is ever deleted first: every destination is replaced in one rename
// by a complete copy (sync/copy/filecopy.h), so a failed copy leaves the old
// file as it was. A "copied to" operation never replaces anything: if its
// destination exists when the copy runs, that operation fails.

// The jobs of one run and the roots they are relative to.
struct SyncPlan
{
    SyncRoots roots;
    std::vector<SyncJob> jobs;

    std::size_t size() const { return jobs.size(); }
    // Full paths, for people: a job itself is reached from its roots.
    std::string from(std::size_t i) const;
    std::string to(std::size_t i) const;
};

// The operations in use, in slot order.
SyncPlan SyncJobs(const PendingOperationList &operations);

// LeftAlone: a conflict, which no run decides for a person.
enum class SyncResult : std::uint8_t { NotDone, Done, Failed, LeftAlone };

struct SyncOutcome
{
    SyncResult result = SyncResult::NotDone;
    std::string reason; // plain words, for failed operations
    std::string trashed; // where the file it replaced went in the Trash, if it went
};

struct SyncProgress
{
    std::size_t filesDone = 0; // finished, failed ones included
    std::size_t filesTotal = 0;
    std::int64_t bytesDone = 0;
    std::int64_t bytesTotal = 0; // sizes of the sources when the run started
    std::string currentFile;     // the source being copied
};

struct SyncReport
{
    std::vector<SyncOutcome> outcomes; // one per job, in job order
    std::size_t done = 0;
    std::size_t failed = 0;
    std::size_t notDone = 0; // left out because the run was stopped
    std::size_t leftAlone = 0; // conflicts, left as they are
    std::int64_t bytesCopied = 0;
    std::size_t trashed = 0; // replaced or deleted files kept in the Trash
    std::size_t deleted = 0; // of those, deleted by the way of syncing
    bool stopped = false;
    std::vector<std::string> notes; // temporaries left behind, leftovers not proved the program's own
    bool allDone() const { return failed == 0 && notDone == 0; }
};

// Called after every few megabytes and after every file; returning false asks
// the run to stop after the file being copied. The jobs not started then
// count as not done.
using SyncProgressCallback = std::function<bool(const SyncProgress &)>;

struct SyncOptions
{
    // Every file a job replaces goes to the desktop's Trash, where the file
    // manager can restore it; false replaces files for good.
    bool keepReplaced = true;
    // Asked once a run, before the first replacement that no trash can take
    // (the reason says why): true replaces those files without keeping the
    // old ones, false (or no question) fails them.
    std::function<bool(const std::string &reason)> replaceWithoutKeeping;
    // How many copies may be in flight, each destination folder's in one
    // lane, in order; 1 carries out every job in order, 0 chooses by the
    // destinations (a few on a local disk, more on a share). Calls of the
    // callbacks never overlap, but may come from any lane's thread.
    std::size_t lanes = 0;
};

// Carries out every job (in order, with one lane). A job that fails does not
// stop the others.
SyncReport RunSyncJobs(const SyncPlan &plan, const SyncProgressCallback &progress = {},
                       const SyncOptions &options = {});

// What went wrong, for a person: how many operations failed or were not
// carried out, and the first few failures with their reasons. Paths are the
// native bytes; the wizard decodes the whole text for display.
// show presents each path and reason (the command line escapes control characters).
std::string SyncFailureText(const SyncPlan &plan, const SyncReport &report, std::size_t named = 5,
                            const std::function<std::string(std::string_view)> &show = {});

// "3 replaced files are now in the Trash.", or empty when none went there.
std::string TrashedText(const SyncReport &report);

// "12.3 MB", "512 bytes": sizes for progress texts.
std::string ByteCountText(std::int64_t bytes);
