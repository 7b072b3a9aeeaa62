#pragma once

#include "compare/comparefolders.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Reading both files of a pair to tell whether they are the same: asked for,
// never part of a Compare, since it reads everything the pairs hold.

struct ContentProgress
{
    std::size_t filesDone = 0;
    std::size_t filesTotal = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::string currentFile; // the relative name of the pair being read
};

struct ContentOptions
{
    // Only the pairs whose relative name this accepts; every pair when empty.
    std::function<bool(std::string_view name)> chosen;
    // Pairs known to hold the same bytes without reading them (unchanged
    // since a sync made them so): taken as the same.
    std::function<bool(const ResultRow &left, const ResultRow &right)> knownSame;
    // Called on the calling thread as files and bytes are read; false stops
    // the reading, and what was found so far holds.
    std::function<bool(const ContentProgress &)> progress;
    // Bytes read from one side at a time.
    std::size_t chunk = std::size_t(8) << 20;
};

struct ContentFindings
{
    static constexpr std::size_t kNamed = 5;
    std::size_t read = 0; // pairs read to the end or to their first difference
    std::size_t different = 0; // of those, the pairs whose contents differ
    std::size_t failed = 0; // pairs that could not be read; they stay unverified
    std::vector<std::string> firstFailed; // "name: reason", the first kNamed
    bool cancelled = false;
};

// Reads the pairs of equal size whose times differ (after the sides'
// shifts) and whose contents are not yet known, byte for byte, and sets
// each row's contents (a pair the memory of the last sync knows to have
// held the same bytes, both sides' sizes and times as they were then, is
// taken as the same unread); then matches the rows again, so that pairs whose
// contents differ are ordered by time and get their operations as pairs of
// different sizes do, and those found the same are no longer unverified.
// Where both roots lie on one device the two files are read in turns of
// options.chunk bytes, so that the disk reads long runs; on two devices
// both are read at once.
ContentFindings CompareContents(Comparison &comparison, PendingOperationList &operations,
                                const ContentOptions &options = {});

// For a person: how many pairs were found to differ, and what could not be
// read. Empty when every pair read was the same.
std::string ContentFindingsText(const ContentFindings &findings,
                                const std::function<std::string(std::string_view)> &show = {});
