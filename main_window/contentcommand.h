#pragma once

#include "compare/comparefolders.h"

#include <memory>
#include <string>
#include <vector>

class QWidget;
class ResultListActions;
class ResultListModel;

// The lists' "Compare contents": reads the pairs of the last comparison
// (all, or those named) under a progress dialog with Cancel, then shows the
// rows' statuses and the pending operations anew and says what it found.
class ContentCommand
{
public:
    // Adds its commands to the lists' menu; they do nothing while busy or
    // before a comparison, and keep busy set while they read.
    ContentCommand(QWidget *window, ResultListModel *left, ResultListModel *right, ResultListActions *actions,
                   bool &busy, const bool &compared);
    ~ContentCommand();

    // What the last Compare found besides the rows, which the lists hold.
    void remember(const Comparison &comparison);
    void run(const std::vector<std::string> *chosen);

private:
    QWidget *m_window;
    ResultListModel *m_left;
    ResultListModel *m_right;
    std::unique_ptr<Comparison> m_comparison;
};
