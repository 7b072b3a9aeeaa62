#pragma once

#include "compare/comparefolders.h" // Side

#include <QObject>
#include <QString>

class QComboBox;

// The two folder combos and their remembered histories in the settings store
// ("LeftCombo", "RightCombo", "LeftComboIndex", "RightComboIndex"). Every text
// change of a combo runs RecordFolder for its side, every selection change
// runs SaveFolderSelections. The histories' odd rules (substring test, no
// escaping of commas, refill of both combos) are relied on by stored
// histories and are kept as they are.
class FolderCombos : public QObject
{
    Q_OBJECT
public:
    FolderCombos(QComboBox *left, QComboBox *right, QObject *parent = nullptr);

    QComboBox *combo(Side side) const;
    QString text(Side side) const;
    // Sets the combo's text; RecordFolder runs for that side.
    void setText(Side side, const QString &text);

    void LoadFolderHistories();
    void RestoreFolderSelections();
    void SaveFolderSelections();
    void RecordFolder(Side side);

private:
    QComboBox *m_left;
    QComboBox *m_right;
};
