#include "wizard/operationmodel.h"

#include "compare/folderscan.h"
#include "platform/desktop/ui.h"
#include "sync/syncoperations.h"

#include <QFile>

#include <algorithm>
#include <utility>

QString OperationSummaryText(const PendingOperationList &operations)
{
    int copies = 0, replaces = 0, renames = 0, trashes = 0, conflicts = 0;
    std::int64_t bytes = 0;
    for (int k = 0; k < PendingOperationList::kSlots && !operations[k].source.empty(); ++k) {
        const SyncJob &job = operations[k].job;
        switch (job.kind) {
        case JobKind::Copy:
            ++(job.replace ? replaces : copies);
            bytes += std::max<std::int64_t>(job.size, 0);
            break;
        case JobKind::Rename:
            ++renames;
            break;
        case JobKind::Trash:
            ++trashes;
            break;
        case JobKind::Conflict:
            ++(job.newName.empty() ? conflicts : copies);
            break;
        }
    }
    const ModeOutcome &mode = operations.mode;
    QString text;
    if (mode.choice.mode == SyncMode::NewestWins) {
        text = QStringLiteral("OK copies %1 %2 and replaces %3: %4")
                   .arg(copies)
                   .arg(copies == 1 ? QStringLiteral("file") : QStringLiteral("files"))
                   .arg(replaces)
                   .arg(QString::fromStdString(ByteCountText(bytes)));
    } else {
        text = QStringLiteral("%1: OK copies %2, replaces %3, renames %4, moves %5 to the Trash: %6")
                   .arg(QString::fromStdString(ModeTitle(mode.choice)))
                   .arg(copies)
                   .arg(replaces)
                   .arg(renames)
                   .arg(trashes)
                   .arg(QString::fromStdString(ByteCountText(bytes)));
        if (conflicts > 0)
            text += conflicts == 1 ? QStringLiteral("; 1 conflict is left as it is")
                                   : QStringLiteral("; %1 conflicts are left as they are").arg(conflicts);
    }
    for (const std::string *note : {&mode.memoryNote, &mode.guardNote}) {
        if (!note->empty())
            text += QLatin1Char('\n') + QString::fromStdString(*note);
    }
    if (mode.deletedToLeft + mode.deletedToRight > 0)
        text += QLatin1Char('\n') + QString::fromStdString(DeletedSinceText(mode));
    return text;
}

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
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole && !m_summary.isEmpty())
        return m_summary;
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0: return QStringLiteral("Source");
    case 1: return QStringLiteral("Action");
    case 2: return QStringLiteral("Destination");
    default: return QVariant();
    }
}

void OperationModel::sort(int column, Qt::SortOrder order)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> slotsBefore;
    for (const QModelIndex &index : before)
        slotsBefore.push_back(m_rows[index.row()].slot);

    const auto bySlot = [](const OperationRow &a, const OperationRow &b) { return a.slot < b.slot; };
    std::sort(m_rows.begin(), m_rows.end(), bySlot);
    if (column >= 0 && column < 3) {
        const auto key = [column](const OperationRow &r) -> const std::string & {
            return column == 0 ? r.source : column == 1 ? r.action : r.destination;
        };
        // Equal keys keep the slot order; descending is ascending read backwards.
        std::stable_sort(m_rows.begin(), m_rows.end(), [&](const OperationRow &a, const OperationRow &b) {
            return PathBefore(key(a), key(b));
        });
        if (order == Qt::DescendingOrder)
            std::reverse(m_rows.begin(), m_rows.end());
    }

    std::vector<int> rowOfSlot(m_rows.empty() ? 0 : std::size_t(std::max_element(m_rows.begin(), m_rows.end(), bySlot)->slot) + 1, -1);
    for (int r = 0; r < int(m_rows.size()); ++r)
        rowOfSlot[std::size_t(m_rows[r].slot)] = r;
    QModelIndexList after;
    for (int i = 0; i < before.size(); ++i)
        after << index(rowOfSlot[std::size_t(slotsBefore[i])], before[i].column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
