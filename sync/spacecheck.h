#pragma once

#include "sync/syncoperations.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Whether each destination of a run has room for it, told before any copy:
// found out file by file, a full stick fails thousands of copies in turn.

// One file system the run copies to that has too little free space.
struct SpaceShortage
{
    std::string root; // a destination root on that file system
    std::int64_t needed = 0; // bytes the run would take there
    std::int64_t available = 0; // bytes free for this user
};

// For each file system the plan copies to (a folder mounted below a root
// is a file system of its own): every source's size rounded up
// to the file system's allocation unit, one unit for each folder a copy
// creates and for each note a replacement leaves in the Trash (the replaced
// file itself stays there, on the same file system, so replacing frees
// nothing), less what replacing without keeping frees. The file systems
// where that exceeds the free space, in the order of their roots; empty
// when everything fits or a destination cannot tell its size.
std::vector<SpaceShortage> FindSpaceShortages(const SyncPlan &plan, bool keepReplaced);

// The file system a copy of `name` below `root` lands on: that of the
// nearest folder above it that exists (`existing`, `missing` folders
// below it still to be created). False when not even the root exists.
bool DestinationDevice(const std::string &root, const std::string &name, dev_t &device, std::string *existing = nullptr,
                       int *missing = nullptr);

// "There is not enough free space on /media/stick for these file
// operations: they need about 635 MB, and 480 MB is free." One line per
// file system; paths are native bytes.
std::string SpaceShortageText(const std::vector<SpaceShortage> &shortages,
                              const std::function<std::string(std::string_view)> &show = {});
