#include "sync/spacecheck.h"

#include "platform/paths.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <set>

namespace {

struct Destination
{
    std::string root;
    dev_t device = 0;
    std::int64_t unit = 0;
    std::int64_t available = 0;
    std::int64_t needed = 0;
    std::set<std::string> newFolders; // relative, each counted once
};

// Rounded up to whole allocation units; an empty file takes none.
std::int64_t units(std::int64_t bytes, std::int64_t unit)
{
    return bytes <= 0 ? 0 : (bytes + unit - 1) / unit * unit;
}

// False when the file system does not tell its size (some FUSE drivers
// report none at all): nothing can be said about it then.
bool describe(const std::string &root, Destination &d)
{
    struct stat st;
    struct statvfs fs;
    const char *path = root.empty() ? "." : root.c_str();
    if (::stat(path, &st) != 0 || ::statvfs(path, &fs) != 0 || fs.f_blocks == 0)
        return false;
    d.root = root;
    d.device = st.st_dev;
    d.unit = std::int64_t(fs.f_frsize ? fs.f_frsize : fs.f_bsize);
    d.available = std::int64_t(fs.f_bavail) * d.unit;
    return d.unit > 0;
}

// The folders above a new file that the destination does not have yet.
void noteNewFolders(const std::string &name, Destination &d)
{
    for (std::size_t cut = name.find(platform::kSeparator); cut != std::string::npos;
         cut = name.find(platform::kSeparator, cut + 1)) {
        const std::string folder = name.substr(0, cut);
        if (d.newFolders.count(folder) == 0 && !platform::IsFolder(platform::JoinPath(d.root, folder)))
            d.newFolders.insert(folder);
    }
}

} // namespace

std::vector<SpaceShortage> FindSpaceShortages(const SyncPlan &plan, bool keepReplaced)
{
    // [0] takes the copies to the left root, [1] those to the right one;
    // two roots on one file system share [0].
    Destination sides[2];
    bool used[2] = {false, false};
    for (const SyncJob &job : plan.jobs)
        used[job.fromLeft ? 1 : 0] = true;
    for (int side = 0; side < 2; ++side) {
        if (used[side] && !describe(side == 0 ? plan.roots.left : plan.roots.right, sides[side]))
            return {};
    }
    const bool shared = used[0] && used[1] && sides[0].device == sides[1].device;
    for (const SyncJob &job : plan.jobs) {
        Destination &d = sides[shared ? 0 : job.fromLeft ? 1 : 0];
        d.needed += units(job.size, d.unit);
        if (!job.replace)
            noteNewFolders(job.name, d);
        else if (keepReplaced)
            d.needed += d.unit; // the note beside the file in the Trash
        else
            d.needed -= units(job.seenSize, d.unit);
    }
    std::vector<SpaceShortage> shortages;
    for (int side = 0; side < (shared ? 1 : 2); ++side) {
        Destination &d = sides[side];
        d.needed += std::int64_t(d.newFolders.size()) * d.unit;
        if (used[side] && d.needed > d.available)
            shortages.push_back({d.root, d.needed, d.available});
    }
    return shortages;
}

std::string SpaceShortageText(const std::vector<SpaceShortage> &shortages,
                              const std::function<std::string(std::string_view)> &show)
{
    std::string text;
    for (const SpaceShortage &s : shortages) {
        if (!text.empty())
            text += '\n';
        text += "There is not enough free space on " + (show ? show(s.root) : s.root)
            + " for these file operations: they need about " + ByteCountText(s.needed) + ", and "
            + ByteCountText(s.available) + " is free.";
    }
    return text;
}
