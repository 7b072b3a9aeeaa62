#include "compare/folderpiece.h"
#include "compare/folderscan.h"

#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Both trees are walked by a pool of walkers that take the task earliest in
// walk order first (the left tree before the right), so that the walk goes
// deep before wide, its folders come done nearly in walk order, and few
// wait to be put into their lists. A folder's subfolders are pushed
// as soon as it is listed, before its files' status is read; when that
// reading is slow (a disk not in the cache, a network share) or the folder
// large, the rest of its entries is split into parts that other walkers
// take. Each tree's rows are put together in walk order by whichever walker
// finishes the folder the order waits for, so pieces wait only while a
// folder before them in walk order is unfinished.

namespace {

using SharedFolder = std::shared_ptr<const platform::OpenFolder>;

// Entries read first, on the lister's own thread, to judge the folder.
constexpr std::size_t kProbe = 4;
// Opening a folder and reading those taking longer than this means a disk
// or a round trip; from memory it takes a few microseconds.
constexpr auto kSlow = std::chrono::microseconds(200);
// Walkers are added when most recent folders were slow: a slow folder
// counts 4, a fast one -1, and a few in a row reach the mark. A folder now
// and then that only lost its processor for a while on a busy machine
// does not.
constexpr int kSlowWeight = 4, kSlowMark = 12, kSlowMost = 16;
// Entries per part: few where each waits, many where each is in memory.
constexpr std::size_t kSlowPart = 8;
constexpr std::size_t kFastPart = 2048;
// Descriptors a walker may hold: the folder it reads and folders whose
// subfolders are still to be opened.
constexpr std::size_t kDescriptorsPerWalker = 16;

struct Abandoned
{
};

// A folder of one tree, from the walker that opens it until its tree's list
// has taken its piece. Only the task that lists it touches it until listed
// is set; after that, only the tree's assembly does.
struct Node
{
    std::string name;     // in its parent; empty for the root
    std::string relative; // from the root, with a trailing separator; empty for the root
    std::vector<std::uint32_t> position; // the child numbers that lead to it from the root
    FolderPiece piece;
    std::vector<std::unique_ptr<Node>> children; // in name order
    std::atomic<bool> listed{false};
};

// One tree, and its list put together in walk order.
struct Tree
{
    std::string root; // without trailing separators
    std::unique_ptr<Node> top;
    platform::FolderIdentity rootId;
    std::int64_t timeResolution = 1;
    platform::HiddenMarks marks = platform::HiddenMarks::None; // set with the root, before its children

    // Whoever holds assembling puts listed folders into list; another
    // walker that finds it held sets more, and the holder goes on.
    std::mutex assembling;
    std::atomic<bool> more{false};
    Segment list;
    Node *waitingFor = nullptr;                        // the next folder in walk order
    std::vector<std::pair<Node *, std::size_t>> above; // its ancestors, each with its next child
    bool complete = false;
    bool done = false; // complete, under the walk's mutex
};

// A folder listed, its entries' status being read, in parts when it pays.
struct Reading
{
    Tree *tree;
    Node *node;
    SharedFolder folder;
    platform::FolderListing listing;
    std::vector<EntryStatus> statuses;
    // Answered slowly: its parts read one entry at a time, so that a slow
    // share has no more requests from the walk than there are walkers.
    bool slow = false;
    std::atomic<std::size_t> partsLeft{1};
};

// A folder to open and list (node, from parent; no parent for a root), or
// entries first to last of a reading.
struct Task
{
    Tree *tree = nullptr;
    Node *node = nullptr;
    SharedFolder parent;
    std::shared_ptr<Reading> reading;
    std::size_t first = 0, last = 0;
};

struct Walk
{
    std::mutex mutex;
    std::condition_variable work;    // for walkers: tasks, the end, a descriptor freed
    std::condition_variable changed; // for the caller: a tree done, a walker gone, a failure
    std::vector<Task> tasks;         // a heap, the task earliest in walk order on top
    std::vector<std::thread> threads;
    // Walkers at most: one a core while the file system answers from
    // memory, more would only take turns; as many as asked once folders
    // are seen to wait for a disk or a round trip.
    std::size_t most = 1;
    std::size_t asked = 1;
    std::atomic<int> slowness{0};
    std::atomic<bool> widened{false};
    platform::ReaderIds reader = platform::ReaderIds::current();
    // The walk's own copy: walkers a closing window abandons outlive the
    // caller's.
    ScanChoices ownChoices;
    const ScanChoices *choices = nullptr;
    std::size_t idle = 0, exited = 0;
    std::size_t busy = 0, starved = 0; // running tasks; of those, waiting for a descriptor
    std::uint64_t finished = 0;        // tasks finished
    std::size_t treesLeft = 0;
    std::exception_ptr failure;
    std::atomic<bool> abandoned{false};
    std::atomic<std::size_t> folders{0}; // folders begun, in both trees
    Tree trees[2];
};

void runWalker(std::shared_ptr<Walk> walk);

// Whether a comes after b in walk order: the heap's order. A folder's
// reading parts come with it, before its subfolders.
bool later(const Task &a, const Task &b)
{
    if (a.tree != b.tree)
        return a.tree > b.tree;
    return b.node->position < a.node->position;
}

// Wakes or starts walkers for the tasks waiting. Under the walk's mutex.
void staffLocked(const std::shared_ptr<Walk> &walk)
{
    Walk &w = *walk;
    const std::size_t woken = std::min(w.idle, w.tasks.size());
    for (std::size_t i = 0; i < woken; ++i)
        w.work.notify_one();
    for (std::size_t more = w.tasks.size() - woken; more > 0 && w.threads.size() < w.most && !w.abandoned; --more) {
        try {
            w.threads.emplace_back(runWalker, walk);
        } catch (const std::system_error &) {
            w.most = w.threads.size(); // no more threads to be had: those there do it
        }
    }
}

// Queues tasks. Under the walk's mutex.
void pushLocked(const std::shared_ptr<Walk> &walk, std::vector<Task> &tasks)
{
    Walk &w = *walk;
    for (Task &task : tasks) {
        w.tasks.push_back(std::move(task));
        std::push_heap(w.tasks.begin(), w.tasks.end(), later);
    }
    tasks.clear();
    staffLocked(walk);
}

void push(const std::shared_ptr<Walk> &walk, std::vector<Task> &tasks)
{
    const std::lock_guard<std::mutex> lock(walk->mutex);
    pushLocked(walk, tasks);
}

// Puts listed folders into the list in walk order, as far as they go; true
// when the whole tree is in. Under the tree's assembling mutex.
bool advance(Tree &tree)
{
    while (Node *node = tree.waitingFor) {
        if (!node->listed.load(std::memory_order_acquire))
            return false;
        AppendPiece(tree.list, std::move(node->piece));
        if (!node->children.empty()) {
            tree.above.emplace_back(node, 1);
            tree.waitingFor = node->children.front().get();
            continue;
        }
        tree.waitingFor = nullptr;
        while (!tree.above.empty()) {
            auto &[parent, next] = tree.above.back();
            if (next < parent->children.size()) {
                tree.waitingFor = parent->children[next++].get();
                break;
            }
            parent->children.clear(); // all in the list
            tree.above.pop_back();
        }
    }
    return true;
}

void assemble(Walk &walk, Tree &tree)
{
    tree.more.store(true);
    while (tree.more.load()) {
        const std::unique_lock<std::mutex> lock(tree.assembling, std::try_to_lock);
        if (!lock)
            return; // its holder sees more and goes on
        tree.more.store(false);
        if (tree.complete || !advance(tree))
            continue;
        tree.complete = true;
        const std::lock_guard<std::mutex> walkLock(walk.mutex);
        tree.done = true;
        if (--walk.treesLeft == 0)
            walk.work.notify_all();
        walk.changed.notify_all();
    }
}

// The folder is done: it goes to the list when the walk order reaches it.
// Nothing may touch the node after this.
void finish(Walk &walk, Tree &tree, Node &node)
{
    node.listed.store(true, std::memory_order_release);
    assemble(walk, tree);
}

// Nodes and tasks for subfolders of node, which is open as folder.
void addChildren(const std::shared_ptr<Walk> &walk, Tree &tree, Node &node, std::vector<std::string> names,
                 const SharedFolder &folder)
{
    if (names.empty())
        return;
    std::sort(names.begin(), names.end(), NameBefore);
    std::vector<Task> tasks;
    tasks.reserve(names.size());
    for (std::string &name : names) {
        auto child = std::make_unique<Node>();
        child->relative = node.relative + name + platform::kSeparator;
        child->position = node.position;
        // Subfolders found late go after those listed: their place in the
        // order of work is near enough.
        child->position.push_back(std::uint32_t(node.children.size()));
        child->name = std::move(name);
        tasks.push_back({&tree, child.get(), folder, nullptr, 0, 0});
        node.children.push_back(std::move(child));
    }
    push(walk, tasks);
}

void finishReading(const std::shared_ptr<Walk> &walk, Reading &reading, RowNames &room)
{
    Tree &tree = *reading.tree;
    Node &node = *reading.node;
    MakePiece(reading.listing, reading.statuses, node.relative, tree.root, node.piece, room);
    // Subfolders whose type only their status told.
    std::vector<std::string> late;
    for (std::size_t i = 0; i < reading.listing.size(); ++i)
        if (reading.statuses[i].kind == platform::FolderListing::Kind::Folder)
            late.emplace_back(reading.listing.name(i));
    if (!late.empty()) {
        addChildren(walk, tree, node, std::move(late), reading.folder);
        std::sort(node.children.begin(), node.children.end(),
                  [](const auto &a, const auto &b) { return NameBefore(a->name, b->name); });
    }
    std::vector<std::string>().swap(node.piece.subfolders);
    finish(*walk, tree, node);
}

void noteSpeed(const std::shared_ptr<Walk> &walk, bool slow)
{
    if (walk->widened.load(std::memory_order_relaxed))
        return;
    int now = walk->slowness.load(std::memory_order_relaxed), next;
    do
        next = std::clamp(now + (slow ? kSlowWeight : -1), 0, kSlowMost);
    while (!walk->slowness.compare_exchange_weak(now, next, std::memory_order_relaxed));
    if (next >= kSlowMark && !walk->widened.exchange(true)) {
        const std::lock_guard<std::mutex> lock(walk->mutex);
        walk->most = std::max(walk->most, walk->asked);
        staffLocked(walk);
    }
}

void readPart(const std::shared_ptr<Walk> &walk, Reading &reading, std::size_t first, std::size_t last, RowNames &room)
{
    ReadStatuses(*reading.folder, reading.listing, first, last, reading.statuses, !reading.slow);
    if (reading.partsLeft.fetch_sub(1, std::memory_order_acq_rel) == 1)
        finishReading(walk, reading, room);
}

// Opens the task's folder. Out of descriptors while other walkers hold
// some, it waits until one of them finishes a task and tries again; alone,
// it gives up as a walk one folder at a time would.
platform::OpenFolder openFolder(Walk &walk, const Task &task, int &error)
{
    for (;;) {
        platform::OpenFolder folder = task.parent ? task.parent->child(task.node->name, &error)
                                                  : platform::OpenFolder::open(task.tree->root, &error);
        if (folder.isOpen() || (error != EMFILE && error != ENFILE))
            return folder;
        std::unique_lock<std::mutex> lock(walk.mutex);
        const auto othersGoing = [&walk] { return walk.busy > walk.starved + 1; };
        if (!othersGoing())
            return folder;
        ++walk.starved;
        walk.work.notify_all();
        const std::uint64_t seen = walk.finished;
        walk.work.wait(lock, [&] { return walk.finished != seen || walk.abandoned || walk.busy <= walk.starved; });
        --walk.starved;
        if (walk.abandoned)
            throw Abandoned();
    }
}

void openAndList(const std::shared_ptr<Walk> &walk, Task &task, RowNames &room)
{
    Tree &tree = *task.tree;
    Node &node = *task.node;
    walk->folders.fetch_add(1, std::memory_order_relaxed);
    int error = 0;
    const auto start = std::chrono::steady_clock::now();
    platform::OpenFolder folder = openFolder(*walk, task, error);
    const auto opened = std::chrono::steady_clock::now();
    const bool isRoot = !task.parent;
    task.parent.reset();
    if (!folder.isOpen()) {
        if (isRoot)
            node.piece.problems.add(tree.root, error);
        else
            NoteUnopened(node.piece.problems, tree.root, node.relative, error);
        finish(*walk, tree, node);
        return;
    }
    if (isRoot) {
        tree.rootId = folder.identity();
        tree.timeResolution = platform::TimeResolution(folder);
        tree.marks = MarksToHeed(folder, walk->choices);
    }
    auto reading = std::make_shared<Reading>();
    reading->tree = &tree;
    reading->node = &node;
    reading->folder = std::make_shared<const platform::OpenFolder>(std::move(folder));
    reading->listing.reader = walk->reader;
    PrepareListing(reading->listing, walk->choices, tree.marks);
    if (!platform::ListFolder(*reading->folder, reading->listing, &error)) {
        NoteUnlisted(node.piece.problems, tree.root, node.relative, error);
        finish(*walk, tree, node);
        return;
    }
    LeaveOutOf(reading->listing, *reading->folder, node.relative, walk->choices, node.piece.leftOut);
    // Its subfolders are walked while its files are read.
    addChildren(walk, tree, node, reading->listing.subfolders, reading->folder);

    const std::size_t count = reading->listing.size();
    reading->statuses.resize(count);
    const std::size_t probe = std::min(count, kProbe);
    const auto probing = std::chrono::steady_clock::now();
    ReadStatuses(*reading->folder, reading->listing, 0, probe, reading->statuses, false);
    const auto done = std::chrono::steady_clock::now();
    const bool slow = (opened - start) + (done - probing) > kSlow;
    noteSpeed(walk, slow);
    reading->slow = slow;
    const std::size_t part = slow ? kSlowPart : kFastPart;
    const std::size_t parts = (count - probe + part - 1) / part;
    if (parts == 0) {
        finishReading(walk, *reading, room);
        return;
    }
    reading->partsLeft.store(parts, std::memory_order_relaxed);
    std::vector<Task> tasks;
    for (std::size_t first = probe + part; first < count; first += part)
        tasks.push_back({&tree, &node, nullptr, reading, first, std::min(count, first + part)});
    if (!tasks.empty())
        push(walk, tasks);
    readPart(walk, *reading, probe, std::min(count, probe + part), room);
}

void runTask(const std::shared_ptr<Walk> &walk, Task &task, RowNames &room)
{
    if (walk->abandoned.load(std::memory_order_relaxed))
        throw Abandoned();
    if (task.reading)
        readPart(walk, *task.reading, task.first, task.last, room);
    else
        openAndList(walk, task, room);
}

// Takes the next task and runs it; false when there is none. Called with
// lock held, returns with it held. Names of rows take their room from room.
bool runOne(const std::shared_ptr<Walk> &walk, std::unique_lock<std::mutex> &lock, RowNames &room)
{
    Walk &w = *walk;
    if (w.tasks.empty() || w.abandoned)
        return false;
    std::pop_heap(w.tasks.begin(), w.tasks.end(), later);
    Task task = std::move(w.tasks.back());
    w.tasks.pop_back();
    ++w.busy;
    lock.unlock();
    std::exception_ptr failure;
    try {
        runTask(walk, task, room);
    } catch (const Abandoned &) {
    } catch (...) {
        failure = std::current_exception();
    }
    task = Task(); // its folders close outside the lock
    lock.lock();
    --w.busy;
    ++w.finished;
    if (failure && !w.failure) {
        w.failure = failure;
        w.abandoned = true;
        w.work.notify_all();
        w.changed.notify_all();
    } else if (w.starved > 0) {
        w.work.notify_all();
    }
    return true;
}

void runWalker(std::shared_ptr<Walk> walk)
{
    Walk &w = *walk;
    RowNames room;
    std::unique_lock<std::mutex> lock(w.mutex);
    while (!w.abandoned && w.treesLeft > 0) {
        if (runOne(walk, lock, room))
            continue;
        ++w.idle;
        w.work.wait(lock);
        --w.idle;
    }
    ++w.exited;
    w.changed.notify_all();
}

// As many walkers as asked, and as the descriptors the process may still
// open allow.
std::size_t walkersFor(const ScanOptions &options)
{
    const std::size_t limit = platform::RaiseOpenFileLimit();
    const std::size_t open = platform::OpenFileCount();
    const std::size_t room = limit > open ? (limit - open) / kDescriptorsPerWalker : 0;
    return std::max<std::size_t>(1, std::min(options.walkers, room));
}

void call(const std::function<void()> &hook)
{
    if (hook)
        hook();
}

// Both trees' tops handed to the walkers; an empty root is not walked.
std::shared_ptr<Walk> startWalk(const std::string *const roots[2], const ScanOptions &options)
{
    auto walk = std::make_shared<Walk>();
    walk->asked = walkersFor(options);
    if (options.choices) {
        walk->ownChoices = *options.choices;
        walk->choices = &walk->ownChoices;
    }
    walk->most = std::min<std::size_t>(walk->asked, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<Task> tasks;
    for (int side = 0; side < 2; ++side) {
        if (roots[side]->empty())
            continue;
        Tree &tree = walk->trees[side];
        tree.root = platform::TrimTrailingSeparators(*roots[side]);
        tree.top = std::make_unique<Node>();
        tree.waitingFor = tree.top.get();
        ++walk->treesLeft;
        tasks.push_back({&tree, tree.top.get(), nullptr, nullptr, 0, 0});
    }
    push(walk, tasks);
    return walk;
}

} // namespace

void FillResultLists(ResultRows &leftRows, ScanFindings &leftFindings, const std::string &leftRoot,
                     ResultRows &rightRows, ScanFindings &rightFindings, const std::string &rightRoot,
                     const ScanHooks &hooks, const ScanOptions &options)
{
    const std::string *roots[2] = {&leftRoot, &rightRoot};
    ResultRows *rows[2] = {&leftRows, &rightRows};
    ScanFindings *findings[2] = {&leftFindings, &rightFindings};
    const std::shared_ptr<Walk> walk = startWalk(roots, options);

    RowNames room; // for folders walked here, without a walker thread
    std::size_t yielded = 0;
    // Lets the window in once for every folder the walkers have begun.
    const auto catchUp = [&] {
        const std::size_t begun = walk->folders.load(std::memory_order_relaxed);
        for (; yielded < begun; ++yielded) {
            call(hooks.setWaitPointer);
            call(hooks.yield);
        }
    };
    // Waits for ready, letting the window in as the walkers go. Without a
    // walker thread, this thread walks, a folder at a time.
    const auto waitFor = [&](const auto &ready) {
        for (;;) {
            catchUp();
            std::unique_lock<std::mutex> lock(walk->mutex);
            if (walk->failure)
                std::rethrow_exception(walk->failure);
            if (ready())
                break;
            if (walk->threads.empty()) {
                runOne(walk, lock, room);
                continue;
            }
            walk->changed.wait_for(lock, std::chrono::milliseconds(5));
        }
        catchUp();
    };
    const auto showLoading = [&](bool loading) {
        if (hooks.showLoading)
            hooks.showLoading(loading);
    };
    try {
        for (int side = 0; side < 2; ++side) {
            if (roots[side]->empty())
                continue;
            Tree &tree = walk->trees[side];
            showLoading(true);
            waitFor([&] { return tree.done; });
            tree.list.findings.rootId = tree.rootId;
            tree.list.findings.timeResolution = tree.timeResolution;
            Deliver(std::move(tree.list), *rows[side], *findings[side]);
            showLoading(false);
        }
        // Both trees are in; walkers may not have left yet.
        waitFor([&] { return walk->exited == walk->threads.size(); });
        for (std::thread &thread : walk->threads)
            thread.join();
    } catch (...) {
        // The window may be ending the program: never wait for a walker here.
        const std::lock_guard<std::mutex> lock(walk->mutex);
        walk->abandoned = true;
        walk->work.notify_all();
        for (std::thread &thread : walk->threads)
            if (thread.joinable())
                thread.detach();
        throw;
    }
}
