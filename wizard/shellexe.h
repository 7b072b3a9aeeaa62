#pragma once

#include <string>

class QWidget;

// Module ShellExe: hands a file to the desktop to open with its associated
// program. Returns at once; when nothing can open the file, a message box
// says so (caption "Corvanel"), owned by the window while it still exists.
namespace ShellExe {

void OpenWithShell(QWidget *window, const std::string &path);

} // namespace ShellExe
