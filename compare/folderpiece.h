#pragma once

#include "compare/folderscan.h"
#include "platform/filesystem.h"

#include <cstddef>
#include <string>
#include <vector>

// What the two walks of the scan share: one folder listed and read becomes
// a piece of its list, and pieces are put together in walk order.

using platform::EntryStatus;

// Reads the status of entries first to last (not included) of listing:
// all at once when together, else one by one, each waited for before the
// next is asked (how long each takes tells a disk or a network apart).
void ReadStatuses(const platform::OpenFolder &folder, const platform::FolderListing &listing, std::size_t first,
                  std::size_t last, std::vector<EntryStatus> &statuses, bool together);

// One folder's part of its list: its files, subfolders and leftover
// temporaries in NameBefore order, and its entries that could not be read
// in name order too, so that the first few named do not depend on the order
// the file system lists them in.
struct FolderPiece
{
    ResultRows rows; // named relative + file name
    std::vector<std::string> subfolders;
    ScanProblems problems;
    std::vector<std::string> leftovers; // relative + name
    LeftOut leftOut;
};

// Asks listing for hidden entries where choices want them, else to pass
// over those the volume marks too; before listing.
void PrepareListing(platform::FolderListing &listing, const ScanChoices *choices, platform::HiddenMarks marks);

// The marks a tree's listings are to heed, judged once from its root.
platform::HiddenMarks MarksToHeed(const platform::OpenFolder &root, const ScanChoices *choices);

// Takes out of a listed folder what choices leave out, before anything in
// it is read or opened, and counts it with the hidden entries passed over.
void LeaveOutOf(platform::FolderListing &listing, const platform::OpenFolder &folder, const std::string &relative,
                const ScanChoices *choices, LeftOut &leftOut);

// The piece of the folder relative (with its trailing separator; empty for
// the root) below root, from its listing and the status of every entry. The
// rows' names take their room from room's blocks.
void MakePiece(const platform::FolderListing &listing, const std::vector<EntryStatus> &statuses,
               const std::string &relative, const std::string &root, FolderPiece &piece, RowNames &room);

// A folder that could not be listed: nothing of it counts, and it is named.
void NoteUnlisted(ScanProblems &problems, const std::string &root, const std::string &relative, int error);

// A subfolder that could not be opened. Gone since its parent was read, or
// swapped for a link that is not followed: nothing there to compare.
// Anything else is named.
void NoteUnopened(ScanProblems &problems, const std::string &root, const std::string &relative, int error);

// Rows and findings of a tree, in walk order.
struct Segment
{
    ResultRows rows;
    ScanFindings findings;
};

// The piece after what segment holds; its subfolders stay in it.
void AppendPiece(Segment &segment, FolderPiece &&piece);

// A whole tree's segment after the caller's rows and findings.
void Deliver(Segment &&segment, ResultRows &rows, ScanFindings &findings);
