#include "wizard/operationmenu.h"

#include "wizard/operationmodel.h"
#include "wizard/shellexe.h"

#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>

#include <utility>
#include <vector>

namespace {

// The row the menu acts on: the selected one (the list selects one at most).
const OperationRow *selectedRow(const QTreeView *list, const OperationModel *model)
{
    const QModelIndexList rows = list->selectionModel()->selectedRows();
    return rows.isEmpty() ? nullptr : &model->row(rows.first().row());
}

// A "copied to" row names the destination folder, with a separator at its end.
bool exists(const std::string &path)
{
    return platform::FileExists(path) || platform::IsFolder(path);
}

} // namespace

void UpdateOperationSummary(OperationModel *model, QAbstractButton *ok, const PendingOperationList &operations)
{
    const QString summary = OperationSummaryText(operations);
    model->setSummary(summary);
    ok->setToolTip(summary);
}

void AddOperationListExtras(QTreeView *list, OperationModel *model, QAbstractButton *ok,
                            const PendingOperationList &operations, const std::function<bool(int slot)> &isConflict,
                            const std::function<void(int slot, ConflictDecision)> &decide)
{
    list->header()->setSortIndicator(-1, Qt::AscendingOrder);
    list->setSortingEnabled(true);
    UpdateOperationSummary(model, ok, operations);

    auto *menu = new QMenu(list); // owned by the list
    menu->setObjectName(QStringLiteral("OperationMenu"));
    QAction *openSource = menu->addAction(QStringLiteral("Open source"));
    openSource->setObjectName(QStringLiteral("OpenSourceAction"));
    QAction *openDestination = menu->addAction(QStringLiteral("Open destination"));
    openDestination->setObjectName(QStringLiteral("OpenDestinationAction"));
    QAction *copyPaths = menu->addAction(QStringLiteral("Copy paths"));
    copyPaths->setObjectName(QStringLiteral("CopyPathsAction"));

    QWidget *window = list->window();
    QObject::connect(openSource, &QAction::triggered, list, [list, model, window] {
        if (const OperationRow *row = selectedRow(list, model))
            ShellExe::OpenWithShell(window, row->source);
    });
    QObject::connect(openDestination, &QAction::triggered, list, [list, model, window] {
        if (const OperationRow *row = selectedRow(list, model))
            ShellExe::OpenWithShell(window, row->destination);
    });
    QObject::connect(copyPaths, &QAction::triggered, list, [list, model] {
        if (const OperationRow *row = selectedRow(list, model))
            QApplication::clipboard()->setText(platform::DisplayText(row->source) + QLatin1Char('\n')
                                               + platform::DisplayText(row->destination));
    });

    menu->addSeparator();
    std::vector<QAction *> decisions;
    for (const auto &[text, decision] :
         {std::pair("Keep left", ConflictDecision::KeepLeft), std::pair("Keep right", ConflictDecision::KeepRight),
          std::pair("Keep both", ConflictDecision::KeepBoth), std::pair("Leave as it is", ConflictDecision::Leave)}) {
        QAction *action = menu->addAction(QString::fromLatin1(text));
        decisions.push_back(action);
        QObject::connect(action, &QAction::triggered, list, [list, model, decide, decision = decision] {
            if (const OperationRow *row = selectedRow(list, model); row && decide)
                decide(row->slot, decision);
        });
    }

    list->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list, &QWidget::customContextMenuRequested, menu,
                     [list, model, menu, openSource, openDestination, copyPaths, decisions,
                      isConflict](const QPoint &position) {
                         const OperationRow *row = selectedRow(list, model);
                         openSource->setEnabled(row && exists(row->source));
                         openDestination->setEnabled(row && exists(row->destination));
                         copyPaths->setEnabled(row != nullptr);
                         for (QAction *decision : decisions)
                             decision->setEnabled(row && isConflict && isConflict(row->slot));
                         menu->popup(list->viewport()->mapToGlobal(position));
                     });
}
