#include "compare/comparefolders.h"

#include "platform/paths.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string_view>

namespace {

// An open-addressing index of the right rows by name. Rows with the same
// name are chained in list order, so every match is visited as a nested scan
// would visit it.
class NameIndex
{
public:
    explicit NameIndex(const ResultRows &rows)
        : m_rows(rows), m_next(rows.size(), kEmpty)
    {
        std::size_t capacity = 16;
        while (capacity < rows.size() * 2)
            capacity *= 2;
        m_mask = capacity - 1;
        m_heads.assign(capacity, kEmpty);
        std::vector<std::uint32_t> tails(capacity, kEmpty);
        for (std::uint32_t i = 0; i < rows.size(); ++i) {
            const std::size_t slot = find(rows[i].name());
            if (m_heads[slot] == kEmpty)
                m_heads[slot] = i;
            else
                m_next[tails[slot]] = i;
            tails[slot] = i;
        }
    }

    // The first row with this name, or kEmpty.
    std::uint32_t first(std::string_view name) const { return m_heads[find(name)]; }
    std::uint32_t next(std::uint32_t row) const { return m_next[row]; }

    static constexpr std::uint32_t kEmpty = UINT32_MAX;

private:
    std::size_t find(std::string_view name) const
    {
        std::size_t slot = std::hash<std::string_view>()(name) & m_mask;
        while (m_heads[slot] != kEmpty && m_rows[m_heads[slot]].name() != name)
            slot = (slot + 1) & m_mask;
        return slot;
    }

    const ResultRows &m_rows;
    std::vector<std::uint32_t> m_heads;
    std::vector<std::uint32_t> m_next;
    std::size_t m_mask = 0;
};

// Ordered by whole seconds, then, within the same second, by nanoseconds:
// a file appended to in the second of its last copy still counts as newer.
// Times closer than step, the coarser file system's, are the same: FAT
// cannot tell 12:00:01 from 12:00:00. No time counts as earlier than every
// time.
} // namespace

int TimeOrder(const ResultRow &a, const ResultRow &b, std::int64_t step)
{
    constexpr std::int64_t kSecond = 1000000000;
    if (step > 1 && a.modified != platform::kNoTime && b.modified != platform::kNoTime) {
        // Halves first, so that no difference of far-apart times overflows.
        const std::int64_t seconds = a.modified / 2 - b.modified / 2;
        if (seconds > -kSecond / 4 && seconds < kSecond / 4) {
            const std::int64_t apart = (a.modified - b.modified) * kSecond
                + (std::int64_t(a.modifiedNanos) - b.modifiedNanos);
            if (apart > -step && apart < step)
                return 0;
        }
    }
    if (a.modified != b.modified)
        return a.modified < b.modified ? -1 : 1;
    if (a.modified == platform::kNoTime || a.modifiedNanos == b.modifiedNanos)
        return 0;
    return a.modifiedNanos < b.modifiedNanos ? -1 : 1;
}

namespace {

// True when inner is outer itself or a folder below it, judged by the
// folders' identities up inner's chain of parents, so that links, "..",
// relative texts and bind mounts cannot hide it.
// True when inner lies somewhere below outer. The same folder on both sides
// is no nesting: it compares as a tree matched with itself, every row "OK".
bool liesWithin(const std::string &inner, const std::string &outer)
{
    const platform::OpenFolder outerFolder = platform::OpenFolder::open(outer);
    platform::OpenFolder folder = platform::OpenFolder::open(inner);
    if (!outerFolder.isOpen() || !folder.isOpen())
        return false; // the scan reports what cannot be opened
    const platform::FolderIdentity target = outerFolder.identity();
    if (folder.identity() == target)
        return false;
    for (int depth = 0; depth < 100000 && folder.isOpen(); ++depth) {
        const platform::FolderIdentity here = folder.identity();
        if (here == target)
            return true;
        platform::OpenFolder up = folder.parent();
        if (!up.isOpen() || up.identity() == here)
            return false; // the top, or a parent we may not pass
        folder = std::move(up);
    }
    return false;
}

void setStatus(ResultRow &row, Status status, std::uint8_t icon)
{
    row.status = status;
    row.icon = icon;
}

// The row with its side's shift added, for ordering.
ResultRow shiftedRow(const Comparison &comparison, const ResultRow &row, Side side)
{
    ResultRow moved = row;
    const std::int64_t shift = side == Side::Left ? comparison.leftShift : comparison.rightShift;
    if (shift != 0 && row.modified != platform::kNoTime)
        moved.modified += shift;
    return moved;
}

struct Appender
{
    const Comparison &comparison;
    PendingOperationList &operations;
    std::size_t wanted = 0;
    Comparison &result;
    std::int64_t step = std::max(comparison.leftResolution, comparison.rightResolution);
    // Seconds: a time past this comes from a clock that was wrong.
    std::int64_t latest = std::int64_t(std::time(nullptr)) + kFutureSlack;

    ResultRow shifted(const ResultRow &row, Side side) const { return shiftedRow(comparison, row, side); }

    bool inFuture(const ResultRow &row) const { return row.modified != platform::kNoTime && row.modified > latest; }

    const std::string &root(Side side) const
    {
        return side == Side::Left ? comparison.leftRoot : comparison.rightRoot;
    }

    // The job of every operation; the list's entry for the first ones.
    bool keep(const SyncJob &job)
    {
        if (comparison.everyJob)
            comparison.everyJob->push_back(job);
        return ++wanted <= std::size_t(PendingOperationList::kSlots);
    }

    void overwrite(Side from, Side to, const ResultRow &source, const ResultRow &replaced)
    {
        if (SyncJob job = CopyJobFor(source, &replaced, from == Side::Left); keep(job))
            operations.append(PendingOperationFor(root(from), root(to), std::move(job)));
    }

    void copy(Side from, Side to, const ResultRow &source)
    {
        if (SyncJob job = CopyJobFor(source, nullptr, from == Side::Left); keep(job))
            operations.append(PendingOperationFor(root(from), root(to), std::move(job)));
    }
};

void applyPairRule(ResultRow &left, ResultRow &right, Appender &append)
{
    const ResultRow shiftedLeft = append.shifted(left, Side::Left);
    const ResultRow shiftedRight = append.shifted(right, Side::Right);
    if (left.size == right.size && left.contents != Contents::Different) {
        left.status = Status::OK;
        right.status = Status::OK;
        append.result.unverified += left.contents != Contents::Same
            && TimeOrder(shiftedLeft, shiftedRight, append.step) != 0;
        return;
    }
    std::vector<std::string> &unordered = append.result.unordered;
    if (append.inFuture(shiftedLeft) || append.inFuture(shiftedRight)) {
        append.result.futureDated.push_back(std::uint32_t(unordered.size()));
        unordered.emplace_back(left.name());
        return;
    }
    const int order = TimeOrder(shiftedLeft, shiftedRight, append.step);
    if (order == 0) {
        unordered.emplace_back(left.name());
        return;
    }
    if (order > 0) {
        setStatus(left, Status::Newer, NewerIcon);
        setStatus(right, Status::Older, OlderIcon);
        append.overwrite(Side::Left, Side::Right, left, right);
    } else {
        setStatus(left, Status::Older, OlderIcon);
        setStatus(right, Status::Newer, NewerIcon);
        append.overwrite(Side::Right, Side::Left, right, left);
    }
}

constexpr std::uint32_t kNoPartner = UINT32_MAX;

// Rows as the scan lists them: both sides in one order, no name twice, so
// that one pass down both lists pairs them, with no index to build. Pairs
// each left row with its right row, if any, checking the order of both lists
// on the way; false when either is out of that order.
bool pairInWalkOrder(const Comparison &comparison, std::vector<std::uint32_t> &partner)
{
    const ResultRows &left = comparison.left, &right = comparison.right;
    if (right.size() >= kNoPartner)
        return false;
    partner.assign(left.size(), kNoPartner);
    // Each right row's order is checked once, as the pass leaves it behind.
    const auto ordered = [&right](std::size_t j) { return j == 0 || WalkBefore(right[j - 1].name(), right[j].name()); };
    std::size_t j = 0;
    for (std::size_t i = 0; i < left.size(); ++i) {
        const std::string_view name = left[i].name();
        if (i > 0 && !WalkBefore(left[i - 1].name(), name))
            return false;
        // Most rows are on both sides: the name that is next on both.
        for (; j < right.size() && right[j].name() != name && WalkBefore(right[j].name(), name); ++j) {
            if (!ordered(j))
                return false;
        }
        if (j < right.size() && right[j].name() == name) {
            if (!ordered(j))
                return false;
            partner[i] = std::uint32_t(j++);
        }
    }
    for (; j < right.size(); ++j) {
        if (!ordered(j))
            return false;
    }
    return true;
}

void applyPairs(Comparison &comparison, const std::vector<std::uint32_t> &partner, Appender &append,
                std::vector<bool> &rightMatched)
{
    for (std::size_t i = 0; i < comparison.left.size(); ++i) {
        ResultRow &left = comparison.left[i];
        if (partner[i] == kNoPartner) {
            setStatus(left, Status::NotFound, NotFoundIcon);
            append.copy(Side::Left, Side::Right, left);
        } else {
            rightMatched[partner[i]] = true;
            applyPairRule(left, comparison.right[partner[i]], append);
        }
    }
}

void indexRows(Comparison &comparison, Appender &append, std::vector<bool> &rightMatched)
{
    const NameIndex rightIndex(comparison.right);
    for (ResultRow &left : comparison.left) {
        bool found = false;
        for (std::uint32_t j = rightIndex.first(left.name()); j != NameIndex::kEmpty; j = rightIndex.next(j)) {
            found = true;
            rightMatched[j] = true;
            applyPairRule(left, comparison.right[j], append);
        }
        if (!found) {
            setStatus(left, Status::NotFound, NotFoundIcon);
            append.copy(Side::Left, Side::Right, left);
        }
    }
}

// What the operation list tells its readers besides the operations.
void summarize(const Comparison &result, PendingOperationList &operations)
{
    operations.unordered.count = result.unordered.size();
    operations.unordered.future = result.futureDated.size();
    for (std::size_t i = 0, f = 0; i < result.unordered.size(); ++i) {
        const bool future = f < result.futureDated.size() && result.futureDated[f] == i;
        f += future;
        std::vector<std::string> &named = future ? operations.unordered.firstFuture : operations.unordered.first;
        if (named.size() < UnorderedPairs::kNamed)
            named.push_back(result.unordered[i]);
    }
    operations.unverified = result.unverified;
    operations.leftLeftOut = result.leftLeftOut;
    operations.rightLeftOut = result.rightLeftOut;
    operations.roots = {result.leftRoot,    result.rightRoot,     result.leftRootId,
                        result.rightRootId, result.leftLeftovers, result.rightLeftovers};
    operations.found = result.wantedOperations;
    operations.unreadable = result.leftProblems;
    operations.unreadable.count += result.rightProblems.count;
    for (const std::string &item : result.rightProblems.first) {
        if (operations.unreadable.first.size() < ScanProblems::kNamed)
            operations.unreadable.first.push_back(item);
    }
}

// Why a side's absences cannot be trusted to delete anything on the other.
std::string distrust(const char *side, const ResultRows &rows, const ScanProblems &problems, bool moved)
{
    if (rows.empty())
        return std::string("the ") + side + " folder is empty";
    if (problems.count > 0)
        return std::string("not all of the ") + side + " folder could be read";
    if (moved)
        return std::string("the ") + side + " folder is on another volume than at the last sync";
    return {};
}

void planMode(Comparison &result, const ModeChoice &choice, PendingOperationList &operations, bool draft = true)
{
    const MemoryRead memory = ReadSyncMemory(result.leftRoot, result.rightRoot);
    const SideTrust trust{distrust("left", result.left, result.leftProblems, memory.leftMoved),
                          distrust("right", result.right, result.rightProblems, memory.rightMoved)};
    PlanSyncMode(result, memory, choice, trust, operations, draft);
}

} // namespace

void MatchRows(Comparison &comparison, PendingOperationList &operations)
{
    comparison.unordered.clear();
    comparison.futureDated.clear();
    comparison.unverified = 0;
    Appender append{comparison, operations, 0, comparison};
    // A right row has a match exactly when some left row found it.
    std::vector<bool> rightMatched(comparison.right.size(), false);
    std::vector<std::uint32_t> partner;
    if (pairInWalkOrder(comparison, partner))
        applyPairs(comparison, partner, append, rightMatched);
    else
        indexRows(comparison, append, rightMatched);
    for (std::size_t i = 0; i < comparison.right.size(); ++i) {
        if (rightMatched[i])
            continue;
        ResultRow &right = comparison.right[i];
        setStatus(right, Status::NotFound, NotFoundIcon);
        append.copy(Side::Right, Side::Left, right);
    }
    comparison.wantedOperations = append.wanted;
}

void ForEachPair(Comparison &comparison, const std::function<void(ResultRow &left, ResultRow &right)> &visit)
{
    std::vector<std::uint32_t> partner;
    if (pairInWalkOrder(comparison, partner)) {
        for (std::size_t i = 0; i < comparison.left.size(); ++i) {
            if (partner[i] != kNoPartner)
                visit(comparison.left[i], comparison.right[partner[i]]);
        }
        return;
    }
    const NameIndex rightIndex(comparison.right);
    for (ResultRow &left : comparison.left) {
        for (std::uint32_t j = rightIndex.first(left.name()); j != NameIndex::kEmpty; j = rightIndex.next(j))
            visit(left, comparison.right[j]);
    }
}

bool PairTimesDiffer(const Comparison &comparison, const ResultRow &left, const ResultRow &right)
{
    const std::int64_t step = std::max(comparison.leftResolution, comparison.rightResolution);
    return TimeOrder(shiftedRow(comparison, left, Side::Left), shiftedRow(comparison, right, Side::Right), step) != 0;
}

void Rematch(Comparison &comparison, PendingOperationList &operations)
{
    const ModeChoice choice = operations.mode.choice;
    operations.reset();
    if (comparison.everyJob)
        comparison.everyJob->clear();
    // As the scan left them: a pair that can no longer be ordered keeps none.
    for (ResultRows *rows : {&comparison.left, &comparison.right}) {
        for (ResultRow &row : *rows)
            setStatus(row, Status::None, NoIcon);
    }
    MatchRows(comparison, operations);
    planMode(comparison, choice, operations);
    summarize(comparison, operations);
}

void AppendFirstAndMore(std::string &text, const std::vector<std::string> &first, std::size_t count,
                        const std::function<std::string(std::string_view)> &show)
{
    for (const std::string &item : first)
        text += "\n" + (show ? show(item) : item);
    if (count > first.size())
        text += "\n... and " + std::to_string(count - first.size()) + " more.";
}

std::string UnreadableText(const ScanProblems &problems, const std::function<std::string(std::string_view)> &show)
{
    if (problems.count == 0)
        return {};
    std::string text = "Not everything could be compared: " + std::to_string(problems.count)
        + (problems.count == 1 ? " folder or file could not be read." : " folders or files could not be read.");
    AppendFirstAndMore(text, problems.first, problems.count, show);
    return text;
}

std::string UnorderedText(const UnorderedPairs &pairs, const std::function<std::string(std::string_view)> &show)
{
    std::string text;
    const std::size_t sameTime = pairs.count - pairs.future;
    if (sameTime > 0) {
        text = sameTime == 1
            ? std::string("1 file differs in size from its match on the other side, but both have the same "
                          "modification time, so which is newer cannot be told:")
            : std::to_string(sameTime)
                + " files differ in size from their matches on the other side, but each pair has the same "
                  "modification time, so which is newer cannot be told:";
        AppendFirstAndMore(text, pairs.first, sameTime, show);
    }
    if (pairs.future > 0) {
        text += text.empty() ? "" : "\n";
        text += pairs.future == 1
            ? std::string("1 file is dated in the future (or its match is), so which is newer cannot be trusted:")
            : std::to_string(pairs.future)
                + " files are dated in the future (or their matches are), so which is newer cannot be trusted:";
        AppendFirstAndMore(text, pairs.firstFuture, pairs.future, show);
    }
    return text;
}

std::string UnverifiedText(std::size_t count)
{
    if (count == 0)
        return {};
    return count == 1 ? std::string(
               "1 file has the same size as its match but another time; its contents were "
               "not compared.")
                      : std::to_string(count)
            + " files have the same size as their match but other times; their contents were not compared.";
}

std::string NestedFoldersMessage(const std::string &inner, const std::string &outer)
{
    return "Please choose two separate folders: " + inner + " lies inside " + outer
        + ", so a sync would copy the tree into itself.";
}

std::string TruncationMessage(std::size_t wantedOperations)
{
    return "Only the first " + std::to_string(PendingOperationList::kSlots) + " of "
        + std::to_string(wantedOperations)
        + " file operations are listed. Compare again after synchronizing to list the rest.";
}

namespace {

// Both trees scanned with the pair's choices, their findings in result.
void scanBoth(Comparison &result, const CompareHooks &hooks)
{
    if (hooks.choose)
        result.choices = hooks.choose(result.leftRoot, result.rightRoot);
    ScanOptions options;
    options.choices = &result.choices;
    ScanFindings leftFound, rightFound;
    FillResultLists(result.left, leftFound, result.leftRoot, result.right, rightFound, result.rightRoot, hooks,
                    options);
    result.leftLeftOut = leftFound.leftOut;
    result.rightLeftOut = rightFound.leftOut;
    result.leftRootId = leftFound.rootId;
    result.rightRootId = rightFound.rootId;
    result.leftProblems = std::move(leftFound.problems);
    result.rightProblems = std::move(rightFound.problems);
    result.leftLeftovers = std::move(leftFound.leftovers);
    result.rightLeftovers = std::move(rightFound.leftovers);
    result.leftResolution = leftFound.timeResolution;
    result.rightResolution = rightFound.timeResolution;
}

} // namespace

bool CompareFolders(const std::string &leftText, const std::string &rightText, const CompareHooks &hooks,
                    Comparison &result, PendingOperationList &operations)
{
    if (!platform::IsFolder(leftText) || !platform::IsFolder(rightText)) {
        if (hooks.showMessage)
            hooks.showMessage(kInvalidFolders, kErrorCaption);
        return false;
    }

    const std::string leftTrimmed = platform::TrimTrailingSeparators(leftText);
    const std::string rightTrimmed = platform::TrimTrailingSeparators(rightText);
    const bool rightInLeft = liesWithin(rightTrimmed, leftTrimmed);
    if (rightInLeft || liesWithin(leftTrimmed, rightTrimmed)) {
        if (hooks.showMessage)
            hooks.showMessage(rightInLeft ? NestedFoldersMessage(rightTrimmed, leftTrimmed)
                                          : NestedFoldersMessage(leftTrimmed, rightTrimmed),
                              kErrorCaption);
        return false;
    }

    std::vector<SyncJob> *const everyJob = result.everyJob;
    result = Comparison();
    result.everyJob = everyJob;
    if (everyJob)
        everyJob->clear();
    if (hooks.clearLists)
        hooks.clearLists();
    operations.reset();

    const std::string &left = leftTrimmed;
    if (hooks.writeBackRoot && left != leftText)
        hooks.writeBackRoot(Side::Left, left);
    const std::string &right = rightTrimmed;
    if (hooks.writeBackRoot && right != rightText)
        hooks.writeBackRoot(Side::Right, right);
    result.leftRoot = hooks.readRoot ? platform::TrimTrailingSeparators(hooks.readRoot(Side::Left)) : left;
    result.rightRoot = hooks.readRoot ? platform::TrimTrailingSeparators(hooks.readRoot(Side::Right)) : right;

    scanBoth(result, hooks);
    result.leftLocalTimes = platform::KeepsLocalTimes(platform::OpenFolder::open(result.leftRoot));
    result.rightLocalTimes = platform::KeepsLocalTimes(platform::OpenFolder::open(result.rightRoot));
    const std::optional<int> stated = hooks.statedTimeShift ? hooks.statedTimeShift(result.leftRoot, result.rightRoot)
                                                            : std::nullopt;
    if (stated) {
        result.rightShift = -std::int64_t(*stated) * 3600;
        result.shiftStated = true;
    } else {
        FindTimeShift(result);
    }
    MatchRows(result, operations);
    planMode(result, hooks.chooseMode ? hooks.chooseMode(result.leftRoot, result.rightRoot) : ModeChoice(), operations,
             hooks.draftMemory);
    summarize(result, operations);

    if (hooks.showResults)
        hooks.showResults(result);
    if (result.truncated() && hooks.showMessage)
        hooks.showMessage(TruncationMessage(result.wantedOperations), kProductName);
    if (hooks.showMessage && !TimeShiftText(result).empty())
        hooks.showMessage(TimeShiftText(result), kProductName);
    return true;
}
