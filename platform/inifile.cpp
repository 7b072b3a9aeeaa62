#include "platform/inifile.h"

#include <QStringList>

#include <vector>

namespace platform {
namespace {

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int octalDigit(char c)
{
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

// Past the line break at pos; "\r\n" and "\n\r" count as one.
qsizetype pastLineBreak(QByteArrayView s, qsizetype pos)
{
    const char first = s[pos++];
    if (pos < s.size() && isLineBreak(s[pos]) && s[pos] != first)
        ++pos;
    return pos;
}

qsizetype endOfLine(QByteArrayView s, qsizetype pos)
{
    while (pos < s.size() && !isLineBreak(s[pos]))
        ++pos;
    return pos;
}

qsizetype startOfNextLine(QByteArrayView s, qsizetype pos)
{
    pos = endOfLine(s, pos);
    return pos < s.size() ? pastLineBreak(s, pos) : pos;
}

qsizetype find(QByteArrayView s, char c, qsizetype from, qsizetype to)
{
    for (qsizetype i = from; i < to; ++i) {
        if (s[i] == c)
            return i;
    }
    return -1;
}

QByteArrayView trimmed(QByteArrayView s)
{
    while (!s.isEmpty() && isBlank(s.front()))
        s = s.sliced(1);
    while (!s.isEmpty() && isBlank(s.back()))
        s.chop(1);
    return s;
}

bool isGeneral(QByteArrayView name)
{
    static const char kGeneral[] = "general";
    if (name.size() != qsizetype(sizeof kGeneral - 1))
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char c = name[i] >= 'A' && name[i] <= 'Z' ? char(name[i] - 'A' + 'a') : name[i];
        if (c != kGeneral[i])
            return false;
    }
    return true;
}

// A section name or key: "%XX" and "%UXXXX" stand for one character, a
// backslash separates a group from its key.
QString decodeName(QByteArrayView raw)
{
    const QString text = QString::fromUtf8(trimmed(raw));
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size();) {
        const QChar c = text.at(i);
        if (c == u'\\') {
            result += u'/';
            ++i;
            continue;
        }
        if (c == u'%' && i + 1 < text.size()) {
            const bool wide = text.at(i + 1) == u'U';
            const qsizetype first = i + (wide ? 2 : 1);
            const qsizetype count = wide ? 4 : 2;
            if (first + count <= text.size()) {
                char16_t code = 0;
                bool ok = true;
                for (qsizetype k = first; k < first + count && ok; ++k) {
                    const char16_t d = text.at(k).unicode();
                    const int v = d < 0x80 ? hexDigit(char(d)) : -1;
                    ok = v >= 0;
                    code = char16_t(code * 16 + (ok ? v : 0));
                }
                if (ok) {
                    result += QChar(code);
                    i = first + count;
                    continue;
                }
            }
        }
        result += c;
        ++i;
    }
    return result;
}

QByteArray encodeName(const QString &name)
{
    QByteArray result;
    for (const QChar qc : name) {
        const char16_t c = qc.unicode();
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'
            || c == '.') {
            result += char(c);
        } else if (c == '/') {
            result += '\\';
        } else if (c <= 0xff) {
            result += '%' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        } else {
            result += "%U" + QByteArray::number(c, 16).toUpper().rightJustified(4, '0');
        }
    }
    return result;
}

struct Entry
{
    QString key;          // "Section/key", or "key" in the general section
    qsizetype valueBegin; // the value's raw bytes
    qsizetype valueEnd;
};

struct SectionEnd
{
    QString name;
    qsizetype end; // just past its header or its latest entry's line
};

struct Parsed
{
    std::vector<Entry> entries;
    std::vector<SectionEnd> sections; // in file order, the general section left out
    // The last value runs to the very end of the content, maybe inside
    // quotes, after a backslash or after an escaped line break: a line
    // appended there would become part of that value.
    bool openValue = false;
    bool openQuote = false;
    bool openEscape = false;
};

// A value runs to the first line break or ";" (a comment) outside double
// quotes; a backslash escapes the next byte, a line break included.
Parsed parse(QByteArrayView s)
{
    Parsed parsed;
    QString section;
    bool general = true;
    qsizetype pos = 0;
    while (pos < s.size()) {
        qsizetype i = pos;
        while (i < s.size() && isBlank(s[i]))
            ++i;
        if (i >= s.size())
            break;
        if (isLineBreak(s[i])) {
            pos = pastLineBreak(s, i);
            continue;
        }
        if (s[i] == ';' || s[i] == '#') {
            pos = startOfNextLine(s, i);
            continue;
        }
        const qsizetype lineEnd = endOfLine(s, i);
        if (s[i] == '[') {
            pos = startOfNextLine(s, i);
            const qsizetype close = find(s, ']', i + 1, lineEnd);
            if (close < 0)
                continue; // no section: the lines below stay where they were
            const QByteArrayView name = trimmed(s.sliced(i + 1, close - i - 1));
            general = isGeneral(name);
            section = general ? QString() : decodeName(name);
            if (!general)
                parsed.sections.push_back({section, pos});
            continue;
        }
        const qsizetype equals = find(s, '=', i, lineEnd);
        if (equals < 0) {
            pos = startOfNextLine(s, i);
            continue;
        }
        const QString key = decodeName(s.sliced(i, equals - i));
        qsizetype v = equals + 1;
        bool quoted = false;
        bool escaped = false;
        while (v < s.size()) {
            const char c = s[v];
            if (c == '\\') {
                if (v + 1 >= s.size()) {
                    escaped = true;
                    ++v;
                    break;
                }
                v = isLineBreak(s[v + 1]) ? pastLineBreak(s, v + 1) : v + 2;
                continue;
            }
            if (c == '"')
                quoted = !quoted;
            else if (!quoted && (c == ';' || isLineBreak(c)))
                break;
            ++v;
        }
        parsed.openValue = v >= s.size();
        parsed.openQuote = parsed.openValue && quoted;
        parsed.openEscape = escaped;
        parsed.entries.push_back({general ? key : section + u'/' + key, equals + 1, v});
        pos = startOfNextLine(s, v);
        if (!general && !parsed.sections.empty())
            parsed.sections.back().end = pos;
    }
    return parsed;
}

struct Unescaped
{
    QStringList items;
    bool list = false;
};

// The escape after a backslash at raw[i - 1], appended to item; i moves past it.
void appendEscaped(QByteArrayView raw, qsizetype &i, QString &item)
{
    const char e = raw[i++];
    switch (e) {
    case 'a':
        item += u'\a';
        break;
    case 'b':
        item += u'\b';
        break;
    case 'f':
        item += u'\f';
        break;
    case 'n':
        item += u'\n';
        break;
    case 'r':
        item += u'\r';
        break;
    case 't':
        item += u'\t';
        break;
    case 'v':
        item += u'\v';
        break;
    case '"':
    case '\'':
    case '?':
    case '\\':
        item += QLatin1Char(e);
        break;
    case 'x':
        if (i < raw.size() && hexDigit(raw[i]) >= 0) {
            char16_t code = 0;
            for (; i < raw.size() && hexDigit(raw[i]) >= 0; ++i)
                code = char16_t(code * 16 + hexDigit(raw[i]));
            item += QChar(code);
        }
        break;
    default:
        if (octalDigit(e) >= 0) {
            char16_t code = char16_t(octalDigit(e));
            for (; i < raw.size() && octalDigit(raw[i]) >= 0; ++i)
                code = char16_t(code * 8 + octalDigit(raw[i]));
            item += QChar(code);
        } else if (isLineBreak(e) && i < raw.size() && isLineBreak(raw[i]) && raw[i] != e) {
            ++i; // a continued line
        }
        // Any other escaped byte is dropped.
    }
}

// Escapes, quotes and commas undone; blanks around unquoted items dropped.
Unescaped unescape(QByteArrayView raw)
{
    Unescaped result;
    QString item;
    QByteArray run; // bytes of the item not yet decoded
    bool quoted = false;
    bool itemQuoted = false;
    qsizetype keep = 0; // blanks at the end are dropped down to here
    qsizetype i = 0;

    const auto decodeRun = [&] {
        if (!run.isEmpty()) {
            item += QString::fromUtf8(run);
            run.clear();
        }
    };
    const auto skipBlanks = [&] {
        while (i < raw.size() && isBlank(raw[i]))
            ++i;
    };
    const auto finishItem = [&] {
        decodeRun();
        if (!itemQuoted) {
            while (item.size() > keep && (item.back() == u' ' || item.back() == u'\t'))
                item.chop(1);
        }
        result.items.append(item);
        item.clear();
        itemQuoted = false;
        keep = 0;
    };

    skipBlanks();
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '\\') {
            decodeRun();
            if (++i >= raw.size())
                break;
            appendEscaped(raw, i, item);
            keep = item.size();
            continue;
        }
        if (c == '"') {
            decodeRun();
            quoted = !quoted;
            itemQuoted = true;
            ++i;
            if (!quoted)
                skipBlanks();
            continue;
        }
        if (c == ',' && !quoted) {
            finishItem();
            result.list = true;
            ++i;
            skipBlanks();
            continue;
        }
        run += c;
        ++i;
    }
    finishItem();
    return result;
}

// An item's text; nothing for an item that stands for a typed object.
std::optional<QString> textOf(const QString &item)
{
    if (!item.startsWith(u'@'))
        return item;
    if (item.startsWith(u"@@"))
        return item.mid(1);
    if (item.endsWith(u')')) {
        if (item.startsWith(u"@String("))
            return item.mid(8, item.size() - 9);
        if (item.startsWith(u"@ByteArray("))
            return QString::fromUtf8(item.mid(11, item.size() - 12).toLatin1());
        for (const char16_t *typed : {u"@Variant(", u"@DateTime(", u"@Rect(", u"@Size(", u"@Point(", u"@Invalid("}) {
            if (item.startsWith(QStringView(typed)))
                return std::nullopt;
        }
    }
    return item;
}

QString textOfValue(QByteArrayView raw)
{
    const Unescaped value = unescape(raw);
    QStringList texts;
    for (const QString &item : value.items) {
        const std::optional<QString> text = textOf(item);
        if (!text)
            return QString();
        texts.append(*text);
    }
    return texts.join(u',');
}

QByteArray escapeValue(const QString &value)
{
    // A text that starts with "@" would read as a typed object.
    const QString text = value.startsWith(u'@') ? u'@' + value : value;
    QByteArray out;
    out.reserve(text.size() + 8);
    bool quote = false;
    // After a numeric escape a digit would be read as part of it.
    bool guardDigits = false;
    const auto numeric = [&](char16_t c) {
        out += "\\x" + QByteArray::number(c, 16);
        guardDigits = true;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == ';' || c == ',' || c == '=')
            quote = true;
        if (guardDigits && c < 0x80 && hexDigit(char(c)) >= 0) {
            numeric(c);
            continue;
        }
        guardDigits = false;
        switch (c) {
        case 0:
            out += "\\0";
            guardDigits = true;
            break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                numeric(c);
            } else if (c < 0x80) {
                out += char(c);
            } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                out += QStringView(text).sliced(i, 2).toUtf8();
                ++i;
            } else if (QChar::isSurrogate(c)) {
                numeric(c); // a lone half of a pair has no UTF-8 form
            } else {
                out += QStringView(text).sliced(i, 1).toUtf8();
            }
        }
    }
    if (quote || (!out.isEmpty() && (out.front() == ' ' || out.back() == ' '))) {
        out.prepend('"');
        out.append('"');
    }
    return out;
}

QByteArray withValue(QByteArrayView content, const QString &section, const QString &key, const QString &value)
{
    const Parsed parsed = parse(content);
    const QString full = section + u'/' + key;
    const QByteArray escaped = escapeValue(value);

    // The last occurrence is the one that counts: it is replaced in place.
    for (auto it = parsed.entries.rbegin(); it != parsed.entries.rend(); ++it) {
        if (it->key == full) {
            QByteArray out = content.first(it->valueBegin).toByteArray();
            out += escaped;
            out += content.sliced(it->valueEnd);
            return out;
        }
    }

    // A last value still open would take in whatever follows it: end it
    // first. The line break ends even a value continued by a backslash.
    const auto endCleanly = [&](QByteArray &out) {
        if (parsed.openValue) {
            if (parsed.openEscape)
                out += ' ';
            if (parsed.openQuote)
                out += '"';
            out += '\n';
        } else if (!out.isEmpty() && !isLineBreak(out.back())) {
            out += '\n';
        }
    };
    const QByteArray line = encodeName(key) + '=' + escaped + '\n';
    for (auto it = parsed.sections.rbegin(); it != parsed.sections.rend(); ++it) {
        if (it->name == section) {
            QByteArray out = content.first(it->end).toByteArray();
            if (it->end == content.size())
                endCleanly(out);
            else if (!out.isEmpty() && !isLineBreak(out.back()))
                out += '\n';
            out += line;
            out += content.sliced(it->end);
            return out;
        }
    }

    QByteArray out = content.toByteArray();
    endCleanly(out);
    if (!out.isEmpty())
        out += '\n';
    out += '[' + encodeName(section) + "]\n" + line;
    return out;
}

} // namespace

std::optional<QString> IniValue(QByteArrayView content, const QString &section, const QString &key)
{
    const Parsed parsed = parse(content);
    const QString full = section + u'/' + key;
    for (auto it = parsed.entries.rbegin(); it != parsed.entries.rend(); ++it) {
        if (it->key == full)
            return textOfValue(content.sliced(it->valueBegin, it->valueEnd - it->valueBegin));
    }
    return std::nullopt;
}

std::optional<QByteArray> IniWithValue(QByteArrayView content, const QString &section, const QString &key,
                                       const QString &value)
{
    QByteArray out = withValue(content, section, key, value);
    if (IniValue(out, section, key) != value)
        return std::nullopt;
    return out;
}

} // namespace platform
