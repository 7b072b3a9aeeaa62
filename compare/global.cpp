#include "compare/global.h"

#include "platform/paths.h"

#include <utility>

PendingOperation PendingOperationFor(const std::string &fromRoot, const std::string &toRoot, SyncJob job)
{
    PendingOperation op;
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
