// corvanel-cli: the comparison engine and the synchronization without a
// window, for scripts and benchmarks.

#include "compare/comparefolders.h"
#include "compare/contentcompare.h"
#include "compare/global.h"
#include "platform/memory.h"
#include "report/report.h"
#include "report/syncreport.h"
#include "sync/spacecheck.h"
#include "sync/syncoperations.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel-cli compare [--json] [--all] [--content] [--time-shift HOURS] LEFT RIGHT\n"
    "       corvanel-cli sync [--json] [--no-trash] [--no-space-check] [--content]\n"
    "                         [--time-shift HOURS] LEFT RIGHT\n"
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
    "  --content  read every pair of files of the same size but other times and\n"
    "             compare them byte for byte: those that differ are ordered by\n"
    "             their times as files of different sizes are (progress on a\n"
    "             terminal's standard error)\n"
    "  --time-shift HOURS  the right folder's times read HOURS hours late, ahead\n"
    "             of the left's (a negative number: early), as on a FAT or exFAT\n"
    "             stick written in another time zone; they are taken as that much\n"
    "             earlier when ordering. Without it such a shift is looked for\n"
    "             where one side is FAT or exFAT, and noted when found\n"
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

// "--time-shift HOURS" or "--time-shift=HOURS", taken out of args before
// the rest are parsed; false with a usage error for a missing or bad number.
bool takeTimeShift(std::vector<std::string> &args, std::optional<int> &hours, std::string &error)
{
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        std::string value;
        std::size_t taken = 1;
        if (args[i] == "--time-shift") {
            if (i + 1 >= args.size()) {
                error = "--time-shift needs a number of hours";
                return false;
            }
            value = args[i + 1];
            taken = 2;
        } else if (args[i].rfind("--time-shift=", 0) == 0) {
            value = args[i].substr(std::strlen("--time-shift="));
        } else {
            continue;
        }
        char *end = nullptr;
        errno = 0;
        const long parsed = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno != 0 || parsed < -26 || parsed > 26) {
            error = "--time-shift needs whole hours from -26 to 26, not '" + value + "'";
            return false;
        }
        hours = int(parsed);
        args.erase(args.begin() + std::ptrdiff_t(i), args.begin() + std::ptrdiff_t(i + taken));
        --i;
    }
    return true;
}

// The arguments of compare or sync: --time-shift and its value, then the rest.
bool parseRun(const std::vector<std::string> &args, const std::vector<std::string> &known,
              std::vector<std::string> &folders, std::vector<std::string> &options, std::optional<int> &shift,
              std::string &error)
{
    std::vector<std::string> rest = args;
    return takeTimeShift(rest, shift, error) && parseArguments(rest, known, folders, options, error);
}

// The hooks of a run: the shift stated on the command line, else the pair's own.
CompareHooks runHooks(std::optional<int> hours)
{
    CompareHooks hooks = messageHooks();
    hooks.statedTimeShift = [hours](const std::string &left, const std::string &right) {
        return hours ? hours : PairTimeShift(left, right);
    };
    return hooks;
}

// Pairs found the same, by name, with the sizes and times they had: a later
// comparison need not read them again while those hold.
using SamePairs = std::unordered_map<std::string, std::array<std::int64_t, 5>>;

std::array<std::int64_t, 5> pairStamp(const ResultRow &left, const ResultRow &right)
{
    return {left.size, left.modified, left.modifiedNanos, right.modified, right.modifiedNanos};
}

// Reads the contents of the pairs --content asks for, the plan kept in step
// with the operations, progress on a terminal; says on standard error what
// could not be read. False when goOn stopped it.
bool compareContents(Comparison &comparison, SyncPlan &plan, const std::function<bool()> &goOn,
                     const SamePairs *same, ContentFindings &findings)
{
    ContentOptions options;
    SyncProgressLine line;
    options.progress = [&](const ContentProgress &p) {
        SyncProgress shown;
        shown.filesDone = p.filesDone;
        shown.filesTotal = p.filesTotal;
        shown.bytesDone = std::int64_t(p.bytesDone);
        shown.bytesTotal = std::int64_t(p.bytesTotal);
        line.update(shown);
        return goOn();
    };
    if (same) {
        options.knownSame = [same](const ResultRow &left, const ResultRow &right) {
            const auto found = same->find(std::string(left.name()));
            return found != same->end() && found->second == pairStamp(left, right);
        };
    }
    comparison.everyJob = &plan.jobs;
    findings = CompareContents(comparison, Global::PendingOperations, options);
    comparison.everyJob = nullptr;
    line.clear();
    ContentFindings failures = findings;
    failures.different = 0;
    if (failures.failed > 0)
        std::fprintf(stderr, "corvanel-cli: %s\n", ContentFindingsText(failures, EscapedForTerminal).c_str());
    return !findings.cancelled;
}

// The pairs the comparison read and found the same.
SamePairs samePairs(Comparison &comparison)
{
    SamePairs same;
    ForEachPair(comparison, [&same](ResultRow &left, ResultRow &right) {
        if (left.contents == Contents::Same)
            same.emplace(std::string(left.name()), pairStamp(left, right));
    });
    return same;
}

int runCompare(const std::vector<std::string> &args)
{
    std::vector<std::string> folders, options;
    std::string error;
    std::optional<int> shift;
    if (!parseRun(args, {"--json", "--all", "--content"}, folders, options, shift, error))
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
    if (!compareAll(folders[0], folders[1], runHooks(shift), *plan, comparison))
        return 2;
    ContentFindings findings;
    if (given("--content"))
        compareContents(comparison, *plan, [] { return true; }, nullptr, findings);
    if (json)
        WriteJsonReport(stdout, comparison, *plan);
    else
        WriteTextReport(stdout, comparison, *plan, given("--all"));
    std::fflush(stdout);
    return plan->jobs.empty() && comparison.inStep() && findings.failed == 0 ? 0 : 1;
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

// Reads the pairs --content asks for before a sync; false, having said so,
// when Ctrl-C stopped it: nothing is copied then.
bool contentsBeforeSync(Comparison &comparison, SyncPlan &plan, SamePairs &same)
{
    ContentFindings findings;
    if (!compareContents(comparison, plan, [] { return !g_interrupted; }, nullptr, findings)) {
        std::fprintf(stderr, "corvanel-cli: stopped while comparing contents; nothing was copied.\n");
        return false;
    }
    same = samePairs(comparison);
    return true;
}

// The same after the sync: pairs read before and unchanged since are not read again.
void contentsAfterSync(Comparison &afterwards, SyncPlan &pending, const SamePairs &same)
{
    ContentFindings findings;
    compareContents(afterwards, pending, [] { return true; }, &same, findings);
}

int runSync(const std::vector<std::string> &args)
{
    std::vector<std::string> folders, options;
    std::string error;
    std::optional<int> shift;
    if (!parseRun(args, {"--json", "--no-trash", "--no-space-check", "--content"}, folders, options, shift, error))
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
    const CompareHooks hooks = runHooks(shift);
    Comparison comparison;
    SyncPlan plan;
    if (!compareAll(folders[0], folders[1], hooks, plan, comparison))
        return 2;
    SamePairs same;
    if (given("--content") && !contentsBeforeSync(comparison, plan, same))
        return 1;
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
    if (after.compared && given("--content"))
        contentsAfterSync(afterwards, pending, same);
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
