#include "compare/global.h"

#include "platform/paths.h"

#include <utility>

SyncJob CopyJobFor(const ResultRow &source, const ResultRow *replaced, bool fromLeft)
{
    SyncJob job;
    job.name = source.name();
    job.fromLeft = fromLeft;
    job.size = source.size;
    job.sourceModified = source.modified;
    job.sourceNanos = source.modifiedNanos;
    if (replaced) {
        job.replace = true;
        job.seenSize = replaced->size;
        job.seenModified = replaced->modified;
        job.seenNanos = replaced->modifiedNanos;
    }
    return job;
}

const char *ActionKey(const SyncJob &job)
{
    switch (job.kind) {
    case JobKind::Trash:
        return "trash";
    case JobKind::Rename:
        return "rename";
    case JobKind::Conflict:
        return "conflict";
    case JobKind::Copy:
        break;
    }
    return job.replace ? kOverwrites : kCopiedTo;
}

PendingOperation PendingOperationFor(const std::string &fromRoot, const std::string &toRoot, SyncJob job)
{
    PendingOperation op;
    switch (job.kind) {
    case JobKind::Trash:
        op.source = platform::JoinPath(toRoot, job.name);
        op.action = kMovedToTrash;
        op.job = std::move(job);
        return op;
    case JobKind::Rename:
        op.source = platform::JoinPath(toRoot, job.name);
        op.action = kRenamedTo;
        op.destination = platform::JoinPath(toRoot, job.newName);
        op.job = std::move(job);
        return op;
    case JobKind::Conflict:
        op.source = platform::JoinPath(fromRoot, job.name);
        op.action = job.newName.empty() ? kConflictLeft : kConflictBoth;
        op.destination = platform::JoinPath(toRoot, job.name);
        op.job = std::move(job);
        return op;
    case JobKind::Copy:
        break;
    }
    op.source = platform::JoinPath(fromRoot, job.name);
    op.copyFrom = op.source;
    op.copyTo = platform::JoinPath(toRoot, job.name);
    if (job.replace) {
        op.action = kOverwrites;
        op.destination = op.copyTo;
        op.deleteFirst = op.copyTo;
    } else {
        op.action = kCopiedTo;
        op.destination = platform::WithSeparator(toRoot);
    }
    op.job = std::move(job);
    return op;
}

PendingOperationList::PendingOperationList()
    : m_slots(kSlots)
{
}

int PendingOperationList::count() const
{
    int k = 0;
    while (k < kSlots && !m_slots[k].source.empty())
        ++k;
    return k;
}

void PendingOperationList::reset()
{
    for (PendingOperation &slot : m_slots)
        slot = PendingOperation();
    roots = SyncRoots();
    found = 0;
    unreadable = ScanProblems();
    unordered = UnorderedPairs();
    unverified = 0;
    mode = ModeOutcome();
    leftLeftOut = LeftOut();
    rightLeftOut = LeftOut();
    m_next = 0;
}

bool PendingOperationList::append(PendingOperation operation)
{
    if (m_next >= kSlots)
        return false;
    m_slots[m_next++] = std::move(operation);
    return true;
}

namespace Global {
PendingOperationList PendingOperations;
} // namespace Global
