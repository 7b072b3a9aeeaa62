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

    // Whether the last click was on a row's check box. That click selects
    // its row and flips its mark once, through the check box alone.
    bool lastClickWasOnCheckBox() const { return m_checkBoxClick; }

signals:
    void foldersDropped(const QMimeData *data);
    void mouseMoved();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void acceptDrag(QDropEvent *event);
    bool onCheckBox(const QPoint &position) const;

    bool m_checkBoxClick = false;
};
