#include "main_window/resultlistmodel.h"

#include "main_window/pictures.h"
#include "main_window/resultorder.h"
#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <QFile>
#include <QLocale>

#include <algorithm>
#include <utility>

namespace {

QString grouped(std::size_t number)
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(qulonglong(number));
}

} // namespace

QString StatusCountsText(const ResultListModel::StatusCounts &counts)
{
    QString text = QStringLiteral("Newer %1, Older %2, Not found %3, OK %4")
                       .arg(grouped(counts.newer), grouped(counts.older), grouped(counts.notFound), grouped(counts.ok));
    if (counts.none > 0)
        text += QStringLiteral(", No status %1").arg(grouped(counts.none));
    return text;
}

ResultListModel::ResultListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void ResultListModel::setRows(ResultRows rows, std::string root, std::unordered_map<std::uint32_t, std::string> notes)
{
    beginResetModel();
    m_rows = std::move(rows);
    m_root = std::move(root);
    m_notes = std::move(notes);
    std::vector<std::uint32_t>().swap(m_order);
    m_sortColumn = -1;
    m_sortOrder = Qt::AscendingOrder;
    m_counts = {};
    m_leftOut = {};
    for (const ResultRow &row : m_rows) {
        switch (row.status) {
        case Status::None: ++m_counts.none; break;
        case Status::Newer: ++m_counts.newer; break;
        case Status::Older: ++m_counts.older; break;
        case Status::NotFound: ++m_counts.notFound; break;
        case Status::OK: ++m_counts.ok; break;
        }
    }
    refilter();
    endResetModel();
    emit rowsReplaced();
}

void ResultListModel::clear()
{
    setRows({});
}

std::uint32_t ResultListModel::rowNumber(int shown) const
{
    if (m_filtered)
        return m_shown[std::size_t(shown)];
    return m_order.empty() ? std::uint32_t(shown) : m_order[std::size_t(shown)];
}

std::string ResultListModel::fullPath(int shown) const
{
    return platform::JoinPath(m_root, shownRow(shown).name());
}

template<typename Change>
void ResultListModel::rearrange(Change change)
{
    emit rowsAboutToBeRearranged();
    beginResetModel();
    change();
    refilter();
    endResetModel();
    emit rowsRearranged();
}

void ResultListModel::refilter()
{
    m_filtered = m_differencesOnly || !m_findText.isEmpty();
    std::vector<std::uint32_t>().swap(m_shown);
    if (!m_filtered)
        return;
    const NameMatcher matcher(m_findText);
    m_shown.reserve(m_rows.size());
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        const std::uint32_t number = m_order.empty() ? std::uint32_t(i) : m_order[i];
        const ResultRow &row = m_rows[number];
        if (m_differencesOnly && row.status == Status::OK)
            continue;
        if (!matcher.isEmpty() && !matcher.contains(row.name()))
            continue;
        m_shown.push_back(number);
    }
    m_shown.shrink_to_fit();
}

void ResultListModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount)
        column = -1;
    if (column == m_sortColumn && (column < 0 || order == m_sortOrder))
        return;
    rearrange([&] {
        if (column < 0) {
            std::vector<std::uint32_t>().swap(m_order);
        } else if (column == m_sortColumn) {
            // The other way round: descending is ascending read backwards.
            std::reverse(m_order.begin(), m_order.end());
        } else {
            m_order = AscendingRows(m_rows, column);
            if (order == Qt::DescendingOrder)
                std::reverse(m_order.begin(), m_order.end());
        }
        m_sortColumn = column;
        m_sortOrder = order;
    });
}

void ResultListModel::setDifferencesOnly(bool on)
{
    if (on != m_differencesOnly)
        rearrange([&] { m_differencesOnly = on; });
}

void ResultListModel::setFindText(const QString &text)
{
    if (text != m_findText)
        rearrange([&] { m_findText = text; });
}

int ResultListModel::findName(const QString &prefix, int from) const
{
    const int count = rowCount();
    const NameMatcher matcher(prefix);
    for (int k = 0; k < count; ++k) {
        const int shown = (std::max(from, 0) + k) % count;
        if (matcher.startsWith(shownRow(shown).name()))
            return shown;
    }
    return -1;
}

int ResultListModel::nextDifference(int from, bool forward) const
{
    const int count = rowCount();
    if (from < 0 || from >= count)
        from = forward ? -1 : count;
    for (int k = 1; k <= count; ++k) {
        const int shown = forward ? (from + k) % count : ((from - k) % count + count) % count;
        if (shownRow(shown).status != Status::OK)
            return shown;
    }
    return -1;
}

int ResultListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(m_filtered ? m_shown.size() : m_rows.size());
}

int ResultListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const ResultRow &row = shownRow(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case FilenameColumn: return platform::DisplayText(std::string(row.name()));
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
    case Qt::ToolTipRole:
        if (const auto note = m_notes.find(rowNumber(index.row())); note != m_notes.end())
            return QString::fromStdString(note->second);
        break;
    }
    return QVariant();
}

bool ResultListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole || index.column() != FilenameColumn
        || !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    ResultRow &row = m_rows[rowNumber(index.row())];
    const bool checked = value.toInt() == Qt::Checked;
    if (row.checked != checked) {
        row.checked = checked;
        emit dataChanged(index, index, {Qt::CheckStateRole});
    }
    return true;
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::ToolTipRole) {
        // The legend explains the statuses that need a sync; "OK" is said
        // here, where the statuses are sorted and counted.
        const QString meaning = QString::fromLatin1(kOkMeaning);
        if (m_rows.empty())
            return meaning;
        QString text = StatusCountsText(m_counts);
        if (m_filtered)
            text += QStringLiteral("\nShowing %1 of %2 rows").arg(grouped(m_shown.size()), grouped(m_rows.size()));
        if (m_leftOut.total() > 0)
            text += QStringLiteral("\nNot compared: ") + QString::fromStdString(LeftOutText(m_leftOut));
        return text + QLatin1Char('\n') + meaning;
    }
    if (role != Qt::DisplayRole)
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
