#include "sync/syncoperations.h"

#include "sync/spacecheck.h"

#include "compare/comparefolders.h"
#include "platform/fd.h"
#include "platform/filesystem.h"
#include "platform/paths.h"
#include "sync/copy/destinationtraits.h"
#include "sync/copy/filecopy.h"

#include <QString>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>
#include <unordered_map>

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

// A destination that ran full: the copies left for it would each fail the
// same way, one by one.
bool outOfSpace(int code)
{
    return code == ENOSPC || code == EDQUOT;
}
constexpr std::int64_t kBatchBytes = 64 << 20;
// A file this large goes in a batch of its own: it takes long enough to copy
// that a program killed meanwhile should leave little but its temporary.
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
    for (int k = 0; k < count; ++k) {
        for (SyncJob &job : JobsOf(operations[k].job))
            plan.jobs.push_back(std::move(job));
    }
    return plan;
}

namespace {

// A folder's name as a file system that folds case may take it: jobs whose
// destination folders fold together go to one lane.
std::string folderKey(const SyncJob &job)
{
    const std::size_t cut = job.name.rfind(platform::kSeparator);
    std::string key(job.fromLeft ? "L" : "R");
    if (cut == std::string::npos)
        return key;
    const std::string_view folder(job.name.data(), cut);
    if (std::all_of(folder.begin(), folder.end(), [](char c) { return (unsigned char)c < 0x80; })) {
        for (const char c : folder)
            key += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return key;
    }
    return key + QString::fromUtf8(folder.data(), qsizetype(folder.size())).toCaseFolded().toStdString();
}

// The jobs of each destination folder, in job order, folders in the order
// they first come. Names in one folder are judged against each other (on a
// file system that folds case, "A" and "a" are one), so a folder's jobs stay
// in one lane and keep their order.
std::vector<std::vector<std::size_t>> byFolder(const std::vector<SyncJob> &jobs)
{
    std::vector<std::vector<std::size_t>> groups;
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const auto [at, added] = index.try_emplace(folderKey(jobs[i]), groups.size());
        if (added)
            groups.emplace_back();
        groups[at->second].push_back(i);
    }
    return groups;
}

// One run of the jobs, carried out by one lane or several side by side.
class SyncRun
{
public:
    SyncRun(const SyncPlan &plan, const SyncProgressCallback &progress, const SyncOptions &options,
            std::vector<std::vector<std::size_t>> groups, std::size_t lanes, std::size_t mostFiles)
        : m_plan(plan), m_progress(progress), m_options(options), m_mostFiles(mostFiles),
          m_groups(std::move(groups)), m_active(lanes), m_holding(lanes),
          m_keepReplaced(options.keepReplaced)
    {
        m_outcomes.resize(plan.size());
        m_state.filesTotal = plan.size();
        for (const SyncJob &job : plan.jobs)
            m_state.bytesTotal += std::max<std::int64_t>(job.size, 0);
    }

    // Takes folders' jobs until none are left or the run is asked to stop.
    void lane(platform::FileCopier &copier);
    void endBatchesWithTheirFolders() { m_folderEndsBatch = true; }
    void tell(const std::function<void(SyncProgress &)> &change = {});
    SyncReport report(const platform::FileCopier &copier);

private:
    platform::CopyRequest request(const SyncJob &job) const;
    bool take(std::vector<std::size_t> &jobs);
    bool handBack(std::vector<std::size_t> rest);
    void othersLetGo();
    void letGo(platform::FileCopier &copier);
    bool stage(platform::FileCopier &copier, std::size_t job, platform::CopyError &error,
               const std::function<void()> &makeRoom);
    void noteFull(std::size_t job, const platform::CopyError &error);
    bool full(std::size_t job, std::string &reason);

    const SyncPlan &m_plan;
    const SyncProgressCallback &m_progress;
    const SyncOptions &m_options;
    const std::size_t m_mostFiles;
    bool m_folderEndsBatch = false; // each folder taken is committed on its own
    std::vector<SyncOutcome> m_outcomes; // each written by the lane of its job only
    std::mutex m_taking; // the folders' jobs not yet taken, and the lanes taking them
    std::vector<std::vector<std::size_t>> m_groups;
    std::size_t m_nextGroup = 0;
    std::vector<std::vector<std::size_t>> m_handedBack;
    std::size_t m_active;
    std::mutex m_releasing; // lanes still holding descriptors
    std::condition_variable m_released;
    std::size_t m_holding;
    std::atomic<bool> m_keepGoing{true};
    std::mutex m_telling; // the state and the callback, one lane at a time
    SyncProgress m_state;
    std::mutex m_large;  // held while a large file is copied
    std::mutex m_asking; // the question about replacing without a trash, asked once
    bool m_asked = false;
    std::atomic<bool> m_keepReplaced;
    // The file systems that ran full, with the reason their first failure gave.
    std::mutex m_fullness;
    std::map<dev_t, std::string> m_full;
    std::atomic<bool> m_anyFull{false};
};

void SyncRun::noteFull(std::size_t job, const platform::CopyError &error)
{
    dev_t device = 0;
    const SyncJob &j = m_plan.jobs[job];
    if (!outOfSpace(error.code) || !DestinationDevice(m_plan.roots.to(j), j.name, device))
        return;
    const std::lock_guard<std::mutex> lock(m_fullness);
    m_full.try_emplace(device, error.reason);
    m_anyFull = true;
}

bool SyncRun::full(std::size_t job, std::string &reason)
{
    dev_t device = 0;
    const SyncJob &j = m_plan.jobs[job];
    if (!m_anyFull || !DestinationDevice(m_plan.roots.to(j), j.name, device))
        return false;
    const std::lock_guard<std::mutex> lock(m_fullness);
    const auto found = m_full.find(device);
    if (found == m_full.end())
        return false;
    reason = found->second;
    return true;
}

void SyncRun::tell(const std::function<void(SyncProgress &)> &change)
{
    const std::lock_guard<std::mutex> lock(m_telling);
    if (change)
        change(m_state);
    if (m_progress && !m_progress(m_state))
        m_keepGoing = false;
}

platform::CopyRequest SyncRun::request(const SyncJob &job) const
{
    const SyncRoots &roots = m_plan.roots;
    platform::CopyRequest request;
    request.fromRoot = roots.from(job);
    request.from = job.name;
    request.fromRootId = job.fromLeft ? roots.leftId : roots.rightId;
    request.toRoot = roots.to(job);
    request.to = job.name;
    request.toRootId = job.fromLeft ? roots.rightId : roots.leftId;
    request.existing = job.replace ? platform::ExistingDestination::Replace : platform::ExistingDestination::Keep;
    if (job.replace)
        request.seen = platform::FileStatus{job.seenSize, job.seenModified, job.seenNanos};
    if (job.sourceModified != platform::kNoTime)
        request.sourceSeen = platform::FileStatus{job.size, job.sourceModified, job.sourceNanos};
    request.keepReplaced = job.replace && m_keepReplaced;
    return request;
}

bool SyncRun::stage(platform::FileCopier &copier, std::size_t job, platform::CopyError &error,
                    const std::function<void()> &makeRoom)
{
    platform::CopyRequest request = this->request(m_plan.jobs[job]);
    const auto onBytes = [this](std::int64_t bytes) { tell([bytes](SyncProgress &state) { state.bytesDone += bytes; }); };
    bool ok = copier.stage(request, &error, onBytes);
    if (!ok && outOfDescriptors(error) && copier.stagedCount() > 0) {
        makeRoom();
        ok = copier.stage(request, &error, onBytes);
    }
    if (ok || !error.trashUnusable || !m_options.replaceWithoutKeeping)
        return ok;
    // Other lanes wait for the answer rather than ask again.
    const std::lock_guard<std::mutex> lock(m_asking);
    if (!m_asked) {
        m_asked = true;
        if (m_options.replaceWithoutKeeping(error.reason))
            m_keepReplaced = false;
    }
    if (m_keepReplaced)
        return false;
    request.keepReplaced = false;
    return copier.stage(request, &error, onBytes);
}

// The next folder's jobs: those a lane handed back first. A lane that finds
// none is done.
bool SyncRun::take(std::vector<std::size_t> &jobs)
{
    const std::lock_guard<std::mutex> lock(m_taking);
    if (m_keepGoing && !m_handedBack.empty()) {
        jobs = std::move(m_handedBack.back());
        m_handedBack.pop_back();
        return true;
    }
    if (m_keepGoing && m_nextGroup < m_groups.size()) {
        jobs = std::move(m_groups[m_nextGroup++]);
        return true;
    }
    --m_active;
    return false;
}

// A lane that cannot open what a copy needs, with nothing of its own staged,
// leaves the rest of its folder to the others and ends, giving back what it
// holds open; the last lane goes on alone, as a single one would.
bool SyncRun::handBack(std::vector<std::size_t> rest)
{
    const std::lock_guard<std::mutex> lock(m_taking);
    if (m_active <= 1)
        return false;
    m_handedBack.push_back(std::move(rest));
    --m_active;
    return true;
}

// The last lane out of descriptors waits for the lanes that are finishing
// to give back theirs (some may have done so since it ran out).
void SyncRun::othersLetGo()
{
    std::unique_lock<std::mutex> lock(m_releasing);
    m_released.wait(lock, [this] { return m_holding <= 1; });
}

void SyncRun::letGo(platform::FileCopier &copier)
{
    copier.letGo();
    {
        const std::lock_guard<std::mutex> lock(m_releasing);
        --m_holding;
    }
    m_released.notify_all();
}

void SyncRun::lane(platform::FileCopier &copier)
{
    std::vector<std::size_t> staged; // job index of each staged copy
    std::vector<std::size_t> placed; // job index of each copy put in place
    const auto commit = [&] {
        std::size_t finished = 0;
        copier.commit([&](std::size_t i, const platform::CopyError *error) {
            SyncOutcome &outcome = m_outcomes[staged[i]];
            if (error) {
                outcome.result = SyncResult::Failed;
                outcome.reason = error->reason;
                noteFull(staged[i], *error);
            } else {
                outcome.result = SyncResult::Done;
                outcome.trashed = copier.trashedAt(i);
                placed.push_back(staged[i]);
            }
            ++finished;
        });
        staged.clear();
        tell([finished](SyncProgress &state) { state.filesDone += finished; });
    };

    std::vector<std::size_t> jobs;
    bool retired = false;
    while (!retired && take(jobs)) {
        for (std::size_t k = 0; k < jobs.size() && m_keepGoing; ++k) {
            const std::size_t next = jobs[k];
            if (std::string reason; full(next, reason)) {
                m_outcomes[next] = {SyncResult::Failed, std::move(reason), {}};
                tell([](SyncProgress &state) { ++state.filesDone; });
                continue;
            }
            const bool large = m_plan.jobs[next].size >= kLargeFile;
            if (large && copier.stagedCount() > 0)
                commit();
            // Large files one at a time: side by side they would only make
            // a disk seek between them.
            std::unique_lock<std::mutex> alone(m_large, std::defer_lock);
            if (large)
                alone.lock();
            {
                const std::lock_guard<std::mutex> lock(m_telling);
                m_state.currentFile = m_plan.from(next);
            }
            platform::CopyError error;
            bool staging = stage(copier, next, error, commit);
            if (!staging && outOfDescriptors(error) && copier.stagedCount() == 0) {
                if (handBack(std::vector<std::size_t>(jobs.begin() + std::ptrdiff_t(k), jobs.end()))) {
                    retired = true;
                    break;
                }
                othersLetGo();
                staging = stage(copier, next, error, commit);
            }
            if (staging) {
                staged.push_back(next);
                copier.placeStaged();
            } else {
                noteFull(next, error);
                m_outcomes[next] = {SyncResult::Failed, error.reason, {}};
                tell([](SyncProgress &state) { ++state.filesDone; });
            }
            if (large || copier.stagedCount() >= m_mostFiles || copier.stagedBytes() >= kBatchBytes)
                commit();
        }
        if (m_folderEndsBatch && !retired && copier.stagedCount() > 0)
            commit();
    }
    // Whatever was staged is complete: a stop request still lets it land.
    commit();
    // Nothing is said to be done before it would survive a power cut.
    copier.settle([&](std::size_t n, const platform::CopyError &error) {
        m_outcomes[placed[n]] = {SyncResult::Failed, error.reason, {}};
    });
    letGo(copier);
}

SyncReport SyncRun::report(const platform::FileCopier &copier)
{
    SyncReport report;
    report.outcomes = std::move(m_outcomes);
    for (const SyncOutcome &outcome : report.outcomes) {
        report.done += outcome.result == SyncResult::Done;
        report.failed += outcome.result == SyncResult::Failed;
        report.notDone += outcome.result == SyncResult::NotDone;
        report.trashed += !outcome.trashed.empty();
    }
    report.bytesCopied = m_state.bytesDone;
    report.stopped = report.notDone > 0;
    report.notes = copier.notes();
    m_state.currentFile.clear();
    if (m_progress)
        m_progress(m_state);
    return report;
}

// Whether a destination of the plan makes each copy durable on its own
// (FUSE, network shares) rather than with one flush of its file system.
bool flushedFileByFile(const SyncPlan &plan)
{
    bool toLeft = false, toRight = false;
    for (const SyncJob &job : plan.jobs)
        (job.fromLeft ? toRight : toLeft) = true;
    bool oneByOne = false;
    for (const auto &[used, root] : {std::pair(toLeft, &plan.roots.left), std::pair(toRight, &plan.roots.right)}) {
        const platform::Fd fd(used ? ::open(root->empty() ? "." : root->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
        oneByOne = oneByOne || (fd.valid() && !platform::FlushesAsAWhole(fd.get()));
    }
    return oneByOne;
}

// Copies in flight: a few where one flush reaches the whole file system (a
// local disk; the copies share its queue and the processor), more where each
// file waits for its own round trips, bounded so that a slow share is not
// flooded, and so that each lane keeps room for a batch under a low
// open-file limit.
constexpr std::size_t kLocalLanes = 4;
constexpr std::size_t kRemoteLanes = 16;
// Where each copy is flushed on its own, a large batch saves nothing and
// only holds back the files done (and the progress) until all of it is in.
constexpr std::size_t kFileByFileBatch = 32;

} // namespace

SyncReport RunCopyJobs(const SyncPlan &plan, const SyncProgressCallback &progress, const SyncOptions &options)
{
    std::vector<std::vector<std::size_t>> groups;
    const bool oneByOne = flushedFileByFile(plan);
    const std::size_t room = batchFiles(); // files all lanes' batches may hold
    std::size_t lanes = options.lanes > 0 ? options.lanes
                                          : std::min(oneByOne ? kRemoteLanes : kLocalLanes,
                                                     std::max<std::size_t>(room / 32, 1));
    if (lanes > 1)
        groups = byFolder(plan.jobs);
    lanes = std::min(lanes, groups.size());
    // One lane takes the jobs strictly in their order.
    if (lanes <= 1) {
        lanes = 1;
        groups.assign(1, std::vector<std::size_t>(plan.size()));
        std::iota(groups[0].begin(), groups[0].end(), std::size_t(0));
    }
    const std::size_t mostFiles = std::max<std::size_t>(room / lanes, 1);
    // Where each batch ends with a flush of the folders it renamed into, a
    // batch that ends with its folder flushes that folder once, not once for
    // each batch it is split across.
    SyncRun run(plan, progress, options, std::move(groups), lanes,
                oneByOne ? std::min(mostFiles, kFileByFileBatch) : mostFiles);
    if (oneByOne && lanes > 1)
        run.endBatchesWithTheirFolders();
    run.tell();

    platform::FileCopier copier;
    // What a killed run left anywhere in either tree, not only in the
    // folders this run copies into.
    copier.removeLeftovers(plan.roots.left, plan.roots.leftId, plan.roots.leftLeftovers);
    copier.removeLeftovers(plan.roots.right, plan.roots.rightId, plan.roots.rightLeftovers);
    if (lanes == 1) {
        run.lane(copier);
        return run.report(copier);
    }
    // Each lane's copier goes with its lane, and with it what it holds open.
    copier.letGo();
    const auto lane = [&run, &copier] {
        platform::FileCopier own;
        own.joinRun(copier);
        run.lane(own);
    };
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < lanes; ++i)
        others.emplace_back(lane);
    lane();
    for (std::thread &other : others)
        other.join();
    return run.report(copier);
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

    const auto shown = [&](const std::string &s) { return show ? show(s) : s; };
    std::vector<std::string> failures;
    for (std::size_t i = 0; i < report.outcomes.size() && failures.size() < named; ++i) {
        if (report.outcomes[i].result == SyncResult::Failed)
            failures.push_back(shown(plan.from(i)) + " -> " + shown(plan.to(i)) + ": "
                               + shown(report.outcomes[i].reason));
    }
    if (!failures.empty())
        text += "\n";
    AppendFirstAndMore(text, failures, report.failed);
    return text;
}

std::string TrashedText(const SyncReport &report)
{
    if (report.trashed == 0)
        return std::string();
    const std::size_t replaced = report.trashed - std::min(report.deleted, report.trashed);
    if (report.deleted == 0)
        return plural(replaced, "replaced file is", "replaced files are") + " now in the Trash.";
    if (replaced == 0)
        return plural(report.deleted, "deleted file is", "deleted files are") + " now in the Trash.";
    return std::to_string(replaced) + " replaced and " + plural(report.deleted, "deleted file are", "deleted files are")
        + " now in the Trash.";
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
