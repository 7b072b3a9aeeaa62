#pragma once

#include "platform/filesystem.h"

#include <cstdint>
#include <string>

// One row of a result list: a file found by the scan, named by its path
// relative to the scanned root (native bytes, subfolders joined by the native
// separator). The size and time are kept as numbers and shown as texts; the
// status and icon are set by the comparison.
enum class Status : std::uint8_t { None, Newer, Older, NotFound, OK };

// Icon numbers: positions in the status image list, counted from 1.
enum Icon : std::uint8_t { NoIcon = 0, NewerIcon = 1, OlderIcon = 2, NotFoundIcon = 4 };

struct ResultRow
{
    std::string name;
    std::int64_t size = -1;                    // -1: the size could not be read
    std::int64_t modified = platform::kNoTime; // whole seconds since 1970 UTC
    Status status = Status::None;
    std::uint8_t icon = NoIcon;
    bool checked = true;
    std::uint32_t modifiedNanos = 0; // within that second; fills what would be padding
};

// "Newer", "Older", "Not found", "OK" or empty.
const char *StatusText(Status status);

// "1234 bytes", or empty when the size could not be read.
std::string SizeText(const ResultRow &row);

// The local last-modified text, or empty when the time could not be read.
std::string ModifiedText(const ResultRow &row);

// The same two texts appended to out, for reports of millions of rows.
void AppendSizeText(std::string &out, const ResultRow &row);
void AppendModifiedText(std::string &out, const ResultRow &row);
