#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What a scan leaves out on purpose: patterns of the kind version control
// ignore files hold, one a line.
//   name       any entry of that name, at any depth (a folder whole)
//   name/      only folders of that name
//   /name      only at the top of the tree
//   a/b        a path from the top ("/" inside anchors the pattern)
//   *  ?  [a-z]  within one name; "**" as a whole part spans folders
//   !pattern   keeps what an earlier pattern left out (not inside a folder
//              that is itself left out: that is never opened)
// Blank lines and lines starting with "#" are ignored. Names match byte for
// byte, case included. A folder left out is never opened, so nothing in it
// is listed, compared, copied, deleted or counted as unreadable.
class LeaveOut
{
public:
    // One pattern line; false (and nothing added) for a blank or comment line.
    bool add(std::string_view line);
    // Each line of text, as add takes them.
    void addLines(std::string_view text);
    bool empty() const { return m_rules.empty(); }
    // The patterns as given, in order.
    const std::vector<std::string> &patterns() const { return m_patterns; }
    // Whether the entry name of the folder relative (the path from the top
    // with a trailing separator; empty for the top itself) is left out.
    // Matches name bytes in place: nothing is allocated for a name-only
    // pattern, and a path pattern reuses one buffer per thread.
    bool leaves(std::string_view relative, std::string_view name, bool folder) const;

private:
    enum class Kind : unsigned char { Exact, Suffix, Glob };
    struct Rule
    {
        std::string glob; // what is left once the marks are taken off
        std::string literal; // Exact: the name; Suffix: what follows "*"
        Kind kind = Kind::Glob;
        bool anchored = false; // matched against the path from the top
        bool folderOnly = false; // written with a trailing "/"
        bool keep = false; // written with a leading "!"
    };
    static bool matchesName(const Rule &rule, std::string_view name);
    std::vector<Rule> m_rules;
    std::vector<std::string> m_patterns;
};

// Whether names starting with "." are compared (they are left out unless a
// pair or a run asks for them), and the patterns; one set for both sides.
struct ScanChoices
{
    LeaveOut leaveOut;
    bool withHidden = false;
};

// What a side's scan left out: hidden entries and entries a pattern matched,
// each counted once where it was found (a folder as one; nothing inside it
// is looked at).
struct LeftOut
{
    std::size_t hidden = 0;
    std::size_t byPattern = 0;
    // The paths (from the top) of what the volume's marks hid: the other side
    // may show them, and they are not gone from this one.
    std::vector<std::string> marked;

    std::size_t total() const { return hidden + byPattern; }
    LeftOut &operator+=(const LeftOut &other)
    {
        hidden += other.hidden;
        byPattern += other.byPattern;
        marked.insert(marked.end(), other.marked.begin(), other.marked.end());
        return *this;
    }
};

// For a person: "3 hidden and 12 by patterns left out" in a few words, or
// "nothing left out".
std::string LeftOutText(const LeftOut &leftOut);

// Both sides in one sentence for the end of a comparison or a sync; empty
// when nothing was left out.
std::string LeftOutSentence(const LeftOut &left, const LeftOut &right);

// A pair's choices remembered in the settings file: "LeaveOut" holds the
// patterns one a line, "Hidden" "1" when hidden entries are compared.
ScanChoices PairChoices(const std::string &left, const std::string &right);
bool SavePairPatterns(const std::string &left, const std::string &right, const std::vector<std::string> &patterns);
bool SavePairHidden(const std::string &left, const std::string &right, bool withHidden);
// Adds one pattern to the pair's own, unless it is there already.
bool AddPairPattern(const std::string &left, const std::string &right, const std::string &pattern);
