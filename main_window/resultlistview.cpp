#include "main_window/resultlistview.h"

#include "folders/folderdrop.h"
#include "main_window/resultlistmodel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

ResultListView::ResultListView(QWidget *parent)
    : QTreeView(parent)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
    // Column widths are set once and kept; the last column does not stretch.
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    viewport()->setMouseTracking(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
    // Sorted by a header click only: the list opens in walk order, with no
    // sort indicator.
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    setSortingEnabled(true);
}

void ResultListView::setModel(QAbstractItemModel *model)
{
    if (m_model)
        disconnect(m_model, nullptr, this, nullptr);
    QTreeView::setModel(model);
    m_model = qobject_cast<ResultListModel *>(model);
    if (!m_model)
        return;
    connect(m_model, &ResultListModel::rowsAboutToBeRearranged, this, &ResultListView::keepSelection);
    connect(m_model, &ResultListModel::rowsRearranged, this, &ResultListView::restoreSelection);
    // A new comparison comes in walk order: the indicator goes with the sort.
    connect(m_model, &ResultListModel::rowsReplaced, this,
            [this] { header()->setSortIndicator(-1, Qt::AscendingOrder); });
}

void ResultListView::keepSelection()
{
    m_keptRows.clear();
    m_keptCurrent = -1;
    for (const QItemSelectionRange &range : selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            m_keptRows.push_back(m_model->rowNumber(row));
    }
    const QModelIndex current = currentIndex();
    if (current.isValid()) {
        m_keptCurrent = m_model->rowNumber(current.row());
        m_keptColumn = current.column();
    }
}

void ResultListView::restoreSelection()
{
    if (m_keptRows.empty() && m_keptCurrent < 0) {
        scrollToTop();
        return;
    }
    std::vector<bool> wanted(m_model->totalRows(), false);
    for (const std::uint32_t number : m_keptRows)
        wanted[number] = true;
    std::vector<std::uint32_t>().swap(m_keptRows);

    // Consecutive shown rows make one range: a selection of every row stays one.
    QItemSelection selection;
    const int lastColumn = m_model->columnCount() - 1;
    const int count = m_model->rowCount();
    int current = -1;
    int runStart = -1;
    for (int row = 0; row <= count; ++row) {
        const std::uint32_t number = row < count ? m_model->rowNumber(row) : 0;
        const bool selected = row < count && wanted[number];
        if (row < count && std::int64_t(number) == m_keptCurrent)
            current = row;
        if (selected && runStart < 0)
            runStart = row;
        if (!selected && runStart >= 0) {
            selection.append(QItemSelectionRange(m_model->index(runStart, 0), m_model->index(row - 1, lastColumn)));
            runStart = -1;
        }
    }
    m_keptCurrent = -1;
    if (current >= 0)
        selectionModel()->setCurrentIndex(m_model->index(current, m_keptColumn), QItemSelectionModel::NoUpdate);
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (current >= 0)
        scrollTo(currentIndex(), QAbstractItemView::PositionAtCenter);
    else
        scrollToTop();
}

void ResultListView::selectShownRow(int row)
{
    const int column = currentIndex().isValid() ? currentIndex().column() : 0;
    const QModelIndex index = model()->index(row, column);
    if (!index.isValid())
        return;
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index);
}

void ResultListView::keyboardSearch(const QString &search)
{
    if (!m_model || search.isEmpty() || m_model->rowCount() == 0)
        return;
    // Keys typed in quick succession make one name, as in Qt's own lists.
    const bool fresh = !m_sinceTyped.isValid() || m_sinceTyped.elapsed() > QApplication::keyboardInputInterval();
    m_sinceTyped.restart();
    m_typed = fresh ? search : m_typed + search;
    const int current = currentIndex().isValid() ? currentIndex().row() : -1;
    // One letter typed again and again steps through the names it starts.
    const bool sameLetter = m_typed.size() > 1 && m_typed.count(m_typed.at(0)) == m_typed.size();
    const QString prefix = sameLetter ? m_typed.left(1) : m_typed;
    // A new name moves on from the current row; a longer one may stay on it.
    const int from = fresh || sameLetter ? current + 1 : std::max(current, 0);
    const int found = m_model->findName(prefix, from);
    if (found >= 0)
        selectShownRow(found);
}

void ResultListView::dragEnterEvent(QDragEnterEvent *event)
{
    acceptDrag(event);
}

void ResultListView::dragMoveEvent(QDragMoveEvent *event)
{
    acceptDrag(event);
}

void ResultListView::dropEvent(QDropEvent *event)
{
    acceptDrag(event);
    emit foldersDropped(event->mimeData());
}

void ResultListView::acceptDrag(QDropEvent *event)
{
    // Never the Move a Qt drag source proposes: its items would be deleted.
    event->setDropAction(FolderDropAction(event->possibleActions()));
    event->accept();
}

void ResultListView::mousePressEvent(QMouseEvent *event)
{
    const QPoint position = event->position().toPoint();
    m_checkBoxClick = event->button() == Qt::LeftButton && onCheckBox(position);
    // The item's check box takes the press for itself, and the row would not
    // be selected; the click belongs to the row it was made on.
    if (m_checkBoxClick)
        selectionModel()->setCurrentIndex(indexAt(position),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTreeView::mousePressEvent(event);
}

bool ResultListView::onCheckBox(const QPoint &position) const
{
    const QModelIndex index = indexAt(position);
    if (!index.isValid() || !(index.flags() & Qt::ItemIsUserCheckable))
        return false;
    // Laid out as the delegate lays the item out when it takes the click.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    option.index = index;
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    if (index.data(Qt::DecorationRole).isValid())
        option.features |= QStyleOptionViewItem::HasDecoration;
    option.text = index.data(Qt::DisplayRole).toString();
    if (!option.text.isEmpty())
        option.features |= QStyleOptionViewItem::HasDisplay;
    return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this).contains(position);
}

void ResultListView::mouseMoveEvent(QMouseEvent *event)
{
    emit mouseMoved();
    QTreeView::mouseMoveEvent(event);
}

// The menu opened from the keyboard stands at the focused row (its left
// end, just below its middle), or at the list's top left without one, in
// the viewport's coordinates as a right click's.
QPoint ResultListView::keyboardMenuPosition() const
{
    const QRect row = visualRect(currentIndex()).intersected(viewport()->rect());
    if (row.isEmpty())
        return QPoint(0, 0);
    return QPoint(row.left() + row.height(), row.center().y());
}

bool ResultListView::event(QEvent *event)
{
    // The Menu key: the platform puts the menu where the pointer or the text
    // cursor is, which a list does not have.
    if (event->type() == QEvent::ContextMenu
        && static_cast<QContextMenuEvent *>(event)->reason() == QContextMenuEvent::Keyboard) {
        emit customContextMenuRequested(keyboardMenuPosition());
        event->accept();
        return true;
    }
    return QTreeView::event(event);
}

void ResultListView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        emit customContextMenuRequested(keyboardMenuPosition());
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}
