#pragma once

#include <QString>

class QWidget;

inline const char kBrowsePrompt[] = "Please select folder to add:";

// The folder browser: the chosen folder's path, or the empty text when the
// user cancels.
QString BrowseForFolder(QWidget *owner, const QString &prompt);
