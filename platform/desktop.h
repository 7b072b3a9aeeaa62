#pragma once

#include <QString>

#include <string>

class QWidget;

// The three things that would block an automated test: a modal message box,
// the folder browser and opening a file in another program. Everything else
// calls them through desktop(); tests install a recorder with setDesktop().
namespace platform {

class Desktop
{
public:
    virtual ~Desktop() = default;

    // A modal box with the text, the caption as title, one OK button, no icon.
    virtual void message(QWidget *owner, const QString &text, const QString &caption);

    // The folder browser; the chosen folder's path, or the empty text on cancel.
    virtual QString browseForFolder(QWidget *owner, const QString &prompt);

    // Opens the file with its associated program; returns at once, reports nothing.
    virtual void openFile(const std::string &path);
};

Desktop &desktop();

// Installs a replacement (not owned); nullptr restores the real one.
void setDesktop(Desktop *replacement);

} // namespace platform
