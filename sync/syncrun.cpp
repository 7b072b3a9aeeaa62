#include "sync/syncoperations.h"

#include "sync/sidesteps.h"

#include <algorithm>

namespace {

void count(SyncReport &report, const SyncPlan &plan)
{
    report.done = report.failed = report.notDone = report.leftAlone = report.trashed = report.deleted = 0;
    for (std::size_t i = 0; i < report.outcomes.size(); ++i) {
        const SyncOutcome &outcome = report.outcomes[i];
        report.done += outcome.result == SyncResult::Done;
        report.failed += outcome.result == SyncResult::Failed;
        report.notDone += outcome.result == SyncResult::NotDone;
        report.leftAlone += outcome.result == SyncResult::LeftAlone;
        report.trashed += !outcome.trashed.empty();
        report.deleted += !outcome.trashed.empty() && plan.jobs[i].kind == JobKind::Trash;
    }
}

} // namespace

SyncReport RunSyncJobs(const SyncPlan &plan, const SyncProgressCallback &progress, const SyncOptions &options)
{
    std::vector<std::size_t> steps, copies;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const JobKind kind = plan.jobs[i].kind;
        if (kind == JobKind::Trash || kind == JobKind::Rename)
            steps.push_back(i);
        else if (kind == JobKind::Copy)
            copies.push_back(i);
    }
    if (copies.size() == plan.size())
        return RunCopyJobs(plan, progress, options);

    SyncReport report;
    report.outcomes.resize(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        if (plan.jobs[i].kind == JobKind::Conflict)
            report.outcomes[i].result = SyncResult::LeftAlone;
    }
    // Renames and deletions first: a copy may go into a folder a rename
    // moves, and a deletion makes room.
    SyncProgress state;
    state.filesTotal = steps.size() + copies.size();
    for (const std::size_t i : copies)
        state.bytesTotal += std::max<std::int64_t>(plan.jobs[i].size, 0);
    bool going = !progress || progress(state);
    if (going)
        RunSideSteps(plan, steps, report.outcomes, true, [&] {
            ++state.filesDone;
            return going = !progress || progress(state);
        });
    SyncPlan rest{plan.roots, {}};
    for (const std::size_t i : copies)
        rest.jobs.push_back(plan.jobs[i]);
    const std::size_t before = state.filesDone;
    const SyncReport copied = going ? RunCopyJobs(
                                  rest,
                                  [&](const SyncProgress &now) {
                                      SyncProgress shown = now;
                                      shown.filesDone += before;
                                      shown.filesTotal = state.filesTotal;
                                      return !progress || progress(shown);
                                  },
                                  options)
                                    : SyncReport();
    for (std::size_t k = 0; k < copied.outcomes.size(); ++k)
        report.outcomes[copies[k]] = copied.outcomes[k];
    report.bytesCopied = copied.bytesCopied;
    report.notes = copied.notes;
    count(report, plan);
    report.stopped = report.notDone > 0;
    return report;
}
