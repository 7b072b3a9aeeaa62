#pragma once

#include "compare/side.h"

#include <QObject>
#include <QString>

class QComboBox;

// The two folder combos and their remembered histories in the settings store
// ("LeftCombo", "RightCombo", "LeftComboIndex", "RightComboIndex"). Every text
// change of a combo runs RecordFolder for its side, every selection change
// runs SaveFolderSelections. The histories' odd rules (substring test, no
// escaping of commas) are relied on by stored histories and are kept as
// they are.
//
// The combos are made editable here, without inline completion and without
// Qt's own insertion of typed texts: their lists are only ever a copy of the
// stored histories. Configure nothing of that kind on them afterwards.
class FolderCombos : public QObject
{
    Q_OBJECT
public:
    FolderCombos(QComboBox *left, QComboBox *right, QObject *parent = nullptr);

    QComboBox *combo(Side side) const;
    QString text(Side side) const;
    // Sets the combo's text; RecordFolder runs for that side, exactly once.
    void setText(Side side, const QString &text);

    // Appends each stored history to its combo's list, leaving the selection
    // and the text as they were.
    void LoadFolderHistories();
    // Selects the stored position on each side whose list is not empty; a
    // position that is absent, not a number or outside the list is ignored.
    void RestoreFolderSelections();
    void SaveFolderSelections();
    // Appends the side's text to its history when it names a folder that no
    // entry covers yet, then refills both combos: this side shows its newest
    // entry, the other side what it showed before. When the history cannot
    // be stored, nothing changes.
    void RecordFolder(Side side);

signals:
    // Enter (Return) was pressed in a combo's text while its list was closed.
    void enterPressed();
    // A history or a selected position could not be written to the store.
    void settingsNotSaved();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QComboBox *m_left;
    QComboBox *m_right;
    // Set while this class changes the combos itself: the signals those
    // changes raise must not run RecordFolder or SaveFolderSelections again.
    bool m_changing = false;
};
