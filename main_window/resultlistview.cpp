#include "main_window/resultlistview.h"

#include "folders/folderdrop.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
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
