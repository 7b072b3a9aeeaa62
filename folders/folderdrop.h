#pragma once

#include "compare/comparefolders.h" // Side

class FolderCombos;
class QMimeData;
class QWidget;

// Accepts what is dropped on a result list: each dropped local path in order
// sets that side's combo text (a folder as it is, a file as the folder that
// holds it). A drop that carries no local file shows the virtual-folder
// message with caption "Error".
void DropFolders(FolderCombos &combos, Side side, const QMimeData *data, QWidget *owner);

// Whether a drag carrying this data may be dropped on a result list.
bool CanDropFolders(const QMimeData *data);
