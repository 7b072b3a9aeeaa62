#include "wizard/modemenu.h"

#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"
#include "platform/settings.h"
#include "sync/syncoperations.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

namespace {

const QString kModeKey = QString::fromLatin1(kPairModeKey);

constexpr ModeChoice kChoices[] = {
    {SyncMode::NewestWins, true}, {SyncMode::TwoWay, true}, {SyncMode::Mirror, true},
    {SyncMode::Mirror, false},    {SyncMode::Update, true}, {SyncMode::Update, false},
};

} // namespace

QMenu *MakeModeMenu(QWidget *parent, std::function<std::pair<std::string, std::string>()> pair,
                    std::function<void()> changed)
{
    auto *menu = new QMenu(QStringLiteral("Way of syncing"), parent);
    menu->setObjectName(QStringLiteral("ModeMenu"));
    auto *group = new QActionGroup(menu);
    for (const ModeChoice &choice : kChoices) {
        QAction *action = menu->addAction(QString::fromStdString(ModeTitle(choice)));
        action->setCheckable(true);
        action->setData(QString::fromStdString(ModeSetting(choice)));
        group->addAction(action);
    }
    QObject::connect(menu, &QMenu::aboutToShow, menu, [menu, pair] {
        const auto [left, right] = pair();
        const QString current = QString::fromStdString(ModeSetting(PairMode(left, right)));
        for (QAction *action : menu->actions()) {
            action->setEnabled(!left.empty() && !right.empty());
            action->setChecked(action->data().toString() == current);
        }
    });
    QObject::connect(group, &QActionGroup::triggered, menu, [pair, changed](QAction *action) {
        const auto [left, right] = pair();
        if (left.empty() || right.empty())
            return;
        platform::WritePairSetting(QString::fromStdString(left), QString::fromStdString(right), kModeKey,
                                   action->data().toString());
        if (changed)
            changed();
    });
    return menu;
}

bool AskBeforeRun(QWidget *owner, const ModeOutcome &mode, SyncPlan &plan)
{
    const QString caption = QStringLiteral("Corvanel");
    if (mode.manyDeletions
        && !platform::desktop().question(owner,
                                         platform::DisplayText(ManyDeletionsText(mode) + "\n\nCarry it out anyway?"),
                                         caption))
        return false;
    for (const bool toLeft : {false, true}) {
        const std::size_t n = toLeft ? mode.deletedToLeft : mode.deletedToRight;
        if (n == 0)
            continue;
        const std::string side = SideWord(toLeft);
        const std::string text = std::to_string(n)
            + (n == 1 ? " file that OK would copy to the " : " files that OK would copy to the ") + side
            + (n == 1 ? " was" : " were") + " deleted there since the last sync. Copy " + (n == 1 ? "it" : "them")
            + " back anyway?\n\n(" + ModeTitle({SyncMode::TwoWay, true}) + " would move " + (n == 1 ? "it" : "them")
            + " to the Trash on the " + SideWord(!toLeft) + " instead.)";
        if (platform::desktop().question(owner, platform::DisplayText(text), caption))
            continue;
        std::erase_if(plan.jobs, [toLeft](const SyncJob &job) {
            return job.kind == JobKind::Copy && !job.replace && job.fromLeft != toLeft && !job.why.empty();
        });
    }
    return true;
}
