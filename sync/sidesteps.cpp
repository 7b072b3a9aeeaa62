#include "sync/sidesteps.h"

#include "platform/filesystem.h"
#include "platform/paths.h"
#include "sync/copy/copyfailure.h"
#include "sync/copy/filecopy.h" // kChangedSinceComparison
#include "sync/copy/renamenoreplace.h"
#include "sync/copy/trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace {

std::string parentOf(const std::string &name)
{
    const std::size_t cut = name.rfind(platform::kSeparator);
    return cut == std::string::npos ? std::string() : name.substr(0, cut);
}

std::string baseOf(const std::string &name)
{
    const std::size_t cut = name.rfind(platform::kSeparator);
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

// The folder name below root, opened one folder at a time and never
// through a link; made where missing when create is set.
platform::OpenFolder openBelow(const std::string &root, const platform::FolderIdentity &rootId,
                               const std::string &folder, bool create, int &error)
{
    platform::OpenFolder at = platform::OpenFolder::open(root, &error);
    if (!at.isOpen())
        return at;
    if ((rootId.device != 0 || rootId.inode != 0) && !(at.identity() == rootId)) {
        error = ENOENT;
        return {};
    }
    std::size_t begin = 0;
    while (begin < folder.size()) {
        std::size_t end = folder.find(platform::kSeparator, begin);
        if (end == std::string::npos)
            end = folder.size();
        const std::string part = folder.substr(begin, end - begin);
        platform::OpenFolder next = at.child(part, &error);
        if (!next.isOpen() && create && error == ENOENT && ::mkdirat(at.handle(), part.c_str(), 0777) == 0)
            next = at.child(part, &error);
        if (!next.isOpen())
            return next;
        at = std::move(next);
        begin = end + 1;
    }
    return at;
}

// Whether the entry is still the file the comparison saw.
bool stillSeen(int folder, const std::string &base, const SyncJob &job, bool isFolder)
{
    struct stat st;
    if (::fstatat(folder, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (isFolder)
        return S_ISDIR(st.st_mode);
    return !S_ISDIR(st.st_mode) && st.st_size == job.seenSize && st.st_mtim.tv_sec == job.seenModified
        && std::uint32_t(st.st_mtim.tv_nsec) == job.seenNanos;
}

// A share may make a rename and lose its reply: it happened when the old
// name is gone and the new one holds what the comparison saw.
bool madeAfterAll(int from, const std::string &oldName, int to, const std::string &newName, const SyncJob &job,
                  bool isFolder)
{
    struct stat st;
    return ::fstatat(from, oldName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT
        && stillSeen(to, newName, job, isFolder);
}

class SideSteps
{
public:
    SideSteps(const SyncPlan &plan, bool flush) : m_plan(plan), m_flush(flush) {}

    SyncOutcome trash(const SyncJob &job);
    SyncOutcome rename(const SyncJob &job);
    // Removes the folders the steps emptied, deepest first.
    void tidy();

private:
    const std::string &root(const SyncJob &job) const { return m_plan.roots.to(job); }
    const platform::FolderIdentity &rootId(const SyncJob &job) const
    {
        return job.fromLeft ? m_plan.roots.rightId : m_plan.roots.leftId;
    }
    void emptied(const SyncJob &job, const std::string &name);

    const SyncPlan &m_plan;
    bool m_flush;
    platform::Trashes m_trashes;
    // Folders that may now be empty: (job's side is left, relative name).
    std::set<std::pair<bool, std::string>> m_emptied;
};

SyncOutcome failed(std::string reason)
{
    return {SyncResult::Failed, std::move(reason), {}};
}

SyncOutcome SideSteps::trash(const SyncJob &job)
{
    int error = 0;
    const platform::OpenFolder folder = openBelow(root(job), rootId(job), parentOf(job.name), false, error);
    const std::string base = baseOf(job.name);
    if (!folder.isOpen())
        return failed("cannot open its folder: " + platform::ErrorText(error));
    if (!stillSeen(folder.handle(), base, job, false))
        return failed(platform::kChangedSinceComparison);
    struct stat st;
    const std::string path = platform::JoinPath(root(job), job.name);
    platform::CopyError problem;
    const platform::TrashFolder *trash = ::fstat(folder.handle(), &st) == 0
        ? m_trashes.forFolder(platform::JoinPath(root(job), parentOf(job.name)), st.st_dev, &problem)
        : nullptr;
    if (!trash)
        return failed(problem.reason.empty() ? "no trash can take it" : problem.reason);
    std::string name;
    if (!platform::WriteTrashInfo(*trash, path, m_flush, &name, &problem))
        return failed(problem.reason);
    if (::renameat(folder.handle(), base.c_str(), trash->files.get(), name.c_str()) != 0) {
        const int code = errno;
        if (!madeAfterAll(folder.handle(), base, trash->files.get(), name, job, false)) {
            platform::RemoveTrashEntry(*trash, name, false);
            return failed("cannot move it to the Trash: " + platform::ErrorText(code));
        }
    }
    if (m_flush) {
        ::fsync(trash->files.get());
        ::fsync(folder.handle());
    }
    emptied(job, job.name);
    return {SyncResult::Done, {}, trash->path + "/files/" + name};
}

SyncOutcome SideSteps::rename(const SyncJob &job)
{
    int error = 0;
    const platform::OpenFolder from = openBelow(root(job), rootId(job), parentOf(job.name), false, error);
    if (!from.isOpen())
        return failed("cannot open its folder: " + platform::ErrorText(error));
    const std::string base = baseOf(job.name);
    if (!stillSeen(from.handle(), base, job, job.folder))
        return failed(platform::kChangedSinceComparison);
    const platform::OpenFolder to = openBelow(root(job), rootId(job), parentOf(job.newName), true, error);
    if (!to.isOpen())
        return failed("cannot open the folder of its new name: " + platform::ErrorText(error));
    const std::string newBase = baseOf(job.newName);
    if (platform::RenameNoReplace(from.handle(), base.c_str(), to.handle(), newBase.c_str()) != 0) {
        const int code = errno;
        if (!madeAfterAll(from.handle(), base, to.handle(), newBase, job, job.folder))
            return failed(code == EEXIST ? "its new name is taken; nothing was renamed"
                                         : "cannot rename it: " + platform::ErrorText(code));
    }
    if (m_flush) {
        ::fsync(to.handle());
        ::fsync(from.handle());
    }
    emptied(job, job.name);
    return {SyncResult::Done, {}, {}};
}

void SideSteps::emptied(const SyncJob &job, const std::string &name)
{
    for (std::string folder = parentOf(name); !folder.empty(); folder = parentOf(folder))
        m_emptied.emplace(!job.fromLeft, folder);
}

void SideSteps::tidy()
{
    std::vector<std::pair<bool, std::string>> folders(m_emptied.begin(), m_emptied.end());
    std::sort(folders.begin(), folders.end(),
              [](const auto &a, const auto &b) { return a.second.size() > b.second.size(); });
    for (const auto &[onLeft, folder] : folders) {
        const std::string &here = onLeft ? m_plan.roots.left : m_plan.roots.right;
        const std::string &there = onLeft ? m_plan.roots.right : m_plan.roots.left;
        // A folder the other side still has stays, empty or not.
        if (platform::IsFolder(platform::JoinPath(there, folder)))
            continue;
        int error = 0;
        const platform::OpenFolder parent = openBelow(here, onLeft ? m_plan.roots.leftId : m_plan.roots.rightId,
                                                      parentOf(folder), false, error);
        if (parent.isOpen())
            ::unlinkat(parent.handle(), baseOf(folder).c_str(), AT_REMOVEDIR); // only an empty one goes
    }
}

} // namespace

void RunSideSteps(const SyncPlan &plan, const std::vector<std::size_t> &jobs, std::vector<SyncOutcome> &outcomes,
                  bool flush, const std::function<bool()> &step)
{
    SideSteps steps(plan, flush);
    std::vector<std::size_t> order = jobs;
    std::stable_partition(order.begin(), order.end(),
                          [&plan](std::size_t i) { return plan.jobs[i].kind == JobKind::Rename; });
    for (const std::size_t i : order) {
        const SyncJob &job = plan.jobs[i];
        outcomes[i] = job.kind == JobKind::Rename ? steps.rename(job) : steps.trash(job);
        if (step && !step())
            break;
    }
    steps.tidy();
}
