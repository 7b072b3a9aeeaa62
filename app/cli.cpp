// corvanel-cli: the comparison engine and the synchronization without a
// window, for scripts and benchmarks.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "compare/report.h"
#include "compare/syncoperations.h"

#include <QCoreApplication>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel-cli compare [--json] LEFT RIGHT\n"
    "       corvanel-cli sync LEFT RIGHT\n"
    "\n"
    "compare  Compares two folder trees file by file, as the window's Compare\n"
    "         does, and prints both result lists and the pending file operations.\n"
    "         Exit status: 0 when nothing is pending, 1 when operations are\n"
    "         pending, 2 on bad input.\n"
    "\n"
    "sync     Compares the trees, carries out every pending file operation as\n"
    "         the Sync Wizard's OK does (each file is replaced by a complete copy\n"
    "         in one step; a copy never overwrites a file that appeared since the\n"
    "         comparison), compares again and prints what it did. When more\n"
    "         operations are pending than one list holds, it goes on in further\n"
    "         passes. On a terminal it shows its progress on standard error;\n"
    "         Ctrl-C stops it after the file being copied.\n"
    "         Exit status: 0 when every operation succeeded and nothing is\n"
    "         pending afterwards, 1 otherwise, 2 on bad input.\n"
    "\n"
    "  --json     (compare) print one JSON object instead of the text report\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

int usageError(const std::string &message)
{
    std::fprintf(stderr, "corvanel-cli: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

// Splits the arguments into folders and the options in `known`; false with a
// usage error for anything else.
bool parseArguments(const std::vector<std::string> &args, const std::vector<std::string> &known,
                    std::vector<std::string> &folders, std::vector<std::string> &options, std::string &error)
{
    bool optionsEnded = false;
    for (const std::string &arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            bool found = false;
            for (const std::string &k : known)
                found = found || k == arg;
            if (!found) {
                error = "unknown option '" + arg + "'";
                return false;
            }
            options.push_back(arg);
        } else {
            folders.push_back(arg);
        }
    }
    return true;
}

CompareHooks messageHooks()
{
    CompareHooks hooks;
    hooks.showMessage = [](const std::string &text, const std::string &) {
        std::fprintf(stderr, "%s\n", text.c_str());
    };
    return hooks;
}

int runCompare(const std::vector<std::string> &args)
{
    std::vector<std::string> folders, options;
    std::string error;
    if (!parseArguments(args, {"--json"}, folders, options, error))
        return usageError(error);
    const bool json = !options.empty();
    if (folders.size() != 2)
        return usageError("compare needs two folders, LEFT and RIGHT");

    const CompareHooks hooks = messageHooks();
    Comparison comparison;
    PendingOperationList &operations = Global::PendingOperations;
    if (!CompareFolders(folders[0], folders[1], hooks, comparison, operations))
        return 2;
    if (json)
        WriteJsonReport(stdout, comparison, operations);
    else
        WriteTextReport(stdout, comparison, operations);
    std::fflush(stdout);
    return operations.empty() ? 0 : 1;
}

volatile std::sig_atomic_t g_interrupted = 0;

void onInterrupt(int)
{
    g_interrupted = 1;
}

// Progress on standard error, a few times a second, only on a terminal.
class ProgressLine
{
public:
    ProgressLine() : m_enabled(::isatty(STDERR_FILENO) == 1) {}

    bool update(const SyncProgress &p)
    {
        if (m_enabled) {
            const auto now = std::chrono::steady_clock::now();
            if (now - m_last >= std::chrono::milliseconds(250)) {
                m_last = now;
                std::fprintf(stderr, "\r  %zu of %zu files, %s of %s\033[K", p.filesDone, p.filesTotal,
                             ByteCountText(p.bytesDone).c_str(), ByteCountText(p.bytesTotal).c_str());
                std::fflush(stderr);
                m_shown = true;
            }
        }
        return !g_interrupted;
    }

    void clear()
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
        m_shown = false;
    }

private:
    bool m_enabled;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_last;
};

std::string plural(std::size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int runSync(const std::vector<std::string> &args)
{
    std::vector<std::string> folders, options;
    std::string error;
    if (!parseArguments(args, {}, folders, options, error))
        return usageError(error);
    if (folders.size() != 2)
        return usageError("sync needs two folders, LEFT and RIGHT");

    // The first Ctrl-C lets the file being copied land and stops; a second
    // one ends the program at once.
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    // A list cut short is no news here: further passes take the rest.
    CompareHooks hooks;
    hooks.showMessage = [](const std::string &text, const std::string &caption) {
        if (caption == kErrorCaption)
            std::fprintf(stderr, "%s\n", text.c_str());
    };
    Comparison comparison;
    PendingOperationList &operations = Global::PendingOperations;
    if (!CompareFolders(folders[0], folders[1], hooks, comparison, operations))
        return 2;
    const std::string left = comparison.leftRoot, right = comparison.rightRoot;
    if (operations.empty()) {
        std::printf("No need to synchronize. %s & %s are identical.\n", left.c_str(), right.c_str());
        return 0;
    }

    bool everyOperationSucceeded = true;
    for (int pass = 1; !operations.empty(); ++pass) {
        const std::vector<SyncJob> jobs = SyncJobs(operations);
        std::printf("Pass %d: %s\n", pass, plural(jobs.size(), "file operation", "file operations").c_str());
        std::fflush(stdout);
        ProgressLine line;
        const SyncReport report = RunSyncJobs(jobs, [&](const SyncProgress &p) { return line.update(p); });
        line.clear();

        for (std::size_t i = 0; i < jobs.size(); ++i) {
            const SyncOutcome &outcome = report.outcomes[i];
            const char *verb = jobs[i].replace ? " overwrites " : " copied to ";
            if (outcome.result == SyncResult::Done)
                std::printf("  %s%s%s\n", jobs[i].from.c_str(), verb, jobs[i].to.c_str());
            else if (outcome.result == SyncResult::Failed)
                std::printf("  FAILED: %s%s%s: %s\n", jobs[i].from.c_str(), verb, jobs[i].to.c_str(),
                            outcome.reason.c_str());
        }
        std::printf("Carried out %zu of %s (%s copied).\n", report.done,
                    plural(jobs.size(), "file operation", "file operations").c_str(),
                    ByteCountText(report.bytesCopied).c_str());
        std::fflush(stdout);
        if (!report.allDone()) {
            everyOperationSucceeded = false;
            std::fprintf(stderr, "corvanel-cli: %s\n", SyncFailureText(jobs, report).c_str());
        }

        // Only a list that was cut short hides further work; a further pass
        // goes on only while the previous one got somewhere.
        const bool listWasFull = comparison.truncated();
        const std::size_t wantedBefore = comparison.wantedOperations;
        if (!CompareFolders(left, right, hooks, comparison, operations))
            return 2;
        if (g_interrupted || !listWasFull || report.done == 0 || comparison.wantedOperations >= wantedBefore)
            break;
    }

    if (!operations.empty()) {
        std::printf("%s still pending.\n",
                    plural(comparison.wantedOperations, "file operation is", "file operations are").c_str());
        return 1;
    }
    if (!everyOperationSucceeded)
        return 1;
    std::printf("%s & %s have been synchronized.\n", left.c_str(), right.c_str());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usageError("no command given");
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::printf("corvanel-cli %s\n", CORVANEL_VERSION);
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    // After "--" a folder may be called "-h".
    for (const std::string &arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (command == "compare")
        return runCompare(args);
    if (command == "sync")
        return runSync(args);
    return usageError("unknown command '" + command + "'");
}
