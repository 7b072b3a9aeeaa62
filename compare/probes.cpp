#include "compare/probes.h"

#include "platform/datetime.h"
#include "platform/filesystem.h"

#include <cerrno>

std::optional<std::int64_t> FileSize(const std::string &path, ProbeError *error)
{
    errno = 0;
    const auto status = platform::StatFile(path);
    if (status && status->size >= 0)
        return status->size;
    if (error)
        *error = ProbeError{errno ? errno : EACCES, "FileSize2", "Error opening file handle."};
    return std::nullopt;
}

std::string LastModified(const std::string &path)
{
    const auto status = platform::StatFile(path);
    if (!status || status->modified == platform::kNoTime)
        return std::string();
    return platform::LocalTimeText(status->modified);
}
