#include "compare/syncmode.h"

#include "platform/paths.h"
#include "platform/settings.h"

#include <utility>

// The names of the ways of syncing and what the program says about them.

const char *SideWord(bool left)
{
    return left ? "left" : "right";
}

const char *ModeKey(SyncMode mode)
{
    switch (mode) {
    case SyncMode::TwoWay:
        return "two-way";
    case SyncMode::Mirror:
        return "mirror";
    case SyncMode::Update:
        return "update";
    case SyncMode::NewestWins:
        break;
    }
    return "newest-wins";
}

bool ModeFromKey(std::string_view key, SyncMode &mode)
{
    for (const SyncMode each : {SyncMode::NewestWins, SyncMode::TwoWay, SyncMode::Mirror, SyncMode::Update}) {
        if (key == ModeKey(each)) {
            mode = each;
            return true;
        }
    }
    return false;
}

std::string ModeTitle(const ModeChoice &choice)
{
    const std::string from = SideWord(choice.fromLeft), to = SideWord(!choice.fromLeft);
    switch (choice.mode) {
    case SyncMode::TwoWay:
        return "Both ways, remembering";
    case SyncMode::Mirror:
        return "Mirror " + from + " onto " + to;
    case SyncMode::Update:
        return "Update " + to + " from " + from;
    case SyncMode::NewestWins:
        break;
    }
    return "Both ways, newest wins";
}

std::string ModeSetting(const ModeChoice &choice)
{
    const bool oneWay = choice.mode == SyncMode::Mirror || choice.mode == SyncMode::Update;
    return std::string(ModeKey(choice.mode)) + (oneWay ? (choice.fromLeft ? " left" : " right") : "");
}

ModeChoice ModeFromSetting(std::string_view text)
{
    ModeChoice choice;
    const std::size_t space = text.find(' ');
    if (!ModeFromKey(text.substr(0, space), choice.mode))
        return {};
    choice.fromLeft = space == std::string_view::npos || text.substr(space + 1) != "right";
    return choice;
}

std::string DeletedSinceText(const ModeOutcome &mode)
{
    std::string text;
    for (const bool toLeft : {false, true}) {
        const std::size_t n = toLeft ? mode.deletedToLeft : mode.deletedToRight;
        if (n == 0)
            continue;
        text += text.empty() ? "" : " ";
        text += std::to_string(n)
            + (n == 1 ? " file that would be copied to the " : " files that would be copied to the ") + SideWord(toLeft)
            + (n == 1 ? " was" : " were") + " deleted there since the last sync.";
    }
    return text + " " + ModeTitle({SyncMode::TwoWay, true}) + " would move them to the Trash instead.";
}

std::string ManyDeletionsText(const ModeOutcome &mode)
{
    std::string text = "This sync would move";
    for (const bool left : {true, false}) {
        const std::size_t n = left ? mode.trashLeft : mode.trashRight;
        if (n == 0)
            continue;
        if (!left && mode.trashLeft > 0)
            text += " and";
        text += " " + std::to_string(n) + (n == 1 ? " file on the " : " files on the ") + SideWord(left);
    }
    return text + " to the Trash: more than half of that side's files, or more than " + std::to_string(kManyDeletions)
        + ".";
}

std::string KeptName(std::string_view name, bool right)
{
    const std::size_t slash = name.rfind(platform::kSeparator);
    const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot <= base)
        dot = name.size(); // no extension, or a name that starts with its only dot
    return std::string(name.substr(0, dot)) + (right ? " (right)" : " (left)") + std::string(name.substr(dot));
}

SyncJob DecidedConflict(const SyncJob &conflict, ConflictDecision decision)
{
    SyncJob job = conflict;
    job.kind = JobKind::Conflict;
    job.newName.clear();
    job.replace = false;
    job.fromLeft = true;
    switch (decision) {
    case ConflictDecision::Leave:
        break;
    case ConflictDecision::KeepBoth:
        job.newName = KeptName(job.name, true);
        break;
    case ConflictDecision::KeepRight:
        std::swap(job.size, job.seenSize);
        std::swap(job.sourceModified, job.seenModified);
        std::swap(job.sourceNanos, job.seenNanos);
        job.fromLeft = false;
        [[fallthrough]];
    case ConflictDecision::KeepLeft:
        job.kind = JobKind::Copy;
        job.replace = true;
        break;
    }
    return job;
}

std::vector<SyncJob> JobsOf(const SyncJob &job)
{
    if (job.kind != JobKind::Conflict || job.newName.empty())
        return {job};
    // The right's file takes its new name on the right, then each side
    // receives the other's: renames run before copies.
    SyncJob rename = job;
    rename.kind = JobKind::Rename;
    rename.fromLeft = true;
    rename.size = 0;
    SyncJob toLeft;
    toLeft.name = job.newName;
    toLeft.fromLeft = false;
    toLeft.size = job.seenSize;
    toLeft.sourceModified = job.seenModified;
    toLeft.sourceNanos = job.seenNanos;
    toLeft.why = job.why;
    SyncJob toRight;
    toRight.name = job.name;
    toRight.size = job.size;
    toRight.sourceModified = job.sourceModified;
    toRight.sourceNanos = job.sourceNanos;
    toRight.why = job.why;
    return {rename, toLeft, toRight};
}

ModeChoice PairMode(const std::string &left, const std::string &right)
{
    if (left.empty() || right.empty())
        return {};
    const QString stored = platform::ReadPairSetting(QString::fromStdString(left), QString::fromStdString(right),
                                                     QString::fromLatin1(kPairModeKey));
    return ModeFromSetting(stored.toStdString());
}
