#include "main_window/resultlistmodel.h"

#include "main_window/pictures.h"
#include "platform/ui.h"

#include <QFile>

#include <utility>

ResultListModel::ResultListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void ResultListModel::setRows(std::vector<ResultRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void ResultListModel::clear()
{
    setRows({});
}

int ResultListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ResultListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const ResultRow &row = m_rows[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case FilenameColumn: return platform::DisplayText(row.name);
        case StatusColumn: return QString::fromUtf8(StatusText(row.status));
        case SizeColumn: return QString::fromStdString(SizeText(row));
        case ModifiedColumn: return QString::fromStdString(ModifiedText(row));
        }
        break;
    case Qt::CheckStateRole:
        if (index.column() == FilenameColumn)
            return row.checked ? Qt::Checked : Qt::Unchecked;
        break;
    case Qt::DecorationRole:
        if (index.column() == FilenameColumn)
            return StatusPicture(row.icon);
        break;
    }
    return QVariant();
}

bool ResultListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || index.column() != FilenameColumn
        || !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    ResultRow &row = m_rows[std::size_t(index.row())];
    const bool checked = value.toInt() == Qt::Checked;
    if (row.checked != checked) {
        row.checked = checked;
        emit dataChanged(index, index, {Qt::CheckStateRole});
    }
    return true;
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case FilenameColumn: return QStringLiteral("Filename");
    case StatusColumn: return QStringLiteral("Status");
    case SizeColumn: return QStringLiteral("Size");
    case ModifiedColumn: return QStringLiteral("Last Modified");
    }
    return QVariant();
}

Qt::ItemFlags ResultListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (index.column() == FilenameColumn)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}
