// Times a Compare through the main window (offscreen) against the engine
// alone on the same two trees, cache warm, median of a few runs; then, with
// the lists filled, a scroll to the end and a click on a row.
//   window_bench LEFT RIGHT [RUNS] [--window-only]
// --window-only skips the engine's own runs, so that the process's peak
// memory is the window's. Prints "key value" lines; bench/scale_bench.sh and
// bench/window_bench.sh read them.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/form1.h"
#include "main_window/resultlistmodel.h"
#include "platform/desktop.h"
#include "platform/ui.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Messages (the note that not every operation is listed) go to the
// terminal; a modal box would stop the measurement.
class QuietDesktop : public platform::Desktop
{
public:
    void message(QWidget *, const QString &text, const QString &) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
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
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window-only") == 0)
            windowOnly = true;
        else
            args.push_back(argv[i]);
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: window_bench LEFT RIGHT [RUNS] [--window-only]\n");
        return 2;
    }
    const std::string &left = args[0];
    const std::string &right = args[1];
    const int runs = args.size() > 2 ? std::max(1, std::atoi(args[2].c_str())) : 5;

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

    Form1 window;
    window.resize(1200, 800);
    window.show();
    QCoreApplication::processEvents();
    window.combos().setText(Side::Left, platform::DisplayText(left));
    window.combos().setText(Side::Right, platform::DisplayText(right));
    auto *compare = window.findChild<QToolButton *>(QStringLiteral("Check1"));
    auto *list = window.findChild<QTreeView *>(QStringLiteral("ListView1"));
    std::vector<double> windowed;
    for (int run = 0; run < runs; ++run) {
        windowed.push_back(seconds([&] {
            compare->click();
            // Until the lists have taken their rows and drawn them.
            QCoreApplication::processEvents();
            window.repaint();
        }));
    }
    const std::size_t shown =
        std::size_t(window.resultList(Side::Left)->rowCount() + window.resultList(Side::Right)->rowCount());

    std::vector<double> scrolls, clicks;
    for (int run = 0; run < std::max(runs, 3); ++run) {
        list->scrollToTop();
        QCoreApplication::processEvents();
        scrolls.push_back(seconds([&] {
            list->scrollToBottom();
            QCoreApplication::processEvents();
            list->viewport()->repaint();
        }));
        // A click on a row in the middle of the view: selection, check
        // toggle and repaint, as a person's click.
        const QRect visible = list->viewport()->rect();
        const QPoint at(visible.width() / 3, visible.height() / 2 + (run % 3) * 3);
        clicks.push_back(seconds([&] {
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
            QCoreApplication::processEvents();
            list->viewport()->repaint();
        }));
    }

    std::printf("rows %zu\n", shown);
    if (!engine.empty())
        std::printf("engine_seconds %.4f\n", median(engine));
    std::printf("window_seconds %.4f\n", median(windowed));
    std::printf("scroll_seconds %.4f\n", median(scrolls));
    std::printf("click_seconds %.4f\n", median(clicks));
    return shown > 0 ? 0 : 1;
}
