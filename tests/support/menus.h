#pragma once

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>

// Context menus as a person uses them: a right click on a row of a list
// (which selects the row first, as Qt's lists do), then a click on an entry
// of the menu that comes up.

// The menu that came up, or nullptr. A row below 0 keeps the selection.
inline QMenu *openContextMenu(QAbstractItemView *view, int row)
{
    QPoint at(4, 4);
    if (row >= 0) {
        const QRect cell = view->visualRect(view->model()->index(row, 1));
        at = cell.center();
        QTest::mousePress(view->viewport(), Qt::RightButton, Qt::NoModifier, at);
        QTest::mouseRelease(view->viewport(), Qt::RightButton, Qt::NoModifier, at);
    }
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &event);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    return menu && menu->isVisible() ? menu : nullptr;
}

inline QAction *menuAction(QMenu *menu, const char *name)
{
    for (QAction *action : menu->actions()) {
        if (action->objectName() == QLatin1String(name))
            return action;
    }
    return nullptr;
}

// Clicks the entry; false when it is missing or disabled (the menu then
// closes unused).
inline bool clickMenuAction(QMenu *menu, const char *name)
{
    QAction *action = menuAction(menu, name);
    if (!action || !action->isEnabled()) {
        menu->close();
        return false;
    }
    QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier, menu->actionGeometry(action).center());
    return true;
}
