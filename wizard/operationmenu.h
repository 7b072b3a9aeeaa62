#pragma once

#include "compare/global.h"

#include <functional>

class OperationModel;
class QAbstractButton;
class QTreeView;

// What the wizard's operation list offers beyond the window's design: a
// header click sorts it (a second reverses; the list opens in slot order),
// the header and OK say in their tooltips what OK will do ("OK copies 38
// files and replaces 12: 1.4 GB"), and a context menu opens the selected
// row's source or destination with the desktop's program, or copies both
// paths. For a conflict it offers the decisions (keep left, keep right,
// keep both, leave as it is), handed to decide with the row's slot. Sets up
// the list once, when the wizard is loaded.
void AddOperationListExtras(QTreeView *list, OperationModel *model, QAbstractButton *ok,
                            const PendingOperationList &operations,
                            const std::function<bool(int slot)> &isConflict = {},
                            const std::function<void(int slot, ConflictDecision)> &decide = {});

// The header's and OK's tooltip, again after the operations changed.
void UpdateOperationSummary(OperationModel *model, QAbstractButton *ok, const PendingOperationList &operations);
