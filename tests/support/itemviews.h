#pragma once

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenu>
#include <QTest>

// Lists as a person uses them: a click on a column header, a right click on
// a row (which selects it first, as Qt's lists do) and a click on an entry of
// the menu that comes up.

inline void clickHeader(QHeaderView *header, int section)
{
    const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

// The menu that came up, or nullptr. A row below 0 keeps the selection.
inline QMenu *openContextMenu(QAbstractItemView *view, int row)
{
    const QPoint at = row < 0 ? QPoint(4, 4) : view->visualRect(view->model()->index(row, 1)).center();
    if (row >= 0)
        QTest::mouseClick(view->viewport(), Qt::RightButton, Qt::NoModifier, at);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &event);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    return menu && menu->isVisible() ? menu : nullptr;
}

inline QAction *menuAction(QMenu *menu, const char *name)
{
    const QList<QAction *> actions = menu->actions();
    const auto found = std::find_if(actions.begin(), actions.end(),
                                    [name](QAction *a) { return a->objectName() == QLatin1String(name); });
    return found == actions.end() ? nullptr : *found;
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
