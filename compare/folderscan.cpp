#include "compare/folderscan.h"

#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

void call(const std::function<void()> &hook)
{
    if (hook)
        hook();
}

unsigned char folded(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u + ('a' - 'A') : u;
}

// The path of a folder given relative to root with its trailing separator.
std::string folderPath(const std::string &root, std::string_view relative)
{
    if (!relative.empty() && relative.back() == platform::kSeparator)
        relative.remove_suffix(1);
    return relative.empty() ? root : platform::JoinPath(root, relative);
}

} // namespace

void ScanProblems::add(const std::string &fullPath, int error)
{
    ++count;
    if (first.size() < kNamed)
        first.push_back(fullPath + ": " + platform::ErrorText(error));
}

bool NameBefore(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = folded(a[i]), y = folded(b[i]);
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b; // as unsigned bytes
}

bool WalkBefore(std::string_view a, std::string_view b)
{
    // Paths next to each other in a list share most of their bytes: compared
    // eight at a time up to the first that differs.
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y)
            break;
    }
    while (i < n && a[i] == b[i])
        ++i;
    if (i == a.size() && i == b.size())
        return false;
    // In the first component that differs, a file (the last component) comes
    // before a folder, else the names decide.
    const std::size_t endA = a.find(platform::kSeparator, i), endB = b.find(platform::kSeparator, i);
    const bool fileA = endA == std::string_view::npos, fileB = endB == std::string_view::npos;
    if (fileA != fileB)
        return fileA;
    // The two components agree before i, so the rest of each decides.
    return NameBefore(a.substr(i, endA - i), b.substr(i, endB - i));
}

bool PathBefore(std::string_view a, std::string_view b)
{
    const auto differs = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    const std::size_t at = std::size_t(differs.first - a.begin());
    if (at == a.size() && at == b.size())
        return false;
    // The component holding the first difference, with the separator that
    // follows a folder's name.
    const std::size_t before = at == 0 ? std::string_view::npos : a.rfind(platform::kSeparator, at - 1);
    const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
    const auto component = [start](std::string_view path) {
        const std::size_t end = path.find(platform::kSeparator, start);
        return path.substr(start, end == std::string_view::npos ? std::string_view::npos : end + 1 - start);
    };
    const std::string_view x = component(a), y = component(b);
    const auto rank = [](char c) { return c == platform::kSeparator ? 0 : int(folded(c)); };
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int p = rank(x[i]), q = rank(y[i]);
        if (p != q)
            return p < q;
    }
    if (x.size() != y.size())
        return x.size() < y.size();
    return x < y; // as unsigned bytes
}

bool ListFiles(const platform::OpenFolder &folder, const std::string &relative, ResultRows &rows,
               std::vector<std::string> &subfolders, ScanFindings &findings, const std::string &root)
{
    const std::size_t firstRow = rows.size();
    const std::size_t firstSubfolder = subfolders.size();
    std::vector<std::string> temporaries, unreadable;
    std::vector<int> errors;
    platform::FolderReadNotes notes;
    notes.temporaries = &temporaries;
    notes.unreadable = [&](std::string_view name, int error) {
        unreadable.emplace_back(name);
        errors.push_back(error);
    };
    int error = 0;
    const bool listed = platform::ReadFolder(folder, [&](std::string_view name, const platform::FileStatus &status) {
        ResultRow fields;
        fields.size = status.size;
        fields.modified = status.modified;
        fields.modifiedNanos = status.nanoseconds;
        rows.add(relative, name, fields);
    }, subfolders, notes, &error);
    if (!listed) {
        // A folder read halfway contributes nothing, as one never read.
        rows.truncate(firstRow);
        subfolders.resize(firstSubfolder);
        findings.problems.add(folderPath(root, relative), error);
        return false;
    }

    const std::size_t skip = relative.size();
    std::sort(rows.begin() + std::ptrdiff_t(firstRow), rows.end(), [skip](const ResultRow &a, const ResultRow &b) {
        return NameBefore(a.name().substr(skip), b.name().substr(skip));
    });
    std::sort(subfolders.begin() + std::ptrdiff_t(firstSubfolder), subfolders.end(), NameBefore);
    std::sort(temporaries.begin(), temporaries.end(), NameBefore);
    for (const std::string &name : temporaries)
        findings.leftovers.push_back(relative + name);
    // In name order too, so that the first few named do not depend on the
    // order the file system happens to return.
    std::vector<std::size_t> order(unreadable.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return NameBefore(unreadable[a], unreadable[b]); });
    for (const std::size_t i : order)
        findings.problems.add(platform::JoinPath(root, relative + unreadable[i]), errors[i]);
    return true;
}

namespace {

// Rows and findings of a tree, or of a part of it, in walk order.
struct Segment
{
    ResultRows rows;
    ScanFindings findings;
};

// A subtree the other worker took over from a walk; its segment takes its
// place when the walk gets there.
struct Taken
{
    Segment segment;
    std::exception_ptr failure;
    bool done = false; // under the walk's mutex
};

struct Frame
{
    platform::OpenFolder folder;
    std::string relative;
    std::vector<std::string> subfolders;
    std::size_t next = 0;
    std::size_t end = 0; // subfolders from here on were taken
    std::vector<std::shared_ptr<Taken>> taken; // last subfolder first
};

// One tree's walk, open to the other worker once that one is done with its
// own tree: whichever tree is slower to walk gets both threads at the end.
// The walk's owner changes its stack, and either worker the frames' next,
// end and taken, only under the mutex.
struct SharedWalk
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Frame> *stack = nullptr; // while the owner walks
};

std::unique_lock<std::mutex> lockIf(SharedWalk *shared)
{
    return shared ? std::unique_lock<std::mutex>(shared->mutex) : std::unique_lock<std::mutex>();
}

void noteUnopened(ScanFindings &findings, const std::string &root, const std::string &relative, int error)
{
    // Gone since its parent was read, or swapped for a link that is not
    // followed: nothing there to compare. Anything else is a gap.
    if (error != ENOENT && error != ENOTDIR && error != ELOOP)
        findings.problems.add(folderPath(root, relative), error);
}

void appendSegment(Segment &to, Segment &&from)
{
    to.rows.append(std::move(from.rows));
    ScanFindings &findings = to.findings;
    findings.problems.count += from.findings.problems.count;
    for (std::string &text : from.findings.problems.first)
        if (findings.problems.first.size() < ScanProblems::kNamed)
            findings.problems.first.push_back(std::move(text));
    for (std::string &name : from.findings.leftovers)
        findings.leftovers.push_back(std::move(name));
}

// Walks folder, relative to root, and every folder below it into segment:
// each folder's files, then its subfolders depth first in NameBefore order,
// each opened relative to its parent without following links. perFolder
// runs before each folder below the first is listed and may throw to
// abandon the walk. With shared, the other worker may take over subtrees
// still to be walked; their rows are put in their places.
void walkFrom(platform::OpenFolder folder, std::string relative, const std::string &root, Segment &segment,
              const std::function<void()> &perFolder, SharedWalk *shared)
{
    // Only folders with subfolders still to visit stay open: a long chain of
    // single subfolders holds one descriptor, not one per level.
    std::vector<Frame> stack;
    struct Unshare
    {
        SharedWalk *shared;
        ~Unshare()
        {
            if (shared) {
                const std::lock_guard<std::mutex> lock(shared->mutex);
                shared->stack = nullptr;
            }
        }
    } unshare{shared};
    if (shared) {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->stack = &stack;
    }
    const auto visit = [&](platform::OpenFolder open, std::string path) {
        Frame frame{std::move(open), std::move(path), {}, 0, 0, {}};
        ListFiles(frame.folder, frame.relative, segment.rows, frame.subfolders, segment.findings, root);
        frame.end = frame.subfolders.size();
        if (!frame.subfolders.empty()) {
            const auto lock = lockIf(shared);
            stack.push_back(std::move(frame));
        }
    };
    visit(std::move(folder), std::move(relative));

    while (!stack.empty()) {
        std::unique_lock<std::mutex> lock = lockIf(shared);
        Frame &frame = stack.back();
        if (frame.next == frame.end) {
            // Its own subfolders are done; those taken come next, in order.
            std::vector<std::shared_ptr<Taken>> taken = std::move(frame.taken);
            stack.pop_back();
            for (auto it = taken.rbegin(); it != taken.rend(); ++it) {
                Taken &part = **it;
                shared->changed.wait(lock, [&] { return part.done; });
                if (part.failure)
                    std::rethrow_exception(part.failure);
                lock.unlock();
                appendSegment(segment, std::move(part.segment));
                lock.lock();
            }
            continue;
        }
        const std::string &name = frame.subfolders[frame.next++];
        const bool last = frame.next == frame.end;
        if (lock)
            lock.unlock();
        std::string path;
        path.reserve(frame.relative.size() + name.size() + 1);
        path = frame.relative;
        path += name;
        path += platform::kSeparator;
        call(perFolder);
        int error = 0;
        platform::OpenFolder child = frame.folder.child(name, &error);
        if (last) {
            // Nothing more can be taken from it: it stays only to hold what
            // was, and needs no descriptor for that.
            const auto relock = lockIf(shared);
            if (frame.taken.empty())
                stack.pop_back();
            else
                frame.folder.close();
        }
        if (!child.isOpen()) {
            noteUnopened(segment.findings, root, path, error);
            continue;
        }
        visit(std::move(child), std::move(path));
    }
}

// Takes over the subtree the walk would reach last among those of its
// shallowest folder with any still to walk; null when there is none.
std::shared_ptr<Taken> takeSubtree(SharedWalk &shared, platform::OpenFolder &folder, std::string &relative,
                                   int &error)
{
    const std::lock_guard<std::mutex> lock(shared.mutex);
    if (!shared.stack)
        return nullptr;
    for (Frame &frame : *shared.stack) {
        if (frame.next >= frame.end)
            continue;
        const std::string &name = frame.subfolders[--frame.end];
        relative = frame.relative + name + platform::kSeparator;
        auto taken = std::make_shared<Taken>();
        folder = frame.folder.child(name, &error);
        frame.taken.push_back(taken);
        return taken;
    }
    return nullptr;
}

// Walks subtrees of another worker's tree until it has none left to give.
void helpWalk(SharedWalk &shared, const std::string &root, const std::function<void()> &perFolder)
{
    for (;;) {
        platform::OpenFolder folder;
        std::string relative;
        int error = 0;
        const std::shared_ptr<Taken> taken = takeSubtree(shared, folder, relative, error);
        if (!taken)
            return;
        try {
            // As the walk's owner would: the hook, then the folder.
            call(perFolder);
            if (folder.isOpen())
                walkFrom(std::move(folder), std::move(relative), root, taken->segment, perFolder, nullptr);
            else
                noteUnopened(taken->segment.findings, root, relative, error);
        } catch (...) {
            taken->failure = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(shared.mutex);
            taken->done = true;
        }
        shared.changed.notify_all();
        if (taken->failure)
            return;
    }
}

// A whole tree from its root; perFolder runs before each folder is listed.
void scanTree(Segment &segment, const std::string &rootText, const std::function<void()> &perFolder,
              SharedWalk *shared = nullptr)
{
    const std::string root = platform::TrimTrailingSeparators(rootText);
    call(perFolder);
    int error = 0;
    platform::OpenFolder top = platform::OpenFolder::open(root, &error);
    if (!top.isOpen()) {
        segment.findings.problems.add(root, error);
        return;
    }
    segment.findings.rootId = top.identity();
    segment.findings.timeResolution = platform::TimeResolution(top);
    walkFrom(std::move(top), std::string(), root, segment, perFolder, shared);
}

// A whole tree's segment to the caller's rows and findings.
void deliver(Segment &&segment, ResultRows &rows, ScanFindings &findings)
{
    Segment whole{std::move(rows), std::move(findings)};
    appendSegment(whole, std::move(segment));
    whole.findings.rootId = segment.findings.rootId;
    whole.findings.timeResolution = segment.findings.timeResolution;
    rows = std::move(whole.rows);
    findings = std::move(whole.findings);
}

struct Abandoned
{
};

// One tree's scan on a worker. Shared with the worker, so that a caller that
// leaves early takes nothing from under it.
struct WorkerScan
{
    std::string root;
    Segment segment;
    SharedWalk walk;
    std::exception_ptr failure;
    bool done = false;   // the tree is walked
    bool exited = false; // the worker has helped with the other tree too
};

struct Workers
{
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<bool> abandoned{false};
    std::atomic<std::size_t> folders{0}; // folders begun on either side
    WorkerScan sides[2];
};

void runWorker(const std::shared_ptr<Workers> &shared, int side)
{
    WorkerScan &scan = shared->sides[side];
    const auto perFolder = [&shared] {
        if (shared->abandoned.load(std::memory_order_relaxed))
            throw Abandoned();
        shared->folders.fetch_add(1, std::memory_order_relaxed);
    };
    try {
        scanTree(scan.segment, scan.root, perFolder, &scan.walk);
    } catch (const Abandoned &) {
    } catch (...) {
        scan.failure = std::current_exception();
    }
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        scan.done = true;
    }
    shared->finished.notify_all();
    WorkerScan &other = shared->sides[1 - side];
    if (!scan.failure && !other.root.empty())
        helpWalk(other.walk, platform::TrimTrailingSeparators(other.root), perFolder);
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        scan.exited = true;
    }
    shared->finished.notify_all();
}

} // namespace

void FillResultList(ResultRows &rows, const std::string &rootText, const ScanHooks &hooks,
                    ScanFindings *findings)
{
    if (rootText.empty())
        return;
    if (hooks.showLoading)
        hooks.showLoading(true);
    Segment segment;
    scanTree(segment, rootText, [&hooks] {
        call(hooks.setWaitPointer);
        call(hooks.yield);
    });
    ScanFindings unused;
    deliver(std::move(segment), rows, findings ? *findings : unused);
    if (hooks.showLoading)
        hooks.showLoading(false);
}

void FillResultLists(ResultRows &leftRows, ScanFindings &leftFindings, const std::string &leftRoot,
                     ResultRows &rightRows, ScanFindings &rightFindings, const std::string &rightRoot,
                     const ScanHooks &hooks)
{
    auto shared = std::make_shared<Workers>();
    const std::string roots[2] = {leftRoot, rightRoot};
    ResultRows *rows[2] = {&leftRows, &rightRows};
    ScanFindings *findings[2] = {&leftFindings, &rightFindings};
    std::thread threads[2];
    bool onWorker[2] = {false, false};
    // Each worker reads the other's root once done with its own.
    for (int side = 0; side < 2; ++side)
        shared->sides[side].root = roots[side];
    for (int side = 0; side < 2; ++side) {
        if (roots[side].empty())
            continue;
        try {
            threads[side] = std::thread(runWorker, shared, side);
            onWorker[side] = true;
        } catch (const std::system_error &) {
            // No thread to be had: that side is scanned here, in its turn.
        }
    }

    const auto showLoading = [&](bool loading) {
        if (hooks.showLoading)
            hooks.showLoading(loading);
    };
    std::size_t yielded = 0;
    // Lets the window in once for every folder the workers have begun.
    const auto catchUp = [&] {
        const std::size_t begun = shared->folders.load(std::memory_order_relaxed);
        for (; yielded < begun; ++yielded) {
            call(hooks.setWaitPointer);
            call(hooks.yield);
        }
    };
    // Waits for ready, letting the window in as the workers go.
    const auto waitFor = [&](const std::function<bool()> &ready) {
        for (;;) {
            catchUp();
            std::unique_lock<std::mutex> lock(shared->mutex);
            if (shared->finished.wait_for(lock, std::chrono::milliseconds(5), ready))
                break;
        }
        catchUp();
    };
    try {
        for (int side = 0; side < 2; ++side) {
            if (roots[side].empty())
                continue;
            showLoading(true);
            if (onWorker[side]) {
                waitFor([&] { return shared->sides[side].done; });
                WorkerScan &scan = shared->sides[side];
                if (scan.failure)
                    std::rethrow_exception(scan.failure);
                deliver(std::move(scan.segment), *rows[side], *findings[side]);
            } else {
                Segment segment;
                scanTree(segment, roots[side], [&] {
                    catchUp();
                    call(hooks.setWaitPointer);
                    call(hooks.yield);
                });
                deliver(std::move(segment), *rows[side], *findings[side]);
            }
            showLoading(false);
        }
        // Both trees are walked; a worker may not have left yet.
        waitFor([&] {
            return (!onWorker[0] || shared->sides[0].exited) && (!onWorker[1] || shared->sides[1].exited);
        });
        for (std::thread &thread : threads)
            if (thread.joinable())
                thread.join();
    } catch (...) {
        // The window may be ending the program: never wait for a worker here.
        shared->abandoned = true;
        for (std::thread &thread : threads)
            if (thread.joinable())
                thread.detach();
        throw;
    }
}
