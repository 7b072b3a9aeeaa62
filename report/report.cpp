#include "report/report.h"

#include "platform/paths.h"
#include "report/jsonrow.h"
#include "report/jsonwriter.h"
#include "report/orderedwriter.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

void writeSide(Sink &sink, JsonWriter &json, const char *key, const std::string &root, const ResultRows &rows,
               const ScanProblems &problems)
{
    json.object(key).text("root", root).list("rows");
    // Rows are formatted on every core, each chunk on its own.
    WriteInOrder(sink, rows.size(), [&rows](std::size_t first, std::size_t last, std::string &text) {
        JsonRowWriter writer;
        for (std::size_t i = first; i < last; ++i) {
            text += i ? ",\n" : "\n";
            writer.append(text, rows[i]);
        }
    });
    json.end().object("unreadable").number("count", std::int64_t(problems.count)).list("first");
    for (const std::string &problem : problems.first)
        json.text(problem);
    json.end().end().end();
}

void appendPadded(std::string &out, std::string_view text, std::size_t width)
{
    out += text;
    if (text.size() < width)
        out.append(width - text.size(), ' ');
}

void writeTextSide(Sink &sink, const char *title, const std::string &root, const ResultRows &rows,
                   const ScanProblems &problems, bool allRows)
{
    std::string &out = sink.buffer();
    std::size_t differing = 0;
    for (const ResultRow &row : rows)
        differing += row.status != Status::OK;
    out += title;
    out += ": ";
    out += EscapedForTerminal(root);
    out += " (" + std::to_string(rows.size()) + (rows.size() == 1 ? " file, " : " files, ") + std::to_string(differing)
        + (differing == 1 ? " differs)\n" : " differ)\n");
    WriteInOrder(sink, rows.size(), [&rows, allRows](std::size_t first, std::size_t last, std::string &text) {
        std::string scratch;
        for (std::size_t i = first; i < last; ++i) {
            const ResultRow &row = rows[i];
            if (!allRows && row.status == Status::OK)
                continue;
            text += "  ";
            appendPadded(text, StatusText(row.status), 10);
            scratch.clear();
            AppendSizeText(scratch, row);
            appendPadded(text, scratch, 18);
            scratch.clear();
            AppendModifiedText(scratch, row);
            appendPadded(text, scratch, 22);
            text += EscapedForTerminal(row.name());
            text += '\n';
        }
    });
    if (problems.count > 0) {
        out += "  Could not read " + std::to_string(problems.count) + (problems.count == 1 ? " item" : " items")
            + ", so not everything was compared:\n";
        for (const std::string &problem : problems.first)
            out += "    " + EscapedForTerminal(problem) + '\n';
        if (problems.count > problems.first.size())
            out += "    and " + std::to_string(problems.count - problems.first.size()) + " more\n";
    }
    out += '\n';
}

} // namespace

void WriteJsonReport(std::FILE *file, const Comparison &comparison, const SyncPlan &plan)
{
    Sink sink(file);
    JsonWriter json(sink.buffer());
    json.object();
    writeSide(sink, json, "left", comparison.leftRoot, comparison.left, comparison.leftProblems);
    writeSide(sink, json, "right", comparison.rightRoot, comparison.right, comparison.rightProblems);
    json.list("operations");
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const PendingOperation op = PendingOperationFor(plan.roots.from(plan.jobs[k]), plan.roots.to(plan.jobs[k]), plan.jobs[k]);
        json.newline().object().text("source", op.source).text("action", ActionKey(op.job));
        json.text("destination", op.destination);
        json.text("copy_from", op.copyFrom).text("copy_to", op.copyTo).text("replaces", op.deleteFirst);
        // The old name of "replaces", kept for scripts that read it.
        json.text("delete_first", op.deleteFirst);
        if (!op.job.why.empty())
            json.text("why", op.job.why);
        json.end();
        sink.maybeFlush();
    }
    // Every operation is listed: the list's limit is the window's.
    json.end().boolean("truncated", false);
    AppendJsonMode(json, Global::PendingOperations.mode);
    AppendJsonConflicts(json, comparison);
    AppendJsonTimeShift(json, comparison);
    AppendJsonLeftOut(json, comparison);
    json.number("unverified", std::int64_t(comparison.unverified)).end();
    sink.buffer() += '\n';
}

void WriteTextReport(std::FILE *file, const Comparison &comparison, const SyncPlan &plan, bool allRows)
{
    Sink sink(file);
    writeTextSide(sink, "Left", comparison.leftRoot, comparison.left, comparison.leftProblems, allRows);
    writeTextSide(sink, "Right", comparison.rightRoot, comparison.right, comparison.rightProblems, allRows);
    std::string &out = sink.buffer();
    out += "Pending operations: " + std::to_string(plan.size()) + '\n';
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const PendingOperation op = PendingOperationFor(plan.roots.from(plan.jobs[k]), plan.roots.to(plan.jobs[k]), plan.jobs[k]);
        out += "  " + EscapedForTerminal(op.source) + "  " + op.action;
        out += op.destination.empty() ? std::string() : "  " + EscapedForTerminal(op.destination);
        out += op.job.why.empty() ? std::string() : "  (" + op.job.why + ")";
        out += '\n';
        sink.maybeFlush();
    }
    AppendTextMode(out, Global::PendingOperations.mode);
    AppendTextConflicts(out, comparison);
    if (!TimeShiftText(comparison).empty())
        out += TimeShiftText(comparison) + '\n';
    if (comparison.unverified > 0)
        out += UnverifiedText(comparison.unverified) + '\n';
    AppendTextLeftOut(out, comparison);
}

namespace {

// Each pair that cannot be ordered, with why, in the comparison's order.
template<typename Visit>
void forEachConflict(const Comparison &comparison, const Visit &visit)
{
    std::size_t f = 0;
    for (std::size_t i = 0; i < comparison.unordered.size(); ++i) {
        const bool future = f < comparison.futureDated.size() && comparison.futureDated[f] == i;
        f += future;
        visit(comparison.unordered[i], future ? kFutureReason : kUnorderedReason);
    }
}

} // namespace

void AppendJsonConflicts(JsonWriter &json, const Comparison &comparison)
{
    json.list("conflicts");
    forEachConflict(comparison, [&](const std::string &name, const char *reason) {
        json.object().text("left", platform::JoinPath(comparison.leftRoot, name));
        json.text("right", platform::JoinPath(comparison.rightRoot, name)).text("reason", reason).end();
    });
    json.end();
}

void AppendJsonMode(JsonWriter &json, const ModeOutcome &mode)
{
    json.text("mode", ModeKey(mode.choice.mode));
    if (mode.choice.mode == SyncMode::Mirror || mode.choice.mode == SyncMode::Update)
        json.text("from", mode.choice.fromLeft ? "left" : "right");
    json.number("conflicts_left_as_they_are", std::int64_t(mode.conflicts));
    json.number("deleted_since_last_sync", std::int64_t(mode.deletedToLeft + mode.deletedToRight));
    json.boolean("many_deletions", mode.manyDeletions).list("memory_notes");
    for (const std::string *note : {&mode.memoryNote, &mode.guardNote}) {
        if (!note->empty())
            json.text(*note);
    }
    json.end();
}

void AppendTextMode(std::string &out, const ModeOutcome &mode)
{
    if (mode.choice.mode != SyncMode::NewestWins)
        out += "Mode: " + ModeTitle(mode.choice) + '\n';
    for (const std::string *note : {&mode.memoryNote, &mode.guardNote}) {
        if (!note->empty())
            out += *note + '\n';
    }
    if (mode.deletedToLeft + mode.deletedToRight > 0)
        out += DeletedSinceText(mode) + '\n';
    if (mode.conflicts > 0)
        out += std::to_string(mode.conflicts) + (mode.conflicts == 1 ? " conflict is" : " conflicts are")
            + " left as they are: the file changed on both sides since the last sync.\n";
    if (mode.manyDeletions)
        out += ManyDeletionsText(mode) + '\n';
}

void AppendTextConflicts(std::string &out, const Comparison &comparison)
{
    forEachConflict(comparison, [&](const std::string &name, const char *reason) {
        out += "  CONFLICT: " + EscapedForTerminal(platform::JoinPath(comparison.leftRoot, name)) + " and "
            + EscapedForTerminal(platform::JoinPath(comparison.rightRoot, name)) + ": " + reason + '\n';
    });
}

void AppendJsonTimeShift(JsonWriter &json, const Comparison &comparison)
{
    if (comparison.leftShift == 0 && comparison.rightShift == 0)
        return;
    const bool left = comparison.leftShift != 0;
    json.object("time_shift").plain("side", left ? "left" : "right");
    json.number("hours", -(left ? comparison.leftShift : comparison.rightShift) / 3600);
    json.boolean("stated", comparison.shiftStated).text("note", TimeShiftText(comparison)).end();
}

void AppendJsonLeftOut(JsonWriter &json, const Comparison &comparison)
{
    json.object("left_out");
    for (const auto &[key, leftOut] : {std::pair{"left", &comparison.leftLeftOut}, {"right", &comparison.rightLeftOut}})
        json.object(key)
            .number("hidden", std::int64_t(leftOut->hidden))
            .number("patterns", std::int64_t(leftOut->byPattern))
            .end();
    json.end();
}

void AppendTextLeftOut(std::string &out, const Comparison &comparison)
{
    const std::string sentence = LeftOutSentence(comparison.leftLeftOut, comparison.rightLeftOut);
    if (!sentence.empty())
        out += sentence + '\n';
}
