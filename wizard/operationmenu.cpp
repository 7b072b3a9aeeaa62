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

void AddOperationListExtras(QTreeView *list, OperationModel *model, QAbstractButton *ok,
                            const PendingOperationList &operations)
{
    list->header()->setSortIndicator(-1, Qt::AscendingOrder);
    list->setSortingEnabled(true);

    const QString summary = OperationSummaryText(operations);
    model->setSummary(summary);
    ok->setToolTip(summary);

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

    list->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(list, &QWidget::customContextMenuRequested, menu,
                     [list, model, menu, openSource, openDestination, copyPaths](const QPoint &position) {
                         const OperationRow *row = selectedRow(list, model);
                         openSource->setEnabled(row && exists(row->source));
                         openDestination->setEnabled(row && exists(row->destination));
                         copyPaths->setEnabled(row != nullptr);
                         menu->popup(list->viewport()->mapToGlobal(position));
                     });
}
