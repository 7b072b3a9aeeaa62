#include "wizard/syncprogress.h"
#include "platform/desktop/ui.h"

#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

SyncProgressDialog::SyncProgressDialog(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("SyncProgress"));
    setWindowTitle(QStringLiteral("Synchronizing"));
    setWindowModality(Qt::WindowModal);

    m_counts = new QLabel(this);
    m_counts->setObjectName(QStringLiteral("SyncProgressCounts"));
    m_current = new QLabel(this);
    m_current->setObjectName(QStringLiteral("SyncProgressFile"));
    m_current->setMinimumWidth(420);
    m_current->setTextFormat(Qt::PlainText);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 1000);
    m_bar->setValue(0);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("SyncProgressCancel"));
    connect(m_cancel, &QPushButton::clicked, this, &SyncProgressDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_counts);
    layout->addWidget(m_current);
    layout->addWidget(m_bar);
    layout->addWidget(m_cancel, 0, Qt::AlignRight);
}

// Copies in flight land before the run stops.
static QString stoppingText()
{
    return QStringLiteral(" - stopping after the files being copied");
}

void SyncProgressDialog::setProgress(const SyncProgress &p)
{
    m_counts->setText(QStringLiteral("%1 of %2 files, %3 of %4")
                          .arg(p.filesDone)
                          .arg(p.filesTotal)
                          .arg(QString::fromStdString(ByteCountText(p.bytesDone)),
                               QString::fromStdString(ByteCountText(p.bytesTotal)))
                      + (m_stopRequested ? stoppingText() : QString()));
    const QString file = platform::DisplayText(p.currentFile);
    m_current->setText(m_current->fontMetrics().elidedText(file, Qt::ElideMiddle, m_current->width()));
    m_current->setToolTip(file);
    // Bytes say more than files when there are any; a run of empty files
    // still moves the bar.
    const double fraction = p.bytesTotal > 0 ? double(p.bytesDone) / double(p.bytesTotal)
        : p.filesTotal > 0                 ? double(p.filesDone) / double(p.filesTotal)
                                           : 0.0;
    m_bar->setValue(int(std::min(1.0, fraction) * 1000));
}

void SyncProgressDialog::reject()
{
    if (m_stopRequested)
        return;
    m_stopRequested = true;
    m_cancel->setEnabled(false);
    m_counts->setText(m_counts->text() + stoppingText());
    emit stopRequestedChanged();
}
