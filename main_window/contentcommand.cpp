#include "main_window/contentcommand.h"

#include "compare/contentcompare.h"
#include "main_window/resultlistactions.h"
#include "main_window/resultlistmodel.h"
#include "wizard/syncprogress.h"

#include "platform/desktop/desktop.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <unordered_set>

ContentCommand::ContentCommand(QWidget *window, ResultListModel *left, ResultListModel *right,
                               ResultListActions *actions, bool &busy, const bool &compared)
    : m_window(window)
    , m_left(left)
    , m_right(right)
    , m_comparison(std::make_unique<Comparison>())
{
    actions->addContentCommands([this, &busy, &compared](const std::vector<std::string> *chosen) {
        if (busy || !compared)
            return;
        busy = true; // no Compare or Sync Wizard while the pairs are read
        run(chosen);
        busy = false;
    });
}

ContentCommand::~ContentCommand() = default;

void ContentCommand::remember(const Comparison &comparison)
{
    *m_comparison = comparison;
    m_comparison->left.clear();
    m_comparison->right.clear();
    m_comparison->everyJob = nullptr;
}

namespace {

// The summary once the reading ends: what differs, what could not be read.
QString findingsMessage(const ContentFindings &found)
{
    std::string text = ContentFindingsText(found);
    if (found.different == 0 && found.failed == 0)
        text = found.read == 1 ? std::string("The pair of files read has the same contents.")
                               : "The " + std::to_string(found.read) + " pairs of files read have the same contents.";
    if (found.cancelled)
        text = "Stopped after " + std::to_string(found.read) + (found.read == 1 ? " pair" : " pairs") + " of files. "
            + text;
    return QString::fromUtf8(text);
}

} // namespace

void ContentCommand::run(const std::vector<std::string> *chosen)
{
    Comparison &comparison = *m_comparison;
    // The rows as the lists hold them, checks and all; put back afterwards.
    comparison.left = m_left->rows();
    comparison.right = m_right->rows();
    ContentOptions options;
    std::unordered_set<std::string_view> names;
    if (chosen) {
        names.insert(chosen->begin(), chosen->end());
        options.chosen = [&names](std::string_view name) { return names.count(name) > 0; };
    }
    SyncProgressDialog dialog(m_window);
    dialog.setObjectName(QStringLiteral("ContentProgress"));
    dialog.setWindowTitle(QStringLiteral("Comparing contents"));
    QElapsedTimer shown;
    shown.start();
    options.progress = [&](const ContentProgress &p) {
        // The window stays alive between chunks; the dialog is redrawn a few times a second.
        if (shown.elapsed() >= 100 || p.filesDone == p.filesTotal) {
            shown.restart();
            SyncProgress progress;
            progress.filesDone = p.filesDone;
            progress.filesTotal = p.filesTotal;
            progress.bytesDone = std::int64_t(p.bytesDone);
            progress.bytesTotal = std::int64_t(p.bytesTotal);
            progress.currentFile = p.currentFile;
            dialog.setProgress(progress);
            if (!dialog.isVisible())
                dialog.show();
            QCoreApplication::processEvents();
        }
        return !dialog.stopRequested();
    };
    const ContentFindings found = CompareContents(comparison, Global::PendingOperations, options);
    dialog.hide(); // close() would ask for a stop: its reject() only does that
    m_left->setRows(std::move(comparison.left), comparison.leftRoot);
    m_right->setRows(std::move(comparison.right), comparison.rightRoot);
    platform::desktop().message(m_window, findingsMessage(found), QString::fromUtf8(kProductName));
}
