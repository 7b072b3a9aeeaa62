#include "compare/syncmode.h"

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
    if (mode.trashLeft > 0)
        text += " " + std::to_string(mode.trashLeft) + " files on the left";
    if (mode.trashLeft > 0 && mode.trashRight > 0)
        text += " and";
    if (mode.trashRight > 0)
        text += " " + std::to_string(mode.trashRight) + " files on the right";
    return text + " to the Trash: more than half of that side's files, or more than " + std::to_string(kManyDeletions)
        + ".";
}
