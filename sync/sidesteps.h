#pragma once

#include "sync/syncoperations.h"

#include <cstddef>
#include <functional>
#include <vector>

// The jobs of a run that copy nothing: renames and moves to the Trash on
// the destination side, as the memory of the last sync asks for. Each is
// done only while the file is still what the comparison saw, is reached
// from its root one folder at a time (never through a link), and never
// replaces anything: a deleted file goes to the Trash with its .trashinfo,
// where a file manager restores it; a rename never takes a name in use.
// Folders a rename or deletion left empty, which the other side does not
// have either, are removed.

// Carries out the jobs at these positions of the plan in order (renames
// first), writing their outcomes; step() is called after each and returns
// false to stop.
void RunSideSteps(const SyncPlan &plan, const std::vector<std::size_t> &jobs, std::vector<SyncOutcome> &outcomes,
                  bool flush, const std::function<bool()> &step);

// The copy jobs of a plan (every job a copy), in lanes; RunSyncJobs runs
// the side steps first, then these.
SyncReport RunCopyJobs(const SyncPlan &plan, const SyncProgressCallback &progress, const SyncOptions &options);
