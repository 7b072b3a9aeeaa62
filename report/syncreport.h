#pragma once

#include "compare/comparefolders.h"
#include "sync/syncoperations.h"
#include "sync/syncverdict.h"

#include <chrono>
#include <cstdio>
#include <string>

// What corvanel-cli sync prints: every operation with its outcome, what was
// left, and the verdict's summary, as text or as one JSON object.

// A finished run and the comparison after it.
struct SyncRunReport
{
    std::string left, right; // the roots as compared
    const SyncPlan &done; // the operations carried out, in order
    const SyncReport &report; // their outcomes
    const SyncPlan &pending; // what the comparison afterwards found
    const Comparison &afterwards;
    SyncVerdict verdict;
    std::size_t unreadable = 0; // what the comparison afterwards could not read
    std::string unreadableText; // what could not be read, afterwards or else before
};

// One JSON object on out.
void WriteJsonSyncReport(std::FILE *out, const SyncRunReport &run);

// The text report: operations and the summary on out, failures and what
// could not be read on err. Names are escaped for a terminal.
void WriteTextSyncReport(std::FILE *out, std::FILE *err, const SyncRunReport &run);

// Progress on standard error, a few times a second, only on a terminal.
class SyncProgressLine
{
public:
    SyncProgressLine();
    void update(const SyncProgress &progress);
    void clear();

private:
    bool m_enabled;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_last;
};
