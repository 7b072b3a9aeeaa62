#include "app/clicontent.h"

#include "compare/contentcompare.h"
#include "compare/global.h"
#include "report/syncreport.h"
#include "report/textescape.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

static std::array<std::int64_t, 5> pairStamp(const ResultRow &left, const ResultRow &right)
{
    return {left.size, left.modified, left.modifiedNanos, right.modified, right.modifiedNanos};
}

// Reads the contents of the pairs --content asks for, the plan kept in step
// with the operations, progress on a terminal; says on standard error what
// could not be read. False when goOn stopped it.
bool compareContents(Comparison &comparison, SyncPlan &plan, const std::function<bool()> &goOn, const SamePairs *same,
                     ContentFindings &findings)
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
static SamePairs samePairs(Comparison &comparison)
{
    SamePairs same;
    ForEachPair(comparison, [&same](ResultRow &left, ResultRow &right) {
        if (left.contents == Contents::Same)
            same.emplace(std::string(left.name()), pairStamp(left, right));
    });
    return same;
}

// Reads the pairs --content asks for before a sync; false, having said so,
// when Ctrl-C stopped it: nothing is copied then.
bool contentsBeforeSync(Comparison &comparison, SyncPlan &plan, SamePairs &same, const std::function<bool()> &goOn)
{
    ContentFindings findings;
    if (!compareContents(comparison, plan, goOn, nullptr, findings)) {
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
    compareContents(
        afterwards, pending, [] { return true; }, &same, findings);
}
