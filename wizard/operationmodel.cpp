#include "wizard/operationmodel.h"
#include "platform/ui.h"

#include <QFile>

#include <utility>

OperationModel::OperationModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void OperationModel::setRows(std::vector<OperationRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int OperationModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int OperationModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 3;
}

QVariant OperationModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return QVariant();
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    const OperationRow &r = m_rows[index.row()];
    const std::string &text = index.column() == 0 ? r.source : index.column() == 1 ? r.action : r.destination;
    // Names that are not valid UTF-8 show replacement characters; the row
    // keeps the bytes.
    return platform::DisplayText(text);
}

QVariant OperationModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0: return QStringLiteral("Source");
    case 1: return QStringLiteral("Action");
    case 2: return QStringLiteral("Destination");
    default: return QVariant();
    }
}
