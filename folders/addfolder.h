#pragma once

#include <QString>

class QWidget;

inline const char kBrowsePrompt[] = "Please select folder to add:";

// The folder browser: the chosen folder's path, or the empty text when the
// user cancels. It opens at `current` when that names a folder (the side's
// combo text), else at the home folder, never at the working folder.
QString BrowseForFolder(QWidget *owner, const QString &prompt, const QString &current = QString());

// Where the browser opens for a combo text.
QString BrowseStartFolder(const QString &current);
