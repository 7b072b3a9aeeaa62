#include "main_window/resultlistactions.h"

#include "main_window/resultlistmodel.h"
#include "main_window/resultlistview.h"
#include "wizard/shellexe.h"

#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>

#include "wizard/modemenu.h"
#include <QScrollBar>

#include <algorithm>

namespace {

// The folder that holds the shown row's file.
std::string containingFolder(const ResultListModel &model, int shown)
{
    const std::string_view name = model.shownRow(shown).name();
    const std::size_t last = name.rfind(platform::kSeparator);
    return last == std::string_view::npos ? model.root() : platform::JoinPath(model.root(), name.substr(0, last));
}

std::string_view fileName(std::string_view relative)
{
    const std::size_t last = relative.rfind(platform::kSeparator);
    return last == std::string_view::npos ? relative : relative.substr(last + 1);
}

} // namespace

ResultListActions::ResultListActions(QWidget *window, ResultListView *left, ResultListView *right,
                                     QAbstractButton *compare, QAbstractButton *syncWizard)
    : QObject(window)
    , m_window(window)
    , m_lists{left, right}
    , m_focused(left)
    , m_findAnchor(left)
{
    m_open = makeAction("OpenAction", QStringLiteral("Open"));
    m_openFolder = makeAction("OpenFolderAction", QStringLiteral("Open containing folder"));
    m_copyPath = makeAction("CopyPathAction", QStringLiteral("Copy path"), QKeySequence::Copy);
    m_copyName = makeAction("CopyNameAction", QStringLiteral("Copy name"));
    m_differences = makeAction("DifferencesAction", QStringLiteral("Show differences only"), QKeySequence(Qt::CTRL | Qt::Key_D));
    m_find = makeAction("FindAction", QStringLiteral("Find in names..."), QKeySequence(Qt::CTRL | Qt::Key_F));
    m_next = makeAction("NextDifferenceAction", QStringLiteral("Next difference"), QKeySequence(Qt::Key_F8));
    m_previous = makeAction("PreviousDifferenceAction", QStringLiteral("Previous difference"),
                            QKeySequence(Qt::SHIFT | Qt::Key_F8));
    m_compare = makeAction("CompareAction", QStringLiteral("Compare"), QKeySequence(Qt::Key_F5));
    m_syncWizard = makeAction("SyncWizardAction", QStringLiteral("Sync Wizard"), QKeySequence(Qt::CTRL | Qt::Key_S));

    // Copying belongs to the list with the focus; a combo's text copies as text.
    m_copyPath->setShortcutContext(Qt::WidgetShortcut);
    for (ResultListView *list : m_lists)
        list->addAction(m_copyPath);
    for (QAction *action : {m_differences, m_find, m_next, m_previous, m_compare, m_syncWizard})
        window->addAction(action);

    connect(m_open, &QAction::triggered, this, [this] { open(false); });
    connect(m_openFolder, &QAction::triggered, this, [this] { open(true); });
    connect(m_copyPath, &QAction::triggered, this, [this] { copy(true); });
    connect(m_copyName, &QAction::triggered, this, [this] { copy(false); });
    connect(m_differences, &QAction::triggered, this,
            [this] { setDifferencesOnly(!m_lists[0]->resultModel()->differencesOnly()); });
    connect(m_find, &QAction::triggered, this, &ResultListActions::showFind);
    connect(m_next, &QAction::triggered, this, [this] { nextDifference(true); });
    connect(m_previous, &QAction::triggered, this, [this] { nextDifference(false); });
    // As a click: the buttons' push-button rule decides, as it does for the mouse.
    connect(m_compare, &QAction::triggered, compare, &QAbstractButton::click);
    connect(m_syncWizard, &QAction::triggered, syncWizard, &QAbstractButton::click);

    m_menu = new QMenu(window);
    m_menu->setObjectName(QStringLiteral("ListMenu"));
    m_menu->addActions({m_open, m_openFolder, m_copyPath, m_copyName});
    m_menu->addSeparator();
    m_menu->addActions({m_differences, m_find, m_next, m_previous});
    m_menu->addSeparator();
    m_menu->addActions({m_compare, m_syncWizard});
    addModeMenu(compare);

    for (ResultListView *list : m_lists) {
        list->installEventFilter(this);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint &position) { showMenu(list, position); });
    }

    m_findPopup = new QFrame(window);
    m_findPopup->setObjectName(QStringLiteral("FindPopup"));
    m_findPopup->setFrameShape(QFrame::StyledPanel);
    m_findPopup->setAutoFillBackground(true);
    m_findText = new QLineEdit(m_findPopup);
    m_findText->setObjectName(QStringLiteral("FindText"));
    m_findText->setPlaceholderText(QStringLiteral("Find in names (Esc clears)"));
    m_findText->setClearButtonEnabled(true);
    m_findText->installEventFilter(this);
    auto *layout = new QHBoxLayout(m_findPopup); // owned by the pop-up
    layout->setContentsMargins(3, 3, 3, 3);
    layout->addWidget(m_findText);
    m_findPopup->hide();
    connect(m_findText, &QLineEdit::textChanged, this, &ResultListActions::setFindText);
}

// The way of syncing the pair the lists show, from their menu or Ctrl+M; a
// new choice compares again, so the lists and the wizard show what it does.
void ResultListActions::addModeMenu(QAbstractButton *compare)
{
    QMenu *modes = MakeModeMenu(
        m_window, [this] { return std::pair(m_lists[0]->resultModel()->root(), m_lists[1]->resultModel()->root()); },
        [compare] { compare->click(); });
    m_menu->addMenu(modes);
    QAction *choose = makeAction("ModeAction", modes->title(), QKeySequence(Qt::CTRL | Qt::Key_M));
    m_window->addAction(choose);
    connect(choose, &QAction::triggered, this, [this, modes] {
        modes->popup(activeList()->viewport()->mapToGlobal(activeList()->viewport()->rect().center()));
    });
}

QAction *ResultListActions::makeAction(const char *name, const QString &text, const QKeySequence &shortcut)
{
    auto *action = new QAction(text, this);
    action->setObjectName(QLatin1String(name));
    action->setShortcut(shortcut);
    return action;
}

ResultListView *ResultListActions::activeList() const
{
    return m_focused;
}

std::vector<int> ResultListActions::selectedRows() const
{
    std::vector<int> rows;
    const QItemSelectionModel *selection = activeList()->selectionModel();
    if (!selection)
        return rows;
    for (const QItemSelectionRange &range : selection->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void ResultListActions::showMenu(ResultListView *list, const QPoint &position)
{
    list->setFocus(Qt::PopupFocusReason);
    m_focused = list;
    const std::size_t selected = selectedRows().size();
    // Opening starts a program per file: only for one row at a time.
    m_open->setEnabled(selected == 1);
    m_openFolder->setEnabled(selected == 1);
    m_copyPath->setEnabled(selected > 0);
    m_copyName->setEnabled(selected > 0);
    m_copyPath->setText(selected > 1 ? QStringLiteral("Copy paths") : QStringLiteral("Copy path"));
    m_copyName->setText(selected > 1 ? QStringLiteral("Copy names") : QStringLiteral("Copy name"));
    m_menu->popup(list->viewport()->mapToGlobal(position));
}

void ResultListActions::open(bool folder)
{
    const std::vector<int> rows = selectedRows();
    if (rows.size() != 1)
        return;
    const ResultListModel &model = *activeList()->resultModel();
    ShellExe::OpenWithShell(m_window, folder ? containingFolder(model, rows[0]) : model.fullPath(rows[0]));
}

void ResultListActions::copy(bool paths)
{
    const ResultListModel &model = *activeList()->resultModel();
    QStringList lines;
    for (const int row : selectedRows())
        lines << platform::DisplayText(paths ? model.fullPath(row) : std::string(fileName(model.shownRow(row).name())));
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void ResultListActions::setDifferencesOnly(bool on)
{
    for (ResultListView *list : m_lists)
        list->resultModel()->setDifferencesOnly(on);
    m_differences->setText(on ? QStringLiteral("Show all rows") : QStringLiteral("Show differences only"));
}

void ResultListActions::setFindText(const QString &text)
{
    for (ResultListView *list : m_lists)
        list->resultModel()->setFindText(text);
    if (m_findText->text() != text)
        m_findText->setText(text);
}

void ResultListActions::nextDifference(bool forward)
{
    ResultListView *list = activeList();
    const QModelIndex current = list->currentIndex();
    const int found = list->resultModel()->nextDifference(current.isValid() ? current.row() : -1, forward);
    if (found >= 0)
        list->selectShownRow(found);
}

void ResultListActions::showFind()
{
    m_findAnchor = activeList();
    placeFind();
    m_findPopup->raise();
    m_findPopup->show();
    m_findText->setFocus(Qt::ShortcutFocusReason);
    m_findText->selectAll();
}

void ResultListActions::placeFind()
{
    // Over the top right corner of the list's rows, clear of its scroll bar.
    const ResultListView *list = m_findAnchor;
    const int width = std::min(list->width() - 4, 20 * m_findText->fontMetrics().averageCharWidth() + 12);
    const QSize size(std::max(width, 0), m_findPopup->sizeHint().height());
    const int scrollBar = list->verticalScrollBar()->isVisible() ? list->verticalScrollBar()->width() : 0;
    const QPoint topRight = list->mapTo(m_window, QPoint(list->width() - scrollBar - 2, list->header()->height() + 2));
    m_findPopup->setGeometry(QRect(QPoint(topRight.x() - size.width(), topRight.y()), size));
}

void ResultListActions::closeFind(bool clear)
{
    if (clear)
        m_findText->clear();
    if (m_findText->text().isEmpty())
        m_findPopup->hide();
    m_findAnchor->setFocus(Qt::OtherFocusReason);
}

bool ResultListActions::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_findText && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Escape clears the filter; Enter goes back to the list and keeps it.
            closeFind(key == Qt::Key_Escape);
            return true;
        }
    } else if (watched == m_findText && event->type() == QEvent::FocusOut) {
        if (m_findText->text().isEmpty() && !m_findPopup->isAncestorOf(QApplication::focusWidget()))
            m_findPopup->hide();
    } else if (event->type() == QEvent::FocusIn) {
        if (auto *list = qobject_cast<ResultListView *>(watched))
            m_focused = list;
    } else if ((event->type() == QEvent::Resize || event->type() == QEvent::Move) && watched == m_findAnchor
               && m_findPopup->isVisible()) {
        placeFind();
    }
    return QObject::eventFilter(watched, event);
}

void ResultListActions::addContentCommands(std::function<void(const std::vector<std::string> *chosen)> compareContents)
{
    QAction *all = makeAction("CompareContentsAction", QStringLiteral("Compare contents"));
    QAction *selected = makeAction("CompareSelectedContentsAction",
                                   QStringLiteral("Compare contents of selected rows"));
    m_menu->insertActions(m_syncWizard, {all, selected});
    connect(m_menu, &QMenu::aboutToShow, selected, [this, selected] { selected->setEnabled(!selectedRows().empty()); });
    connect(all, &QAction::triggered, this, [compareContents] { compareContents(nullptr); });
    connect(selected, &QAction::triggered, this, [this, compareContents] {
        const ResultListModel &model = *activeList()->resultModel();
        std::vector<std::string> names;
        for (const int shown : selectedRows())
            names.emplace_back(model.shownRow(shown).name());
        compareContents(&names);
    });
}
