#include "main_window/resultlistview.h"

#include "folders/folderdrop.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMouseEvent>

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
    if (CanDropFolders(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ResultListView::dragMoveEvent(QDragMoveEvent *event)
{
    if (CanDropFolders(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ResultListView::dropEvent(QDropEvent *event)
{
    event->acceptProposedAction();
    emit foldersDropped(event->mimeData());
}

void ResultListView::mouseMoveEvent(QMouseEvent *event)
{
    emit mouseMoved();
    QTreeView::mouseMoveEvent(event);
}
