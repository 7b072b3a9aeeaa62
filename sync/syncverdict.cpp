#include "sync/syncverdict.h"
#include "compare/comparefolders.h"

SyncVerdict JudgeSync(const SyncReport &report, const SyncAfterwards &after)
{
    SyncVerdict verdict;
    if (!report.allDone())
        verdict.end = SyncEnd::Failed;
    else if (!after.compared)
        verdict.end = SyncEnd::NotComparedAgain;
    else if (after.pending > 0)
        verdict.end = SyncEnd::StillPending;
    else if (after.unreadable > 0 || after.unordered > 0 || !after.readAllBefore)
        verdict.end = SyncEnd::MayStillDiffer;
    else
        verdict.end = report.outcomes.empty() ? SyncEnd::Identical : SyncEnd::Synchronized;
    const bool inStep = verdict.end == SyncEnd::Identical || verdict.end == SyncEnd::Synchronized;
    verdict.exitStatus = inStep ? 0 : after.compared ? 1 : 2;
    return verdict;
}

namespace {

std::string withUnverified(std::string text, std::size_t unverified)
{
    if (unverified > 0)
        text += " " + UnverifiedText(unverified);
    return text;
}

} // namespace

std::string IdenticalText(const std::string &left, const std::string &right, std::size_t unverified)
{
    return withUnverified("No need to synchronize. " + left + " & " + right + " are identical.", unverified);
}

std::string SynchronizedText(const std::string &left, const std::string &right, std::size_t unverified)
{
    return withUnverified(left + " & " + right + " have been synchronized.", unverified);
}

std::string NotInStepText(const SyncVerdict &verdict, const SyncAfterwards &after, const std::string &left,
                          const std::string &right)
{
    const std::string carriedOut = "Every file operation was carried out, but " + left + " & " + right;
    switch (verdict.end) {
    case SyncEnd::NotComparedAgain:
        return carriedOut + " could not be compared again afterwards.";
    case SyncEnd::StillPending:
        // The number is what the comparison found, not what one list holds.
        return carriedOut + " still differ: " + std::to_string(after.pending) + " more "
            + (after.pending == 1 ? "is" : "are") + " pending. Open the Sync Wizard again to carry them out.";
    case SyncEnd::MayStillDiffer:
        return carriedOut + " may still differ.";
    default:
        return {};
    }
}
