#include "compare/report.h"

#include <cstdint>

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

private:
    static constexpr std::size_t kChunk = 1 << 20;
    std::FILE *m_file;
    std::string m_buffer;
};

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

void appendRow(std::string &out, const ResultRow &row)
{
    out += "{\"name\":";
    AppendJsonString(out, row.name);
    out += ",\"status\":";
    AppendJsonString(out, StatusText(row.status));
    out += ",\"size\":";
    AppendJsonString(out, SizeText(row));
    out += ",\"modified\":";
    AppendJsonString(out, ModifiedText(row));
    out += ",\"icon\":";
    out += std::to_string(row.icon);
    out += ",\"checked\":";
    out += row.checked ? "true" : "false";
    out += '}';
}

void writeSide(Sink &sink, const char *key, const std::string &root, const std::vector<ResultRow> &rows)
{
    std::string &out = sink.buffer();
    out += '"';
    out += key;
    out += "\":{\"root\":";
    AppendJsonString(out, root);
    out += ",\"rows\":[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i)
            out += ',';
        out += '\n';
        appendRow(out, rows[i]);
        sink.maybeFlush();
    }
    out += "]}";
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

void writeTextSide(Sink &sink, const char *title, const std::string &root, const std::vector<ResultRow> &rows)
{
    std::string &out = sink.buffer();
    out += title;
    out += ": ";
    out += root;
    out += " (" + std::to_string(rows.size()) + " files)\n";
    for (const ResultRow &row : rows) {
        out += "  ";
        appendPadded(out, StatusText(row.status), 10);
        appendPadded(out, SizeText(row), 18);
        appendPadded(out, ModifiedText(row), 22);
        out += row.name;
        out += '\n';
        sink.maybeFlush();
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
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
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

void WriteJsonReport(std::FILE *file, const Comparison &comparison, const PendingOperationList &operations)
{
    Sink sink(file);
    std::string &out = sink.buffer();
    out += '{';
    writeSide(sink, "left", comparison.leftRoot, comparison.left);
    out += ',';
    writeSide(sink, "right", comparison.rightRoot, comparison.right);
    out += ",\"operations\":[";
    const int count = operations.count();
    for (int k = 0; k < count; ++k) {
        const PendingOperation &op = operations[k];
        if (k)
            out += ',';
        out += "\n{";
        appendField(out, "source", op.source, true);
        appendField(out, "action", op.action);
        appendField(out, "destination", op.destination);
        appendField(out, "copy_from", op.copyFrom);
        appendField(out, "copy_to", op.copyTo);
        appendField(out, "delete_first", op.deleteFirst);
        out += '}';
        sink.maybeFlush();
    }
    out += "],\"truncated\":";
    out += comparison.truncated() ? "true" : "false";
    out += "}\n";
}

void WriteTextReport(std::FILE *file, const Comparison &comparison, const PendingOperationList &operations)
{
    Sink sink(file);
    writeTextSide(sink, "Left", comparison.leftRoot, comparison.left);
    writeTextSide(sink, "Right", comparison.rightRoot, comparison.right);
    std::string &out = sink.buffer();
    const int count = operations.count();
    out += "Pending operations: " + std::to_string(count);
    if (comparison.truncated())
        out += " (" + TruncationMessage(comparison.wantedOperations) + ")";
    out += '\n';
    for (int k = 0; k < count; ++k) {
        const PendingOperation &op = operations[k];
        out += "  " + op.source + "  " + op.action + "  " + op.destination + '\n';
        sink.maybeFlush();
    }
}

std::string EscapedForTerminal(std::string_view name)
{
    bool plain = true;
    for (const char c : name)
        plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
    if (plain)
        return std::string(name);
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}
