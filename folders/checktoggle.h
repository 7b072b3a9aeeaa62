#pragma once

#include <QString>

class QAbstractItemView;

// Inverts the check marks of the selected rows of the left result list on a
// click, unless the clicked row's text is part of the last handled one.
class CheckToggle
{
public:
    // Call on every click on the list. The clicked row is the view's current
    // row when it is selected, else the first selected row; its text is
    // column 0's Qt::DisplayRole. Column 0's Qt::CheckStateRole of every
    // selected row is inverted through the model's setData. With no selected
    // row nothing changes.
    void click(QAbstractItemView *view);

    // The text of the row the last effective click handled; kept for the
    // whole run, never reset.
    QString LastClickedText;
};
