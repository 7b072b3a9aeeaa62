// corvanel-cli: the comparison engine and the synchronization without a
// window, for scripts and benchmarks.

#include "compare/comparefolders.h"
#include "compare/global.h"
#include "compare/report.h"
#include "compare/syncoperations.h"
#include "platform/memory.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: corvanel-cli compare [--json] [--all] LEFT RIGHT\n"
    "       corvanel-cli sync [--json] [--no-trash] LEFT RIGHT\n"
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
    "         fails. On a terminal it shows its progress on standard error;\n"
    "         Ctrl-C stops it once the files being copied are in place.\n"
    "         Exit status: 0 when every operation succeeded, nothing is pending\n"
    "         or in conflict afterwards and every folder could be read, 1\n"
    "         otherwise, 2 on bad input and when a folder is gone by the end.\n"
    "\n"
    "  --json     print one JSON object instead of the text report\n"
    "  --all      (compare) list every row, not only those that differ\n"
    "  --no-trash (sync) replace files for good, without keeping them in the Trash\n"
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

int runCompare(const std::vector<std::string> &args)
{
    std::vector<std::string> folders, options;
    std::string error;
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
    if (!compareAll(folders[0], folders[1], messageHooks(), *plan, comparison))
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

// One operation as a JSON object; reason is added for a failed one.
void writeJsonOperation(JsonWriter &json, const SyncPlan &plan, std::size_t i, const std::string *reason,
                        const std::string *trashed = nullptr)
{
    json.object().text("source", plan.from(i));
    json.text("action", plan.jobs[i].replace ? kOverwrites : kCopiedTo).text("destination", plan.to(i));
    if (reason)
        json.text("reason", *reason);
    if (trashed && !trashed->empty())
        json.text("trashed", *trashed);
    json.end();
}

int runSync(const std::vector<std::string> &args)
{
    std::vector<std::string> folders, options;
    std::string error;
    if (!parseArguments(args, {"--json", "--no-trash"}, folders, options, error))
        return usageError(error);
    const auto given = [&](const char *option) {
        return std::find(options.begin(), options.end(), option) != options.end();
    };
    const bool json = given("--json");
    SyncOptions syncOptions;
    syncOptions.keepReplaced = !given("--no-trash");
    if (folders.size() != 2)
        return usageError("sync needs two folders, LEFT and RIGHT");
    if (!foldersOpen(folders))
        return 2;

    // The first Ctrl-C lets the files being copied land and stops; a second
    // one ends the program at once. A closed terminal or a dropped ssh
    // session (SIGHUP) stops it the same way, never leaving a temporary.
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);

    const CompareHooks hooks = messageHooks();
    Comparison comparison;
    SyncPlan plan;
    if (!compareAll(folders[0], folders[1], hooks, plan, comparison))
        return 2;
    const std::string left = comparison.leftRoot, right = comparison.rightRoot;
    const std::string unreadableBefore = UnreadableText(Global::PendingOperations.unreadable, EscapedForTerminal);

    // Runs even with nothing to do: what a killed run left is cleared.
    if (!json && !plan.jobs.empty()) {
        std::printf("Carrying out %s.\n", plural(plan.size(), "file operation", "file operations").c_str());
        std::fflush(stdout);
    }
    ProgressLine line;
    const SyncPlan done = std::move(plan);
    const SyncReport report = RunSyncJobs(done, [&](const SyncProgress &p) { return line.update(p); }, syncOptions);
    line.clear();

    Comparison afterwards;
    SyncPlan pending;
    // A folder gone meanwhile (a stick pulled out) cannot be compared again:
    // what was carried out is told all the same, and the run ends as one
    // given a folder that is not valid.
    const bool compared = !sayWhichIsGone(left, right) && compareAll(left, right, hooks, pending, afterwards);
    const int notInStep = compared ? 1 : 2;
    const std::string unreadable = compared ? UnreadableText(Global::PendingOperations.unreadable, EscapedForTerminal)
                                            : std::string();
    const bool complete = compared && afterwards.complete() && comparison.complete();
    // Pairs nothing can order stay as they are: the folders are not in step.
    const bool conflicts = !afterwards.unordered.empty();
    const bool succeeded = report.allDone() && pending.jobs.empty() && complete && !conflicts;

    if (json) {
        std::string out;
        JsonWriter json(out);
        json.object().text("left", left).text("right", right);
        // Always 1 since every operation is carried out in one pass; kept
        // for the scripts that read it.
        json.number("passes", 1);
        for (const SyncResult wanted : {SyncResult::Done, SyncResult::Failed, SyncResult::NotDone}) {
            json.list(wanted == SyncResult::Done ? "carried_out" : wanted == SyncResult::Failed ? "failed" : "not_done");
            for (std::size_t i = 0; i < done.size(); ++i) {
                const SyncOutcome &outcome = report.outcomes[i];
                if (outcome.result == wanted)
                    writeJsonOperation(json, done, i, wanted == SyncResult::Failed ? &outcome.reason : nullptr,
                                       &outcome.trashed);
            }
            json.end();
        }
        json.list("pending");
        for (std::size_t i = 0; i < pending.size(); ++i)
            writeJsonOperation(json, pending, i, nullptr);
        json.end();
        AppendJsonConflicts(json, afterwards);
        json.number("unreadable", std::int64_t(Global::PendingOperations.unreadable.count)).list("notes");
        for (const std::string &note : report.notes)
            json.text(note);
        json.end().boolean("synchronized", succeeded).end();
        out += '\n';
        std::fputs(out.c_str(), stdout);
        return succeeded ? 0 : notInStep;
    }

    if (done.jobs.empty() && complete && !conflicts) {
        for (const std::string &note : report.notes)
            std::printf("%s\n", EscapedForTerminal(note).c_str());
        std::printf("No need to synchronize. %s & %s are identical.\n", EscapedForTerminal(left).c_str(),
                    EscapedForTerminal(right).c_str());
        return 0;
    }
    for (std::size_t i = 0; i < done.size(); ++i) {
        const SyncOutcome &outcome = report.outcomes[i];
        const char *verb = done.jobs[i].replace ? " overwrites " : " copied to ";
        const std::string from = EscapedForTerminal(done.from(i)), to = EscapedForTerminal(done.to(i));
        if (outcome.result == SyncResult::Done && !outcome.trashed.empty())
            std::printf("  %s%s%s (the old file is in the Trash: %s)\n", from.c_str(), verb, to.c_str(),
                        EscapedForTerminal(outcome.trashed).c_str());
        else if (outcome.result == SyncResult::Done)
            std::printf("  %s%s%s\n", from.c_str(), verb, to.c_str());
        else if (outcome.result == SyncResult::Failed)
            std::printf("  FAILED: %s%s%s: %s\n", from.c_str(), verb, to.c_str(),
                        EscapedForTerminal(outcome.reason).c_str());
    }
    std::printf("Carried out %zu of %s (%s copied).\n", report.done,
                plural(done.size(), "file operation", "file operations").c_str(),
                ByteCountText(report.bytesCopied).c_str());
    if (report.trashed > 0)
        std::printf("%s\n", TrashedText(report).c_str());
    for (const std::string &note : report.notes)
        std::printf("%s\n", EscapedForTerminal(note).c_str());
    if (!report.allDone())
        std::fprintf(stderr, "corvanel-cli: %s\n", SyncFailureText(done, report, 5, EscapedForTerminal).c_str());
    // Unreadable folders hide differences: never a plain success then.
    if (!unreadable.empty() || !unreadableBefore.empty())
        std::fprintf(stderr, "corvanel-cli: %s\n", (unreadable.empty() ? unreadableBefore : unreadable).c_str());
    if (conflicts) {
        std::string text;
        AppendTextConflicts(text, afterwards);
        std::fputs(text.c_str(), stdout);
        std::printf("%s cannot be synchronized.\n",
                    plural(afterwards.unordered.size(), "pair of files", "pairs of files").c_str());
    }
    if (!pending.jobs.empty()) {
        std::printf("%s still pending.\n", plural(pending.size(), "file operation is", "file operations are").c_str());
        return 1;
    }
    if (!succeeded)
        return notInStep;
    std::printf("%s & %s have been synchronized.\n", EscapedForTerminal(left).c_str(),
                EscapedForTerminal(right).c_str());
    return 0;
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
