#include "compare/syncoperations.h"

#include "platform/filecopy.h"
#include "platform/filesystem.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// A batch is flushed to disk once; larger batches save flushes (each costs
// a journal commit, some milliseconds), smaller ones keep fewer temporaries
// around. Every staged copy holds a descriptor, and at worst its folder's
// too, so a batch takes at most half of the descriptors left once the
// copier's own are set aside (roots, the folders in use, the source, a
// listing): about 500 under the usual limit of 1,024, up to 4,096, and down
// to one file at a time under a very low limit.
constexpr std::size_t kCopierFiles = 16;
std::size_t batchFiles()
{
    const std::size_t limit = platform::RaiseOpenFileLimit();
    const std::size_t used = platform::OpenFileCount() + kCopierFiles;
    return std::clamp<std::size_t>(limit > used ? (limit - used) / 2 : 0, 1, 4096);
}

// Out of descriptors: what is staged holds them, so it is committed and the
// copy tried again.
bool outOfDescriptors(const platform::CopyError &error)
{
    return error.code == EMFILE || error.code == ENFILE;
}
constexpr std::int64_t kBatchBytes = 64 << 20;
// A file this large goes in a batch of its own: it takes long enough to copy
// that a program killed meanwhile should leave only its temporary behind.
constexpr std::int64_t kLargeFile = 8 << 20;

std::string plural(std::size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string SyncPlan::from(std::size_t i) const
{
    return platform::JoinPath(roots.from(jobs[i]), jobs[i].name);
}

std::string SyncPlan::to(std::size_t i) const
{
    return platform::JoinPath(roots.to(jobs[i]), jobs[i].name);
}

SyncPlan SyncJobs(const PendingOperationList &operations)
{
    SyncPlan plan;
    plan.roots = operations.roots;
    const int count = operations.count();
    plan.jobs.reserve(count);
    for (int k = 0; k < count; ++k)
        plan.jobs.push_back(operations[k].job);
    return plan;
}

SyncReport RunSyncJobs(const SyncPlan &plan, const SyncProgressCallback &progress, const SyncOptions &options)
{
    const std::vector<SyncJob> &jobs = plan.jobs;
    SyncReport report;
    report.outcomes.resize(jobs.size());

    SyncProgress state;
    state.filesTotal = jobs.size();
    for (const SyncJob &job : jobs)
        state.bytesTotal += std::max<std::int64_t>(job.size, 0);
    bool keepGoing = true;
    const auto report_ = [&] {
        if (progress && !progress(state))
            keepGoing = false;
    };
    report_();

    platform::FileCopier copier;
    // What a killed run left anywhere in either tree, not only in the
    // folders this run copies into.
    copier.removeLeftovers(plan.roots.left, plan.roots.leftId, plan.roots.leftLeftovers);
    copier.removeLeftovers(plan.roots.right, plan.roots.rightId, plan.roots.rightLeftovers);
    std::vector<std::size_t> staged; // job index of each staged copy
    std::vector<std::size_t> placed; // job index of each copy put in place
    const auto commit = [&] {
        copier.commit([&](std::size_t i, const platform::CopyError *error) {
            SyncOutcome &outcome = report.outcomes[staged[i]];
            if (error) {
                outcome.result = SyncResult::Failed;
                outcome.reason = error->reason;
                ++report.failed;
            } else {
                outcome.result = SyncResult::Done;
                outcome.trashed = copier.trashedAt(i);
                report.trashed += !outcome.trashed.empty();
                ++report.done;
                placed.push_back(staged[i]);
            }
            ++state.filesDone;
        });
        staged.clear();
        report_();
    };

    bool keepReplaced = options.keepReplaced;
    bool asked = false;
    const std::size_t mostFiles = batchFiles();
    std::size_t next = 0;
    for (; next < jobs.size() && keepGoing; ++next) {
        const SyncJob &job = jobs[next];
        const bool large = job.size >= kLargeFile;
        if (large && copier.stagedCount() > 0)
            commit();
        state.currentFile = plan.from(next);
        platform::CopyRequest request;
        request.fromRoot = plan.roots.from(job);
        request.from = job.name;
        request.fromRootId = job.fromLeft ? plan.roots.leftId : plan.roots.rightId;
        request.toRoot = plan.roots.to(job);
        request.to = job.name;
        request.toRootId = job.fromLeft ? plan.roots.rightId : plan.roots.leftId;
        request.existing = job.replace ? platform::ExistingDestination::Replace : platform::ExistingDestination::Keep;
        if (job.replace)
            request.seen = platform::FileStatus{job.seenSize, job.seenModified, job.seenNanos};
        request.keepReplaced = job.replace && keepReplaced;
        platform::CopyError error;
        const auto onBytes = [&](std::int64_t bytes) {
            state.bytesDone += bytes;
            report.bytesCopied += bytes;
            report_();
        };
        bool ok = copier.stage(request, &error, onBytes);
        if (!ok && outOfDescriptors(error) && copier.stagedCount() > 0) {
            commit();
            ok = copier.stage(request, &error, onBytes);
        }
        if (!ok && error.trashUnusable && !asked && options.replaceWithoutKeeping) {
            asked = true;
            if (options.replaceWithoutKeeping(error.reason)) {
                keepReplaced = request.keepReplaced = false;
                ok = copier.stage(request, &error, onBytes);
            }
        }
        if (ok) {
            staged.push_back(next);
        } else {
            report.outcomes[next].result = SyncResult::Failed;
            report.outcomes[next].reason = error.reason;
            ++report.failed;
            ++state.filesDone;
            report_();
        }
        if (large || copier.stagedCount() >= mostFiles || copier.stagedBytes() >= kBatchBytes)
            commit();
    }
    // Whatever was staged is complete: a stop request still lets it land.
    commit();
    // Nothing is said to be done before it would survive a power cut.
    copier.settle([&](std::size_t n, const platform::CopyError &error) {
        SyncOutcome &outcome = report.outcomes[placed[n]];
        outcome.result = SyncResult::Failed;
        outcome.reason = error.reason;
        --report.done;
        ++report.failed;
    });
    report.notes = copier.notes();
    report.notDone = jobs.size() - next;
    report.stopped = report.notDone > 0;
    state.currentFile.clear();
    if (progress)
        progress(state);
    return report;
}

std::string SyncFailureText(const SyncPlan &plan, const SyncReport &report, std::size_t named,
                            const std::function<std::string(std::string_view)> &show)
{
    const std::size_t total = report.outcomes.size();
    std::string text;
    if (report.failed > 0)
        text = std::to_string(report.failed) + " of " + plural(total, "file operation", "file operations")
            + " failed.";
    if (report.notDone > 0) {
        if (!text.empty())
            text += ' ';
        text += "The synchronization was stopped: " + std::to_string(report.notDone) + " of "
            + plural(total, "file operation was", "file operations were") + " not carried out.";
    }
    if (text.empty())
        return text;
    text += ' ' + std::to_string(report.done) + (report.done == 1 ? " was" : " were") + " carried out.";

    std::size_t shown = 0;
    for (std::size_t i = 0; i < report.outcomes.size() && shown < named; ++i) {
        if (report.outcomes[i].result != SyncResult::Failed)
            continue;
        if (shown == 0)
            text += "\n";
        const std::string from = plan.from(i), to = plan.to(i);
        const std::string &reason = report.outcomes[i].reason;
        text += "\n" + (show ? show(from) : from) + " -> " + (show ? show(to) : to) + ": "
            + (show ? show(reason) : reason);
        ++shown;
    }
    if (report.failed > shown)
        text += "\n... and " + std::to_string(report.failed - shown) + " more.";
    return text;
}

std::string TrashedText(const SyncReport &report)
{
    if (report.trashed == 0)
        return std::string();
    return plural(report.trashed, "replaced file is", "replaced files are") + " now in the Trash.";
}

std::string ByteCountText(std::int64_t bytes)
{
    static const char *const kUnits[] = {"KB", "MB", "GB", "TB"};
    if (bytes < 1024)
        return plural(std::size_t(bytes < 0 ? 0 : bytes), "byte", "bytes");
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return buffer;
}
