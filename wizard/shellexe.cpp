#include "wizard/shellexe.h"

#include "compare/comparefolders.h" // kProductName
#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"

#include <QPointer>
#include <QWidget>

namespace ShellExe {

void OpenWithShell(QWidget *window, const std::string &path)
{
    // The launcher may give up only after this returns, when the window may
    // be gone.
    QPointer<QWidget> owner(window);
    platform::desktop().openFile(path, [owner, path] {
        platform::desktop().message(owner.data(),
                                    QStringLiteral("No program could open %1. Open it from your file manager, or "
                                                   "choose a program for this kind of file there.")
                                        .arg(platform::DisplayText(path)),
                                    QString::fromLatin1(kProductName));
    });
}

} // namespace ShellExe
