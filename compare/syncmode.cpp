#include "compare/syncmode.h"

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "compare/knownnames.h"
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <unordered_set>
#include <vector>

namespace {

using Known = KnownName;
constexpr std::uint32_t kNone = kNotKnown;

RememberedSide remembered(const ResultRow &row, std::uint64_t inode = 0)
{
    return {row.size, row.modified, inode, row.modifiedNanos};
}

ResultRow asRow(const RememberedSide &side)
{
    ResultRow row;
    row.size = side.size;
    row.modified = side.modified;
    row.modifiedNanos = side.nanos;
    return row;
}

std::string_view baseName(std::string_view name)
{
    const std::size_t cut = name.rfind(platform::kSeparator);
    return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

std::uint64_t inodeOf(const std::string &root, std::string_view name)
{
    struct stat st;
    const std::string path = platform::JoinPath(root, std::string(name));
    return ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? std::uint64_t(st.st_ino) : 0;
}

class Planner
{
public:
    Planner(Comparison &c, const MemoryRead &read, const ModeChoice &choice, const SideTrust &trust,
            PendingOperationList &operations, bool draft)
        : m_c(c)
        , m_read(read)
        , m_memory(read.memory)
        , m_choice(choice)
        , m_trust(trust)
        , m_ops(operations)
    {
        m_outcome.choice = choice;
        m_stepLeft = c.leftResolution;
        m_stepRight = c.rightResolution;
        for (const std::string &path : c.leftLeftOut.marked)
            m_marked[0].insert(path);
        for (const std::string &path : c.rightLeftOut.marked)
            m_marked[1].insert(path);
        if (!draft)
            return;
        m_outcome.draft = std::make_shared<MemoryDraft>();
        m_outcome.draft->file = read.file;
        m_outcome.draft->leftRoot = c.leftRoot;
        m_outcome.draft->rightRoot = c.rightRoot;
        m_outcome.draft->inStep.leftVolume = m_outcome.draft->carried.leftVolume = m_memory.leftVolume;
        m_outcome.draft->inStep.rightVolume = m_outcome.draft->carried.rightVolume = m_memory.rightVolume;
        // Most files are in step: one block each, not one regrown a million times.
        m_outcome.draft->inStep.reserve(std::min(c.left.size(), c.right.size()), m_memory.nameBytes());
    }

    ModeOutcome run();

private:
    const RememberedSide *mem(const Known &k, bool left) const
    {
        if (k.memory == kNone || !m_read.trusted)
            return nullptr;
        return left ? &m_memory.left(k.memory) : &m_memory.right(k.memory);
    }
    const ResultRow *row(const Known &k, bool left) const
    {
        const std::uint32_t i = left ? k.left : k.right;
        return i == kNone ? nullptr : &(left ? m_c.left : m_c.right)[i];
    }
    bool changed(const Known &k, bool left) const
    {
        const RememberedSide *was = mem(k, left);
        const ResultRow *now = row(k, left);
        return !was || !now || was->size != now->size
            || TimeOrder(*now, asRow(*was), left ? m_stepLeft : m_stepRight) != 0;
    }
    // Whether the side's volume marks the name, or a folder on its way,
    // hidden: left out there, not gone.
    bool markedHidden(std::string_view name, bool left) const
    {
        const std::unordered_set<std::string_view> &marked = m_marked[left ? 0 : 1];
        for (std::size_t end = name.size(); !marked.empty() && end != std::string_view::npos;
             end = end == 0 ? std::string_view::npos : name.rfind(platform::kSeparator, end - 1)) {
            if (marked.count(name.substr(0, end)))
                return true;
        }
        return false;
    }
    void note(const Known &k, bool left, std::string text)
    {
        if (const std::uint32_t i = left ? k.left : k.right; i != kNone)
            (left ? m_c.leftNotes : m_c.rightNotes)[i] = std::move(text);
    }

    void emit(SyncJob job, std::string why);
    void copy(const Known &k, bool fromLeft, std::string why);
    void trash(const Known &k, bool onLeft, std::string why);
    void conflict(const Known &k, std::string why);
    void keepOrCarry(const Known &k);
    void inStep(const Known &k);
    void annotate();
    void twoWay(const Known &k);
    void oneWay(const Known &k);
    void newestWins(const Known &k);
    void findRenames(bool onLeft);
    void emitRenames(bool onLeft);

    Comparison &m_c;
    const MemoryRead &m_read;
    const SyncMemory &m_memory;
    ModeChoice m_choice;
    const SideTrust &m_trust;
    PendingOperationList &m_ops;
    ModeOutcome m_outcome;
    std::int64_t m_stepLeft = 1, m_stepRight = 1;
    std::vector<Known> m_known;
    std::unordered_set<std::size_t> m_renamed; // positions in m_known a rename explains
    // Per side renamed on: (old name's position, new name's position).
    std::vector<std::pair<std::size_t, std::size_t>> m_renames[2];
    std::size_t m_wanted = 0;
    std::unordered_set<std::string_view> m_marked[2]; // left, right
};

void Planner::emit(SyncJob job, std::string why)
{
    job.why = why;
    if (m_c.everyJob)
        m_c.everyJob->push_back(job);
    if (++m_wanted > std::size_t(PendingOperationList::kSlots))
        return;
    job.why = std::move(why);
    m_ops.append(PendingOperationFor(job.fromLeft ? m_c.leftRoot : m_c.rightRoot,
                                     job.fromLeft ? m_c.rightRoot : m_c.leftRoot, std::move(job)));
}

void Planner::copy(const Known &k, bool fromLeft, std::string why)
{
    const ResultRow *replaced = row(k, !fromLeft);
    SyncJob job = CopyJobFor(*row(k, fromLeft), replaced, fromLeft);
    ++(replaced ? m_outcome.replaces : m_outcome.copies);
    if (!why.empty()) {
        note(k, fromLeft, why);
        note(k, !fromLeft, why);
    }
    keepOrCarry(k);
    emit(std::move(job), std::move(why));
}

void Planner::trash(const Known &k, bool onLeft, std::string why)
{
    const std::string &distrust = onLeft ? m_trust.right : m_trust.left;
    if (!distrust.empty()) {
        if (m_outcome.guardNote.empty())
            m_outcome.guardNote = "Nothing is moved to the Trash on the " + std::string(SideWord(onLeft)) + ", because "
                + distrust + ".";
        ++m_outcome.heldBack;
        keepOrCarry(k);
        return;
    }
    const ResultRow &doomed = *row(k, onLeft);
    if (markedHidden(doomed.name(), !onLeft)) {
        note(k, onLeft, std::string("hidden on the ") + SideWord(!onLeft) + ": left as it is");
        keepOrCarry(k);
        return;
    }
    SyncJob job;
    job.kind = JobKind::Trash;
    job.name = doomed.name();
    job.fromLeft = !onLeft;
    job.size = 0;
    job.seenSize = doomed.size;
    job.seenModified = doomed.modified;
    job.seenNanos = doomed.modifiedNanos;
    ++(onLeft ? m_outcome.trashLeft : m_outcome.trashRight);
    note(k, onLeft, why);
    keepOrCarry(k);
    emit(std::move(job), std::move(why));
}

void Planner::conflict(const Known &k, std::string why)
{
    // Both sides as seen, so that a person's decision can be carried out
    // only while they still are: the left as the source, the right as seen.
    const ResultRow &l = *row(k, true), &r = *row(k, false);
    SyncJob job;
    job.kind = JobKind::Conflict;
    job.name = l.name();
    job.size = l.size;
    job.sourceModified = l.modified;
    job.sourceNanos = l.modifiedNanos;
    job.seenSize = r.size;
    job.seenModified = r.modified;
    job.seenNanos = r.modifiedNanos;
    ++m_outcome.conflicts;
    note(k, true, why);
    note(k, false, why);
    keepOrCarry(k);
    emit(std::move(job), std::move(why));
}

// A file not in step keeps what the memory knew of it, until a run brings
// it into step.
void Planner::keepOrCarry(const Known &k)
{
    if (k.memory != kNone && m_read.trusted && m_outcome.draft)
        m_outcome.draft->carried.add(m_memory.name(k.memory), m_memory.left(k.memory), m_memory.right(k.memory),
                                     m_memory.sameContents(k.memory));
}

void Planner::inStep(const Known &k)
{
    if (!m_outcome.draft)
        return;
    const ResultRow &l = *row(k, true), &r = *row(k, false);
    const bool sameLeft = !changed(k, true), sameRight = !changed(k, false);
    // Bytes found the same now, or at the last sync and neither side
    // touched since, to the nanosecond.
    const auto untouched = [](const ResultRow &now, const RememberedSide *was) {
        return was && was->size == now.size && was->modified == now.modified && was->nanos == now.modifiedNanos;
    };
    const bool same = l.contents == Contents::Same
        || (mem(k, true) && m_memory.sameContents(k.memory) && untouched(l, mem(k, true))
            && untouched(r, mem(k, false)));
    m_outcome.draft->inStep.add(l.name(), remembered(l, sameLeft ? mem(k, true)->inode : 0),
                                remembered(r, sameRight ? mem(k, false)->inode : 0), same);
}

void Planner::annotate()
{
    std::unordered_set<std::string_view> deleted;
    for (const Known &k : m_known) {
        const ResultRow *l = row(k, true), *r = row(k, false);
        if (l && r && l->status == Status::OK) {
            inStep(k);
            continue;
        }
        keepOrCarry(k);
        if (l && r)
            continue;
        const bool onLeft = l != nullptr;
        if (!mem(k, onLeft) || changed(k, onLeft) || markedHidden(row(k, onLeft)->name(), !onLeft))
            continue;
        ++(onLeft ? m_outcome.deletedToRight : m_outcome.deletedToLeft);
        const std::string why = std::string("deleted on the ") + SideWord(!onLeft) + " since the last sync";
        note(k, onLeft, why);
        deleted.insert(row(k, onLeft)->name());
    }
    const auto why = [](const SyncJob &job) {
        return std::string("deleted on the ") + SideWord(!job.fromLeft) + " since the last sync";
    };
    for (int slot = 0, n = deleted.empty() ? 0 : m_ops.count(); slot < n; ++slot) {
        if (!m_ops[slot].job.replace && deleted.count(m_ops[slot].job.name))
            m_ops.setWhy(slot, why(m_ops[slot].job));
    }
    if (!deleted.empty() && m_c.everyJob) {
        for (SyncJob &job : *m_c.everyJob) {
            if (!job.replace && deleted.count(job.name))
                job.why = why(job);
        }
    }
}

void Planner::newestWins(const Known &k)
{
    const ResultRow *l = row(k, true), *r = row(k, false);
    if (l && r && l->status == Status::OK) {
        inStep(k);
        return;
    }
    if (l && r && (l->status == Status::None || r->status == Status::None)) {
        keepOrCarry(k); // cannot be ordered: left as it is
        return;
    }
    const bool fromLeft = l && (!r || l->status == Status::Newer);
    copy(k, fromLeft, {});
}

void Planner::twoWay(const Known &k)
{
    const ResultRow *l = row(k, true), *r = row(k, false);
    if (l && r) {
        const bool same = l->size == r->size && l->contents != Contents::Different;
        if (!mem(k, true)) {
            if (same)
                newestWins(k);
            else
                conflict(k, "added on both sides since the last sync");
            return;
        }
        const bool changedLeft = changed(k, true), changedRight = changed(k, false);
        if (changedLeft == changedRight) {
            if (changedLeft && !same)
                conflict(k, "changed on both sides since the last sync");
            else
                newestWins(k);
            return;
        }
        if (same && TimeOrder(*l, *r, std::max(m_stepLeft, m_stepRight)) == 0) {
            newestWins(k);
            return;
        }
        copy(k, changedLeft, std::string("changed on the ") + SideWord(changedLeft) + " since the last sync");
        return;
    }
    if (!l && !r)
        return; // gone from both sides: forgotten
    const bool onLeft = l != nullptr;
    if (!mem(k, onLeft)) {
        copy(k, onLeft, {});
    } else if (changed(k, onLeft)) {
        copy(k, onLeft,
             std::string("deleted on the ") + SideWord(!onLeft) + " since the last sync, but changed on the "
                 + SideWord(onLeft) + ": copied back");
    } else {
        trash(k, onLeft, std::string("deleted on the ") + SideWord(!onLeft) + " since the last sync");
    }
}

void Planner::oneWay(const Known &k)
{
    const bool src = m_choice.fromLeft;
    const bool mirror = m_choice.mode == SyncMode::Mirror;
    const ResultRow *s = row(k, src), *d = row(k, !src);
    if (s && d) {
        const bool sameTime = TimeOrder(*s, *d, std::max(m_stepLeft, m_stepRight)) == 0;
        const bool same = s->size == d->size && s->contents != Contents::Different;
        const bool sourceChanged = mem(k, src) && changed(k, src) && !sameTime;
        const bool destinationChanged = mem(k, !src) && changed(k, !src) && !sameTime;
        if (mirror && (!same || sourceChanged || destinationChanged))
            copy(k, src, {});
        else if (!mirror && !same && s->status == Status::Newer)
            copy(k, src, {});
        else if (!mirror && sourceChanged && !destinationChanged)
            copy(k, src, std::string("changed on the ") + SideWord(src) + " since the last sync");
        else if (same)
            newestWins(k);
        else
            keepOrCarry(k);
        return;
    }
    if (s)
        copy(k, src, {});
    else if (d && mirror)
        trash(k, !src, std::string("not in the ") + SideWord(src) + " folder");
    else if (d)
        keepOrCarry(k);
}

// Files renamed or moved on one side since the last sync: gone from their
// remembered name there, unchanged under it on the other side, and found
// under a new name no one remembers, with the same identity where the
// volume keeps identities, else with the same size, time and name.
void Planner::findRenames(bool onLeft)
{
    std::vector<std::size_t> gone;
    std::multimap<std::tuple<std::int64_t, std::int64_t, std::uint32_t, std::string_view>, std::size_t> fresh;
    std::multimap<std::uint64_t, std::size_t> byInode;
    const platform::VolumeMark &volume = onLeft ? m_memory.leftVolume : m_memory.rightVolume;
    const std::string &root = onLeft ? m_c.leftRoot : m_c.rightRoot;
    for (std::size_t i = 0; i < m_known.size(); ++i) {
        const Known &k = m_known[i];
        const bool here = row(k, onLeft), there = row(k, !onLeft);
        if (!here && there && mem(k, onLeft) && !changed(k, !onLeft) && !markedHidden(row(k, !onLeft)->name(), onLeft))
            gone.push_back(i);
        if (here && !there && k.memory == kNone) {
            const ResultRow &r = *row(k, onLeft);
            fresh.emplace(std::tuple(r.size, r.modified, r.modifiedNanos, baseName(r.name())), i);
            if (volume.lastingInodes)
                byInode.emplace(inodeOf(root, r.name()), i);
        }
    }
    if (gone.empty() || fresh.empty())
        return;
    for (const std::size_t g : gone) {
        const RememberedSide &was = *mem(m_known[g], onLeft);
        std::size_t found = kNone;
        if (const auto hit = byInode.find(was.inode); was.inode != 0 && hit != byInode.end()) {
            const ResultRow &r = *row(m_known[hit->second], onLeft);
            if (r.size == was.size && r.modified == was.modified && r.modifiedNanos == was.nanos)
                found = hit->second;
        }
        if (found == kNone) {
            const auto key = std::tuple(was.size, was.modified, was.nanos, baseName(m_memory.name(m_known[g].memory)));
            if (fresh.count(key) == 1)
                found = fresh.find(key)->second;
        }
        if (found == kNone || m_renamed.count(found))
            continue;
        m_renamed.insert(g);
        m_renamed.insert(found);
        m_renames[onLeft].emplace_back(g, found);
    }
}

namespace {

// The folders a rename moved: the old and new names less the trailing
// folders and name they share ("Trip/day1/a.jpg", "Lisbon/day1/a.jpg":
// "Trip", "Lisbon"); empty where the rename changed the file's own name.
std::pair<std::string_view, std::string_view> movedFolders(std::string_view from, std::string_view to)
{
    while (true) {
        const std::size_t a = from.rfind(platform::kSeparator), b = to.rfind(platform::kSeparator);
        if (a == std::string_view::npos || b == std::string_view::npos || from.substr(a) != to.substr(b))
            return {from.substr(0, a == std::string_view::npos ? 0 : a),
                    to.substr(0, b == std::string_view::npos ? 0 : b)};
        from = from.substr(0, a);
        to = to.substr(0, b);
        if (from.find(platform::kSeparator) == std::string_view::npos
            || to.find(platform::kSeparator) == std::string_view::npos)
            return {from, to};
    }
}

bool within(std::string_view name, std::string_view folder)
{
    return name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0
        && name[folder.size()] == platform::kSeparator;
}

std::size_t countWithin(const ResultRows &rows, std::string_view folder)
{
    std::size_t n = 0;
    for (const ResultRow &row : rows)
        n += within(row.name(), folder);
    return n;
}

} // namespace

// Each rename on one side becomes a rename on the other; where a whole
// folder moved (everything under it on the other side goes, nothing of it
// is left here, nothing there has the new name yet), one rename of the
// folder.
void Planner::emitRenames(bool onLeft)
{
    std::map<std::pair<std::string_view, std::string_view>, std::vector<std::pair<std::size_t, std::size_t>>> groups;
    for (const auto &[g, f] : m_renames[onLeft]) {
        const auto [from, to] = movedFolders(m_memory.name(m_known[g].memory), row(m_known[f], onLeft)->name());
        groups[{from, to}].emplace_back(g, f);
    }
    const ResultRows &here = onLeft ? m_c.left : m_c.right;
    const ResultRows &there = onLeft ? m_c.right : m_c.left;
    const std::string why = std::string("renamed on the ") + SideWord(onLeft) + " since the last sync";
    std::size_t folders = 0;
    for (const auto &[folder, members] : groups) {
        const auto &[from, to] = folder;
        const bool whole = !from.empty() && !to.empty() && ++folders <= 100
            && countWithin(there, from) == members.size() && countWithin(here, from) == 0
            && countWithin(there, to) == 0;
        for (const auto &[g, f] : members) {
            note(m_known[g], !onLeft, why);
            note(m_known[f], onLeft, why);
            const Known &old = m_known[g];
            if (m_outcome.draft)
                m_outcome.draft->carried.add(m_memory.name(old.memory), m_memory.left(old.memory),
                                             m_memory.right(old.memory), m_memory.sameContents(old.memory));
        }
        const auto rename = [&](std::string_view oldName, std::string_view newName, const ResultRow *seen) {
            SyncJob job;
            job.kind = JobKind::Rename;
            job.fromLeft = onLeft;
            job.name = oldName;
            job.newName = newName;
            job.folder = seen == nullptr;
            job.size = 0;
            if (seen) {
                job.seenSize = seen->size;
                job.seenModified = seen->modified;
                job.seenNanos = seen->modifiedNanos;
            }
            ++m_outcome.renames;
            emit(std::move(job), why);
        };
        if (whole) {
            rename(from, to, nullptr);
            continue;
        }
        for (const auto &[g, f] : members)
            rename(m_memory.name(m_known[g].memory), row(m_known[f], onLeft)->name(), row(m_known[g], !onLeft));
    }
}

ModeOutcome Planner::run()
{
    const bool remembering = m_choice.mode == SyncMode::TwoWay && m_read.trusted;
    if (m_choice.mode == SyncMode::TwoWay && !m_read.trusted)
        m_outcome.memoryNote = m_read.distrust.empty()
            ? std::string("This is the first sync of these folders in this mode, so it deletes and renames nothing.")
            : "The record of the last sync of these folders is not used (" + m_read.distrust
                + "), so this sync deletes and renames nothing.";
    // Newest wins keeps the order and operations of the matching; the
    // memory only says what it knows about them.
    if (m_choice.mode == SyncMode::NewestWins || (m_choice.mode == SyncMode::TwoWay && !remembering)) {
        // With nothing to say and nothing to keep, the names are not merged.
        if (m_read.trusted || m_outcome.draft) {
            m_known = KnownNames(m_c, m_memory);
            annotate();
        }
        return std::move(m_outcome);
    }
    m_known = KnownNames(m_c, m_memory);
    m_ops.reset();
    if (m_c.everyJob)
        m_c.everyJob->clear();
    if (remembering) {
        findRenames(true);
        findRenames(false);
        emitRenames(true);
        emitRenames(false);
    }
    for (std::size_t i = 0; i < m_known.size(); ++i) {
        if (m_renamed.count(i))
            continue;
        if (m_choice.mode == SyncMode::TwoWay)
            twoWay(m_known[i]);
        else
            oneWay(m_known[i]);
    }
    m_c.wantedOperations = m_wanted;
    const std::size_t leftFiles = m_c.left.size(), rightFiles = m_c.right.size();
    m_outcome.manyDeletions = m_outcome.trashLeft > kManyDeletions || m_outcome.trashRight > kManyDeletions
        || (m_outcome.trashLeft > 0 && m_outcome.trashLeft * 2 > leftFiles)
        || (m_outcome.trashRight > 0 && m_outcome.trashRight * 2 > rightFiles);
    return std::move(m_outcome);
}

} // namespace

void PlanSyncMode(Comparison &comparison, const MemoryRead &memory, const ModeChoice &choice, const SideTrust &trust,
                  PendingOperationList &operations, bool draft)
{
    comparison.leftNotes.clear();
    comparison.rightNotes.clear();
    operations.mode = Planner(comparison, memory, choice, trust, operations, draft).run();
}
