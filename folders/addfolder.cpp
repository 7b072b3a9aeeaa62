#include "folders/addfolder.h"

#include "platform/desktop.h"

#include <QDir>

QString BrowseForFolder(QWidget *owner, const QString &prompt)
{
    // Qt's dialog answers with "/" everywhere; the rest of the program
    // speaks the native separator.
    return QDir::toNativeSeparators(platform::desktop().browseForFolder(owner, prompt));
}
