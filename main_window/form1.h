#pragma once

#include "compare/comparefolders.h" // Side
#include "folders/checktoggle.h"
#include "main_window/mainlayout.h"
#include "wizard/syncwizard.h"

#include <QCursor>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

class FolderCombos;
namespace platform {
class WindowPlacement;
}
class QComboBox;
class QGroupBox;
class QLabel;
class QToolButton;
class ContentCommand;
class ResultListActions;
class ResultListModel;
class ResultListView;

// The main window: two folder combos with their browse pictures, the two
// result lists side by side, the Compare, Sync Wizard and Exit buttons and
// the legend. Its geometry is twips arithmetic on its own outer size (see
// mainlayout.h), run on every resize and state change; its state and outer
// height are stored after each layout and restored at the next start.
class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    // programFolder is where the pointer files "HAND-M.CUR" and
    // "dragfolder.cur" are looked for: normally platform::PointerFolder().
    explicit Form1(const std::string &programFolder, QWidget *parent = nullptr);
    ~Form1() override;

    // Where the controls stand now, in twips.
    const Form1Layout::MainPlacements &placements() const { return m_placements; }
    ResultListModel *resultList(Side side) const;
    FolderCombos &combos() const { return *m_combos; }
    // True while a comparison scans (and lets window events in).
    bool scanning() const { return m_scanning; }

protected:
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildCommands(const QFont &buttonFont);
    void buildLegend(const QFont &captionFont, const QFont &legendFont);
    void connectControls();
    void startUp();
    void applyStoredWindow();
    void setColumnWidths(ResultListView *list, float listWidth);
    void layOut();
    void applyPlacements();

    void connectPushButton(QToolButton *button, void (Form1::*command)());
    void Compare();
    void SyncWizard();
    void Exit();

    void hover();
    void backgroundMove();
    void listMouseMove();
    void loadCustomPointer(const char *fileName);
    void showCustomPointer();
    void browse(Side side);
    void settingsNotSaved();
    void showCounts();

    std::string m_programFolder;
    Form1Layout::MainPlacements m_placements;

    QComboBox *m_combo1 = nullptr;
    QComboBox *m_combo2 = nullptr;
    QLabel *m_image1 = nullptr;
    QLabel *m_image2 = nullptr;
    ResultListView *m_listView1 = nullptr;
    ResultListView *m_listView2 = nullptr;
    ResultListModel *m_model1 = nullptr;
    ResultListModel *m_model2 = nullptr;
    QToolButton *m_check1 = nullptr;
    QToolButton *m_check2 = nullptr;
    QToolButton *m_check7 = nullptr;
    QGroupBox *m_frame1 = nullptr;
    QLabel *m_image3 = nullptr;
    QLabel *m_image4 = nullptr;
    QLabel *m_image5 = nullptr;
    QLabel *m_label1 = nullptr;
    QLabel *m_label2 = nullptr;
    QLabel *m_label3 = nullptr;

    FolderCombos *m_combos = nullptr;
    ResultListActions *m_listActions = nullptr;
    std::unique_ptr<ContentCommand> m_contents;
    CheckToggle m_checkToggle;
    WizardContext m_wizardContext;

    // The window's one custom pointer image; empty until a file is loaded.
    std::optional<QCursor> m_customPointer;
    bool m_scanning = false;
    bool m_compared = false; // whether the last Compare compared
    bool m_exitRequested = false;
    // The store is written on every resize: a store that cannot be written
    // is reported once per run.
    bool m_settingsFailureReported = false;
    std::unique_ptr<platform::WindowPlacement> m_placement;
    bool m_columnsPending = false;
    bool m_columnsWaitForMaximised = false;
    // What the store holds, as this window last wrote it.
    QString m_storedState;
    QString m_storedHeight;
};
