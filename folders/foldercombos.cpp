#include "folders/foldercombos.h"

#include "platform/desktop/ui.h"
#include "platform/paths.h"
#include "platform/settings.h"

#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QLineEdit>
#include <QScopedValueRollback>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

QString historyKey(Side side)
{
    return side == Side::Left ? QStringLiteral("LeftCombo") : QStringLiteral("RightCombo");
}

QString indexKey(Side side)
{
    return side == Side::Left ? QStringLiteral("LeftComboIndex") : QStringLiteral("RightComboIndex");
}

// A stored position is a 16-bit signed number; anything else is none.
std::optional<int> storedPosition(Side side)
{
    bool ok = false;
    const int position = platform::ReadSetting(indexKey(side)).toShort(&ok);
    return ok ? std::optional<int>(position) : std::nullopt;
}

// Whether an entry of the stored history already covers the folder: its text
// occurs, letter case aside, inside an entry followed by the separator. So an
// entry's parent, the entry itself with or without a trailing separator, and
// any leading part of an entry's path all count as known. The empty piece
// after the final "," covers nothing: with its separator it would be "/", and
// "/" could never enter the history.
bool isKnown(const QString &folder, const QString &history)
{
    const QString needle = folder.toLower();
    const QChar separator = QLatin1Char(platform::kSeparator);
    const QStringList pieces = history.split(QLatin1Char(','));
    return std::any_of(pieces.begin(), pieces.end(), [&](const QString &piece) {
        return !piece.isEmpty() && (piece + separator).toLower().contains(needle);
    });
}

} // namespace

FolderCombos::FolderCombos(QComboBox *left, QComboBox *right, QObject *parent)
    : QObject(parent)
    , m_left(left)
    , m_right(right)
{
    for (const Side side : {Side::Left, Side::Right}) {
        QComboBox *box = combo(side);
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setCompleter(nullptr);
        // Folders are dropped on the result lists only; a line edit would
        // take a dropped folder as "file://" text that names no folder.
        box->setAcceptDrops(false);
        box->lineEdit()->setAcceptDrops(false);
        // Qt's default wheel focus would let the wheel take the focus first
        // and then change the folder.
        box->setFocusPolicy(Qt::StrongFocus);
        box->installEventFilter(this);
        connect(box->lineEdit(), &QLineEdit::returnPressed, this, &FolderCombos::enterPressed);
        connect(box, &QComboBox::editTextChanged, this, [this, side] {
            if (!m_changing)
                RecordFolder(side);
        });
        connect(box, &QComboBox::currentIndexChanged, this, [this] {
            if (!m_changing)
                SaveFolderSelections();
        });
    }
}

bool FolderCombos::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Wheel && (watched == m_left || watched == m_right)
        && !static_cast<QWidget *>(watched)->hasFocus()) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

QComboBox *FolderCombos::combo(Side side) const
{
    return side == Side::Left ? m_left : m_right;
}

QString FolderCombos::text(Side side) const
{
    return combo(side)->currentText();
}

void FolderCombos::setText(Side side, const QString &text)
{
    {
        const QScopedValueRollback guard(m_changing, true);
        combo(side)->setEditText(text);
    }
    RecordFolder(side);
}

void FolderCombos::LoadFolderHistories()
{
    const QScopedValueRollback guard(m_changing, true);
    for (const Side side : {Side::Left, Side::Right}) {
        QString history = platform::ReadSetting(historyKey(side));
        history.chop(1); // normally the final ",", but whatever it is
        if (history.isEmpty())
            continue;
        QComboBox *box = combo(side);
        const int index = box->currentIndex();
        const QString text = box->currentText();
        box->addItems(history.split(QLatin1Char(',')));
        // Qt selects the first item put into an empty list; loading a history
        // must not choose an entry.
        if (box->currentIndex() != index)
            box->setCurrentIndex(index);
        if (box->currentText() != text)
            box->setEditText(text);
    }
}

void FolderCombos::RestoreFolderSelections()
{
    // Both positions are read before either is selected: selecting the left
    // entry saves both positions, which would put the right combo's "none"
    // over the right position before it was restored.
    const std::pair<QComboBox *, std::optional<int>> selections[] = {
        {m_left, storedPosition(Side::Left)},
        {m_right, storedPosition(Side::Right)},
    };
    const QScopedValueRollback guard(m_changing, true);
    for (const auto &[box, position] : selections) {
        if (box->count() == 0 || !position || *position < -1 || *position >= box->count())
            continue;
        box->setCurrentIndex(*position); // shows the entry's text, none for -1
        SaveFolderSelections();
    }
}

void FolderCombos::SaveFolderSelections()
{
    // A store that cannot be written loses the positions; nothing depends on
    // them but the next start.
    const bool left = platform::WriteSetting(indexKey(Side::Left), QString::number(m_left->currentIndex()));
    const bool right = platform::WriteSetting(indexKey(Side::Right), QString::number(m_right->currentIndex()));
    if (!left || !right)
        emit settingsNotSaved();
}

void FolderCombos::RecordFolder(Side side)
{
    const QString folder = text(side);
    if (!platform::IsFolder(platform::NativeText(folder)))
        return;
    // Read afresh each time: nothing of the store is cached.
    const QString history = platform::ReadSetting(historyKey(side));
    if (isKnown(folder, history))
        return;
    // When the history cannot be stored, the refill below would only replace
    // the folder just entered by an older entry: leave the combos alone.
    if (!platform::WriteSetting(historyKey(side), history + folder + QLatin1Char(','))) {
        emit settingsNotSaved();
        return;
    }

    // Both lists are refilled from the store, but only this side takes its
    // newest entry: the other side keeps the entry and the text it showed,
    // or a recorded folder would silently turn the other side into another
    // folder, and a sync would then copy between the wrong pair.
    QComboBox *other = combo(side == Side::Left ? Side::Right : Side::Left);
    const int otherIndex = other->currentIndex();
    const QString otherText = other->currentText();
    const QScopedValueRollback guard(m_changing, true);
    m_left->clear();
    m_right->clear();
    LoadFolderHistories();
    combo(side)->setCurrentIndex(combo(side)->count() - 1);
    other->setCurrentIndex(otherIndex < other->count() ? otherIndex : -1);
    if (other->currentText() != otherText)
        other->setEditText(otherText);
    SaveFolderSelections();
    // A "," in the folder splits it into two entries, and the newest one is
    // only its tail: keep showing the folder that was entered.
    combo(side)->setEditText(folder);
}
