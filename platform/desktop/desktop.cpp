#include "platform/desktop/desktop.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>

namespace platform {
namespace {

Desktop *g_replacement = nullptr;

// Messages name folders and files, which may look like markup ("<b>A"):
// shown as rich text, they would name folders that do not exist.
int showBox(QMessageBox &box)
{
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

// A modal window of the owner's (a progress dialog) blocks a box that
// belongs to the owner itself: the box belongs to that window instead.
QWidget *topOwner(QWidget *owner)
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!owner || !modal)
        return owner;
    for (QWidget *w = modal; w; w = w->parentWidget()) {
        if (w == owner->window())
            return modal;
    }
    return owner;
}

} // namespace

void Desktop::message(QWidget *owner, const QString &text, const QString &caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, topOwner(owner));
    showBox(box);
}

bool Desktop::question(QWidget *owner, const QString &text, const QString &caption)
{
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, topOwner(owner));
    box.setDefaultButton(QMessageBox::No);
    return showBox(box) == QMessageBox::Yes;
}

QString Desktop::browseForFolder(QWidget *owner, const QString &prompt, const QString &startFolder)
{
    return QFileDialog::getExistingDirectory(owner, prompt, startFolder, QFileDialog::ShowDirsOnly);
}

void Desktop::openFile(const std::string &path, const std::function<void()> &failed)
{
#ifdef Q_OS_UNIX
    // The URL carries the name's bytes percent-encoded: a name that is not
    // UTF-8 would not survive a QString.
    const QByteArray url = "file://" + QByteArray::fromStdString(path).toPercentEncoding("/");
    // xdg-open ends with a failure status when it finds no program for the
    // file; while the program it starts runs, it may run as long. Not owned
    // by any window, so closing one does not end the opened program.
    auto *launcher = new QProcess;
    QObject::connect(launcher, &QProcess::finished, launcher, [launcher, failed](int code, QProcess::ExitStatus status) {
        launcher->deleteLater();
        if ((status != QProcess::NormalExit || code != 0) && failed)
            failed();
    });
    QObject::connect(launcher, &QProcess::errorOccurred, launcher, [launcher, failed](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        launcher->deleteLater();
        if (failed)
            failed();
    });
    launcher->setStandardOutputFile(QProcess::nullDevice());
    launcher->setStandardErrorFile(QProcess::nullDevice());
    launcher->start(QStringLiteral("xdg-open"), {QString::fromLatin1(url)});
#else
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path)))) && failed)
        failed();
#endif
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
