#include "wizard/shellexe.h"

#include "platform/desktop.h"

namespace ShellExe {

void OpenWithShell(QWidget *window, const std::string &path)
{
    // The desktop service has no owner window; the opened program lives on
    // independently of it.
    Q_UNUSED(window);
    platform::desktop().openFile(path);
}

} // namespace ShellExe
