#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace platform {

// Moves the bytes of one file into a temporary: by the kernel where it can,
// else through a buffer, keeping the source's holes when it has any. Never
// more than the size the copy began with.
class DataCopy
{
public:
    using BytesCopied = std::function<void(std::int64_t)>;

    // buffer is lent for copies the kernel cannot make; onBytes hears of
    // progress a few times per large file.
    DataCopy(int from, int to, std::vector<char> &buffer, const BytesCopied &onBytes);

    // False with errno set; writeSide() then tells whether writing failed.
    bool run(const struct stat &st);
    // Whether the source yields data past size, where a file that held
    // still has none. False with errno set when that cannot be read.
    bool moreBeyond(off_t size, bool *more);

    bool writeSide() const { return m_writeSide; }
    std::int64_t copied() const { return m_copied; }

private:
    bool sparse(off_t data, off_t size);
    // Copies [offset, end), or less where the file ends sooner.
    bool range(off_t offset, off_t end);

    int m_from;
    int m_to;
    std::vector<char> &m_buffer;
    const BytesCopied &m_onBytes;
    bool m_kernelCopy = true;
    bool m_writeBehind = false;
    bool m_writeSide = false;
    std::int64_t m_copied = 0;
};

// Whether the source, read again from its file system rather than from
// what this machine keeps of it, still holds the size bytes the copy holds:
// where a share's attributes may be stale, its sizes and times cannot tell
// a source rewritten during its copy. False with errno 0 when they differ,
// else with errno set when either cannot be read.
bool ReadsAsCopied(int from, int copy, std::int64_t size, std::vector<char> &buffer);

} // namespace platform
