// Times a Compare through the main window (offscreen) against the engine
// alone on the same two trees, cache warm, median of a few runs; and how
// long the window takes to show a million rows.
//   window_bench LEFT RIGHT [RUNS]
// bench/window_bench.sh generates the trees and runs this.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "folders/foldercombos.h"
#include "main_window/form1.h"
#include "main_window/resultlistmodel.h"
#include "platform/ui.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

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
    if (argc < 3) {
        std::fprintf(stderr, "usage: window_bench LEFT RIGHT [RUNS]\n");
        return 2;
    }
    const std::string left = argv[1];
    const std::string right = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    // The engine alone, as the command-line tool runs it (without printing).
    std::size_t rows = 0;
    std::vector<double> engine;
    for (int run = 0; run <= runs; ++run) {
        Comparison comparison;
        const double t = seconds([&] {
            CompareFolders(left, right, CompareHooks(), comparison, Global::PendingOperations);
        });
        rows = comparison.left.size() + comparison.right.size();
        if (run > 0) // the first run warms the cache
            engine.push_back(t);
    }

    Form1 window;
    window.show();
    QCoreApplication::processEvents();
    window.combos().setText(Side::Left, platform::DisplayText(left));
    window.combos().setText(Side::Right, platform::DisplayText(right));
    auto *compare = window.findChild<QToolButton *>(QStringLiteral("Check1"));
    std::vector<double> windowed;
    std::size_t shown = 0;
    for (int run = 0; run < runs; ++run) {
        windowed.push_back(seconds([&] {
            compare->click();
            // Until the lists have taken their rows and drawn them.
            QCoreApplication::processEvents();
            window.repaint();
        }));
        shown = std::size_t(window.resultList(Side::Left)->rowCount() + window.resultList(Side::Right)->rowCount());
    }

    // A million rows into a shown list.
    std::vector<ResultRow> million(1000000);
    for (std::size_t i = 0; i < million.size(); ++i) {
        million[i].name = "folder" + std::to_string(i / 100) + "/file" + std::to_string(i) + ".txt";
        million[i].size = std::int64_t(i);
        million[i].modified = 1600000000 + std::int64_t(i);
    }
    const double millionSeconds = seconds([&] {
        window.resultList(Side::Left)->setRows(std::move(million));
        QCoreApplication::processEvents();
        window.repaint();
    });

    const double e = median(engine);
    const double w = median(windowed);
    std::printf("rows compared                     %zu (window showed %zu)\n", rows, shown);
    std::printf("engine CompareFolders (median)    %.3f s\n", e);
    std::printf("window Compare click to drawn     %.3f s\n", w);
    std::printf("ratio window / engine             %.2f (target at most 1.50)\n", w / e);
    std::printf("1,000,000 rows into a shown list  %.3f s\n", millionSeconds);
    return rows == shown ? 0 : 1;
}
