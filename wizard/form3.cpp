#include "wizard/form3.h"

#include "wizard/modemenu.h"
#include "wizard/operationmenu.h"
#include "wizard/operationmodel.h"
#include "wizard/shellexe.h"
#include "wizard/syncprogress.h"
#include "wizard/wizardpictures.h"

#include "compare/comparefolders.h" // kProductName
#include "platform/desktop/cursorfile.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"
#include "platform/desktop/windowplacement.h"
#include "platform/paths.h"
#include "sync/spacecheck.h"
#include "sync/syncoperations.h"
#include "sync/syncrecord.h"
#include "sync/syncverdict.h"

#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

const char kInstruction[] = "Please confirm the following file operations. Feel free to run (open) the files "
                            "with 'Run Source' and 'Run Destination'.";
const char kSourceIsFolder[] = "The source item is a folder, not a file. You can not run this.";
const char kDestinationIsFolder[] = "The destination item is a folder, not a file. You can not run this.";
const char kHandCursorFile[] = "HAND-M.CUR";

QToolButton *makeButton(QWidget *parent, const char *name, const QString &caption, WizardPicture picture)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(caption);
    button->setIcon(WizardIcon(picture));
    button->setIconSize(QSize(32, 32));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setFont(platform::ArialFont(11.25, true));
    button->setMouseTracking(true);
    platform::PaintWhite(button);
    platform::PressOnEnter(button);
    return button;
}

void setCaptionColour(QToolButton *button, const QColor &colour)
{
    QPalette palette = button->palette();
    palette.setColor(QPalette::ButtonText, colour);
    button->setPalette(palette);
}

// Before the first replacement no trash can take: whether to replace the
// files anyway.
QString ReplaceWithoutTrashText(const std::string &reason)
{
    return platform::DisplayText("The files this synchronization replaces cannot be kept in the Trash: " + reason
                                 + ".\n\nReplace them anyway, without keeping the old files?");
}

QColor captionColour(const QToolButton *button)
{
    return button->palette().color(QPalette::ButtonText);
}

} // namespace

const QColor Form3::kRunnable = QColor(0, 0, 0);
const QColor Form3::kBlocked = QColor(0xC0, 0xC0, 0xC0);

// Shared between the window and the worker thread that carries the
// operations out; the worker touches nothing else.
struct Form3::Run
{
    SyncPlan jobs;
    std::thread worker;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    SyncProgress progress; // guarded by mutex
    SyncReport report;     // written by the worker before it hands back
    ModeOutcome mode; // what the way of syncing decided, kept as the memory
    std::string memoryNote; // why the memory could not be kept; by the worker
};

Form3::Form3(const WizardContext &context, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_context(context)
{
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Sync Wizard"));
    m_windowPlacement = std::make_unique<platform::WindowPlacement>(this, [this] { LayoutWizard(); });
    setAttribute(Qt::WA_DeleteOnClose);
    platform::PaintWhite(this);
    setMouseTracking(true);

    buildList();

    Check2 = makeButton(this, "Check2", QStringLiteral("OK"), WizardPicture::Ok);
    Check1 = makeButton(this, "Check1", QStringLiteral("Cancel"), WizardPicture::Cancel);
    Check4 = makeButton(this, "Check4", QStringLiteral("Run Source"), WizardPicture::RunSource);
    Check5 = makeButton(this, "Check5", QStringLiteral("Run Dstn"), WizardPicture::RunDestination);
    setCaptionColour(Check1, kRunnable);
    for (QToolButton *button : {Check2, Check1, Check4, Check5})
        button->installEventFilter(this);

    buildInstruction();
    // The frame reaches a little into the list's bottom edge; the list's
    // border stays visible.
    ListView1->raise();

    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(100);
    connect(m_progressTimer, &QTimer::timeout, this, [this] {
        if (!m_run || !m_progress)
            return;
        SyncProgress progress;
        {
            std::lock_guard<std::mutex> lock(m_run->mutex);
            progress = m_run->progress;
        }
        m_progress->setProgress(progress);
    });

    connectCommands();

    resize(platform::TwipsToPixels(kWizardDesignWidth, logicalDpiX()),
           platform::TwipsToPixels(kWizardDesignHeight, logicalDpiY()));
    FillOperationList();
}

void Form3::buildList()
{
    ListView1 = new QTreeView(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setItemsExpandable(false);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setAllColumnsShowFocus(true);
    ListView1->header()->setStretchLastSection(false);
    // The window-wide pointer may be the hand; the list is not a button.
    ListView1->viewport()->setCursor(Qt::ArrowCursor);
    m_model = new OperationModel(this);
    ListView1->setModel(m_model);
}

void Form3::buildInstruction()
{
    Frame1 = new QGroupBox(QStringLiteral("Instruction"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFont(platform::ArialFont(11.25, true));
    platform::PaintWhite(Frame1);
    Label1 = new QLabel(Frame1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(platform::ArialFont(9.75, true));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette labelPalette = Label1->palette();
    labelPalette.setColor(QPalette::WindowText, QColor(192, 0, 0));
    Label1->setPalette(labelPalette);
}

void Form3::connectCommands()
{
    connect(Check2, &QToolButton::toggled, this, &Form3::RunOperations);
    connect(Check4, &QToolButton::toggled, this, &Form3::RunSource);
    connect(Check5, &QToolButton::toggled, this, &Form3::RunDestination);
    // Cancel acts on its first notification, whatever its value.
    connect(Check1, &QToolButton::toggled, this, [this] {
        if (isRunning()) {
            const QSignalBlocker blocker(Check1);
            Check1->setChecked(false);
            return;
        }
        close();
    });
    // Escape is Cancel, with the same refusal while the operations run.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, Check1, &QAbstractButton::click);
    connect(ListView1, &QTreeView::clicked, this, [this](const QModelIndex &index) {
        if (index.isValid())
            UpdateRunButtons(index.row());
    });
    // Keyboard moves change the selected row too; the colours follow it, so
    // a Run command never judges one row by another's colour.
    connect(ListView1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                if (current.isValid())
                    UpdateRunButtons(current.row());
            });
}

Form3::~Form3()
{
    if (m_run && m_run->worker.joinable()) {
        m_run->stop = true;
        m_run->worker.join();
    }
}

void Form3::setOuterGeometry(const QRect &outer, const QSize &frameMargins)
{
    // A window's own size excludes its frame; the frame of this window is
    // taken to be the main window's, as both are plain top-level windows,
    // until its own arrives.
    m_windowPlacement->holdOuterSize(outer.width(), outer.height());
    m_windowPlacement->resizeTo(outer.size() - frameMargins);
    move(outer.topLeft());
}

void Form3::FillOperationList()
{
    const std::string handFile = platform::PointerFolder() + platform::kSeparator + kHandCursorFile;
    if (platform::FileExists(handFile))
        m_handCursor = platform::LoadCursorFile(handFile);

    m_placement = LoadedPlacement();
    Label1->setText(QString::fromLatin1(kInstruction));

    showOperations();
    applyPlacement();
    AddOperationListExtras(
        ListView1, m_model, Check2, *m_context.operations, [this](int slot) { return m_conflicts.count(slot) > 0; },
        [this](int slot, ConflictDecision decision) { decideConflict(slot, decision); });
    // The way of syncing, from the list's menu or Ctrl+M.
    m_modeMenu = MakeModeMenu(
        this,
        [this] {
            const SyncRoots &roots = m_context.operations->roots;
            return std::pair(roots.left, roots.right);
        },
        [this] { changeMode(); });
    if (auto *menu = ListView1->findChild<QMenu *>(QStringLiteral("OperationMenu")))
        menu->addMenu(m_modeMenu);
    auto *modeKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_M), this);
    connect(modeKey, &QShortcut::activated, this, [this] { m_modeMenu->popup(QCursor::pos()); });

    if (m_model->rowCount() > 0) {
        ListView1->setCurrentIndex(m_model->index(0, 0));
        UpdateRunButtons(0);
    }
}

// The rows as the operations stand; conflicts remembered as found.
void Form3::showOperations()
{
    std::vector<OperationRow> rows;
    const PendingOperationList &operations = *m_context.operations;
    for (int k = 0; k < PendingOperationList::kSlots && !operations[k].source.empty(); ++k) {
        if (operations[k].job.kind == JobKind::Conflict && operations[k].job.newName.empty())
            m_conflicts.try_emplace(k, operations[k].job);
        rows.push_back({operations[k].source, operations[k].action, operations[k].destination, k});
    }
    m_model->setRows(std::move(rows));
}

void Form3::decideConflict(int slot, ConflictDecision decision)
{
    const auto found = m_conflicts.find(slot);
    if (found == m_conflicts.end() || isRunning())
        return;
    PendingOperationList &operations = *m_context.operations;
    operations.setOperation(slot,
                            PendingOperationFor(operations.roots.left, operations.roots.right,
                                                DecidedConflict(found->second, decision)));
    const QModelIndex current = ListView1->currentIndex();
    showOperations();
    ListView1->setCurrentIndex(current);
    UpdateOperationSummary(m_model, Check2, operations);
}

// Another way of syncing: the main window compares again, and the list
// shows what the new way would do.
void Form3::changeMode()
{
    if (isRunning() || (m_context.compareAgain && !m_context.compareAgain()))
        return;
    m_conflicts.clear();
    showOperations();
    UpdateOperationSummary(m_model, Check2, *m_context.operations);
    if (m_model->rowCount() > 0) {
        ListView1->setCurrentIndex(m_model->index(0, 0));
        UpdateRunButtons(0);
    }
}

void Form3::UpdateRunButtons(int row)
{
    if (row < 0 || row >= m_model->rowCount())
        return;
    const OperationRow &r = m_model->row(row);
    setCaptionColour(Check4, platform::FileExists(r.source) ? kRunnable : kBlocked);
    setCaptionColour(Check5, platform::FileExists(r.destination) ? kRunnable : kBlocked);
}

void Form3::applyPlacement()
{
    const auto place = platform::SetTwipsGeometry;
    place(ListView1, m_placement.list);
    place(Check2, m_placement.ok);
    place(Check1, m_placement.cancel);
    place(Check4, m_placement.runSource);
    place(Check5, m_placement.runDestination);
    place(Frame1, m_placement.frame);
    place(Label1, m_placement.label);
    for (int i = 0; i < 3; ++i)
        ListView1->header()->resizeSection(i, platform::TwipsToPixels(m_placement.columns[i], logicalDpiX()));
}

void Form3::LayoutWizard()
{
    const QSize outer = frameGeometry().size();
    const float width = platform::PixelsToTwips(outer.width(), logicalDpiX());
    const float height = platform::PixelsToTwips(outer.height(), logicalDpiY());
    m_placement = ::LayoutWizard(width, height, m_placement);
    applyPlacement();
}

void Form3::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_windowPlacement->resized(event->size());
    LayoutWizard();
}

void Form3::closeEvent(QCloseEvent *event)
{
    if (isRunning()) {
        event->ignore();
        return;
    }
    if (m_context.mainWindow && !ending())
        m_context.mainWindow->show();
    event->accept();
}

bool Form3::ending() const
{
    return m_context.ending && m_context.ending();
}

void Form3::mouseMoveEvent(QMouseEvent *event)
{
    setCursor(Qt::ArrowCursor);
    QWidget::mouseMoveEvent(event);
}

bool Form3::eventFilter(QObject *watched, QEvent *event)
{
    if ((event->type() == QEvent::MouseMove || event->type() == QEvent::Enter)
        && (watched == Check2 || watched == Check1 || watched == Check4 || watched == Check5)) {
        // The custom pointer is the arrow while no hand pointer was loaded.
        // It goes on the button itself: the move the button ignores reaches
        // the window next, whose own handler sets the window's arrow.
        static_cast<QWidget *>(watched)->setCursor(m_handCursor ? *m_handCursor : QCursor(Qt::ArrowCursor));
    }
    return QWidget::eventFilter(watched, event);
}

void Form3::RunSource()
{
    runCommand(Check4, true);
}

void Form3::RunDestination()
{
    runCommand(Check5, false);
}

void Form3::runCommand(QToolButton *button, bool source)
{
    if (!button->isChecked())
        return;
    button->setChecked(false);
    if (isRunning())
        return;
    if (captionColour(button) != kBlocked) {
        ListView1->setFocus();
        const QModelIndexList selected = ListView1->selectionModel()->selectedRows();
        if (selected.isEmpty())
            return;
        const OperationRow &row = m_model->row(selected.first().row());
        ShellExe::OpenWithShell(this, source ? row.source : row.destination);
    } else {
        platform::desktop().message(this, QString::fromLatin1(source ? kSourceIsFolder : kDestinationIsFolder),
                                    QString::fromLatin1(kProductName));
        button->setChecked(false);
    }
}

void Form3::RunOperations()
{
    if (!Check2->isChecked())
        return;
    Check2->setChecked(false);
    if (isRunning())
        return;

    SyncPlan jobs = SyncJobs(*m_context.operations);
    const ModeOutcome mode = m_context.operations->mode;
    if (!AskBeforeRun(this, mode, jobs) || !roomForRun(jobs))
        return;
    auto run = std::make_shared<Run>();
    run->jobs = std::move(jobs);
    run->mode = mode;
    m_run = run;
    if (m_context.mainWindow)
        m_context.mainWindow->setEnabled(false);

    m_progress = new SyncProgressDialog(this);
    connect(m_progress, &SyncProgressDialog::stopRequestedChanged, this, [run] { run->stop = true; });
    // Short runs finish before the dialog would only flash.
    QTimer::singleShot(300, m_progress, &QWidget::show);
    m_progressTimer->start();

    QPointer<Form3> self(this);
    run->worker = std::thread([run, self] {
        SyncOptions options;
        // Asked on the window's thread, the copies waiting meanwhile.
        options.replaceWithoutKeeping = [self](const std::string &reason) {
            bool yes = false;
            QMetaObject::invokeMethod(
                self.data(),
                [self, &yes, &reason] {
                    if (!self)
                        return;
                    // On top of the progress dialog, shown first: shown later,
                    // that window-modal dialog would block the question, and
                    // the run would wait for an answer nobody can give.
                    QWidget *owner = self.data();
                    if (self->m_progress) {
                        self->m_progress->show();
                        owner = self->m_progress;
                    }
                    yes = platform::desktop().question(owner, ReplaceWithoutTrashText(reason),
                                                       QString::fromLatin1(kProductName));
                },
                Qt::BlockingQueuedConnection);
            return yes;
        };
        run->report = RunSyncJobs(run->jobs, [&run](const SyncProgress &progress) {
            std::lock_guard<std::mutex> lock(run->mutex);
            run->progress = progress;
            return !run->stop.load();
        }, options);
        run->memoryNote = RecordSync(run->mode, run->jobs, run->report);
        // Queued to the window's thread; dropped if the window is gone.
        QMetaObject::invokeMethod(self.data(), [self] {
            if (self)
                self->finishOperations();
        }, Qt::QueuedConnection);
    });
}

// A destination too small is said before any copy; the user may still go
// on (a run may free room as it goes, or only some files matter).
bool Form3::roomForRun(const SyncPlan &jobs)
{
    const std::vector<SpaceShortage> shortages = FindSpaceShortages(jobs, true);
    if (shortages.empty())
        return true;
    return platform::desktop().question(this,
                                        platform::DisplayText(SpaceShortageText(shortages)
                                                              + "\n\nCarry them out anyway?"),
                                        QString::fromLatin1(kProductName));
}

void Form3::finishOperations()
{
    if (!m_run)
        return;
    const std::shared_ptr<Run> run = std::move(m_run);
    run->worker.join();
    m_progressTimer->stop();
    delete m_progress;
    m_progress = nullptr;

    hide();
    QWidget *mainWindow = m_context.mainWindow;
    if (mainWindow) {
        mainWindow->setEnabled(true);
        mainWindow->show();
    }
    const bool compared = !m_context.compareAgain || m_context.compareAgain();
    // A comparison cut short by the program's end proves nothing about the
    // folders: no message, and the main window stays gone.
    if (ending()) {
        close();
        return;
    }

    const QString left = m_context.comboText ? m_context.comboText(Side::Left) : QString();
    const QString right = m_context.comboText ? m_context.comboText(Side::Right) : QString();
    const SyncReport &report = run->report;
    const PendingOperationList &after = *m_context.operations;
    // Whatever kept the folders from being brought into step is said; only a
    // run that left nothing out earns the congratulations. Without a new
    // comparison the list is the one before the sync, and says nothing.
    std::string more;
    const auto add = [&more](const std::string &line) {
        if (!line.empty())
            more += (more.empty() ? "" : "\n") + line;
    };
    if (report.trashed > 0)
        add(TrashedText(report));
    if (compared)
        add(UnreadableText(after.unreadable));
    if (compared && after.unordered.count > 0)
        add(UnorderedText(after.unordered));
    for (const std::string &note : report.notes)
        add(note);
    for (const std::string *note : {&run->mode.memoryNote, &run->mode.guardNote, &run->memoryNote})
        add(*note);
    if (report.leftAlone > 0)
        add(std::to_string(report.leftAlone)
            + (report.leftAlone == 1 ? " conflict is left as it is." : " conflicts are left as they are."));
    if (compared)
        add(LeftOutSentence(after.leftLeftOut, after.rightLeftOut));
    const QString extra = more.empty() ? QString() : QStringLiteral("\n\n") + platform::DisplayText(more);
    SyncAfterwards afterwards;
    afterwards.compared = compared;
    afterwards.pending = after.empty() ? 0 : after.found;
    afterwards.unreadable = after.unreadable.count;
    afterwards.unordered = after.unordered.count;
    afterwards.unverified = after.unverified;
    const SyncVerdict verdict = JudgeSync(report, afterwards);
    const std::string leftText = left.toStdString(), rightText = right.toStdString();
    if (verdict.end == SyncEnd::Failed)
        platform::desktop().message(mainWindow, platform::DisplayText(SyncFailureText(run->jobs, report)) + extra,
                                    QString::fromLatin1(kErrorCaption));
    else if (verdict.synchronized())
        platform::desktop().message(mainWindow,
                                    QString::fromStdString(SynchronizedText(leftText, rightText, afterwards.unverified))
                                        + extra,
                                    QStringLiteral("Congratulations"));
    else
        platform::desktop().message(mainWindow,
                                    QString::fromStdString(NotInStepText(verdict, afterwards, leftText, rightText))
                                        + extra,
                                    QString::fromLatin1(kProductName));
    close();
}
