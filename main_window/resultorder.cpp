#include "main_window/resultorder.h"

#include "compare/folderscan.h"
#include "main_window/resultlistmodel.h"
#include "platform/desktop/ui.h"
#include "platform/paths.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <tuple>

namespace {

unsigned char folded(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Whether a file's name comes before a subfolder's of the same folder in
// PathBefore order: the subfolder's name counts with the separator after it.
bool fileBeforeFolder(std::string_view file, std::string_view folder)
{
    const std::size_t n = std::min(file.size(), folder.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = folded(static_cast<unsigned char>(file[i]));
        const unsigned char y = folded(static_cast<unsigned char>(folder[i]));
        if (x != y)
            return x < y;
    }
    // A file named as the folder, or as a leading part of its name, ends
    // where the folder's name goes on or has its separator.
    return file.size() <= folder.size();
}

// Rows in walk order already hold each folder's files in name order,
// followed by its subfolders' rows, whole and in name order. The name order
// only interleaves the two: one pass builds the folders, a second merges.
// False, with order untouched, when the rows are not in walk order.
bool byNameFromWalkOrder(const ResultRows &rows, std::vector<std::uint32_t> &order)
{
    struct Folder
    {
        std::string_view name; // its own component, within a row's name
        std::uint32_t firstFile = 0, endFile = 0;
        std::vector<std::uint32_t> children;
    };
    std::vector<Folder> folders(1);
    // The open folders from the root down, each with its path (separator
    // included) as the row that opened it has it.
    std::vector<std::pair<std::uint32_t, std::string_view>> open{{0, {}}};
    for (std::uint32_t i = 0; i < rows.size(); ++i) {
        const std::string_view name = rows[i].name();
        const std::size_t last = name.rfind(platform::kSeparator);
        const std::size_t folderEnd = last == std::string_view::npos ? 0 : last + 1;
        // Close the folders this row is not in.
        while (open.size() > 1
               && !(open.back().second.size() <= folderEnd && name.substr(0, open.back().second.size()) == open.back().second))
            open.pop_back();
        // Open the ones it is in below them.
        for (std::size_t from = open.back().second.size(); from < folderEnd;) {
            const std::size_t end = name.find(platform::kSeparator, from);
            const std::string_view component = name.substr(from, end - from);
            Folder &parent = folders[open.back().first];
            if (!parent.children.empty() && !NameBefore(folders[parent.children.back()].name, component))
                return false;
            parent.children.push_back(std::uint32_t(folders.size()));
            folders.push_back({component, 0, 0, {}});
            open.push_back({std::uint32_t(folders.size() - 1), name.substr(0, end + 1)});
            from = end + 1;
        }
        Folder &folder = folders[open.back().first];
        const std::string_view file = name.substr(folderEnd);
        if (folder.firstFile == folder.endFile) {
            if (!folder.children.empty() || file.empty())
                return false;
            folder.firstFile = folder.endFile = i;
        } else if (folder.endFile != i || !folder.children.empty()
                   || !NameBefore(rows[i - 1].name().substr(folderEnd), file)) {
            return false;
        }
        folder.endFile = i + 1;
    }

    order.clear();
    order.reserve(rows.size());
    struct Step
    {
        std::uint32_t folder, file, child;
    };
    std::vector<Step> stack{{0, folders[0].firstFile, 0}};
    while (!stack.empty()) {
        Step &step = stack.back();
        const Folder &folder = folders[step.folder];
        const bool files = step.file < folder.endFile;
        const bool children = step.child < folder.children.size();
        if (!files && !children) {
            stack.pop_back();
            continue;
        }
        if (files) {
            const std::string_view path = rows[step.file].name();
            const std::size_t last = path.rfind(platform::kSeparator);
            const std::string_view file = last == std::string_view::npos ? path : path.substr(last + 1);
            if (!children || fileBeforeFolder(file, folders[folder.children[step.child]].name)) {
                order.push_back(step.file++);
                continue;
            }
        }
        const std::uint32_t child = folder.children[step.child++];
        stack.push_back({child, folders[child].firstFile, 0});
    }
    return true;
}

std::vector<std::uint32_t> byName(const ResultRows &rows)
{
    std::vector<std::uint32_t> order;
    if (byNameFromWalkOrder(rows, order))
        return order;
    order.resize(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&rows](std::uint32_t a, std::uint32_t b) { return PathBefore(rows[a].name(), rows[b].name()); });
    return order;
}

// Status numbers run from no status to "OK" in the order wanted: counted
// out, which keeps the walk order within each.
std::vector<std::uint32_t> byStatus(const ResultRows &rows)
{
    std::array<std::size_t, 257> start{};
    for (const ResultRow &row : rows)
        ++start[std::size_t(row.status) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<std::uint32_t> order(rows.size());
    for (std::uint32_t i = 0; i < rows.size(); ++i)
        order[start[std::size_t(rows[i].status)]++] = i;
    return order;
}

// Sorts the row numbers themselves, looking the keys up: slower than sorting
// a copy of the keys, but a million rows need no 16 MB beside the order.
template<typename KeyOf>
std::vector<std::uint32_t> byNumber(const ResultRows &rows, KeyOf keyOf)
{
    std::vector<std::uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::tuple(keyOf(rows[a]), a) < std::tuple(keyOf(rows[b]), b);
    });
    return order;
}

} // namespace

std::vector<std::uint32_t> AscendingRows(const ResultRows &rows, int column)
{
    switch (column) {
    case ResultListModel::FilenameColumn:
        return byName(rows);
    case ResultListModel::StatusColumn:
        return byStatus(rows);
    case ResultListModel::SizeColumn:
        return byNumber(rows, [](const ResultRow &row) { return std::pair(row.size, std::uint32_t(0)); });
    case ResultListModel::ModifiedColumn:
        return byNumber(rows, [](const ResultRow &row) { return std::pair(row.modified, row.modifiedNanos); });
    }
    std::vector<std::uint32_t> walk(rows.size());
    std::iota(walk.begin(), walk.end(), 0u);
    return walk;
}

NameMatcher::NameMatcher(const QString &text)
    : m_text(text)
{
    m_isAscii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (m_isAscii) {
        m_ascii = text.toStdString();
        for (char &c : m_ascii)
            c = char(folded(static_cast<unsigned char>(c)));
    }
}

bool NameMatcher::startsWith(std::string_view name) const
{
    if (!m_isAscii)
        return platform::DisplayText(std::string(name)).startsWith(m_text, Qt::CaseInsensitive);
    if (name.size() < m_ascii.size())
        return false;
    for (std::size_t i = 0; i < m_ascii.size(); ++i) {
        if (folded(static_cast<unsigned char>(name[i])) != static_cast<unsigned char>(m_ascii[i]))
            return false;
    }
    return true;
}

bool NameMatcher::contains(std::string_view name) const
{
    if (!m_isAscii)
        return platform::DisplayText(std::string(name)).contains(m_text, Qt::CaseInsensitive);
    return std::search(name.begin(), name.end(), m_ascii.begin(), m_ascii.end(), [](char a, char b) {
               return folded(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
           })
        != name.end();
}
