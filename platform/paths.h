#pragma once

#include <string>
#include <string_view>

// Paths in the engine are native byte strings; only what a person sees is
// converted to QString. Every folder of the program reaches the file system's
// notion of "folder" and "file" through these functions.
namespace platform {

// The separator of paths: the program runs on POSIX systems only.
inline constexpr char kSeparator = '/';

// True when the path names an existing folder (links followed). Any failure,
// an empty text included, is false. A relative text resolves against the
// current folder.
bool IsFolder(const std::string &path);

// True when the file system can report the path's status. A text that ends in
// the separator counts as absent.
bool FileExists(const std::string &path);

// The folder that holds the running program, without a final separator.
std::string ProgramFolder();

// The folder of the pointer files "HAND-M.CUR" and "dragfolder.cur": the
// program folder when either lies there (as in the build), else the data
// folder they are installed to, when it exists, else the program folder.
std::string PointerFolder();

// root followed by one separator: "/" stays "/", "data" becomes "data/".
std::string WithSeparator(std::string_view root);

// The folder text with every trailing separator removed; the file-system root
// stays the root.
std::string TrimTrailingSeparators(std::string_view text);

// Joins a root and a relative name with exactly one separator between them.
std::string JoinPath(std::string_view root, std::string_view relative);

// The user's home folder: HOME where it is an absolute path, else the
// password database's (a service may run without HOME); empty when neither.
std::string HomeFolder();

// Where the program keeps what it must remember between runs, outside
// every tree it compares: $XDG_STATE_HOME/corvanel, by default
// ~/.local/state/corvanel. Empty when there is no home folder.
std::string StateFolder();
// Makes the folders of path as "mkdir -p" does, each for the user alone.
bool MakePrivateFolders(const std::string &path);

} // namespace platform
