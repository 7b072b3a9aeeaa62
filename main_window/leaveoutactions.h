#pragma once

#include <QObject>

#include <string>

class QAbstractButton;
class QAction;
class QWidget;
class ResultListActions;

// The lists' menu items that choose what a pair of folders leaves out:
// "Leave out this folder" (the selected row's folder), "Leave out files like
// *.EXT" (the selected row's extension), "Compare hidden files" and a small
// editor of the pair's patterns. Each choice is saved for the pair as last
// compared and the pair is compared again at once.
class LeaveOutActions : public QObject
{
    Q_OBJECT
public:
    LeaveOutActions(QWidget *window, ResultListActions *lists, QAbstractButton *compare);

    // The patterns editor's dialog, open while it is shown; for tests.
    static constexpr char kEditorName[] = "LeaveOutEditor";

private:
    void update();
    bool pair(std::string &left, std::string &right) const;
    // The selected row's folder (relative) and extension, when one row is selected.
    bool selected(std::string &folder, std::string &extension) const;
    void leaveOut(const std::string &pattern);
    void editPatterns();

    QWidget *m_window;
    ResultListActions *m_lists;
    QAbstractButton *m_compare;
    QAction *m_folder;
    QAction *m_extension;
    QAction *m_hidden;
    QAction *m_edit;
};
