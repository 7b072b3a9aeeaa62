// The main window at scale, on the offscreen platform.
//   window_bench LEFT RIGHT [RUNS] [--window-only]
//     Times a Compare through the window against the engine alone on the same
//     two trees, cache warm, median of a few runs; then, with the lists
//     filled, what a person does in them (below). --window-only skips the
//     engine's own runs, so that the process's peak memory is the window's.
//   window_bench --sync LEFT RIGHT
//     What corvanel-cli sync LEFT RIGHT does, through the window: Compare,
//     then Sync Wizard and OK (the progress dialog shown) until the compare
//     after OK finds nothing pending, each round's questions answered yes.
//     Prints the whole time, the compares after OK and the rounds taken.
//   window_bench --rows N [RUNS]
//     Fills both lists with N rows a side shaped like bench/gentrees.py's
//     trees (about 1 % differing, 0.5 % on one side only), without a disk,
//     and measures the memory they take per listed row.
// With the lists filled, each figure is from the key press or click to the
// list painted again: differences only and back (Ctrl+D), a header click on
// each column and a second one to reverse it, F8 and Shift+F8, typing a name
// and the find pop-up. Prints "key value" lines; bench/scale_bench.sh and
// bench/window_bench.sh read them.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/form1.h"
#include "main_window/resultlistmodel.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/ui.h"
#include "wizard/form3.h"
#include "wizard/syncprogress.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Messages (the note that not every operation is listed) go to the
// terminal; a modal box would stop the measurement.
class QuietDesktop : public platform::Desktop
{
public:
    void message(QWidget *, const QString &text, const QString &) override
    {
        lastMessage.start();
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    bool question(QWidget *, const QString &text, const QString &) override
    {
        std::fprintf(stderr, "%s [yes]\n", qPrintable(text));
        return true;
    }
    QElapsedTimer lastMessage; // started when the last message was shown
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template<typename F>
double seconds(F &&work)
{
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e9;
}

// Resident and peak memory of this process, in bytes.
long long residentBytes()
{
    long long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

long long peakBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atoll(line.c_str() + 6) * 1024;
    }
    return 0;
}

// Rows of both sides as a comparison of two generated trees leaves them:
// folders up to depth 6 with about 100 files each, one folder of 20,000, a
// few per cent differing or on one side only; in walk order.
void syntheticRows(std::size_t files, ResultRows &left, ResultRows &right)
{
    std::mt19937 random{unsigned(files)};
    const std::size_t big = files >= 100000 ? 20000 : files / 10;
    std::vector<std::string> folders{""};
    while (folders.size() < std::max<std::size_t>(1, (files - big) / 100)) {
        const std::string &parent = folders[random() % folders.size()];
        if (std::count(parent.begin(), parent.end(), '/') >= 5)
            continue;
        folders.push_back((parent.empty() ? "" : parent + "/") + "d" + std::to_string(folders.size()));
    }
    std::vector<std::string> names;
    names.reserve(files);
    char buffer[32];
    for (std::size_t i = 0; i < big; ++i) {
        std::snprintf(buffer, sizeof buffer, "big/file%06zu.dat", i);
        names.emplace_back(buffer);
    }
    for (std::size_t i = big; i < files; ++i) {
        std::snprintf(buffer, sizeof buffer, "f%07zu.txt", i);
        const std::string &folder = folders[random() % folders.size()];
        names.push_back(folder.empty() ? std::string(buffer) : folder + "/" + buffer);
    }
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) { return WalkBefore(a, b); });
    for (std::size_t i = 0; i < names.size(); ++i) {
        ResultRow row;
        row.size = std::int64_t(i % 64);
        row.modified = 1600000000 + std::int64_t(i);
        row.status = Status::OK;
        const unsigned pick = random() % 200;
        ResultRow other = row;
        if (pick < 2) { // differs: the right copy is newer and longer
            other.size += 7;
            other.modified += 10000000;
            row.status = Status::Older;
            row.icon = OlderIcon;
            other.status = Status::Newer;
            other.icon = NewerIcon;
        } else if (pick == 2 || pick == 3) { // on one side only
            ResultRow &only = pick == 2 ? row : other;
            only.status = Status::NotFound;
            only.icon = NotFoundIcon;
            (pick == 2 ? left : right).add(names[i], only);
            continue;
        }
        left.add(names[i], row);
        right.add(names[i], other);
    }
}

void paint(QTreeView *a, QTreeView *b)
{
    QCoreApplication::processEvents();
    a->viewport()->repaint();
    b->viewport()->repaint();
}

// Times what a person does in the filled lists; returns the resident memory
// while the left list was sorted.
long long measureLists(Form1 &window, int runs)
{
    auto *list1 = window.findChild<QTreeView *>(QStringLiteral("ListView1"));
    auto *list2 = window.findChild<QTreeView *>(QStringLiteral("ListView2"));
    list1->setFocus();
    paint(list1, list2);

    auto repeat = [&](int times, auto &&work) {
        std::vector<double> t;
        for (int i = 0; i < times; ++i)
            t.push_back(seconds(work));
        return median(t);
    };
    auto key = [&](QWidget *target, int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        return [=] {
            QTest::keyClick(target, Qt::Key(k), modifiers);
            paint(list1, list2);
        };
    };

    std::vector<double> differences, all;
    for (int run = 0; run < runs; ++run) {
        differences.push_back(seconds(key(list1, Qt::Key_D, Qt::ControlModifier)));
        all.push_back(seconds(key(list1, Qt::Key_D, Qt::ControlModifier)));
    }
    std::printf("differences_only_seconds %.4f\n", median(differences));
    std::printf("show_all_seconds %.4f\n", median(all));

    const char *names[] = {"filename", "status", "size", "modified"};
    QHeaderView *header = list1->header();
    auto clickHeader = [&](int column) {
        // Wider together than the list: scroll the section into view first.
        list1->horizontalScrollBar()->setValue(header->sectionPosition(column));
        QCoreApplication::processEvents();
        const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
        return seconds([&] {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            paint(list1, list2);
        });
    };
    for (int column = 0; column < 4; ++column) {
        std::vector<double> sorts, reverses;
        for (int run = 0; run < runs; ++run) {
            // Back to the walk order between runs, as a new Compare leaves it.
            list1->sortByColumn(-1, Qt::AscendingOrder);
            paint(list1, list2);
            sorts.push_back(clickHeader(column));
            reverses.push_back(clickHeader(column));
        }
        std::printf("sort_%s_seconds %.4f\n", names[column], median(sorts));
        std::printf("reverse_%s_seconds %.4f\n", names[column], median(reverses));
    }
    const long long sorted = residentBytes();
    list1->sortByColumn(-1, Qt::AscendingOrder);
    list1->setCurrentIndex(QModelIndex());
    paint(list1, list2);

    list1->setFocus();
    std::printf("next_difference_seconds %.4f\n", repeat(std::max(runs, 20), key(list1, Qt::Key_F8)));
    std::printf("previous_difference_seconds %.4f\n",
                repeat(std::max(runs, 20), key(list1, Qt::Key_F8, Qt::ShiftModifier)));

    // Typing a name no row has: every row is looked at.
    std::vector<double> typed;
    for (int run = 0; run < runs; ++run) {
        list1->setCurrentIndex(list1->model()->index(0, 0));
        QTest::qWait(QApplication::keyboardInputInterval() + 50);
        typed.push_back(seconds(key(list1, Qt::Key_Z)));
    }
    std::printf("type_to_find_seconds %.4f\n", median(typed));

    std::vector<double> finds, clears;
    for (int run = 0; run < runs; ++run) {
        QTest::keyClick(list1, Qt::Key_F, Qt::ControlModifier);
        auto *text = window.findChild<QLineEdit *>(QStringLiteral("FindText"));
        finds.push_back(seconds([&] {
            QTest::keyClicks(text, QStringLiteral("d12"));
            paint(list1, list2);
        }) / 3);
        clears.push_back(seconds(key(text, Qt::Key_Escape)));
    }
    std::printf("find_keystroke_seconds %.4f\n", median(finds));
    std::printf("find_clear_seconds %.4f\n", median(clears));
    return sorted;
}

void printMemory(const char *what, long long bytes, std::size_t rows)
{
    std::printf("%s_bytes_per_row %.1f\n", what, rows ? double(bytes) / double(rows) : 0.0);
}

// One click on a tool button found by its name in WIDGET.
void clickButton(QWidget &widget, const char *name)
{
    auto *button = widget.findChild<QToolButton *>(QLatin1String(name));
    if (!button) {
        std::fprintf(stderr, "no button %s\n", name);
        std::exit(1);
    }
    button->click();
}

Form3 *openWizard()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *wizard = qobject_cast<Form3 *>(widget); wizard && wizard->isVisible())
            return wizard;
    }
    return nullptr;
}

// Compare, then Sync Wizard and OK until nothing is pending, as a person
// would: each OK's run ends with the main window's Compare and a message.
int measureSync(Form1 &window, QuietDesktop &quiet, const std::string &left, const std::string &right)
{
    window.combos().setText(Side::Left, platform::DisplayText(left));
    window.combos().setText(Side::Right, platform::DisplayText(right));
    QElapsedTimer whole;
    whole.start();
    clickButton(window, "Check1");
    QCoreApplication::processEvents();
    const double firstCompare = double(whole.nsecsElapsed()) / 1e9;
    double comparesAfter = 0, opening = 0, copying = 0;
    int rounds = 0;
    while (!Global::PendingOperations.empty()) {
        QElapsedTimer step;
        step.start();
        clickButton(window, "Check2");
        QPointer<Form3> wizard = openWizard();
        opening += double(step.nsecsElapsed()) / 1e9;
        if (!wizard) {
            std::fprintf(stderr, "the Sync Wizard did not open\n");
            return 1;
        }
        QElapsedTimer runEnded;
        step.start();
        clickButton(*wizard, "Check2");
        auto *progress = wizard->findChild<SyncProgressDialog *>(QStringLiteral("SyncProgress"));
        if (progress)
            QObject::connect(progress, &QObject::destroyed, [&runEnded] { runEnded.start(); });
        // The wizard closes itself after the compare and its message.
        if (!QTest::qWaitFor([&] { return wizard.isNull(); }, 3600 * 1000)) {
            std::fprintf(stderr, "the Sync Wizard did not finish\n");
            return 1;
        }
        if (runEnded.isValid() && quiet.lastMessage.isValid()) {
            comparesAfter += double(runEnded.nsecsElapsed() - quiet.lastMessage.nsecsElapsed()) / 1e9;
            copying += double(step.nsecsElapsed() - runEnded.nsecsElapsed()) / 1e9;
        }
        ++rounds;
    }
    std::printf("sync_seconds %.4f\n", double(whole.nsecsElapsed()) / 1e9);
    std::printf("first_compare_seconds %.4f\n", firstCompare);
    std::printf("wizard_opening_seconds %.4f\n", opening);
    std::printf("ok_to_run_end_seconds %.4f\n", copying);
    std::printf("compare_after_seconds %.4f\n", comparesAfter);
    std::printf("rounds %d\n", rounds);
    return rounds > 0 ? 0 : 1;
}
} // namespace

int main(int argc, char *argv[])
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The window records folders in its settings: keep them away from the user's.
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    QuietDesktop quiet;
    platform::setDesktop(&quiet);
    std::vector<std::string> args;
    bool windowOnly = false;
    bool syncing = false;
    std::size_t syntheticFiles = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window-only") == 0)
            windowOnly = true;
        else if (std::strcmp(argv[i], "--sync") == 0)
            syncing = true;
        else if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc)
            syntheticFiles = std::strtoull(argv[++i], nullptr, 10);
        else
            args.push_back(argv[i]);
    }
    if (args.size() < 2 && syntheticFiles == 0) {
        std::fprintf(stderr,
                     "usage: window_bench LEFT RIGHT [RUNS] [--window-only]\n"
                     "       window_bench --sync LEFT RIGHT\n"
                     "       window_bench --rows N [RUNS]\n");
        return 2;
    }
    const std::size_t runsAt = syntheticFiles ? 0 : 2;
    const int runs = args.size() > runsAt ? std::max(1, std::atoi(args[runsAt].c_str())) : 5;

    Form1 window;
    window.resize(1200, 800);
    window.show();
    QCoreApplication::processEvents();
    auto *list1 = window.findChild<QTreeView *>(QStringLiteral("ListView1"));
    auto *list2 = window.findChild<QTreeView *>(QStringLiteral("ListView2"));
    const auto listed = [&] {
        return window.resultList(Side::Left)->totalRows() + window.resultList(Side::Right)->totalRows();
    };

    if (syntheticFiles) {
        const long long empty = residentBytes();
        ResultRows left, right;
        syntheticRows(syntheticFiles, left, right);
        // The generator's own names are freed by now; hand their pages back
        // so that only the rows are counted.
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5"; // the peak from here on
        const long long rows = residentBytes();
        window.resultList(Side::Left)->setRows(std::move(left), "/left");
        window.resultList(Side::Right)->setRows(std::move(right), "/right");
        const long long modelled = residentBytes();
        paint(list1, list2);
        const long long shown = residentBytes();
        const std::size_t n = listed();
        std::printf("rows %zu\n", n);
        printMemory("engine_rows", rows - empty, n);
        printMemory("models", modelled - rows, n);
        printMemory("views", shown - modelled, n);
        printMemory("window", shown - empty, n);
        const long long sorted = measureLists(window, runs);
        printMemory("window_sorted", sorted - empty, n);
        printMemory("window_peak", peakBytes() - empty, n);
        return n > 0 ? 0 : 1;
    }

    const std::string &left = args[0];
    const std::string &right = args[1];
    if (syncing)
        return measureSync(window, quiet, left, right);
    // The engine alone, as the command-line tool runs it (without printing).
    std::vector<double> engine;
    for (int run = 0; !windowOnly && run <= runs; ++run) {
        Comparison comparison;
        const double t = seconds([&] {
            CompareFolders(left, right, CompareHooks(), comparison, Global::PendingOperations);
        });
        if (run > 0) // the first run warms the cache
            engine.push_back(t);
    }

    window.combos().setText(Side::Left, platform::DisplayText(left));
    window.combos().setText(Side::Right, platform::DisplayText(right));
    auto *compare = window.findChild<QToolButton *>(QStringLiteral("Check1"));
    std::vector<double> windowed;
    for (int run = 0; run < runs; ++run) {
        windowed.push_back(seconds([&] {
            compare->click();
            // Until the lists have taken their rows and drawn them.
            QCoreApplication::processEvents();
            window.repaint();
        }));
    }
    const std::size_t shown = listed();

    std::vector<double> scrolls, clicks;
    for (int run = 0; run < std::max(runs, 3); ++run) {
        list1->scrollToTop();
        QCoreApplication::processEvents();
        scrolls.push_back(seconds([&] {
            list1->scrollToBottom();
            QCoreApplication::processEvents();
            list1->viewport()->repaint();
        }));
        // A click on a row in the middle of the view: selection, check
        // toggle and repaint, as a person's click.
        const QRect visible = list1->viewport()->rect();
        const QPoint at(visible.width() / 3, visible.height() / 2 + (run % 3) * 3);
        clicks.push_back(seconds([&] {
            QTest::mouseClick(list1->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            QCoreApplication::processEvents();
            list1->viewport()->repaint();
        }));
    }

    std::printf("rows %zu\n", shown);
    if (!engine.empty())
        std::printf("engine_seconds %.4f\n", median(engine));
    std::printf("window_seconds %.4f\n", median(windowed));
    std::printf("scroll_seconds %.4f\n", median(scrolls));
    std::printf("click_seconds %.4f\n", median(clicks));
    measureLists(window, runs);
    return shown > 0 ? 0 : 1;
}
