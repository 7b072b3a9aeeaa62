#include "report/syncreport.h"
#include "report/jsonwriter.h"
#include "report/report.h"
#include "report/textescape.h"

#include <unistd.h>

namespace {

std::string plural(std::size_t n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// One operation as a JSON object; reason is added for a failed one.
void writeJsonOperation(JsonWriter &json, const SyncPlan &plan, std::size_t i, const std::string *reason,
                        const std::string *trashed = nullptr)
{
    const SyncJob &job = plan.jobs[i];
    const PendingOperation op = PendingOperationFor(plan.roots.from(job), plan.roots.to(job), job);
    json.object().text("source", op.source);
    json.text("action", ActionKey(job)).text("destination", job.kind == JobKind::Copy ? plan.to(i) : op.destination);
    if (!job.why.empty())
        json.text("why", job.why);
    if (reason)
        json.text("reason", *reason);
    if (trashed && !trashed->empty())
        json.text("trashed", *trashed);
    json.end();
}

void printOperations(std::FILE *out, const SyncPlan &done, const SyncReport &report)
{
    for (std::size_t i = 0; i < done.size(); ++i) {
        const SyncOutcome &outcome = report.outcomes[i];
        const SyncJob &job = done.jobs[i];
        const PendingOperation op = PendingOperationFor(done.roots.from(job), done.roots.to(job), job);
        const std::string verb = " " + op.action + (op.destination.empty() ? "" : " ");
        const std::string from = EscapedForTerminal(op.source);
        const std::string to = job.kind == JobKind::Copy ? EscapedForTerminal(done.to(i))
                                                         : EscapedForTerminal(op.destination);
        if (outcome.result == SyncResult::Done && !outcome.trashed.empty())
            std::fprintf(out, "  %s%s%s (the old file is in the Trash: %s)\n", from.c_str(), verb.c_str(), to.c_str(),
                         EscapedForTerminal(outcome.trashed).c_str());
        else if (outcome.result == SyncResult::Done)
            std::fprintf(out, "  %s%s%s\n", from.c_str(), verb.c_str(), to.c_str());
        else if (outcome.result == SyncResult::LeftAlone)
            std::fprintf(out, "  CONFLICT, left as it is: %s and %s: %s\n", from.c_str(), to.c_str(),
                         EscapedForTerminal(job.why).c_str());
        else if (outcome.result == SyncResult::Failed)
            std::fprintf(out, "  FAILED: %s%s%s: %s\n", from.c_str(), verb.c_str(), to.c_str(),
                         EscapedForTerminal(outcome.reason).c_str());
    }
}

void printNotes(std::FILE *out, const SyncReport &report)
{
    for (const std::string &note : report.notes)
        std::fprintf(out, "%s\n", EscapedForTerminal(note).c_str());
}

} // namespace

void WriteJsonSyncReport(std::FILE *out, const SyncRunReport &run)
{
    std::string text;
    JsonWriter json(text);
    json.object().text("left", run.left).text("right", run.right);
    // Always 1 since every operation is carried out in one pass; kept for
    // the scripts that read it.
    json.number("passes", 1);
    for (const SyncResult wanted : {SyncResult::Done, SyncResult::Failed, SyncResult::NotDone, SyncResult::LeftAlone}) {
        json.list(wanted == SyncResult::Done          ? "carried_out"
                      : wanted == SyncResult::Failed  ? "failed"
                      : wanted == SyncResult::NotDone ? "not_done"
                                                      : "left_as_they_are");
        for (std::size_t i = 0; i < run.done.size(); ++i) {
            const SyncOutcome &outcome = run.report.outcomes[i];
            if (outcome.result == wanted)
                writeJsonOperation(json, run.done, i, wanted == SyncResult::Failed ? &outcome.reason : nullptr,
                                   &outcome.trashed);
        }
        json.end();
    }
    json.list("pending");
    for (std::size_t i = 0; i < run.pending.size(); ++i)
        writeJsonOperation(json, run.pending, i, nullptr);
    json.end();
    AppendJsonConflicts(json, run.afterwards);
    AppendJsonTimeShift(json, run.afterwards);
    json.number("unreadable", std::int64_t(run.unreadable));
    AppendJsonLeftOut(json, run.afterwards);
    json.number("unverified", std::int64_t(run.afterwards.unverified)).list("notes");
    for (const std::string &note : run.report.notes)
        json.text(note);
    json.end().boolean("synchronized", run.verdict.synchronized()).end();
    text += '\n';
    std::fputs(text.c_str(), out);
}

namespace {

void printLeftOut(std::FILE *out, const Comparison &comparison)
{
    std::string text;
    AppendTextLeftOut(text, comparison);
    std::fputs(text.c_str(), out);
}

} // namespace

void WriteTextSyncReport(std::FILE *out, std::FILE *err, const SyncRunReport &run)
{
    const std::string left = EscapedForTerminal(run.left), right = EscapedForTerminal(run.right);
    if (!TimeShiftText(run.afterwards).empty())
        std::fprintf(out, "%s\n", EscapedForTerminal(TimeShiftText(run.afterwards)).c_str());
    if (run.verdict.end == SyncEnd::Identical) {
        printNotes(out, run.report);
        std::fprintf(out, "%s\n", IdenticalText(left, right, run.afterwards.unverified).c_str());
        printLeftOut(out, run.afterwards);
        return;
    }
    printOperations(out, run.done, run.report);
    std::fprintf(out, "Carried out %zu of %s (%s copied).\n", run.report.done,
                 plural(run.done.size(), "file operation", "file operations").c_str(),
                 ByteCountText(run.report.bytesCopied).c_str());
    if (run.report.trashed > 0)
        std::fprintf(out, "%s\n", TrashedText(run.report).c_str());
    printNotes(out, run.report);
    if (!run.report.allDone())
        std::fprintf(err, "corvanel-cli: %s\n", SyncFailureText(run.done, run.report, 5, EscapedForTerminal).c_str());
    // Unreadable folders hide differences: never a plain success then.
    if (!run.unreadableText.empty())
        std::fprintf(err, "corvanel-cli: %s\n", run.unreadableText.c_str());
    if (!run.afterwards.unordered.empty()) {
        std::string text;
        AppendTextConflicts(text, run.afterwards);
        std::fputs(text.c_str(), out);
        std::fprintf(out, "%s cannot be synchronized.\n",
                     plural(run.afterwards.unordered.size(), "pair of files", "pairs of files").c_str());
    }
    if (!run.pending.jobs.empty())
        std::fprintf(out, "%s still pending.\n",
                     plural(run.pending.size(), "file operation is", "file operations are").c_str());
    else if (run.verdict.synchronized())
        std::fprintf(out, "%s\n", SynchronizedText(left, right, run.afterwards.unverified).c_str());
    printLeftOut(out, run.afterwards);
}

SyncProgressLine::SyncProgressLine() : m_enabled(::isatty(STDERR_FILENO) == 1) {}

void SyncProgressLine::update(const SyncProgress &p)
{
    if (!m_enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_last < std::chrono::milliseconds(250))
        return;
    m_last = now;
    std::fprintf(stderr, "\r  %zu of %zu files, %s of %s\033[K", p.filesDone, p.filesTotal,
                 ByteCountText(p.bytesDone).c_str(), ByteCountText(p.bytesTotal).c_str());
    std::fflush(stderr);
    m_shown = true;
}

void SyncProgressLine::clear()
{
    if (m_shown)
        std::fputs("\r\033[K", stderr);
    m_shown = false;
}
