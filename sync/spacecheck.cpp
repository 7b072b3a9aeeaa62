#include "sync/spacecheck.h"

#include "platform/paths.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <map>
#include <set>

namespace {

// One file system the run copies to.
struct Destination
{
    std::string root; // the first destination folder seen on it
    bool known = false; // whether it tells its size
    std::int64_t unit = 0;
    std::int64_t available = 0;
    std::int64_t needed = 0;
};

// Rounded up to whole allocation units; an empty file takes none.
std::int64_t units(std::int64_t bytes, std::int64_t unit)
{
    return bytes <= 0 ? 0 : (bytes + unit - 1) / unit * unit;
}

// Some FUSE drivers report no size at all: nothing can be said then.
Destination describe(const std::string &folder)
{
    Destination d;
    d.root = folder;
    struct statvfs fs;
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &fs) != 0 || fs.f_blocks == 0)
        return d;
    d.unit = std::int64_t(fs.f_frsize ? fs.f_frsize : fs.f_bsize);
    d.available = std::int64_t(fs.f_bavail) * d.unit;
    d.known = d.unit > 0;
    return d;
}

std::string parentOf(const std::string &name)
{
    const std::size_t cut = name.rfind(platform::kSeparator);
    return cut == std::string::npos ? std::string() : name.substr(0, cut);
}

// Where the copies into one destination folder land.
struct Landing
{
    bool found = false;
    dev_t device = 0;
    std::string existing; // the nearest folder that exists
    int missing = 0; // folders the copy creates below it
};

} // namespace

bool DestinationDevice(const std::string &root, const std::string &name, dev_t &device, std::string *existing,
                       int *missing)
{
    // The nearest folder that exists: a folder a copy creates lands on the
    // file system of the folder it is created in.
    std::string folder = parentOf(name);
    for (int depth = 0;; ++depth) {
        struct stat st;
        const std::string path = folder.empty() ? root : platform::JoinPath(root, folder);
        if (::stat(path.empty() ? "." : path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            device = st.st_dev;
            if (existing)
                *existing = path;
            if (missing)
                *missing = depth;
            return true;
        }
        if (folder.empty())
            return false;
        folder = parentOf(folder);
    }
}

std::vector<SpaceShortage> FindSpaceShortages(const SyncPlan &plan, bool keepReplaced)
{
    std::map<dev_t, Destination> systems;
    std::vector<dev_t> order;
    std::set<std::pair<std::string, std::string>> folders; // (root, folder) counted once
    // Asked once per destination folder, not once per file: a folder's jobs
    // all land in the same place.
    std::map<std::pair<bool, std::string>, Landing> landings;
    for (const SyncJob &job : plan.jobs) {
        const std::string &root = plan.roots.to(job);
        auto [known, first] = landings.try_emplace({job.fromLeft, parentOf(job.name)});
        Landing &landing = known->second;
        if (first)
            landing.found = DestinationDevice(root, job.name, landing.device, &landing.existing, &landing.missing);
        if (!landing.found)
            continue;
        const dev_t device = landing.device;
        const std::string &existing = landing.existing;
        int missing = landing.missing;
        dev_t rootDevice = 0;
        auto [at, added] = systems.try_emplace(device);
        if (added) {
            // Named by its root, unless it is mounted below it.
            const bool onRoot = DestinationDevice(root, std::string(), rootDevice) && rootDevice == device;
            at->second = describe(existing);
            at->second.root = onRoot ? root : existing;
            order.push_back(device);
        }
        Destination &d = at->second;
        if (!d.known)
            continue;
        d.needed += units(job.size, d.unit);
        if (job.replace)
            d.needed += keepReplaced ? d.unit : -units(job.seenSize, d.unit); // the note in the Trash, or the old file
        // Each folder the copy creates, once.
        for (std::string folder = parentOf(job.name); missing > 0; --missing, folder = parentOf(folder))
            d.needed += folders.emplace(root, folder).second ? d.unit : 0;
    }
    std::vector<SpaceShortage> shortages;
    for (const dev_t device : order) {
        const Destination &d = systems[device];
        if (d.known && d.needed > d.available)
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
