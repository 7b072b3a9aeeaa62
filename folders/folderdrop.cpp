#include "folders/folderdrop.h"

#include "compare/comparefolders.h" // kErrorCaption
#include "folders/foldercombos.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QUrl>

QString FolderOfDroppedPath(const QString &path)
{
    if (platform::IsFolder(platform::NativeText(path)))
        return path;
    const qsizetype last = path.lastIndexOf(QLatin1Char(platform::kSeparator));
    if (last < 0)
        return QString();
    // A file directly in the root folder stands for the root, not for "".
    if (last == 0)
        return path.left(1);
    return path.left(last);
}

void DropFolders(FolderCombos &combos, Side side, const QMimeData *data, QWidget *owner)
{
    const QList<QUrl> urls = data ? data->urls() : QList<QUrl>();
    bool failed = urls.isEmpty();
    for (const QUrl &url : urls) {
        if (!url.isLocalFile()) {
            failed = true;
            break;
        }
        const QString folder = FolderOfDroppedPath(QDir::toNativeSeparators(url.toLocalFile()));
        if (folder.isEmpty()) {
            failed = true;
            break;
        }
        combos.setText(side, folder);
    }
    if (failed)
        platform::desktop().message(owner, QString::fromLatin1(kVirtualFolderMessage),
                                    QString::fromLatin1(kErrorCaption));
}

Qt::DropAction FolderDropAction(Qt::DropActions offered)
{
    if (!(offered & Qt::CopyAction) && (offered & Qt::LinkAction))
        return Qt::LinkAction;
    return Qt::CopyAction;
}
