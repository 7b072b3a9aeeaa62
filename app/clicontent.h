#pragma once

#include "compare/comparefolders.h"
#include "compare/contentcompare.h"
#include "sync/syncoperations.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The command line's reading of contents and its stated time shift.

// "--time-shift HOURS" or "--time-shift=HOURS", taken out of args before
// the rest are parsed; false with a usage error for a missing or bad number.
bool takeTimeShift(std::vector<std::string> &args, std::optional<int> &hours, std::string &error);

// Pairs found the same, by name, with the sizes and times they had: a later
// comparison need not read them again while those hold.
using SamePairs = std::unordered_map<std::string, std::array<std::int64_t, 5>>;

// Reads the contents of the pairs --content asks for, the plan kept in step
// with the operations, progress on a terminal; says on standard error what
// could not be read. False when goOn stopped it.
bool compareContents(Comparison &comparison, SyncPlan &plan, const std::function<bool()> &goOn, const SamePairs *same,
                     ContentFindings &findings);

// Reads the pairs --content asks for before a sync; false, having said so,
// when goOn stopped it: nothing is copied then.
bool contentsBeforeSync(Comparison &comparison, SyncPlan &plan, SamePairs &same, const std::function<bool()> &goOn);

// The same after the sync: pairs read before and unchanged since are not read again.
void contentsAfterSync(Comparison &afterwards, SyncPlan &pending, const SamePairs &same);
