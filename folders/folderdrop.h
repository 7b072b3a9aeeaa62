#pragma once

#include "compare/side.h"

#include <QString>
#include <Qt>

#include <string>

class FolderCombos;
class QMimeData;
class QWidget;

inline const char kVirtualFolderMessage[] =
    "You can not drag and drop virtual folders like My Documents. Instead browse to "
    "C:\\Documents and Settings\\Your Name\\My Documents, for example, or try to drag and "
    "drop subfolders within My Documents";

// Accepts what is dropped on a result list: each dropped local path in order
// sets that side's combo text (a folder as it is, a file as the folder that
// holds it), so each new folder is recorded before the next path is taken.
// A drop that carries no URL, or a URL that is not a local file, shows the
// virtual-folder message with caption "Error"; texts set before the failing
// URL stay set.
void DropFolders(FolderCombos &combos, Side side, const QMimeData *data, QWidget *owner);

// The action a drop on a result list tells its source: Copy, or Link when
// the source offers only that, never Move: the dragged items stay where they
// are. Any drag is accepted, so that data without a file list reaches
// DropFolders and its message.
Qt::DropAction FolderDropAction(Qt::DropActions offered);

// The folder a dropped path stands for: the path itself when it names a
// folder, else the text before its last separator (the root folder for a
// file directly in it). Empty when a path that is no folder has no
// separator at all.
QString FolderOfDroppedPath(const QString &path);
