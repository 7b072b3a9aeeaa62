#pragma once

#include <QElapsedTimer>
#include <QTreeView>

#include <QMimeData>

#include <cstdint>
#include <vector>

class ResultListModel;

// A result list: a flat, uniform list over a ResultListModel that accepts
// folders dropped from the file manager and reports pointer moves, so the
// window can decide what to do with both. A header click sorts it (a second
// reverses); a new comparison shows the walk order again. Whatever the model
// shows after a sort or a filter, the rows selected before stay selected
// where they are still shown. Typing selects the next row whose name starts
// with what was typed.
class ResultListView : public QTreeView
{
    Q_OBJECT
public:
    explicit ResultListView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    ResultListModel *resultModel() const { return m_model; }

    // Whether the last click was on a row's check box. That click selects
    // its row and flips its mark once, through the check box alone.
    bool lastClickWasOnCheckBox() const { return m_checkBoxClick; }

    // Makes the shown row the current and only selected one, in view.
    void selectShownRow(int row);

    void keyboardSearch(const QString &search) override;
    // Where Shift+F10 and the Menu key open the context menu.
    QPoint keyboardMenuPosition() const;

signals:
    void foldersDropped(const QMimeData *data);
    void mouseMoved();

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void acceptDrag(QDropEvent *event);
    bool onCheckBox(const QPoint &position) const;
    void keepSelection();
    void restoreSelection();

    ResultListModel *m_model = nullptr;
    bool m_checkBoxClick = false;
    // The selection across a rearrangement, as row numbers into the rows.
    std::vector<std::uint32_t> m_keptRows;
    std::int64_t m_keptCurrent = -1;
    int m_keptColumn = 0;
    // What has been typed so far, and since when.
    QString m_typed;
    QElapsedTimer m_sinceTyped;
};
