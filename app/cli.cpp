// corvanel-cli: the comparison engine and the synchronization without a
// window, for scripts and benchmarks.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "compare/leaveout.h"
#include "platform/memory.h"
#include "report/report.h"
#include "report/syncreport.h"
#include "sync/spacecheck.h"
#include "sync/syncoperations.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel-cli compare [--json] [--all] LEFT RIGHT\n"
    "       corvanel-cli sync [--json] [--no-trash] [--no-space-check] LEFT RIGHT\n"
    "       (either with the leave-out options below)\n"
    "\n"
    "compare  Compares two folder trees file by file, as the window's Compare\n"
    "         does, and prints the rows that differ (every row with --all), what\n"
    "         could not be read, and the pending file operations.\n"
    "         Files of different sizes with the same modification time are\n"
    "         listed as conflicts: nothing tells which is newer.\n"
    "         Exit status: 0 when nothing is pending, nothing conflicts and\n"
    "         everything could be read, 1 otherwise, 2 on bad input (also when\n"
    "         one folder lies inside the other).\n"
    "\n"
    "sync     Compares the trees, carries out every pending file operation as\n"
    "         the Sync Wizard's OK does (each file is replaced by a complete copy\n"
    "         in one step; a copy never overwrites a file that appeared since the\n"
    "         comparison, a replacement never one that changed since), compares\n"
    "         again and prints what it did. Every operation found is carried out\n"
    "         in one pass, however many. Every file it replaces goes to the\n"
    "         desktop's Trash (the one on the file's own file system), where a\n"
    "         file manager can restore it; a replacement that no trash can take\n"
    "         fails. Before any copy it checks that each destination has room\n"
    "         for what it receives (sizes in whole allocation units, the replaced\n"
    "         files kept in the Trash); when one has not, it copies nothing.\n"
    "         On a terminal it shows its progress on standard error;\n"
    "         Ctrl-C stops it once the files being copied are in place.\n"
    "         Exit status: 0 when every operation succeeded, nothing is pending\n"
    "         or in conflict afterwards and every folder could be read, 1\n"
    "         otherwise, 2 on bad input, when a folder is gone by the end and\n"
    "         when a destination has too little free space.\n"
    "\n"
    "  --json     print one JSON object instead of the text report\n"
    "  --all      (compare) list every row, not only those that differ\n"
    "  --no-trash (sync) replace files for good, without keeping them in the Trash\n"
    "  --no-space-check (sync) copy even when a destination seems too small\n"
    "\n"
    "Leave-out options (hidden entries, names starting with \".\", are left out\n"
    "unless asked for; what is left out is counted in the report):\n"
    "  --exclude PATTERN    leave out what PATTERN matches (repeatable): NAME,\n"
    "                       *.EXT, FOLDER/, /AT-THE-TOP, A/B, **, !KEEP\n"
    "  --exclude-from FILE  leave out what FILE's patterns match, one a line\n"
    "  --hidden             compare hidden files and folders too\n"
    "  The patterns and hidden choice saved for the pair in the window apply too.\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

// One line and a hint: the full text is for --help.
int usageError(const std::string &message)
{
    std::fprintf(stderr, "corvanel-cli: %s\nTry 'corvanel-cli --help' for more information.\n", message.c_str());
    return 2;
}

// Names the folder that cannot be opened and why, which the window's general
// message cannot; false after printing it.
bool foldersOpen(const std::vector<std::string> &folders)
{
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const int fd = ::open(folders[i].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            std::fprintf(stderr, "corvanel-cli: cannot open the %s folder %s: %s\n", i == 0 ? "left" : "right",
                         EscapedForTerminal(folders[i]).c_str(), std::strerror(error));
            return false;
        }
        ::close(fd);
    }
    return true;
}

// Says which of the two folders a run began with can no longer be opened
// (a share lost, a stick pulled out) and why; false for either.
bool sayWhichIsGone(const std::string &left, const std::string &right)
{
    for (const std::string *folder : {&left, &right}) {
        const int fd = ::open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            continue;
        }
        const int error = errno;
        std::fprintf(stderr, "corvanel-cli: the %s folder %s can no longer be read after the sync: %s\n",
                     folder == &left ? "left" : "right", EscapedForTerminal(*folder).c_str(), std::strerror(error));
        return true;
    }
    return false;
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

// Takes the leave-out options out of args (up to "--") into choices; false
// with error for a pattern missing or a file of patterns that cannot be read.
bool takeScanChoices(std::vector<std::string> &args, ScanChoices &choices, std::string &error)
{
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--") {
            rest.insert(rest.end(), args.begin() + std::ptrdiff_t(i), args.end());
            break;
        }
        if (arg == "--hidden") {
            choices.withHidden = true;
            continue;
        }
        std::string value;
        const bool exclude = arg == "--exclude" || arg.rfind("--exclude=", 0) == 0;
        const bool from = arg == "--exclude-from" || arg.rfind("--exclude-from=", 0) == 0;
        if (!exclude && !from) {
            rest.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = "option '" + arg + "' needs a value";
            return false;
        }
        if (exclude) {
            choices.leaveOut.add(value);
            continue;
        }
        QFile file(QString::fromLocal8Bit(value.c_str()));
        if (!file.open(QIODevice::ReadOnly)) {
            error = "cannot read the patterns in " + EscapedForTerminal(value) + ": "
                + file.errorString().toStdString();
            return false;
        }
        choices.leaveOut.addLines(file.readAll().toStdString());
    }
    args = std::move(rest);
    return true;
}

// The pair's own choices, saved in the window, and the run's on top.
void chooseWith(CompareHooks &hooks, const ScanChoices &extra)
{
    hooks.choose = [extra](const std::string &left, const std::string &right) {
        ScanChoices choices = PairChoices(left, right);
        for (const std::string &pattern : extra.leaveOut.patterns())
            choices.leaveOut.add(pattern);
        choices.withHidden = choices.withHidden || extra.withHidden;
        return choices;
    };
}

// The list's limit of slots is the window's: here every operation found is
// listed or carried out, so the message about it is no news.
CompareHooks messageHooks()
{
    CompareHooks hooks;
    hooks.showMessage = [](const std::string &text, const std::string &caption) {
        if (caption == kErrorCaption)
            std::fprintf(stderr, "%s\n", text.c_str());
    };
    return hooks;
}

// Compares with every operation's job kept, not only those the list holds.
bool compareAll(const std::string &left, const std::string &right, const CompareHooks &hooks, SyncPlan &plan,
                Comparison &comparison)
{
    plan.jobs.clear();
    comparison.everyJob = &plan.jobs;
    PendingOperationList &operations = Global::PendingOperations;
    const bool ok = CompareFolders(left, right, hooks, comparison, operations);
    comparison.everyJob = nullptr;
    plan.roots = operations.roots;
    return ok;
}

int runCompare(std::vector<std::string> args)
{
    std::vector<std::string> folders, options;
    std::string error;
    ScanChoices choices;
    if (!takeScanChoices(args, choices, error))
        return usageError(error);
    if (!parseArguments(args, {"--json", "--all"}, folders, options, error))
        return usageError(error);
    const auto given = [&](const char *option) {
        return std::find(options.begin(), options.end(), option) != options.end();
    };
    const bool json = given("--json");
    if (folders.size() != 2)
        return usageError("compare needs two folders, LEFT and RIGHT");

    if (!foldersOpen(folders))
        return 2;

    // Kept to the end of the process: freeing millions of names one by one
    // would take longer than writing the report.
    static Comparison *const kept = new Comparison;
    static SyncPlan *const plan = new SyncPlan;
    Comparison &comparison = *kept;
    CompareHooks hooks = messageHooks();
    chooseWith(hooks, choices);
    if (!compareAll(folders[0], folders[1], hooks, *plan, comparison))
        return 2;
    if (json)
        WriteJsonReport(stdout, comparison, *plan);
    else
        WriteTextReport(stdout, comparison, *plan, given("--all"));
    std::fflush(stdout);
    return plan->jobs.empty() && comparison.inStep() ? 0 : 1;
}

volatile std::sig_atomic_t g_interrupted = 0;

void onInterrupt(int)
{
    g_interrupted = 1;
}

// The first Ctrl-C lets the files being copied land and stops; a second
// one ends the program at once. A closed terminal or a dropped ssh session
// (SIGHUP) stops it the same way, never leaving a temporary.
void stopOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

// Says which destination cannot hold what the plan would copy there; false then.
bool roomForIt(const SyncPlan &plan, const SyncOptions &options)
{
    const std::vector<SpaceShortage> shortages = FindSpaceShortages(plan, options.keepReplaced);
    if (shortages.empty())
        return true;
    std::fprintf(stderr, "corvanel-cli: %s\nNothing was copied; --no-space-check copies all the same.\n",
                 SpaceShortageText(shortages, EscapedForTerminal).c_str());
    return false;
}

int runSync(std::vector<std::string> args)
{
    std::vector<std::string> folders, options;
    std::string error;
    ScanChoices choices;
    if (!takeScanChoices(args, choices, error))
        return usageError(error);
    if (!parseArguments(args, {"--json", "--no-trash", "--no-space-check"}, folders, options, error))
        return usageError(error);
    const auto given = [&](const char *option) {
        return std::find(options.begin(), options.end(), option) != options.end();
    };
    const bool asJson = given("--json");
    SyncOptions syncOptions;
    syncOptions.keepReplaced = !given("--no-trash");
    if (folders.size() != 2)
        return usageError("sync needs two folders, LEFT and RIGHT");
    if (!foldersOpen(folders))
        return 2;

    stopOnSignals();
    CompareHooks hooks = messageHooks();
    chooseWith(hooks, choices);
    Comparison comparison;
    SyncPlan plan;
    if (!compareAll(folders[0], folders[1], hooks, plan, comparison))
        return 2;
    const std::string left = comparison.leftRoot, right = comparison.rightRoot;
    const std::string unreadableBefore = UnreadableText(Global::PendingOperations.unreadable, EscapedForTerminal);

    // Nothing is written, not even leftovers cleared, when it cannot fit.
    if (!given("--no-space-check") && !roomForIt(plan, syncOptions))
        return 2;
    // Runs even with nothing to do: what a killed run left is cleared.
    if (!asJson && !plan.jobs.empty()) {
        std::printf("Carrying out %zu file operation%s.\n", plan.size(), plan.size() == 1 ? "" : "s");
        std::fflush(stdout);
    }
    SyncProgressLine line;
    const SyncPlan done = std::move(plan);
    const SyncReport report = RunSyncJobs(
        done,
        [&](const SyncProgress &p) {
            line.update(p);
            return !g_interrupted;
        },
        syncOptions);
    line.clear();

    Comparison afterwards;
    SyncPlan pending;
    // A folder gone meanwhile (a stick pulled out) cannot be compared again:
    // what was carried out is told all the same.
    SyncAfterwards after;
    after.compared = !sayWhichIsGone(left, right) && compareAll(left, right, hooks, pending, afterwards);
    after.pending = pending.size();
    after.unreadable = Global::PendingOperations.unreadable.count;
    after.unordered = afterwards.unordered.size();
    after.readAllBefore = comparison.complete();
    const std::string unreadable = after.compared
        ? UnreadableText(Global::PendingOperations.unreadable, EscapedForTerminal)
        : std::string();
    const SyncVerdict verdict = JudgeSync(report, after);
    const SyncRunReport run{left,
                            right,
                            done,
                            report,
                            pending,
                            afterwards,
                            verdict,
                            after.unreadable,
                            unreadable.empty() ? unreadableBefore : unreadable};
    if (asJson)
        WriteJsonSyncReport(stdout, run);
    else
        WriteTextSyncReport(stdout, stderr, run);
    return verdict.exitStatus;
}

} // namespace

int main(int argc, char *argv[])
{
    platform::PreferHugePages(argv);
    QCoreApplication app(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
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
