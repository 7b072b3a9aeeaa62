#pragma once

#include "compare/syncmode.h"
#include "wizard/syncwizard.h"
#include "wizard/wizardlayout.h"

#include <QCursor>
#include <QWidget>

#include <map>
#include <memory>
#include <optional>

class OperationModel;
namespace platform {
class WindowPlacement;
}
class QGroupBox;
class QLabel;
class QMenu;
class QTimer;
class QToolButton;
class QTreeView;
class SyncProgressDialog;
struct SyncPlan;

// The Sync Wizard window: lists the pending operations for confirmation,
// opens either side's file of an operation, and carries the operations out.
// Exists only while it is open (it deletes itself on closing); its rows are
// a copy taken when it is loaded.
//
// OK copies on a worker thread so the progress dialog stays live; while that
// runs, OK, Cancel, the Run commands and closing are refused and the main
// window is disabled as well as hidden.
class Form3 : public QWidget
{
    Q_OBJECT

public:
    explicit Form3(const WizardContext &context, QWidget *parent = nullptr);
    ~Form3() override;

    // Places the window at an outer rectangle (position and size including
    // the window frame), as the main window's outer rectangle is copied.
    void setOuterGeometry(const QRect &outer, const QSize &frameMargins);

    void UpdateRunButtons(int row);
    bool isRunning() const { return m_run != nullptr; }
    const WizardPlacement &placement() const { return m_placement; }

    static const QColor kRunnable;
    static const QColor kBlocked;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Run;

    void buildList();
    void buildInstruction();
    void connectCommands();
    void FillOperationList();
    void showOperations();
    void decideConflict(int slot, ConflictDecision decision);
    void changeMode();
    void LayoutWizard();
    void applyPlacement();

    void RunOperations();
    void RunSource();
    void RunDestination();
    void runCommand(QToolButton *button, bool source);
    void showProgress();
    bool roomForRun(const SyncPlan &jobs);
    void finishOperations();
    bool ending() const;

    WizardContext m_context;
    WizardPlacement m_placement;
    // The outer size the window was given; invalid when none was.
    std::unique_ptr<platform::WindowPlacement> m_windowPlacement;
    std::optional<QCursor> m_handCursor;

    QTreeView *ListView1;
    OperationModel *m_model;
    QToolButton *Check2; // OK
    QToolButton *Check1; // Cancel
    QToolButton *Check4; // Run Source
    QToolButton *Check5; // Run Dstn
    QGroupBox *Frame1;
    QLabel *Label1;

    // The conflicts as found, by slot, so that a decision can be undone.
    std::map<int, SyncJob> m_conflicts;
    QMenu *m_modeMenu = nullptr;

    std::shared_ptr<Run> m_run;
    SyncProgressDialog *m_progress = nullptr;
    QTimer *m_progressTimer;
};
