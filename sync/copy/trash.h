#pragma once

#include "platform/fd.h"
#include "sync/copy/copyfailure.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

// The desktop's Trash (the freedesktop.org layout), where a sync keeps the
// files it replaces: "files/" holds them, "info/" a NAME.trashinfo each with
// the original path and the time, so that a file manager lists them and its
// Restore puts them back.
namespace platform {

struct TrashFolder
{
    std::string path;   // the trash itself, for people: ~/.local/share/Trash, /media/stick/.Trash-1000
    std::string topdir; // the top folder of its file system, or empty for the home trash
    Fd files;
    Fd info;
};

// The trash of each file system a run replaces files on, found once.
class Trashes
{
public:
    // The trash for files in the folder at absoluteFolder (no links in it)
    // on device: the home trash on its own file system, else the top
    // folder's .Trash/UID (where .Trash is a sticky folder, not a link) or
    // .Trash-UID, made where missing. A top folder's trash is used only
    // where it is the runner's own and closed to others (a user's folder
    // would let them read or swap what root replaced). Null, with error
    // naming the trash it tried, where none can take files: a link, another
    // user's, open to others, no permission, read-only. Without HOME the
    // home folder is the password database's.
    const TrashFolder *forFolder(const std::string &absoluteFolder, std::uint64_t device, CopyError *error);

private:
    std::map<std::uint64_t, std::unique_ptr<TrashFolder>> m_found;
    std::map<std::uint64_t, CopyError> m_failed;
};

// Writes info/NAME.trashinfo for the file at absolutePath under a name that
// neither info/ nor files/ holds yet (the file's own name, then "name.2",
// ...); *name gets NAME. flush makes it durable where asked.
bool WriteTrashInfo(const TrashFolder &trash, const std::string &absolutePath, bool flush, std::string *name,
                    CopyError *error);

// Takes an entry away again: a replacement that did not happen.
void RemoveTrashEntry(const TrashFolder &trash, const std::string &name, bool alsoFile);

// "Path=" text: bytes other than letters, digits, "-._~/" as %XX.
std::string PercentEncodedPath(const std::string &path);

} // namespace platform
