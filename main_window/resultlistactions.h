#pragma once

#include <QKeySequence>
#include <QObject>

#include <array>
#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QAction;
class QFrame;
class QLineEdit;
class QMenu;
class QPoint;
class QWidget;
class ResultListView;

// What the two result lists offer besides their rows, all within the
// window's fixed layout: a context menu (open, open the containing folder,
// copy paths or names, show differences only or all rows, find, next and
// previous difference, Compare, Sync Wizard), the small find pop-up that
// filters both lists by name, and the window's keyboard shortcuts (F5
// Compare and Ctrl+S Sync Wizard press their buttons, as a click does; F8
// and Shift+F8 step through the differences; Ctrl+F finds; Ctrl+D shows
// differences only or all rows; Ctrl+C copies the selected rows' paths;
// Ctrl+M chooses the way of syncing the pair).
//
// An action on one list takes the list the menu was opened on, else the
// list that has or last had the keyboard focus (the left one at first).
class ResultListActions : public QObject
{
    Q_OBJECT
public:
    ResultListActions(QWidget *window, ResultListView *left, ResultListView *right, QAbstractButton *compare,
                      QAbstractButton *syncWizard);

    // Both lists at once.
    void setDifferencesOnly(bool on);
    void setFindText(const QString &text);
    // Selects the next (previous) row whose status is not "OK" in the list
    // that has the focus.
    void nextDifference(bool forward);
    // Opens the find pop-up over the list that has the focus.
    void showFind();

    // Adds "Compare contents" (the whole comparison: chosen is null) and
    // "Compare contents of selected rows" (their relative names) after Compare.
    void addContentCommands(std::function<void(const std::vector<std::string> *chosen)> compareContents);
    // For more items in the lists' menu: the menu, the lists (0 left, 1
    // right), the list an action takes and its selected rows, ascending.
    QMenu *menu() const { return m_menu; }
    ResultListView *list(int side) const { return m_lists[std::size_t(side)]; }
    ResultListView *activeList() const;
    std::vector<int> selectedRows() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addModeMenu(QAbstractButton *compare);
    QAction *makeAction(const char *name, const QString &text, const QKeySequence &shortcut = {});
    void showMenu(ResultListView *list, const QPoint &position);
    void open(bool containingFolder);
    void copy(bool paths);
    void placeFind();
    void closeFind(bool clear);

    QWidget *m_window;
    std::array<ResultListView *, 2> m_lists;
    ResultListView *m_focused;
    ResultListView *m_findAnchor; // the list the find pop-up stands over
    QMenu *m_menu;
    QAction *m_open;
    QAction *m_openFolder;
    QAction *m_copyPath;
    QAction *m_copyName;
    QAction *m_differences;
    QAction *m_find;
    QAction *m_next;
    QAction *m_previous;
    QAction *m_compare;
    QAction *m_syncWizard;
    QFrame *m_findPopup;
    QLineEdit *m_findText;
};
