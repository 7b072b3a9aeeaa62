#include "wizard/syncwizard.h"

#include "sync/syncverdict.h"
#include "wizard/form3.h"

#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"

#include <QPointer>
#include <QWidget>

namespace {

const char kNothingToSynchronize[] =
    "Nothing to synchronize. You need to select two folders and generate results by clicking 'Compare'.";

// The one open wizard, if any.
QPointer<Form3> g_wizard;

} // namespace

void OpenSyncWizard(const WizardContext &context)
{
    QWidget *mainWindow = context.mainWindow;
    if (context.operations && !context.operations->empty()) {
        if (g_wizard && g_wizard->isRunning())
            return;
        QRect outer;
        QSize frameMargins;
        if (mainWindow) {
            outer = mainWindow->frameGeometry();
            frameMargins = outer.size() - mainWindow->geometry().size();
            // Wholly on the screen, whatever became of the main window's.
            outer = platform::OnScreen(outer);
            mainWindow->hide();
        }
        if (!g_wizard) {
            g_wizard = new Form3(context);
            // Owned by itself (it deletes itself on closing), or gone with
            // the main window.
            if (mainWindow)
                QObject::connect(mainWindow, &QObject::destroyed, g_wizard.data(), &QObject::deleteLater);
        }
        if (mainWindow)
            g_wizard->setOuterGeometry(outer, frameMargins);
        g_wizard->show();
        return;
    }

    const QString caption = QString::fromLatin1(kErrorCaption);
    const bool listed = context.rowCount && context.rowCount(Side::Left) > 0 && context.rowCount(Side::Right) > 0;
    if (!listed) {
        platform::desktop().message(mainWindow, QString::fromLatin1(kNothingToSynchronize), caption);
        return;
    }
    const QString left = context.comboText ? context.comboText(Side::Left) : QString();
    const QString right = context.comboText ? context.comboText(Side::Right) : QString();
    // Files that differ with nothing to tell which is newer: the folders
    // are not identical, and no operation will make them so.
    if (context.operations && context.operations->unordered.count > 0) {
        platform::desktop().message(mainWindow,
                                    QStringLiteral("Nothing can be synchronized, yet ") + left + QStringLiteral(" & ")
                                        + right + QStringLiteral(" are not identical. ")
                                        + platform::DisplayText(UnorderedText(context.operations->unordered)),
                                    caption);
        return;
    }
    // What was not compared is said: "identical" holds for the rest alone.
    const std::string leftOut = context.operations
        ? LeftOutSentence(context.operations->leftLeftOut, context.operations->rightLeftOut)
        : std::string();
    platform::desktop().message(mainWindow,
                                QString::fromStdString(
                                    IdenticalText(left.toStdString(), right.toStdString(),
                                                  context.operations ? context.operations->unverified : 0)
                                    + (leftOut.empty() ? "" : "\n\n" + leftOut)),
                                caption);
}

bool SyncWizardCopying()
{
    return g_wizard && g_wizard->isRunning();
}
