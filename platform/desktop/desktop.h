#pragma once

#include <QString>

#include <functional>
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

    // A modal box with the text and Yes and No buttons (No the default);
    // true for Yes.
    virtual bool question(QWidget *owner, const QString &text, const QString &caption);

    // The folder browser, opened at startFolder; the chosen folder's path,
    // or the empty text on cancel.
    virtual QString browseForFolder(QWidget *owner, const QString &prompt, const QString &startFolder);

    // Opens the file (native bytes, handed on as they are) with its
    // associated program and returns at once. When nothing can open it (no
    // launcher, or the launcher knows no program for it), `failed` runs,
    // then or later from the event loop.
    virtual void openFile(const std::string &path, const std::function<void()> &failed);
};

Desktop &desktop();

// Installs a replacement (not owned); nullptr restores the real one.
void setDesktop(Desktop *replacement);

} // namespace platform
