#pragma once

#include <QTreeView>

#include <QMimeData>

// A result list: a flat, uniform list over a ResultListModel that accepts
// folders dropped from the file manager and reports pointer moves, so the
// window can decide what to do with both.
class ResultListView : public QTreeView
{
    Q_OBJECT
public:
    explicit ResultListView(QWidget *parent = nullptr);

signals:
    void foldersDropped(const QMimeData *data);
    void mouseMoved();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
};
