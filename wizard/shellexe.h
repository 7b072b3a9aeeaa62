#pragma once

#include <string>

class QWidget;

// Module ShellExe: hands a file to the desktop to open with its associated
// program. Returns at once; a file that cannot be opened is not reported.
namespace ShellExe {

void OpenWithShell(QWidget *window, const std::string &path);

} // namespace ShellExe
