#pragma once

#include "sync/syncoperations.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

// Shows how far a synchronization has got: files and bytes done of the
// total and the file being copied. Its Cancel (and Escape, and the close box)
// only asks for a stop after the current file; the dialog stays until the
// owner closes it.
class SyncProgressDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SyncProgressDialog(QWidget *parent = nullptr);

    void setProgress(const SyncProgress &progress);
    bool stopRequested() const { return m_stopRequested; }

signals:
    void stopRequestedChanged();

public slots:
    void reject() override;

private:
    QLabel *m_counts;
    QLabel *m_current;
    QProgressBar *m_bar;
    QPushButton *m_cancel;
    bool m_stopRequested = false;
};
