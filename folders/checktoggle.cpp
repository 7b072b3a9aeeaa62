#include "folders/checktoggle.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>

#include <algorithm>
#include <vector>

void CheckToggle::click(QAbstractItemView *view)
{
    QAbstractItemModel *model = view ? view->model() : nullptr;
    QItemSelectionModel *selection = view ? view->selectionModel() : nullptr;
    if (!model || !selection)
        return;
    const QModelIndex root = view->rootIndex();
    const int rowCount = model->rowCount(root);

    // From the selection's ranges rather than one index per cell: a click
    // with every row of a large list selected stays cheap.
    std::vector<bool> selected(rowCount, false);
    int firstSelected = -1;
    for (const QItemSelectionRange &range : selection->selection()) {
        if (range.parent() != root)
            continue;
        for (int row = std::max(range.top(), 0); row <= range.bottom() && row < rowCount; ++row) {
            selected[row] = true;
            if (firstSelected < 0 || row < firstSelected)
                firstSelected = row;
        }
    }
    if (firstSelected < 0)
        return;

    const QModelIndex current = view->currentIndex();
    const int clicked = current.isValid() && current.parent() == root && current.row() < rowCount
                                && selected[current.row()]
                            ? current.row()
                            : firstSelected;
    const QString text = model->index(clicked, 0, root).data(Qt::DisplayRole).toString();
    if (LastClickedText.contains(text, Qt::CaseSensitive))
        return;
    LastClickedText = text;

    for (int row = 0; row < rowCount; ++row) {
        if (!selected[row])
            continue;
        const QModelIndex cell = model->index(row, 0, root);
        const bool checked = cell.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        model->setData(cell, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    }
}
