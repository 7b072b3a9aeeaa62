#pragma once

#include "compare/leaveout.h"
#include "compare/resultrow.h"
#include "platform/filesystem.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// What a scan needs of the window. Any hook may be empty. Hooks are called
// on the thread that started the scan, never on a worker.
struct ScanHooks
{
    std::function<void()> yield;                         // let window events run; once per folder
    std::function<void(bool loading)> showLoading;       // files are being loaded (true), or no longer
    std::function<void()> setWaitPointer;                // the wait pointer, once per folder
};

// What a scan could not read: folders or files that were skipped.
struct ScanProblems
{
    static constexpr std::size_t kNamed = 5;
    std::size_t count = 0;
    std::vector<std::string> first; // the first kNamed, as full paths, each with its reason

    void add(const std::string &fullPath, int error);
};

// What a scan finds besides its rows.
struct ScanFindings
{
    platform::FolderIdentity rootId; // the folder the root led to when opened
    ScanProblems problems;
    // Hidden temporaries of the safe copy, relative to the root (native
    // separators), in walk order. They are never rows.
    std::vector<std::string> leftovers;
    // The step in which the root's file system keeps times, in nanoseconds.
    std::int64_t timeResolution = 1;
    // Entries hidden or matched by a pattern, passed over unread.
    LeftOut leftOut{};
};

// The order of names within a folder: byte by byte with ASCII A-Z taken as
// a-z and every other byte as it is; names equal that way go by their exact
// bytes. True when a comes first.
bool NameBefore(std::string_view a, std::string_view b);

// The order a scan lists rows in, over paths relative to the root joined by
// the native separator: a folder's files, in NameBefore order, come before
// its subfolders, and each subfolder's rows come whole, in NameBefore order
// of the subfolders. A strict total order. True when a comes first.
bool WalkBefore(std::string_view a, std::string_view b);

// The order of whole paths when a list is sorted by name: in the first
// component where they differ, a folder's name is taken with the separator
// after it, and the two go byte by byte with ASCII A-Z taken as a-z and the
// separator before every other byte; equal that way, by their exact bytes.
// So the files and subfolders of a folder are interleaved by name ("a.txt",
// "a/...", "a-b.txt", "b/..."), and each folder's rows stay together.
// True when a comes first.
bool PathBefore(std::string_view a, std::string_view b);

// How many walkers a scan keeps at most, each with one request to the file
// system at a time: a slow share never has more than that many waiting. What
// it leaves out: hidden entries unless choices ask for them, and what their
// patterns match; without choices, hidden entries alone. The choices must
// outlive the call (walkers left behind keep a copy).
struct ScanOptions
{
    static constexpr std::size_t kDefaultWalkers = 32;
    std::size_t walkers = kDefaultWalkers;
    const ScanChoices *choices = nullptr;
};

// Scans the tree below root into rows appended to rows, on this thread: the
// root's files first, then each subfolder's in depth-first pre-order; files
// and subfolders of a folder in NameBefore order. Hidden files and folders,
// and anything that is not a regular file, produce no rows; options may ask
// for hidden ones, and leave out more. A folder or
// entry that cannot be read is skipped and noted in findings. An empty root
// does nothing. Sets the loading caption around the walk and yields once per
// folder. The order FillResultLists is held to.
void FillResultList(ResultRows &rows, const std::string &root, const ScanHooks &hooks = {},
                    ScanFindings *findings = nullptr, const ScanOptions *options = nullptr);

// Both trees at once, with the same rows and findings as FillResultList
// gives each. Walkers on threads of their own take folders of either tree as
// they come, deepest first, open each from its open parent and read the
// status of a folder's entries, several walkers to a large or slow folder;
// each tree's rows are put together in walk order as its folders are done.
// Fewer walkers run when the process may open few files. The calling thread
// runs the hooks: the captions as two scans one after the other show them,
// and the wait pointer and a yield for every folder the walkers begin. A
// hook that throws abandons the scan at once; the walkers stop by themselves
// soon after and never touch rows or findings again.
void FillResultLists(ResultRows &leftRows, ScanFindings &leftFindings, const std::string &leftRoot,
                     ResultRows &rightRows, ScanFindings &rightFindings, const std::string &rightRoot,
                     const ScanHooks &hooks = {}, const ScanOptions &options = {});
