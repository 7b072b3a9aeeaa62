#include "platform/desktop.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

namespace platform {
namespace {

Desktop *g_replacement = nullptr;

} // namespace

void Desktop::message(QWidget *owner, const QString &text, const QString &caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

QString Desktop::browseForFolder(QWidget *owner, const QString &prompt)
{
    return QFileDialog::getExistingDirectory(owner, prompt, QString(), QFileDialog::ShowDirsOnly);
}

void Desktop::openFile(const std::string &path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path))));
}

Desktop &desktop()
{
    static Desktop real;
    return g_replacement ? *g_replacement : real;
}

void setDesktop(Desktop *replacement)
{
    g_replacement = replacement;
}

} // namespace platform
