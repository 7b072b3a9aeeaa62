#include "main_window/leaveoutactions.h"

#include "main_window/resultlistactions.h"
#include "main_window/resultlistmodel.h"
#include "main_window/resultlistview.h"

#include "compare/leaveout.h"
#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QVBoxLayout>

LeaveOutActions::LeaveOutActions(QWidget *window, ResultListActions *lists, QAbstractButton *compare)
    : QObject(window)
    , m_window(window)
    , m_lists(lists)
    , m_compare(compare)
{
    const auto make = [this](const char *name, const QString &text) {
        auto *action = new QAction(text, this);
        action->setObjectName(QLatin1String(name));
        return action;
    };
    m_folder = make("LeaveOutFolderAction", QStringLiteral("Leave out this folder"));
    m_extension = make("LeaveOutExtensionAction", QStringLiteral("Leave out files like *.EXT"));
    m_hidden = make("CompareHiddenAction", QStringLiteral("Compare hidden files"));
    m_hidden->setCheckable(true);
    m_edit = make("LeaveOutPatternsAction", QStringLiteral("Leave-out patterns..."));

    QMenu *menu = lists->menu();
    menu->addSeparator();
    menu->addActions({m_folder, m_extension, m_hidden, m_edit});
    connect(menu, &QMenu::aboutToShow, this, &LeaveOutActions::update);
    connect(m_folder, &QAction::triggered, this, [this] {
        std::string folder, extension;
        if (selected(folder, extension) && !folder.empty())
            leaveOut(platform::kSeparator + folder + platform::kSeparator);
    });
    connect(m_extension, &QAction::triggered, this, [this] {
        std::string folder, extension;
        if (selected(folder, extension) && !extension.empty())
            leaveOut("*." + extension);
    });
    connect(m_hidden, &QAction::triggered, this, [this](bool on) {
        std::string left, right;
        if (pair(left, right) && SavePairHidden(left, right, on))
            m_compare->click();
    });
    connect(m_edit, &QAction::triggered, this, &LeaveOutActions::editPatterns);
}

bool LeaveOutActions::pair(std::string &left, std::string &right) const
{
    left = m_lists->list(0)->resultModel()->root();
    right = m_lists->list(1)->resultModel()->root();
    return !left.empty() && !right.empty();
}

bool LeaveOutActions::selected(std::string &folder, std::string &extension) const
{
    const std::vector<int> rows = m_lists->selectedRows();
    if (rows.size() != 1)
        return false;
    const std::string_view name = m_lists->activeList()->resultModel()->shownRow(rows[0]).name();
    const std::size_t slash = name.rfind(platform::kSeparator);
    folder = slash == std::string_view::npos ? std::string() : std::string(name.substr(0, slash));
    const std::string_view file = slash == std::string_view::npos ? name : name.substr(slash + 1);
    const std::size_t dot = file.rfind('.');
    // "name." and ".name" have no extension to speak of.
    extension = dot == std::string_view::npos || dot == 0 || dot + 1 == file.size() ? std::string()
                                                                                    : std::string(file.substr(dot + 1));
    return true;
}

void LeaveOutActions::update()
{
    std::string left, right, folder, extension;
    const bool compared = pair(left, right);
    const bool one = compared && selected(folder, extension);
    m_folder->setEnabled(one && !folder.empty());
    m_folder->setToolTip(QString::fromStdString(folder));
    m_extension->setEnabled(one && !extension.empty());
    m_extension->setText(QStringLiteral("Leave out files like *.")
                         + (extension.empty() ? QStringLiteral("EXT") : platform::DisplayText(extension)));
    m_hidden->setEnabled(compared);
    m_hidden->setChecked(compared && PairChoices(left, right).withHidden);
    m_edit->setEnabled(compared);
}

void LeaveOutActions::leaveOut(const std::string &pattern)
{
    std::string left, right;
    if (pair(left, right) && AddPairPattern(left, right, pattern))
        m_compare->click();
}

void LeaveOutActions::editPatterns()
{
    std::string left, right;
    if (!pair(left, right))
        return;
    QDialog dialog(m_window);
    dialog.setObjectName(QLatin1String(kEditorName));
    dialog.setWindowTitle(QStringLiteral("Leave-out patterns"));
    auto *layout = new QVBoxLayout(&dialog); // owned by the dialog, as its children
    auto *help = new QLabel(QStringLiteral("Left out on both sides when these folders are compared, one pattern a "
                                           "line:\nNAME, *.EXT, FOLDER/, /AT-THE-TOP, A/B, **, !KEEP"),
                            &dialog);
    auto *text = new QPlainTextEdit(&dialog);
    text->setObjectName(QStringLiteral("LeaveOutText"));
    QStringList lines;
    const ScanChoices saved = PairChoices(left, right);
    for (const std::string &pattern : saved.leaveOut.patterns())
        lines << platform::DisplayText(pattern);
    text->setPlainText(lines.join(QLatin1Char('\n')));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(help);
    layout->addWidget(text);
    layout->addWidget(buttons);
    dialog.resize(420, 300);
    if (dialog.exec() != QDialog::Accepted)
        return;
    // Kept as written, comments included; blank lines go.
    std::vector<std::string> written;
    for (const QString &line : text->toPlainText().split(QLatin1Char('\n')))
        if (!line.trimmed().isEmpty())
            written.push_back(platform::NativeText(line));
    if (SavePairPatterns(left, right, written))
        m_compare->click();
}
