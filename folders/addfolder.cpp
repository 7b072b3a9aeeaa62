#include "folders/addfolder.h"

#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <QDir>

QString BrowseStartFolder(const QString &current)
{
    if (!current.isEmpty() && platform::IsFolder(platform::NativeText(current)))
        return current;
    return QDir::homePath();
}

QString BrowseForFolder(QWidget *owner, const QString &prompt, const QString &current)
{
    // Qt's dialog answers with "/" everywhere; the rest of the program
    // speaks the native separator.
    return QDir::toNativeSeparators(platform::desktop().browseForFolder(owner, prompt, BrowseStartFolder(current)));
}
