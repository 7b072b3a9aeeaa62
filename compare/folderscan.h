#pragma once

#include "compare/resultrow.h"

#include <functional>
#include <string>
#include <vector>

// What a scan needs of the window. Any hook may be empty.
struct ScanHooks
{
    std::function<void()> yield;                         // let window events run; once per folder
    std::function<void(const std::string &)> setCaption; // the window caption
    std::function<void()> setWaitPointer;                // the wait pointer, once per folder
};

inline const char kProductName[] = "Corvanel";
inline const char kLoadingSuffix[] = " [Loading files, please wait...]";

// Scans the tree below root into rows appended to rows: the root's files
// first, then each subfolder's in depth-first pre-order, each folder's files
// in the file system's enumeration order. Hidden files and folders, and
// anything that is not a regular file, produce no rows; a folder that cannot
// be read contributes nothing. An empty root does nothing.
void FillResultList(std::vector<ResultRow> &rows, const std::string &root, const ScanHooks &hooks = {});

// Lists one folder: a row for each of its regular, visible files, named
// relative + file name, is appended to rows, and the names of its visible
// subfolders to subfolders, both in enumeration order. False when the folder
// cannot be listed (nothing is appended then).
bool ListFiles(const std::string &folder, const std::string &relative, std::vector<ResultRow> &rows,
               std::vector<std::string> &subfolders);

// Walks root and every folder below it, depth first, each folder before its
// own subfolders and siblings in enumeration order, yielding once per folder.
// list is given each folder's full path and its path relative to root (ending
// with the separator; empty for root itself) and appends the names of the
// folder's subfolders, which the walk then visits. Links to folders are never
// among them, so the walk neither loops nor leaves root.
using FolderLister = std::function<void(const std::string &full, const std::string &relative,
                                        std::vector<std::string> &subfolders)>;
void ListSubfolders(const std::string &root, const FolderLister &list, const ScanHooks &hooks = {});
