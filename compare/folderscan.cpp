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
    // The two components agree before i, so what follows decides as
    // NameBefore would.
    const std::string_view restA = a.substr(i, endA - i), restB = b.substr(i, endB - i);
    const std::size_t m = std::min(restA.size(), restB.size());
    for (std::size_t k = 0; k < m; ++k) {
        const unsigned char x = folded(restA[k]), y = folded(restB[k]);
        if (x != y)
            return x < y;
    }
    if (restA.size() != restB.size())
        return restA.size() < restB.size();
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
}

bool ListFiles(const platform::OpenFolder &folder, const std::string &relative, std::vector<ResultRow> &rows,
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
        ResultRow row;
        row.name.reserve(relative.size() + name.size());
        row.name = relative;
        row.name += name;
        row.size = status.size;
        row.modified = status.modified;
        row.modifiedNanos = status.nanoseconds;
        rows.push_back(std::move(row));
    }, subfolders, notes, &error);
    if (!listed) {
        // A folder read halfway contributes nothing, as one never read.
        rows.resize(firstRow);
        subfolders.resize(firstSubfolder);
        findings.problems.add(folderPath(root, relative), error);
        return false;
    }

    const std::size_t skip = relative.size();
    std::sort(rows.begin() + std::ptrdiff_t(firstRow), rows.end(), [skip](const ResultRow &a, const ResultRow &b) {
        return NameBefore(std::string_view(a.name).substr(skip), std::string_view(b.name).substr(skip));
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

void ListSubfolders(const std::string &rootText, const FolderLister &list, const std::function<void()> &perFolder,
                    ScanFindings &findings)
{
    const std::string root = platform::TrimTrailingSeparators(rootText);
    struct Frame
    {
        platform::OpenFolder folder;
        std::string relative;
        std::vector<std::string> subfolders;
        std::size_t next = 0;
    };
    // Only folders with subfolders still to visit stay open: a long chain of
    // single subfolders holds one descriptor, not one per level.
    std::vector<Frame> stack;
    const auto visit = [&](platform::OpenFolder folder, std::string relative) {
        Frame frame{std::move(folder), std::move(relative), {}, 0};
        list(frame.folder, frame.relative, frame.subfolders);
        if (!frame.subfolders.empty())
            stack.push_back(std::move(frame));
    };

    call(perFolder);
    int error = 0;
    platform::OpenFolder top = platform::OpenFolder::open(root, &error);
    if (!top.isOpen()) {
        findings.problems.add(root, error);
        return;
    }
    findings.rootId = top.identity();
    visit(std::move(top), std::string());

    while (!stack.empty()) {
        Frame &frame = stack.back();
        const std::string &name = frame.subfolders[frame.next++];
        std::string relative;
        relative.reserve(frame.relative.size() + name.size() + 1);
        relative = frame.relative;
        relative += name;
        relative += platform::kSeparator;
        call(perFolder);
        platform::OpenFolder child = frame.folder.child(name, &error);
        if (frame.next == frame.subfolders.size())
            stack.pop_back();
        if (!child.isOpen()) {
            // Gone since its parent was read, or swapped for a link that is
            // not followed: nothing there to compare. Anything else is a gap.
            if (error != ENOENT && error != ENOTDIR && error != ELOOP)
                findings.problems.add(folderPath(root, relative), error);
            continue;
        }
        visit(std::move(child), std::move(relative));
    }
}

namespace {

void scanTree(std::vector<ResultRow> &rows, ScanFindings &findings, const std::string &rootText,
              const std::function<void()> &perFolder)
{
    const std::string root = platform::TrimTrailingSeparators(rootText);
    ListSubfolders(root, [&](const platform::OpenFolder &folder, const std::string &relative,
                             std::vector<std::string> &subfolders) {
        ListFiles(folder, relative, rows, subfolders, findings, root);
    }, perFolder, findings);
}

void appendRows(std::vector<ResultRow> &to, std::vector<ResultRow> &&from)
{
    if (to.empty())
        to = std::move(from);
    else
        to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

void appendFindings(ScanFindings &to, ScanFindings &&from)
{
    to.rootId = from.rootId;
    to.problems.count += from.problems.count;
    for (std::string &text : from.problems.first)
        if (to.problems.first.size() < ScanProblems::kNamed)
            to.problems.first.push_back(std::move(text));
    for (std::string &name : from.leftovers)
        to.leftovers.push_back(std::move(name));
}

struct Abandoned
{
};

// One tree's scan on a worker. Shared with the worker, so that a caller that
// leaves early takes nothing from under it.
struct WorkerScan
{
    std::string root;
    std::vector<ResultRow> rows;
    ScanFindings findings;
    std::exception_ptr failure;
    bool done = false;
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
    try {
        scanTree(scan.rows, scan.findings, scan.root, [&shared] {
            if (shared->abandoned.load(std::memory_order_relaxed))
                throw Abandoned();
            shared->folders.fetch_add(1, std::memory_order_relaxed);
        });
    } catch (const Abandoned &) {
    } catch (...) {
        scan.failure = std::current_exception();
    }
    {
        const std::lock_guard<std::mutex> lock(shared->mutex);
        scan.done = true;
    }
    shared->finished.notify_all();
}

} // namespace

void FillResultList(std::vector<ResultRow> &rows, const std::string &rootText, const ScanHooks &hooks,
                    ScanFindings *findings)
{
    if (rootText.empty())
        return;
    ScanFindings local;
    if (hooks.setCaption)
        hooks.setCaption(std::string(kProductName) + kLoadingSuffix);
    scanTree(rows, findings ? *findings : local, rootText, [&hooks] {
        call(hooks.setWaitPointer);
        call(hooks.yield);
    });
    if (hooks.setCaption)
        hooks.setCaption(kProductName);
}

void FillResultLists(std::vector<ResultRow> &leftRows, ScanFindings &leftFindings, const std::string &leftRoot,
                     std::vector<ResultRow> &rightRows, ScanFindings &rightFindings, const std::string &rightRoot,
                     const ScanHooks &hooks)
{
    auto shared = std::make_shared<Workers>();
    const std::string roots[2] = {leftRoot, rightRoot};
    std::vector<ResultRow> *rows[2] = {&leftRows, &rightRows};
    ScanFindings *findings[2] = {&leftFindings, &rightFindings};
    std::thread threads[2];
    bool onWorker[2] = {false, false};
    for (int side = 0; side < 2; ++side) {
        shared->sides[side].root = roots[side];
        if (roots[side].empty())
            continue;
        try {
            threads[side] = std::thread(runWorker, shared, side);
            onWorker[side] = true;
        } catch (const std::system_error &) {
            // No thread to be had: that side is scanned here, in its turn.
        }
    }

    const auto setCaption = [&](const std::string &caption) {
        if (hooks.setCaption)
            hooks.setCaption(caption);
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
    try {
        for (int side = 0; side < 2; ++side) {
            if (roots[side].empty())
                continue;
            setCaption(std::string(kProductName) + kLoadingSuffix);
            if (onWorker[side]) {
                for (;;) {
                    catchUp();
                    std::unique_lock<std::mutex> lock(shared->mutex);
                    if (shared->finished.wait_for(lock, std::chrono::milliseconds(5),
                                                  [&] { return shared->sides[side].done; }))
                        break;
                }
                catchUp();
                threads[side].join();
                WorkerScan &scan = shared->sides[side];
                if (scan.failure)
                    std::rethrow_exception(scan.failure);
                appendRows(*rows[side], std::move(scan.rows));
                appendFindings(*findings[side], std::move(scan.findings));
            } else {
                scanTree(*rows[side], *findings[side], roots[side], [&] {
                    catchUp();
                    call(hooks.setWaitPointer);
                    call(hooks.yield);
                });
            }
            setCaption(kProductName);
        }
    } catch (...) {
        // The window may be ending the program: never wait for a worker here.
        shared->abandoned = true;
        for (std::thread &thread : threads)
            if (thread.joinable())
                thread.detach();
        throw;
    }
}
