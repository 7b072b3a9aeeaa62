#pragma once

#include <QString>

class QAbstractItemView;

// Inverts the check marks of the selected rows of the left result list on a
// click, unless the clicked row's text is part of the last handled one.
class CheckToggle
{
public:
    // Call on every click on the list. Reads the selection and column 0's
    // Qt::CheckStateRole of the view's model, writes it through setData.
    void click(QAbstractItemView *view);

    QString LastClickedText;
};
