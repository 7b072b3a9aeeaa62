#include "compare/folderscan.h"

#include "compare/folderpiece.h"

#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

void call(const std::function<void()> &hook)
{
    if (hook)
        hook();
}

unsigned char folded(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? u + ('a' - 'A') : u;
}

// The path of a folder given relative to root with its trailing separator.
std::string folderPath(const std::string &root, std::string_view relative)
{
    if (!relative.empty() && relative.back() == platform::kSeparator)
        relative.remove_suffix(1);
    return relative.empty() ? root : platform::JoinPath(root, relative);
}

} // namespace

void ScanProblems::add(const std::string &fullPath, int error)
{
    ++count;
    if (first.size() < kNamed)
        first.push_back(fullPath + ": " + platform::ErrorText(error));
}

bool NameBefore(std::string_view a, std::string_view b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = folded(a[i]), y = folded(b[i]);
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b; // as unsigned bytes
}

bool WalkBefore(std::string_view a, std::string_view b)
{
    // Paths next to each other in a list share most of their bytes: compared
    // eight at a time up to the first that differs.
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y)
            break;
    }
    while (i < n && a[i] == b[i])
        ++i;
    if (i == a.size() && i == b.size())
        return false;
    // In the first component that differs, a file (the last component) comes
    // before a folder, else the names decide.
    const std::size_t endA = a.find(platform::kSeparator, i), endB = b.find(platform::kSeparator, i);
    const bool fileA = endA == std::string_view::npos, fileB = endB == std::string_view::npos;
    if (fileA != fileB)
        return fileA;
    // The two components agree before i, so the rest of each decides.
    return NameBefore(a.substr(i, endA - i), b.substr(i, endB - i));
}

bool PathBefore(std::string_view a, std::string_view b)
{
    const auto differs = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    const std::size_t at = std::size_t(differs.first - a.begin());
    if (at == a.size() && at == b.size())
        return false;
    // The component holding the first difference, with the separator that
    // follows a folder's name.
    const std::size_t before = at == 0 ? std::string_view::npos : a.rfind(platform::kSeparator, at - 1);
    const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
    const auto component = [start](std::string_view path) {
        const std::size_t end = path.find(platform::kSeparator, start);
        return path.substr(start, end == std::string_view::npos ? std::string_view::npos : end + 1 - start);
    };
    const std::string_view x = component(a), y = component(b);
    const auto rank = [](char c) { return c == platform::kSeparator ? 0 : int(folded(c)); };
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int p = rank(x[i]), q = rank(y[i]);
        if (p != q)
            return p < q;
    }
    if (x.size() != y.size())
        return x.size() < y.size();
    return x < y; // as unsigned bytes
}

namespace {

// The first eight bytes of a name with ASCII letters folded, as a number
// that orders as NameBefore does wherever two names differ in them (a name
// ends in zeros, which no name holds).
std::uint64_t foldedPrefix(std::string_view name)
{
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8; ++i)
        key = key << 8 | (i < name.size() ? folded(name[i]) : 0u);
    return key;
}

void sortNames(std::vector<std::string> &names)
{
    std::sort(names.begin(), names.end(), NameBefore);
}

} // namespace

void ReadStatuses(const platform::OpenFolder &folder, const platform::FolderListing &listing, std::size_t first,
                  std::size_t last, std::vector<EntryStatus> &statuses, bool together)
{
    if (together) {
        listing.readRange(folder, first, last, statuses.data());
        return;
    }
    for (std::size_t i = first; i < last; ++i) {
        EntryStatus &entry = statuses[i];
        entry.kind = listing.read(folder, i, entry.status, entry.error);
    }
}

void MakePiece(const platform::FolderListing &listing, const std::vector<EntryStatus> &statuses,
               const std::string &relative, const std::string &root, FolderPiece &piece, RowNames &room)
{
    using Kind = platform::FolderListing::Kind;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> files;
    std::vector<std::uint32_t> unreadable;
    std::size_t bytes = 0;
    piece.subfolders = listing.subfolders;
    for (std::uint32_t i = 0; i < listing.size(); ++i) {
        switch (statuses[i].kind) {
        case Kind::File:
            files.emplace_back(foldedPrefix(listing.name(i)), i);
            bytes += RowNames::storedSize(relative.size() + listing.name(i).size());
            break;
        case Kind::Folder: piece.subfolders.emplace_back(listing.name(i)); break;
        case Kind::Unreadable: unreadable.push_back(i); break;
        case Kind::Other: break;
        }
    }
    // Most names differ in their first eight bytes: one comparison of numbers.
    std::sort(files.begin(), files.end(), [&listing](const auto &a, const auto &b) {
        return a.first != b.first ? a.first < b.first : NameBefore(listing.name(a.second), listing.name(b.second));
    });
    piece.rows.reserve(files.size());
    piece.rows.names().reserveFrom(room, bytes);
    for (const auto &file : files) {
        const platform::FileStatus &status = statuses[file.second].status;
        ResultRow fields;
        fields.size = status.size;
        fields.modified = status.modified;
        fields.modifiedNanos = status.nanoseconds;
        piece.rows.add(relative, listing.name(file.second), fields);
    }
    sortNames(piece.subfolders);
    std::vector<std::string> temporaries = listing.temporaries;
    sortNames(temporaries);
    for (const std::string &name : temporaries)
        piece.leftovers.push_back(relative + name);
    std::sort(unreadable.begin(), unreadable.end(),
              [&listing](std::uint32_t a, std::uint32_t b) { return NameBefore(listing.name(a), listing.name(b)); });
    for (const std::uint32_t i : unreadable)
        piece.problems.add(platform::JoinPath(root, relative + std::string(listing.name(i))), statuses[i].error);
}

void PrepareListing(platform::FolderListing &listing, const ScanChoices *choices, platform::HiddenMarks marks)
{
    listing.withHidden = choices && choices->withHidden;
    listing.marks = marks;
}

platform::HiddenMarks MarksToHeed(const platform::OpenFolder &root, const ScanChoices *choices)
{
    return choices && choices->withHidden ? platform::HiddenMarks::None : platform::HiddenMarksOf(root);
}

void LeaveOutOf(platform::FolderListing &listing, const platform::OpenFolder &folder, const std::string &relative,
                const ScanChoices *choices, LeftOut &leftOut)
{
    leftOut.hidden += listing.hidden;
    for (const std::string &name : listing.marked)
        leftOut.marked.push_back(relative + name);
    if (!choices || choices->leaveOut.empty())
        return;
    const LeaveOut &patterns = choices->leaveOut;
    leftOut.byPattern += listing.leaveOut(folder, [&patterns, &relative](std::string_view name, bool isFolder) {
        return patterns.leaves(relative, name, isFolder);
    });
}

void NoteUnlisted(ScanProblems &problems, const std::string &root, const std::string &relative, int error)
{
    problems.add(folderPath(root, relative), error);
}

void NoteUnopened(ScanProblems &problems, const std::string &root, const std::string &relative, int error)
{
    if (error != ENOENT && error != ENOTDIR && error != ELOOP)
        problems.add(folderPath(root, relative), error);
}

namespace {

void appendFindings(ScanFindings &to, ScanProblems &&problems, std::vector<std::string> &&leftovers,
                    const LeftOut &leftOut)
{
    to.leftOut += leftOut;
    to.problems.count += problems.count;
    for (std::string &text : problems.first)
        if (to.problems.first.size() < ScanProblems::kNamed)
            to.problems.first.push_back(std::move(text));
    for (std::string &name : leftovers)
        to.leftovers.push_back(std::move(name));
}

} // namespace

void AppendPiece(Segment &segment, FolderPiece &&piece)
{
    segment.rows.append(std::move(piece.rows));
    appendFindings(segment.findings, std::move(piece.problems), std::move(piece.leftovers), piece.leftOut);
}

void Deliver(Segment &&segment, ResultRows &rows, ScanFindings &findings)
{
    rows.append(std::move(segment.rows));
    appendFindings(findings, std::move(segment.findings.problems), std::move(segment.findings.leftovers),
                   segment.findings.leftOut);
    findings.rootId = segment.findings.rootId;
    findings.timeResolution = segment.findings.timeResolution;
}

namespace {

// One folder listed and read, on this thread.
void readFolder(const platform::OpenFolder &folder, const std::string &relative, const std::string &root,
                const platform::ReaderIds &reader, FolderPiece &piece, RowNames &room, const ScanChoices *choices,
                platform::HiddenMarks marks)
{
    platform::FolderListing listing;
    listing.reader = reader;
    PrepareListing(listing, choices, marks);
    int error = 0;
    if (!platform::ListFolder(folder, listing, &error)) {
        NoteUnlisted(piece.problems, root, relative, error);
        return;
    }
    LeaveOutOf(listing, folder, relative, choices, piece.leftOut);
    std::vector<EntryStatus> statuses(listing.size());
    ReadStatuses(folder, listing, 0, listing.size(), statuses, false);
    MakePiece(listing, statuses, relative, root, piece, room);
}

struct Frame
{
    platform::OpenFolder folder;
    std::string relative;
    std::vector<std::string> subfolders;
    std::size_t next = 0;
};

// A whole tree from its root, depth first, each folder opened relative to
// its parent without following links; perFolder runs before each folder is
// opened.
void walkTree(Segment &segment, const std::string &rootText, const std::function<void()> &perFolder,
              const ScanChoices *choices)
{
    const std::string root = platform::TrimTrailingSeparators(rootText);
    call(perFolder);
    int error = 0;
    platform::OpenFolder top = platform::OpenFolder::open(root, &error);
    if (!top.isOpen()) {
        segment.findings.problems.add(root, error);
        return;
    }
    segment.findings.rootId = top.identity();
    segment.findings.timeResolution = platform::TimeResolution(top);
    const platform::HiddenMarks marks = MarksToHeed(top, choices);
    // Only folders with subfolders still to visit stay open: a long chain of
    // single subfolders holds one descriptor, not one per level.
    std::vector<Frame> stack;
    RowNames room;
    const platform::ReaderIds reader = platform::ReaderIds::current();
    const auto visit = [&](platform::OpenFolder folder, std::string relative) {
        FolderPiece piece;
        readFolder(folder, relative, root, reader, piece, room, choices, marks);
        std::vector<std::string> subfolders = std::move(piece.subfolders);
        AppendPiece(segment, std::move(piece));
        if (!subfolders.empty())
            stack.push_back({std::move(folder), std::move(relative), std::move(subfolders), 0});
    };
    visit(std::move(top), std::string());
    while (!stack.empty()) {
        Frame &frame = stack.back();
        const std::string &name = frame.subfolders[frame.next++];
        std::string path = frame.relative + name + platform::kSeparator;
        call(perFolder);
        platform::OpenFolder child = frame.folder.child(name, &error);
        if (frame.next == frame.subfolders.size())
            stack.pop_back();
        if (child.isOpen())
            visit(std::move(child), std::move(path));
        else
            NoteUnopened(segment.findings.problems, root, path, error);
    }
}

} // namespace

void FillResultList(ResultRows &rows, const std::string &rootText, const ScanHooks &hooks, ScanFindings *findings,
                    const ScanOptions *options)
{
    if (rootText.empty())
        return;
    if (hooks.showLoading)
        hooks.showLoading(true);
    Segment segment;
    walkTree(
        segment, rootText,
        [&hooks] {
            call(hooks.setWaitPointer);
            call(hooks.yield);
        },
        options ? options->choices : nullptr);
    ScanFindings unused;
    Deliver(std::move(segment), rows, findings ? *findings : unused);
    if (hooks.showLoading)
        hooks.showLoading(false);
}
