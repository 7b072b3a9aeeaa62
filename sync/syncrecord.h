#pragma once

#include "compare/syncmode.h"
#include "sync/syncoperations.h"

#include <string>

// Keeps the memory of a pair's last sync once a run has ended, however it
// ended (done, stopped, failed): the files the comparison found in step,
// those the run brought into step (as each side now holds them), and for
// every other file what the memory knew of it before. A file the run moved
// to the Trash or renamed away is forgotten. Returns why it could not be
// kept, for people, or empty.
std::string RecordSync(const ModeOutcome &mode, const SyncPlan &plan, const SyncReport &report);
