#pragma once

#include "compare/resultrow.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Orders and name tests over a result list's rows, for lists of a million
// rows: an order is a vector of 32-bit row numbers into the rows, never a
// copy of them.

// The rows' numbers in ascending order of one column of the list (the
// ResultListModel::Column numbers); rows equal in that column keep their walk
// order.
// - Filename: the shown path in PathBefore order (compare/folderscan.h): ASCII
//   letter case aside, the separator before every other character.
// - Status: no status, "Newer", "Older", "Not found", "OK": the differences
//   come first, as the legend lists them.
// - Size: by number, sizes that could not be read first.
// - Last Modified: by instant, to the nanosecond; times that could not be
//   read first.
// Any other column gives the walk order.
std::vector<std::uint32_t> AscendingRows(const ResultRows &rows, int column);

// What a typed text asks of a row's name: ASCII letters match either case,
// other letters as Unicode case folding has them. Names are native bytes; a
// name that is not valid UTF-8 is tested as it is shown.
class NameMatcher
{
public:
    explicit NameMatcher(const QString &text);

    bool isEmpty() const { return m_text.isEmpty(); }
    bool contains(std::string_view name) const;
    bool startsWith(std::string_view name) const;

private:
    QString m_text;
    // The text's bytes with A-Z taken as a-z, when the text is all ASCII:
    // then names are tested as bytes, without decoding a million of them.
    std::string m_ascii;
    bool m_isAscii = false;
};
