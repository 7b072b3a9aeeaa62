#pragma once

#include "platform/fd.h"

#include <mutex>
#include <string>
#include <vector>

// A record, kept outside the trees a run syncs, of the temporaries the run
// is about to make, written before each is made. A run killed before its
// temporary carried its mark (extended attributes missing on a share, or
// no time left to write it) leaves them named here, so that a later run
// knows them for the program's own and removes them, and never a user's
// file that merely looks like one. One file per run below the user's state
// folder ($XDG_STATE_HOME or ~/.local/state, "corvanel/temporaries"),
// locked while its run lives and removed when it ends.
namespace platform {

class TemporaryRecord
{
public:
    TemporaryRecord() = default;
    ~TemporaryRecord();
    TemporaryRecord(const TemporaryRecord &) = delete;
    TemporaryRecord &operator=(const TemporaryRecord &) = delete;

    // Notes that the temporary name is about to be made in the folder at the
    // absolute path folder. Nothing is kept where the record cannot be written.
    void add(const std::string &folder, const std::string &name);
    // A temporary could not be removed: the record outlives the run.
    void keep();

    // Removes the temporaries named in the records of runs that no longer
    // live, where each still is a file no one holds; a record whose folders
    // cannot be reached now stays for a later run (a month at most).
    // notes gets a line for each one that could not be removed.
    static void clearEnded(std::vector<std::string> *notes);

private:
    std::mutex m_mutex;
    bool m_opened = false;
    bool m_kept = false;
    Fd m_fd;
    std::string m_path;
};

} // namespace platform
