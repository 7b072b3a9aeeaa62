#pragma once

#include "compare/syncmode.h"

#include <functional>
#include <string>
#include <utility>

class QMenu;
class QWidget;
struct SyncPlan;

// "Way of syncing": the six ways, the pair's own checked when the menu
// opens. pair gives the roots as compared; changed is called after a choice
// was stored (the caller compares again).
QMenu *MakeModeMenu(QWidget *parent, std::function<std::pair<std::string, std::string>()> pair,
                    std::function<void()> changed);

// Before OK carries the plan out, what the mode and the memory ask of a
// person: a run that would move many files to the Trash (Yes/No, No the
// default: false, nothing is done); in newest wins, files it would copy back
// although they were deleted there since the last sync (No leaves those out
// of the plan and carries out the rest).
bool AskBeforeRun(QWidget *owner, const ModeOutcome &mode, SyncPlan &plan);
