#include "compare/leaveout.h"

#include "platform/paths.h"
#include "platform/settings.h"

#include <QString>
#include <QStringList>

#include <algorithm>

namespace {

constexpr char kSep = platform::kSeparator;

// A bracket class at pattern[p] ("[" included) against c; p moves past it.
// An unclosed "[" is an ordinary character.
bool matchClass(std::string_view pattern, std::size_t &p, char c)
{
    std::size_t i = p + 1;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    i += negated;
    bool found = false;
    for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
        char low = pattern[i];
        if (low == '\\' && i + 1 < pattern.size())
            low = pattern[++i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            i += 2;
        }
        found = found
            || (static_cast<unsigned char>(c) >= static_cast<unsigned char>(low)
                && static_cast<unsigned char>(c) <= static_cast<unsigned char>(high));
        ++i;
    }
    if (i >= pattern.size()) { // no closing bracket
        ++p;
        return c == '[';
    }
    p = i + 1;
    return found != negated;
}

// One name against a pattern without separators: "*" any run, "?" one
// byte, "[...]" a class, "\" escapes. Backtracks only to the last "*", so
// a name is read a bounded number of times whatever the pattern.
bool matchPart(std::string_view pattern, std::string_view name)
{
    std::size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starN = n;
            continue;
        }
        if (p < pattern.size()) {
            std::size_t next = p;
            bool ok;
            if (pattern[p] == '[') {
                ok = matchClass(pattern, next, name[n]);
            } else if (pattern[p] == '?') {
                ok = true;
                ++next;
            } else {
                if (pattern[p] == '\\' && p + 1 < pattern.size())
                    ++next;
                ok = pattern[next] == name[n];
                ++next;
            }
            if (ok) {
                p = next;
                ++n;
                continue;
            }
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::string_view firstPart(std::string_view path)
{
    return path.substr(0, path.find(kSep));
}

std::string_view afterFirstPart(std::string_view path)
{
    const std::size_t at = path.find(kSep);
    return at == std::string_view::npos ? std::string_view() : path.substr(at + 1);
}

// A path against a pattern of parts, where a part "**" spans any number of
// folders (none included). As matchPart does with "*", it backtracks only to
// the last "**": parts are compared a bounded number of times, however many
// "**" a pattern holds.
bool matchPath(std::string_view pattern, std::string_view path)
{
    std::string_view afterStar, starPath;
    bool starred = false;
    while (!path.empty()) {
        if (!pattern.empty() && firstPart(pattern) == "**") {
            pattern = afterStar = afterFirstPart(pattern);
            starPath = path;
            starred = true;
            continue;
        }
        if (!pattern.empty() && matchPart(firstPart(pattern), firstPart(path))) {
            pattern = afterFirstPart(pattern);
            path = afterFirstPart(path);
            continue;
        }
        if (!starred)
            return false;
        starPath = afterFirstPart(starPath); // the "**" takes one more folder
        path = starPath;
        pattern = afterStar;
    }
    while (firstPart(pattern) == "**" && !pattern.empty())
        pattern = afterFirstPart(pattern);
    return pattern.empty();
}

bool hasWildcards(std::string_view text)
{
    return text.find_first_of("*?[\\") != std::string_view::npos;
}

QString toQ(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

bool LeaveOut::add(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    if (line.empty() || line.front() == '#')
        return false;
    const std::string given(line);
    Rule rule;
    if (line.front() == '!') {
        rule.keep = true;
        line.remove_prefix(1);
    } else if (line.size() > 1 && line.front() == '\\' && (line[1] == '!' || line[1] == '#')) {
        line.remove_prefix(1);
    }
    while (!line.empty() && line.back() == kSep) {
        rule.folderOnly = true;
        line.remove_suffix(1);
    }
    rule.anchored = line.find(kSep) != std::string_view::npos;
    while (!line.empty() && line.front() == kSep)
        line.remove_prefix(1);
    if (line.empty())
        return false; // "/" or "!" alone names nothing
    rule.glob = std::string(line);
    // "a/**" is what lies inside a, not a itself.
    if (rule.glob.size() > 3 && rule.glob.compare(rule.glob.size() - 3, 3, "/**") == 0)
        rule.glob += "/*";
    if (!rule.anchored && !hasWildcards(line)) {
        rule.kind = Kind::Exact;
        rule.literal = rule.glob;
    } else if (!rule.anchored && line.size() > 1 && line.front() == '*' && !hasWildcards(line.substr(1))) {
        rule.kind = Kind::Suffix;
        rule.literal = std::string(line.substr(1));
    }
    m_rules.push_back(std::move(rule));
    m_patterns.push_back(given);
    return true;
}

void LeaveOut::addLines(std::string_view text)
{
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        add(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
}

bool LeaveOut::matchesName(const Rule &rule, std::string_view name)
{
    switch (rule.kind) {
    case Kind::Exact:
        return name == rule.literal;
    case Kind::Suffix:
        return name.size() >= rule.literal.size()
            && name.compare(name.size() - rule.literal.size(), rule.literal.size(), rule.literal) == 0;
    case Kind::Glob:
        break;
    }
    return matchPart(rule.glob, name);
}

bool LeaveOut::leaves(std::string_view relative, std::string_view name, bool folder) const
{
    thread_local std::string path;
    bool pathMade = false;
    // The last pattern that matches decides; without "!" any match does.
    for (auto rule = m_rules.rbegin(); rule != m_rules.rend(); ++rule) {
        if (rule->folderOnly && !folder)
            continue;
        bool matched;
        if (rule->anchored) {
            if (!pathMade) {
                path.assign(relative);
                path.append(name);
                pathMade = true;
            }
            matched = matchPath(rule->glob, path);
        } else {
            matched = matchesName(*rule, name);
        }
        if (matched)
            return !rule->keep;
    }
    return false;
}

std::string LeftOutText(const LeftOut &leftOut)
{
    if (leftOut.total() == 0)
        return "nothing left out";
    std::string text;
    if (leftOut.hidden > 0)
        text = std::to_string(leftOut.hidden) + " hidden";
    if (leftOut.byPattern > 0)
        text += (text.empty() ? "" : " and ") + std::to_string(leftOut.byPattern) + " by patterns";
    return text + " left out";
}

std::string LeftOutSentence(const LeftOut &left, const LeftOut &right)
{
    if (left.total() == 0 && right.total() == 0)
        return {};
    return "Not compared: on the left " + LeftOutText(left) + ", on the right " + LeftOutText(right)
        + " (a folder counts as one item).";
}

ScanChoices PairChoices(const std::string &left, const std::string &right)
{
    ScanChoices choices;
    const QString l = toQ(left), r = toQ(right);
    choices.leaveOut.addLines(platform::ReadPairSetting(l, r, "LeaveOut").toStdString());
    choices.withHidden = platform::ReadPairSetting(l, r, "Hidden") == "1";
    return choices;
}

bool SavePairPatterns(const std::string &left, const std::string &right, const std::vector<std::string> &patterns)
{
    QStringList lines;
    for (const std::string &pattern : patterns)
        lines << toQ(pattern);
    return platform::WritePairSetting(toQ(left), toQ(right), "LeaveOut", lines.join('\n'));
}

bool SavePairHidden(const std::string &left, const std::string &right, bool withHidden)
{
    return platform::WritePairSetting(toQ(left), toQ(right), "Hidden", withHidden ? "1" : "0");
}

bool AddPairPattern(const std::string &left, const std::string &right, const std::string &pattern)
{
    std::vector<std::string> patterns = PairChoices(left, right).leaveOut.patterns();
    if (std::find(patterns.begin(), patterns.end(), pattern) != patterns.end())
        return true;
    patterns.push_back(pattern);
    return SavePairPatterns(left, right, patterns);
}
