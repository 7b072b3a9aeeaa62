#include "sync/syncrecord.h"

#include "compare/folderscan.h" // WalkBefore
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <unordered_set>

namespace {

bool statOf(const std::string &root, std::string_view name, RememberedSide &side)
{
    struct stat st;
    const std::string path = platform::JoinPath(root, name);
    if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    side = {st.st_size, st.st_mtim.tv_sec, std::uint64_t(st.st_ino), std::uint32_t(st.st_mtim.tv_nsec)};
    return true;
}

// Where a volume keeps identities, the one of a file found in step that
// still is as found.
void fillInode(const platform::VolumeMark &volume, const std::string &root, std::string_view name, RememberedSide &side)
{
    RememberedSide now;
    if (side.inode == 0 && volume.lastingInodes && statOf(root, name, now) && now.size == side.size
        && now.modified == side.modified && now.nanos == side.nanos)
        side.inode = now.inode;
}

// Whether a copy's source still is the file the copy was made from: then
// both sides hold its bytes. One changed during the run may not be.
bool copiedAsCompared(const SyncJob &job, const RememberedSide &source)
{
    return source.size == job.size && source.modified == job.sourceModified && source.nanos == job.sourceNanos;
}

// The positions of a memory's files in walk order.
std::vector<std::size_t> ordered(const SyncMemory &memory)
{
    std::vector<std::size_t> order(memory.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&memory](std::size_t a, std::size_t b) { return WalkBefore(memory.name(a), memory.name(b)); });
    return order;
}

struct Forgotten
{
    std::unordered_set<std::string_view> names;
    std::vector<std::string_view> folders;

    bool has(std::string_view name) const
    {
        if (names.count(name))
            return true;
        for (const std::string_view folder : folders) {
            if (name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0
                && name[folder.size()] == platform::kSeparator)
                return true;
        }
        return false;
    }
};

} // namespace

std::string RecordSync(const ModeOutcome &mode, const SyncPlan &plan, const SyncReport &report)
{
    const std::shared_ptr<MemoryDraft> draft = mode.draft;
    if (!draft || !draft->keepable())
        return {};
    // What the run brought into step, as each side holds it now.
    SyncMemory fresh;
    Forgotten forgotten;
    for (std::size_t i = 0; i < plan.size() && i < report.outcomes.size(); ++i) {
        const SyncJob &job = plan.jobs[i];
        if (report.outcomes[i].result != SyncResult::Done)
            continue;
        if (job.kind == JobKind::Rename && job.folder)
            forgotten.folders.push_back(job.name);
        forgotten.names.insert(job.name);
        RememberedSide left, right;
        if (job.kind == JobKind::Copy && statOf(plan.roots.left, job.name, left)
            && statOf(plan.roots.right, job.name, right) && left.size == right.size)
            fresh.add(job.name, left, right, copiedAsCompared(job, job.fromLeft ? left : right));
    }
    SyncMemory memory;
    memory.leftVolume = draft->inStep.leftVolume;
    memory.rightVolume = draft->inStep.rightVolume;
    memory.reserve(draft->inStep.size() + draft->carried.size() + fresh.size(), 0);
    const SyncMemory *sources[] = {&draft->inStep, &fresh, &draft->carried};
    std::vector<std::size_t> orders[3] = {{}, ordered(fresh), ordered(draft->carried)};
    orders[0].resize(draft->inStep.size());
    std::iota(orders[0].begin(), orders[0].end(), std::size_t(0));
    std::size_t at[3] = {0, 0, 0};
    std::string_view last;
    while (true) {
        int pick = -1;
        for (int s = 0; s < 3; ++s) {
            if (at[s] < orders[s].size()
                && (pick < 0
                    || WalkBefore(sources[s]->name(orders[s][at[s]]), sources[pick]->name(orders[pick][at[pick]]))))
                pick = s;
        }
        if (pick < 0)
            break;
        const std::size_t i = orders[pick][at[pick]++];
        const std::string_view name = sources[pick]->name(i);
        // The run's own outcome over what was known before; each name once.
        if ((!last.empty() && name == last) || (pick == 2 && forgotten.has(name)))
            continue;
        RememberedSide left = sources[pick]->left(i), right = sources[pick]->right(i);
        if (pick == 0) {
            fillInode(memory.leftVolume, plan.roots.left, name, left);
            fillInode(memory.rightVolume, plan.roots.right, name, right);
        }
        memory.add(name, left, right, sources[pick]->sameContents(i));
        last = memory.name(memory.size() - 1);
    }
    std::string error;
    if (!WriteSyncMemory(draft->file, memory, &error, draft->leftRoot, draft->rightRoot))
        return "The record of this sync could not be kept (" + error
            + "); the next sync of these folders will delete and rename nothing.";
    return {};
}
