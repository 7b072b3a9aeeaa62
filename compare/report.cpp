#include "compare/report.h"

#include "platform/datetime.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Collects output and hands it to stdio in large pieces: a million rows are
// written in a few hundred calls.
class Sink
{
public:
    explicit Sink(std::FILE *file) : m_file(file) { m_buffer.reserve(kChunk + 4096); }
    ~Sink() { flush(); }

    std::string &buffer() { return m_buffer; }
    void maybeFlush()
    {
        if (m_buffer.size() >= kChunk)
            flush();
    }
    void flush()
    {
        std::fwrite(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_buffer.clear();
    }
    void write(std::string_view text)
    {
        if (m_buffer.size() + text.size() <= kChunk) {
            m_buffer += text;
            return;
        }
        flush();
        std::fwrite(text.data(), 1, text.size(), m_file);
    }

private:
    static constexpr std::size_t kChunk = 1 << 20;
    std::FILE *m_file;
    std::string m_buffer;
};

// Formats the items first to last of a list, appending them to out.
using FormatRange = std::function<void(std::size_t first, std::size_t last, std::string &out)>;

// Formats count items in chunks on this thread and on helper threads, one
// lane of chunks each, and hands the texts to the sink in order: a report of
// millions of rows takes every core instead of one. Each helper formats at
// most two chunks ahead of the writer.
void writeInOrder(Sink &sink, std::size_t count, const FormatRange &format)
{
    constexpr std::size_t kChunk = 8192;
    constexpr std::size_t kBytesPerItem = 256; // a JSON row of a long name
    const std::size_t chunks = (count + kChunk - 1) / kChunk;
    // Room for a chunk from the start: a text grown a doubling at a time
    // would be copied and faulted in over and over.
    const auto formatChunk = [&](std::size_t chunk, std::string &out) {
        out.reserve(out.size() + kChunk * kBytesPerItem);
        format(chunk * kChunk, std::min(count, (chunk + 1) * kChunk), out);
    };
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t lanes = std::min<std::size_t>({cores, 4, std::max<std::size_t>(chunks, 1)});

    struct Lane
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::string texts[2];
        bool full[2] = {false, false};
        std::exception_ptr failure;
        std::thread thread;
    };
    // Lane 0 is this thread's; a lane whose thread could not start is too.
    std::vector<std::unique_ptr<Lane>> helpers;
    std::atomic<bool> stop{false};
    const auto work = [&](Lane &lane, std::size_t firstChunk) {
        std::size_t n = 0;
        for (std::size_t chunk = firstChunk; chunk < chunks; chunk += lanes, ++n) {
            std::string text;
            {
                std::unique_lock<std::mutex> lock(lane.mutex);
                lane.changed.wait(lock, [&] { return !lane.full[n % 2] || stop; });
                if (stop)
                    return;
                text = std::move(lane.texts[n % 2]); // keeps its capacity
            }
            text.clear();
            std::exception_ptr failure;
            try {
                formatChunk(chunk, text);
            } catch (...) {
                failure = std::current_exception();
            }
            {
                const std::lock_guard<std::mutex> lock(lane.mutex);
                lane.texts[n % 2] = std::move(text);
                lane.full[n % 2] = true;
                lane.failure = failure;
            }
            lane.changed.notify_all();
            if (failure)
                return;
        }
    };
    struct Joiner
    {
        std::vector<std::unique_ptr<Lane>> &helpers;
        std::atomic<bool> &stop;
        ~Joiner()
        {
            stop = true;
            for (auto &lane : helpers) {
                {
                    const std::lock_guard<std::mutex> lock(lane->mutex);
                }
                lane->changed.notify_all();
                if (lane->thread.joinable())
                    lane->thread.join();
            }
        }
    } joiner{helpers, stop};
    for (std::size_t k = 1; k < lanes; ++k) {
        helpers.push_back(std::make_unique<Lane>());
        try {
            helpers.back()->thread = std::thread(work, std::ref(*helpers.back()), k);
        } catch (const std::system_error &) {
        }
    }

    std::vector<std::size_t> taken(helpers.size(), 0);
    for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
        const std::size_t lane = chunk % lanes;
        if (lane == 0 || !helpers[lane - 1]->thread.joinable()) {
            formatChunk(chunk, sink.buffer());
            sink.maybeFlush();
            continue;
        }
        Lane &helper = *helpers[lane - 1];
        const std::size_t slot = taken[lane - 1]++ % 2;
        std::string text;
        {
            std::unique_lock<std::mutex> lock(helper.mutex);
            helper.changed.wait(lock, [&] { return helper.full[slot]; });
            if (helper.failure)
                std::rethrow_exception(helper.failure);
            text = std::move(helper.texts[slot]);
        }
        sink.write(text);
        {
            const std::lock_guard<std::mutex> lock(helper.mutex);
            helper.texts[slot] = std::move(text);
            helper.full[slot] = false;
        }
        helper.changed.notify_all();
    }
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid.
std::size_t validSequence(std::string_view s, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    std::size_t length;
    std::uint32_t code;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 2 && code < 0x80) || (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void appendRfc3339Utc(std::string &out, std::int64_t seconds, std::uint32_t nanoseconds)
{
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const platform::CivilDate date = platform::CivilFromDays(days);
    const std::int64_t year = date.year;
    const unsigned month = date.month, day = date.day;
    // By hand: a million rows would otherwise spend most of this in printf.
    char text[40];
    char *end = text + sizeof text;
    char *p = end;
    const auto digits = [&p](std::uint64_t value, int width) {
        do {
            *--p = char('0' + value % 10);
            value /= 10;
            --width;
        } while (value != 0 || width > 0);
    };
    *--p = 'Z';
    digits(nanoseconds % 1000000000u, 9);
    *--p = '.';
    digits(std::uint64_t(rest % 60), 2);
    *--p = ':';
    digits(std::uint64_t(rest / 60 % 60), 2);
    *--p = ':';
    digits(std::uint64_t(rest / 3600), 2);
    *--p = 'T';
    digits(day, 2);
    *--p = '-';
    digits(month, 2);
    *--p = '-';
    digits(std::uint64_t(year < 0 ? -year : year), 4);
    if (year < 0)
        *--p = '-';
    out.append(p, end);
}

void appendNumber(std::string &out, std::int64_t value)
{
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// scratch is any string, kept between rows so that none is allocated per row.
void appendRow(std::string &out, const ResultRow &row, std::string &scratch)
{
    out += "{\"name\":";
    AppendJsonString(out, row.name());
    // The status and size texts are plain ASCII: nothing to escape.
    out += ",\"status\":\"";
    out += StatusText(row.status);
    out += "\",\"size\":\"";
    AppendSizeText(out, row);
    out += "\",\"modified\":";
    scratch.clear();
    AppendModifiedText(scratch, row);
    AppendJsonString(out, scratch);
    out += ",\"icon\":";
    appendNumber(out, row.icon);
    out += ",\"checked\":";
    out += row.checked ? "true" : "false";
    if (row.size >= 0) {
        out += ",\"bytes\":";
        appendNumber(out, row.size);
    }
    if (row.modified != platform::kNoTime) {
        out += ",\"mtime\":\"";
        appendRfc3339Utc(out, row.modified, row.modifiedNanos);
        out += '"';
    }
    out += '}';
}

void appendUnreadable(std::string &out, const ScanProblems &problems)
{
    out += ",\"unreadable\":{\"count\":";
    out += std::to_string(problems.count);
    out += ",\"first\":[";
    for (std::size_t i = 0; i < problems.first.size(); ++i) {
        if (i)
            out += ',';
        AppendJsonString(out, problems.first[i]);
    }
    out += "]}";
}

void writeSide(Sink &sink, const char *key, const std::string &root, const ResultRows &rows,
               const ScanProblems &problems)
{
    std::string &out = sink.buffer();
    out += '"';
    out += key;
    out += "\":{\"root\":";
    AppendJsonString(out, root);
    out += ",\"rows\":[";
    writeInOrder(sink, rows.size(), [&rows](std::size_t first, std::size_t last, std::string &text) {
        std::string scratch;
        for (std::size_t i = first; i < last; ++i) {
            if (i)
                text += ',';
            text += '\n';
            appendRow(text, rows[i], scratch);
        }
    });
    out += ']';
    appendUnreadable(out, problems);
    out += '}';
}

void appendField(std::string &out, const char *key, const std::string &value, bool first = false)
{
    if (!first)
        out += ',';
    out += '"';
    out += key;
    out += "\":";
    AppendJsonString(out, value);
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
    writeInOrder(sink, rows.size(), [&rows, allRows](std::size_t first, std::size_t last, std::string &text) {
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

void AppendJsonString(std::string &out, std::string_view s)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < s.size()) {
        // Runs of plain ASCII, nearly every name, go in whole; found eight
        // bytes at a time while no byte is a control, quote, backslash or
        // above 127.
        const std::size_t start = i;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t x;
            std::memcpy(&x, s.data() + i, 8);
            constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
            const auto zeroByte = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
            if (((x | ((x - kOnes * 0x20) & ~x)) & kHigh) || zeroByte(x ^ (kOnes * '"'))
                || zeroByte(x ^ (kOnes * '\\')))
                break;
        }
        while (i < s.size()) {
            const unsigned char p = static_cast<unsigned char>(s[i]);
            if (p < 0x20 || p >= 0x80 || p == '"' || p == '\\')
                break;
            ++i;
        }
        if (i > start)
            out.append(s.substr(start, i - start));
        if (i == s.size())
            break;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
            ++i;
            continue;
        }
        const std::size_t length = validSequence(s, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            ++i;
        } else {
            out.append(s.substr(i, length));
            i += length;
        }
    }
    out += '"';
}

std::string EscapedForTerminal(std::string_view s)
{
    // The common case, a plain name, goes through untouched.
    std::size_t i = 0;
    for (; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && validSequence(s, i) == 0)
            || (c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0))
            break;
        if (c >= 0x80)
            i += validSequence(s, i) - 1;
    }
    if (i == s.size())
        return std::string(s);

    static const char kHex[] = "0123456789abcdef";
    std::string out = "$'";
    const auto hex = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t length = c >= 0x80 ? validSequence(s, i) : 1;
        if (length == 0) {
            hex(c);
            ++i;
            continue;
        }
        // U+0080 to U+009F: terminals may take them as control sequences.
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
            hex(c);
            hex(static_cast<unsigned char>(s[i + 1]));
            i += 2;
            continue;
        }
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\'"; break;
        default:
            if (c < 0x20 || c == 0x7F)
                hex(c);
            else
                out.append(s.substr(i, length));
        }
        i += length;
    }
    out += '\'';
    return out;
}

std::string Rfc3339Utc(std::int64_t seconds, std::uint32_t nanoseconds)
{
    std::string text;
    appendRfc3339Utc(text, seconds, nanoseconds);
    return text;
}

void WriteJsonReport(std::FILE *file, const Comparison &comparison, const SyncPlan &plan)
{
    Sink sink(file);
    std::string &out = sink.buffer();
    out += '{';
    writeSide(sink, "left", comparison.leftRoot, comparison.left, comparison.leftProblems);
    out += ',';
    writeSide(sink, "right", comparison.rightRoot, comparison.right, comparison.rightProblems);
    out += ",\"operations\":[";
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const PendingOperation op = PendingOperationFor(plan.roots.from(plan.jobs[k]), plan.roots.to(plan.jobs[k]), plan.jobs[k]);
        if (k)
            out += ',';
        out += "\n{";
        appendField(out, "source", op.source, true);
        appendField(out, "action", op.action);
        appendField(out, "destination", op.destination);
        appendField(out, "copy_from", op.copyFrom);
        appendField(out, "copy_to", op.copyTo);
        appendField(out, "replaces", op.deleteFirst);
        // The old name of "replaces", kept for scripts that read it.
        appendField(out, "delete_first", op.deleteFirst);
        out += '}';
        sink.maybeFlush();
    }
    // Every operation is listed: the list's limit is the window's.
    out += "],\"truncated\":false";
    AppendJsonConflicts(out, comparison);
    out += "}\n";
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
        out += "  " + EscapedForTerminal(op.source) + "  " + op.action + "  " + EscapedForTerminal(op.destination)
            + '\n';
        sink.maybeFlush();
    }
    AppendTextConflicts(out, comparison);
}

void AppendJsonConflicts(std::string &out, const Comparison &comparison)
{
    out += ",\"conflicts\":[";
    for (std::size_t i = 0; i < comparison.unordered.size(); ++i) {
        const std::string &name = comparison.unordered[i];
        out += i ? ",{" : "{";
        appendField(out, "left", platform::JoinPath(comparison.leftRoot, name), true);
        appendField(out, "right", platform::JoinPath(comparison.rightRoot, name));
        appendField(out, "reason", kUnorderedReason);
        out += '}';
    }
    out += ']';
}

void AppendTextConflicts(std::string &out, const Comparison &comparison)
{
    for (const std::string &name : comparison.unordered)
        out += "  CONFLICT: " + EscapedForTerminal(platform::JoinPath(comparison.leftRoot, name)) + " and "
            + EscapedForTerminal(platform::JoinPath(comparison.rightRoot, name)) + ": " + kUnorderedReason + '\n';
}
