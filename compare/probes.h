#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The size and time probes for one file, by full path. Each touches nothing
// but that file and never shows anything.

struct ProbeError
{
    int number = 0;
    std::string source;
    std::string description;
};

// The size in bytes (64-bit); nothing, with the error filled in, when the file
// is missing or may not be read.
std::optional<std::int64_t> FileSize(const std::string &path, ProbeError *error = nullptr);

// The local last-modified text; empty when the file is not found.
std::string LastModified(const std::string &path);
