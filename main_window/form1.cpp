#include "main_window/form1.h"
#include "main_window/contentcommand.h"

#include "main_window/leaveoutactions.h"
#include "main_window/pictures.h"
#include "main_window/resultlistactions.h"
#include "main_window/resultlistmodel.h"
#include "main_window/resultlistview.h"
#include "platform/desktop/cursorfile.h"
#include "platform/desktop/ui.h"
#include "platform/desktop/windowplacement.h"

#include "compare/global.h"
#include "compare/leaveout.h"
#include "folders/addfolder.h"
#include "folders/foldercombos.h"
#include "folders/folderdrop.h"
#include "platform/desktop/desktop.h"
#include "platform/paths.h"
#include "platform/settings.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QToolButton>

#include <utility>

using namespace Form1Layout;

namespace {

const char kHandPointerFile[] = "HAND-M.CUR";
const char kLoadingSuffix[] = " [Loading files, please wait...]";
const char kDropPointerFile[] = "dragfolder.cur";

// A scan lets window events in at most this often; more often, event
// processing would cost more than the scan itself on a tree of many folders.
constexpr qint64 kYieldIntervalMs = 20;

// Thrown out of a scan when Exit is pressed while the scan lets events in.
struct ScanAbandoned
{
};

int stateNumber(Qt::WindowStates state)
{
    if (state & Qt::WindowMinimized)
        return 1;
    if (state & (Qt::WindowMaximized | Qt::WindowFullScreen))
        return 2;
    return 0;
}

} // namespace

Form1::Form1(QWidget *parent)
    : Form1(platform::PointerFolder(), parent)
{
}

Form1::Form1(const std::string &programFolder, QWidget *parent)
    : QWidget(parent), m_programFolder(programFolder), m_placements(DesignedPlacements())
{
    buildControls();
    m_placement = std::make_unique<platform::WindowPlacement>(this, [this] { layOut(); });
    // The columns follow the lists' widths once the window has its frame.
    m_placement->firstFrame = [this] { m_columnsPending = true; };
    startUp();
}

Form1::~Form1() = default;

ResultListModel *Form1::resultList(Side side) const
{
    return side == Side::Left ? m_model1 : m_model2;
}

void Form1::buildControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kProductName));
    setWindowIcon(AppIcon());
    platform::PaintWhite(this);
    setMouseTracking(true);

    const QFont buttonFont = platform::ArialFont(11.25, true);
    const QFont listFont = platform::ArialFont(9.75, false);

    auto makeCombo = [&](const char *name) {
        auto *combo = new QComboBox(this);
        combo->setObjectName(QLatin1String(name));
        combo->setEditable(true);
        // The list is always a copy of the stored history; Enter adds nothing.
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setFont(listFont);
        return combo;
    };
    m_combo1 = makeCombo("Combo1");
    m_combo2 = makeCombo("Combo2");

    auto makeBrowsePicture = [&](const char *name) {
        auto *picture = new QLabel(this);
        picture->setObjectName(QLatin1String(name));
        picture->setPixmap(BrowsePicture());
        picture->setScaledContents(true);
        picture->setToolTip(QStringLiteral("Browse to Folder"));
        picture->setMouseTracking(true);
        picture->installEventFilter(this);
        // Reached by Tab, pressed by Space or Enter, and marked while it
        // has the focus.
        picture->setFocusPolicy(Qt::StrongFocus);
        picture->setStyleSheet(QStringLiteral("QLabel:focus { border: 1px dotted palette(text); }"));
        return picture;
    };
    m_image1 = makeBrowsePicture("Image1");
    m_image2 = makeBrowsePicture("Image2");

    auto makeList = [&](const char *name) {
        auto *list = new ResultListView(this);
        list->setObjectName(QLatin1String(name));
        list->setFont(listFont);
        return list;
    };
    m_listView1 = makeList("ListView1");
    m_listView2 = makeList("ListView2");
    m_model1 = new ResultListModel(this);
    m_model2 = new ResultListModel(this);

    buildCommands(buttonFont);
    buildLegend(buttonFont, platform::ArialFont(9.75, true));

    applyPlacements();
    setGeometry(platform::TwipsToPixels(kDesignedClientLeft, logicalDpiX()),
                platform::TwipsToPixels(kDesignedClientTop, logicalDpiY()),
                platform::TwipsToPixels(kDesignedClientWidth, logicalDpiX()),
                platform::TwipsToPixels(kDesignedClientHeight, logicalDpiY()));

    connectControls();
}

void Form1::buildCommands(const QFont &buttonFont)
{
    auto makeButton = [&](const char *name, const QString &caption, const QIcon &picture) {
        auto *button = new QToolButton(this);
        button->setObjectName(QLatin1String(name));
        button->setCheckable(true);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setText(caption);
        button->setIcon(picture);
        button->setIconSize(QSize(32, 32));
        button->setFont(buttonFont);
        platform::PaintWhite(button);
        button->setMouseTracking(true);
        button->installEventFilter(this);
        platform::PressOnEnter(button);
        return button;
    };
    m_check1 = makeButton("Check1", QStringLiteral("Compare"), ComparePicture());
    m_check1->setToolTip(QStringLiteral("Compare the two selected folders for matches and differences, show results."));
    m_check2 = makeButton("Check2", QStringLiteral("Sync Wizard"), SyncWizardPicture());
    m_check2->setToolTip(QStringLiteral("This wizard will safely show you the possible file operations (file copy, "
                                        "file overwrite) necessary to synchronize the two folders."));
    m_check7 = makeButton("Check7", QStringLiteral("Exit"), ExitPicture());
}

void Form1::buildLegend(const QFont &captionFont, const QFont &legendFont)
{
    m_frame1 = new QGroupBox(QStringLiteral("Legend"), this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_frame1->setFont(captionFont);
    platform::PaintWhite(m_frame1);
    auto makeLegendRow = [&](const char *pictureName, const char *labelName, std::uint8_t icon, float top) {
        auto *picture = new QLabel(m_frame1);
        picture->setObjectName(QLatin1String(pictureName));
        picture->setPixmap(StatusPicture(icon));
        auto *label = new QLabel(m_frame1);
        label->setObjectName(QLatin1String(labelName));
        label->setFont(legendFont);
        platform::SetTwipsGeometry(picture, {360, top, 240, 240});
        platform::SetTwipsGeometry(label, {720, top, 7000, 255});
        return std::pair(picture, label);
    };
    std::tie(m_image3, m_label1) = makeLegendRow("Image3", "Label1", NewerIcon, 240);
    std::tie(m_image4, m_label2) = makeLegendRow("Image4", "Label2", OlderIcon, 480);
    std::tie(m_image5, m_label3) = makeLegendRow("Image5", "Label3", NotFoundIcon, 720);
}

void Form1::connectControls()
{
    m_combos = new FolderCombos(m_combo1, m_combo2, this);
    connect(m_combos, &FolderCombos::settingsNotSaved, this, &Form1::settingsNotSaved);
    // Enter in a combo is a press of Compare, with the push-button rule.
    connect(m_combos, &FolderCombos::enterPressed, m_check1, &QAbstractButton::click);

    connectPushButton(m_check1, &Form1::Compare);
    connectPushButton(m_check2, &Form1::SyncWizard);
    connectPushButton(m_check7, &Form1::Exit);

    connect(m_listView1, &QAbstractItemView::clicked, this, [this] {
        // The check box has flipped its own row already; toggling the
        // selection as well would flip it back.
        if (!m_listView1->lastClickWasOnCheckBox())
            m_checkToggle.click(m_listView1);
    });
    for (Side side : {Side::Left, Side::Right}) {
        ResultListView *list = side == Side::Left ? m_listView1 : m_listView2;
        connect(list, &ResultListView::foldersDropped, this,
                [this, side](const QMimeData *mime) { DropFolders(*m_combos, side, mime, this); });
        connect(list, &ResultListView::mouseMoved, this, &Form1::listMouseMove);
    }

    m_listActions = new ResultListActions(this, m_listView1, m_listView2, m_check1, m_check2);
    m_contents = std::make_unique<ContentCommand>(this, m_model1, m_model2, m_listActions, m_scanning, m_compared);
    new LeaveOutActions(this, m_listActions, m_check1); // owned by the window
    for (ResultListModel *model : {m_model1, m_model2})
        connect(model, &ResultListModel::rowsReplaced, this, &Form1::showCounts);
    // Reading order: each folder with its browse picture, the lists, the
    // commands.
    const QList<QWidget *> tabOrder = {m_combo1,    m_image1, m_combo2, m_image2, m_listView1,
                                       m_listView2, m_check1, m_check2, m_check7};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    m_wizardContext.mainWindow = this;
    // Every row counts, shown or hidden by a filter.
    m_wizardContext.rowCount = [this](Side side) { return int(resultList(side)->totalRows()); };
    m_wizardContext.comboText = [this](Side side) { return m_combos->text(side); };
    // Compare again as a press of the button, so the push-button rule runs.
    m_wizardContext.compareAgain = [this] {
        m_check1->setChecked(true);
        return m_compared;
    };
    m_wizardContext.ending = [this] { return m_exitRequested; };
}

void Form1::startUp()
{
    loadCustomPointer(kHandPointerFile);

    m_combos->setText(Side::Left, QString());
    m_combos->setText(Side::Right, QString());

    m_listView1->setModel(m_model1);
    m_listView2->setModel(m_model2);

    m_combos->LoadFolderHistories();
    m_combos->RestoreFolderSelections();

    m_placements.image1.width = 240;
    m_placements.image1.height = 210;
    m_placements.image2.width = 240;
    m_placements.image2.height = 210;
    platform::SetTwipsGeometry(m_image1, m_placements.image1);
    platform::SetTwipsGeometry(m_image2, m_placements.image2);

    applyStoredWindow();
    // Before the columns, which follow the lists' widths.
    m_placement->keepOnScreen();

    setColumnWidths(m_listView1, m_placements.listView1.width);
    setColumnWidths(m_listView2, m_placements.listView2.width);

    m_placements.frame1.height = m_placements.check7.height + 100;
    m_placements.frame1.left = m_placements.check7.left + 1570;
    m_placements.frame1.top = m_placements.check7.top - 100;
    platform::SetTwipsGeometry(m_frame1, m_placements.frame1);

    for (auto [picture, label] : {std::pair(m_image3, m_label1), std::pair(m_image4, m_label2),
                                  std::pair(m_image5, m_label3)}) {
        const int down = platform::TwipsToPixels(80, logicalDpiY());
        picture->move(picture->x(), picture->y() + down);
        label->move(label->x(), picture->y());
    }

    m_label1->setText(QStringLiteral("This file is newer than its match and needs to be synchronized."));
    m_label2->setText(QStringLiteral("This file is older than its match and needs to be synchronized."));
    m_label3->setText(QStringLiteral("This file does not have a match and needs to be synchronized."));
}

void Form1::applyStoredWindow()
{
    // A value that cannot be used keeps the designed one.
    const std::optional<int> state = ParseWindowState(platform::ReadSetting(QStringLiteral("WindowState")));
    const std::optional<int> height = ParseFormHeight(platform::ReadSetting(QStringLiteral("FormHeight")));

    // The height is the normal (restored) size's, so it goes on while the
    // window is still in its normal state; the state follows. The frame is
    // unknown until the window is shown: the outer width is the designed one
    // and the outer height the stored one once it is there.
    const int outer = height ? platform::TwipsToPixels(float(*height), logicalDpiY()) : -1;
    m_placement->holdOuterSize(platform::TwipsToPixels(kDesignedOuterWidth, logicalDpiX()), outer);
    if (height) {
        m_placement->resizeTo(QSize(width(), outer));
        // A hidden window gets its resize event only when shown; the
        // layout follows every size change at once.
        layOut();
    }
    if (state && *state != 0) {
        m_columnsWaitForMaximised = *state == 2;
        setWindowState(*state == 1 ? Qt::WindowMinimized : Qt::WindowMaximized);
    }
}

void Form1::setColumnWidths(ResultListView *list, float listWidth)
{
    const std::array<float, 4> widths = ColumnWidths(listWidth);
    for (int column = 0; column < int(widths.size()); ++column) {
        if (widths[column] >= 0)
            list->header()->resizeSection(column, platform::TwipsToPixels(widths[column], logicalDpiX()));
    }
}

void Form1::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !m_placement->stateChanged())
        layOut();
}

void Form1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_placement->resized(event->size());
    layOut();
}

void Form1::layOut()
{
    const QRect outer = frameGeometry();
    const float W = platform::PixelsToTwips(outer.width(), logicalDpiX());
    const float H = platform::PixelsToTwips(outer.height(), logicalDpiY());
    m_placements = LayOutMainWindow(W, H, m_placements);
    applyPlacements();

    // The columns are start-up's; they wait for the window's real size: its
    // frame, or the maximised size of a window that starts maximised.
    if (m_columnsWaitForMaximised && isVisible() && (windowState() & Qt::WindowMaximized)) {
        m_columnsWaitForMaximised = false;
        m_columnsPending = true;
    }
    if (m_columnsPending && !m_columnsWaitForMaximised) {
        m_columnsPending = false;
        setColumnWidths(m_listView1, m_placements.listView1.width);
        setColumnWidths(m_listView2, m_placements.listView2.width);
    }

    // Each value goes to the disk only when it changed.
    const QString state = QString::number(stateNumber(windowState()));
    const QString height = QString::number(qRound(H));
    bool saved = true;
    if (state != m_storedState) {
        saved = platform::WriteSetting(QStringLiteral("WindowState"), state) && saved;
        m_storedState = state;
    }
    // A window started minimised keeps its stored height waiting until it
    // is first restored; meanwhile the height measured is the stored one
    // plus a frame, and the store keeps what it holds.
    const bool heightWaits = m_placement && m_placement->heightHeld() && (windowState() & Qt::WindowMinimized);
    if (height != m_storedHeight && !heightWaits) {
        saved = platform::WriteSetting(QStringLiteral("FormHeight"), height) && saved;
        m_storedHeight = height;
    }
    if (!saved)
        settingsNotSaved();
}

void Form1::applyPlacements()
{
    platform::SetTwipsGeometry(m_combo1, m_placements.combo1);
    platform::SetTwipsGeometry(m_combo2, m_placements.combo2);
    platform::SetTwipsGeometry(m_image1, m_placements.image1);
    platform::SetTwipsGeometry(m_image2, m_placements.image2);
    platform::SetTwipsGeometry(m_listView1, m_placements.listView1);
    platform::SetTwipsGeometry(m_listView2, m_placements.listView2);
    platform::SetTwipsGeometry(m_check1, m_placements.check1);
    platform::SetTwipsGeometry(m_check2, m_placements.check2);
    platform::SetTwipsGeometry(m_check7, m_placements.check7);
    platform::SetTwipsGeometry(m_frame1, m_placements.frame1);
}

void Form1::connectPushButton(QToolButton *button, void (Form1::*command)())
{
    // A click checks the button; the command runs only then, and first
    // releases the button, whose second notification finds it unchecked.
    connect(button, &QToolButton::toggled, this, [this, button, command] {
        if (!button->isChecked())
            return;
        button->setChecked(false);
        (this->*command)();
    });
}

void Form1::Compare()
{
    // The scan lets events in; a second comparison started from there would
    // fill the lists from two scans at once.
    if (m_scanning)
        return;
    m_scanning = true;

    QElapsedTimer sinceYield;
    CompareHooks hooks;
    hooks.yield = [this, &sinceYield] {
        if (!sinceYield.isValid() || sinceYield.elapsed() >= kYieldIntervalMs) {
            QCoreApplication::processEvents();
            sinceYield.restart();
        }
        if (m_exitRequested)
            throw ScanAbandoned();
    };
    hooks.showLoading = [this](bool loading) {
        setWindowTitle(QString::fromLatin1(kProductName) + (loading ? QLatin1String(kLoadingSuffix) : QLatin1String()));
    };
    hooks.setWaitPointer = [this] {
        if (cursor().shape() != Qt::WaitCursor)
            setCursor(Qt::WaitCursor);
    };
    hooks.showMessage = [this](const std::string &text, const std::string &caption) {
        platform::desktop().message(this, QString::fromUtf8(text), QString::fromUtf8(caption));
    };
    hooks.clearLists = [this] {
        m_model1->clear();
        m_model2->clear();
    };
    hooks.writeBackRoot = [this](Side side, const std::string &root) { m_combos->setText(side, platform::DisplayText(root)); };
    // Read once, after the trailing separators are gone: typing in a combo
    // while the scan runs changes nothing of this comparison.
    hooks.readRoot = [this](Side side) { return platform::NativeText(m_combos->text(side)); };
    hooks.statedTimeShift = PairTimeShift;
    // The lists are filled before any message about them comes up.
    hooks.chooseMode = PairMode;
    hooks.showResults = [this](Comparison &comparison) {
        m_model1->setRows(std::move(comparison.left), comparison.leftRoot, std::move(comparison.leftNotes));
        m_model2->setRows(std::move(comparison.right), comparison.rightRoot, std::move(comparison.rightNotes));
        m_contents->remember(comparison);
        m_model1->setLeftOut(comparison.leftLeftOut);
        m_model2->setLeftOut(comparison.rightLeftOut);
    };
    hooks.choose = PairChoices;

    Comparison comparison;
    m_compared = false;
    try {
        m_compared = CompareFolders(platform::NativeText(m_combos->text(Side::Left)),
                                    platform::NativeText(m_combos->text(Side::Right)), hooks, comparison,
                                    Global::PendingOperations);
    } catch (const ScanAbandoned &) {
    }
    m_scanning = false;
}

void Form1::SyncWizard()
{
    if (m_scanning)
        return;
    OpenSyncWizard(m_wizardContext);
}

void Form1::Exit()
{
    // Every setting is already on disk. A scan in progress is abandoned at
    // its next look at the event queue.
    m_exitRequested = true;
    QCoreApplication::exit(0);
}

void Form1::closeEvent(QCloseEvent *event)
{
    // While the wizard copies, the program cannot end before the copy does
    // and the window is not there to come back to: refused, as the wizard
    // refuses its own close meanwhile.
    if (SyncWizardCopying()) {
        event->ignore();
        return;
    }
    // Any other close request, at any moment, is Exit: a running scan stops
    // and nothing waits for it.
    QWidget::closeEvent(event);
    Exit();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseMove
        && (watched == m_check1 || watched == m_check2 || watched == m_check7 || watched == m_image1
            || watched == m_image2)) {
        hover();
    } else if (event->type() == QEvent::MouseButtonRelease && (watched == m_image1 || watched == m_image2)) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        auto *picture = static_cast<QWidget *>(watched);
        if (mouse->button() == Qt::LeftButton && picture->rect().contains(mouse->position().toPoint())) {
            browse(watched == m_image1 ? Side::Left : Side::Right);
            return true;
        }
    } else if (event->type() == QEvent::KeyPress && (watched == m_image1 || watched == m_image2)) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
            browse(watched == m_image1 ? Side::Left : Side::Right);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::mouseMoveEvent(QMouseEvent *event)
{
    // Moves over controls that do not take them arrive here too; only the
    // bare window turns the pointer back into the arrow.
    if (!childAt(event->position().toPoint()))
        backgroundMove();
    QWidget::mouseMoveEvent(event);
}

void Form1::hover()
{
    loadCustomPointer(kHandPointerFile);
    showCustomPointer();
}

void Form1::backgroundMove()
{
    setCursor(Qt::ArrowCursor);
}

void Form1::listMouseMove()
{
    // The drop hint shows while nothing has been compared yet: both lists
    // go by the left list.
    if (m_model1->totalRows() == 0) {
        loadCustomPointer(kDropPointerFile);
        showCustomPointer();
    } else {
        setCursor(Qt::ArrowCursor);
    }
}

void Form1::loadCustomPointer(const char *fileName)
{
    // Looked up afresh each time, so a replaced file shows at the next move.
    std::string path = m_programFolder;
    path += platform::kSeparator;
    path += fileName;
    if (!platform::FileExists(path))
        return;
    // A file that is no cursor keeps the image loaded before.
    if (std::optional<QCursor> pointer = platform::LoadCursorFile(path))
        m_customPointer = std::move(pointer);
}

void Form1::showCustomPointer()
{
    setCursor(m_customPointer ? *m_customPointer : QCursor(Qt::ArrowCursor));
}

void Form1::browse(Side side)
{
    m_combos->setText(side, BrowseForFolder(this, QString::fromLatin1(kBrowsePrompt), m_combos->text(side)));
}

void Form1::settingsNotSaved()
{
    if (m_settingsFailureReported)
        return;
    m_settingsFailureReported = true;
    // Said once events run again, never from inside a resize or the start-up.
    QTimer::singleShot(0, this, [this] {
        platform::desktop().message(
            this,
            QStringLiteral("Corvanel cannot save its settings in %1. The folders you enter and the size of this "
                           "window will not be remembered the next time Corvanel starts.")
                .arg(QDir::toNativeSeparators(platform::SettingsLocation())),
            QString::fromLatin1(kProductName));
    });
}

void Form1::showCounts()
{
    // The counts of the last comparison, both lists, on every legend row.
    QString text;
    if (m_model1->totalRows() > 0 || m_model2->totalRows() > 0) {
        text = QStringLiteral("Left: ") + StatusCountsText(m_model1->counts()) + QStringLiteral("\nRight: ")
            + StatusCountsText(m_model2->counts());
    }
    for (QWidget *row : {static_cast<QWidget *>(m_image3), static_cast<QWidget *>(m_image4),
                         static_cast<QWidget *>(m_image5), static_cast<QWidget *>(m_label1),
                         static_cast<QWidget *>(m_label2), static_cast<QWidget *>(m_label3)})
        row->setToolTip(text);
}
