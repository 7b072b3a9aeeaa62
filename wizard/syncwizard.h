#pragma once

#include "compare/comparefolders.h" // Side
#include "compare/global.h"

#include <QString>

#include <functional>

class QWidget;

// What the Sync Wizard needs of the main window. The wizard never includes
// the main window's headers.
struct WizardContext
{
    QWidget *mainWindow = nullptr;      // hidden while the wizard is open, shown when it closes
    // A person's decisions on conflicts are written back into it.
    PendingOperationList *operations = &Global::PendingOperations;
    std::function<int(Side)> rowCount;  // rows of that side's result list
    std::function<QString(Side)> comboText; // read at the moment it is needed
    // The main window's Compare, as a press of its button; false where it
    // could not compare (a folder gone meanwhile, a stick pulled out).
    std::function<bool()> compareAgain;
    // True once the program is ending (Exit, or the main window closed while
    // the Compare after OK scanned): the wizard then says nothing more and
    // brings no window back.
    std::function<bool()> ending;
};

// The Sync Wizard command: with pending operations the main window steps
// aside and the wizard takes its place (not modal); otherwise a message says
// why there is nothing to do.
void OpenSyncWizard(const WizardContext &context);

// True while the open wizard carries operations out.
bool SyncWizardCopying();
