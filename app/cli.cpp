// corvanel-cli: the comparison engine and the synchronization without a
// window, for scripts and benchmarks.

#include "app/clicontent.h"
#include "compare/comparefolders.h"
#include "compare/contentcompare.h"
#include "compare/global.h"
#include "compare/leaveout.h"
#include "platform/memory.h"
#include "report/report.h"
#include "report/syncreport.h"
#include "sync/spacecheck.h"
#include "sync/syncoperations.h"
#include "sync/syncrecord.h"

#include <QCoreApplication>
#include <QFile>

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
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel-cli compare [--json] [--all] [--content] [--time-shift HOURS] LEFT RIGHT\n"
    "       corvanel-cli sync [--json] [--no-trash] [--no-space-check] [--content]\n"
    "                         [--time-shift HOURS] LEFT RIGHT\n"
    "Both take [--mode newest-wins|two-way|mirror|update [--from left|right]]\n"
    "and the leave-out options below; sync takes [--allow-many-deletions].\n"
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
    "  --mode newest-wins  both ways, the later time wins; nothing is deleted\n"
    "         (the default)\n"
    "  --mode two-way  both ways, remembering the last sync: deletions and\n"
    "         renames are carried over, files changed on both sides are left\n"
    "         as they are (conflicts); a first sync is newest-wins\n"
    "  --mode mirror   the other folder becomes an exact copy of the source;\n"
    "         files only there go to the Trash\n"
    "  --mode update   new and newer files copied from the source only\n"
    "  --from left|right  the source of mirror and update (left by default)\n"
    "  --allow-many-deletions (sync) move more than half of a folder's files\n"
    "         (or more than 1000) to the Trash; without it such a sync does\n"
    "         nothing and exits 2\n"
    "         No sync deletes anything because a folder is empty, partly\n"
    "         unreadable or on another volume than at the last sync; every\n"
    "         deleted file goes to the Trash. The memory of the last sync is\n"
    "         kept in ~/.local/state/corvanel/memory.\n"
    "  --content  read every pair of files of the same size but other times and\n"
    "             compare them byte for byte: those that differ are ordered by\n"
    "             their times as files of different sizes are (progress on a\n"
    "             terminal's standard error)\n"
    "  --time-shift HOURS  the right folder's times read HOURS hours late, ahead\n"
    "             of the left's (a negative number: early), as on a FAT or exFAT\n"
    "             stick written in another time zone; they are taken as that much\n"
    "             earlier when ordering. Without it such a shift is looked for\n"
    "             where one side is FAT or exFAT, and noted when found\n"
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
// Options that take a value ("--mode two-way" or "--mode=two-way") keep it
// in values, the last one given.
const std::vector<std::string> kValued = {"--mode", "--from"};

bool parseArguments(const std::vector<std::string> &args, const std::vector<std::string> &known,
                    std::vector<std::string> &folders, std::vector<std::string> &options, std::string &error,
                    std::map<std::string, std::string> *values = nullptr)
{
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        const std::string key = arg.substr(0, arg.find('='));
        if (!optionsEnded && values && std::find(kValued.begin(), kValued.end(), key) != kValued.end()) {
            if (key != arg) {
                (*values)[key] = arg.substr(key.size() + 1);
            } else if (i + 1 < args.size()) {
                (*values)[key] = args[++i];
            } else {
                error = "option '" + arg + "' needs a value";
                return false;
            }
        } else if (!optionsEnded && arg == "--") {
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

// The way of syncing the options ask for; false with a usage error.
bool modeOf(const std::map<std::string, std::string> &values, ModeChoice &choice, std::string &error)
{
    if (const auto mode = values.find("--mode"); mode != values.end() && !ModeFromKey(mode->second, choice.mode)) {
        error = "unknown mode '" + mode->second + "' (newest-wins, two-way, mirror or update)";
        return false;
    }
    if (const auto from = values.find("--from"); from != values.end()) {
        if (from->second != "left" && from->second != "right") {
            error = "--from takes left or right";
            return false;
        }
        if (choice.mode != SyncMode::Mirror && choice.mode != SyncMode::Update) {
            error = "--from is for --mode mirror and --mode update";
            return false;
        }
        choice.fromLeft = from->second == "left";
    }
    return true;
}

bool parseWithMode(const std::vector<std::string> &args, const std::vector<std::string> &known,
                   std::vector<std::string> &folders, std::vector<std::string> &options, ModeChoice &choice,
                   std::string &error)
{
    std::map<std::string, std::string> values;
    return parseArguments(args, known, folders, options, error, &values) && modeOf(values, choice, error);
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
CompareHooks messageHooks(const ModeChoice &choice = {})
{
    CompareHooks hooks;
    hooks.chooseMode = [choice](const std::string &, const std::string &) { return choice; };
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

bool hasOption(const std::vector<std::string> &options, const char *option)
{
    return std::find(options.begin(), options.end(), option) != options.end();
}

// The arguments of compare or sync: --time-shift and its value, then the rest.
bool parseRun(const std::vector<std::string> &args, const std::vector<std::string> &known,
              std::vector<std::string> &folders, std::vector<std::string> &options, std::optional<int> &shift,
              ModeChoice &choice, std::string &error)
{
    std::vector<std::string> rest = args;
    return takeTimeShift(rest, shift, error) && parseWithMode(rest, known, folders, options, choice, error);
}

// The hooks of a run: the shift stated on the command line, else the pair's own.
CompareHooks runHooks(std::optional<int> hours, const ModeChoice &choice)
{
    CompareHooks hooks = messageHooks(choice);
    hooks.statedTimeShift = [hours](const std::string &left, const std::string &right) {
        return hours ? hours : PairTimeShift(left, right);
    };
    return hooks;
}

int runCompare(std::vector<std::string> args)
{
    std::vector<std::string> folders, options;
    std::string error;
    ModeChoice choice;
    std::optional<int> shift;
    ScanChoices choices;
    if (!takeScanChoices(args, choices, error))
        return usageError(error);
    if (!parseRun(args, {"--json", "--all", "--content"}, folders, options, shift, choice, error))
        return usageError(error);
    const auto given = [&options](const char *option) { return hasOption(options, option); };
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
    CompareHooks hooks = runHooks(shift, choice);
    hooks.draftMemory = false; // what it finds is never carried out
    chooseWith(hooks, choices);
    if (!compareAll(folders[0], folders[1], hooks, *plan, comparison))
        return 2;
    ContentFindings findings;
    if (given("--content"))
        compareContents(
            comparison, *plan, [] { return true; }, nullptr, findings);
    if (json)
        WriteJsonReport(stdout, comparison, *plan);
    else
        WriteTextReport(stdout, comparison, *plan, given("--all"));
    std::fflush(stdout);
    return plan->jobs.empty() && comparison.inStep() && Global::PendingOperations.mode.heldBack == 0
            && findings.failed == 0
        ? 0
        : 1;
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

// A run that would empty much of a folder is refused unless allowed; false
// after saying so.
bool deletionsAllowed(const ModeOutcome &mode, bool allowed)
{
    if (!mode.manyDeletions || allowed)
        return true;
    std::fprintf(stderr, "corvanel-cli: %s\nNothing was done; --allow-many-deletions allows it.\n",
                 ManyDeletionsText(mode).c_str());
    return false;
}

// Kept however the run ended: what it did is known from now on. What the
// mode held back, or could not keep, is said with the run's notes.
void keepMemory(const ModeOutcome &mode, const SyncPlan &done, SyncReport &report)
{
    for (const std::string *note : {&mode.memoryNote, &mode.guardNote}) {
        if (!note->empty())
            report.notes.push_back(*note);
    }
    if (std::string note = RecordSync(mode, done, report); !note.empty())
        report.notes.push_back(std::move(note));
}

// Carries the plan out, with progress on a terminal, and keeps the memory.
SyncReport carryOut(const SyncPlan &done, const SyncOptions &options, const ModeOutcome &mode)
{
    SyncProgressLine line;
    SyncReport report = RunSyncJobs(
        done,
        [&](const SyncProgress &p) {
            line.update(p);
            return !g_interrupted;
        },
        options);
    line.clear();
    keepMemory(mode, done, report);
    return report;
}

void sayWhatIsAhead(const SyncPlan &plan)
{
    if (plan.jobs.empty())
        return;
    std::printf("Carrying out %zu file operation%s.\n", plan.size(), plan.size() == 1 ? "" : "s");
    std::fflush(stdout);
}

int runSync(std::vector<std::string> args)
{
    std::vector<std::string> folders, options;
    std::string error;
    ModeChoice choice;
    std::optional<int> shift;
    ScanChoices choices;
    if (!takeScanChoices(args, choices, error))
        return usageError(error);
    if (!parseRun(args, {"--json", "--no-trash", "--no-space-check", "--content", "--allow-many-deletions"}, folders,
                  options, shift, choice, error))
        return usageError(error);
    const auto given = [&options](const char *option) { return hasOption(options, option); };
    const bool asJson = given("--json");
    SyncOptions syncOptions;
    syncOptions.keepReplaced = !given("--no-trash");
    if (folders.size() != 2)
        return usageError("sync needs two folders, LEFT and RIGHT");
    if (!foldersOpen(folders))
        return 2;

    stopOnSignals();
    // Another run of the same pair ends first; this one then compares what
    // it left.
    const SyncMemoryLock turn(folders[0], folders[1], true);
    CompareHooks hooks = runHooks(shift, choice);
    chooseWith(hooks, choices);
    Comparison comparison;
    SyncPlan plan;
    if (!compareAll(folders[0], folders[1], hooks, plan, comparison))
        return 2;
    SamePairs same;
    if (given("--content") && !contentsBeforeSync(comparison, plan, same, [] { return !g_interrupted; }))
        return 1;
    const std::string left = comparison.leftRoot, right = comparison.rightRoot;
    const std::string unreadableBefore = UnreadableText(Global::PendingOperations.unreadable, EscapedForTerminal);

    // Nothing is written, not even leftovers cleared, when it cannot fit.
    if (!given("--no-space-check") && !roomForIt(plan, syncOptions))
        return 2;
    const ModeOutcome mode = Global::PendingOperations.mode;
    if (!deletionsAllowed(mode, given("--allow-many-deletions")))
        return 2;
    // Runs even with nothing to do: what a killed run left is cleared.
    if (!asJson)
        sayWhatIsAhead(plan);
    const SyncPlan done = std::move(plan);
    const SyncReport report = carryOut(done, syncOptions, mode);
    Comparison afterwards;
    SyncPlan pending;
    // A folder gone meanwhile (a stick pulled out) cannot be compared again:
    // what was carried out is told all the same.
    SyncAfterwards after;
    hooks.draftMemory = false; // the memory was kept as the run ended
    after.compared = !sayWhichIsGone(left, right) && compareAll(left, right, hooks, pending, afterwards);
    if (after.compared && given("--content"))
        contentsAfterSync(afterwards, pending, same);
    after.pending = pending.size() + Global::PendingOperations.mode.heldBack;
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
