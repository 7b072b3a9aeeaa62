#include "sync/copy/private/datacopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
// One kernel copy call at a time, so progress can be reported during a large file.
constexpr std::size_t kChunk = 8 << 20;

bool isWriteSideError(int code)
{
    return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS;
}

} // namespace

DataCopy::DataCopy(int from, int to, std::vector<char> &buffer, const BytesCopied &onBytes)
    : m_from(from), m_to(to), m_buffer(buffer), m_onBytes(onBytes)
{
}

// False with errno set; writeSide() then tells whether writing failed.
bool DataCopy::run(const struct stat &st)
{
    m_copied = 0;
    m_writeBehind = st.st_size > std::int64_t(kChunk);
    // As "cp --sparse=auto" does: only a file with fewer blocks than its
    // size has holes worth looking for.
    if (st.st_size > 0 && std::int64_t(st.st_blocks) * 512 < std::int64_t(st.st_size)) {
        const off_t first = ::lseek(m_from, 0, SEEK_DATA);
        if (first >= 0 || errno == ENXIO)
            return sparse(first < 0 ? st.st_size : first, st.st_size);
    }
    // Never more than the size the copy began with: a file that lists
    // as empty yet reads without end (/proc/self/pagemap) would fill
    // the disk. What lies beyond is for moreBeyond() to tell.
    return range(0, st.st_size);
}

// Whether the source yields data past size, where a file that held
// still has none. False with errno set when that cannot be read.
bool DataCopy::moreBeyond(off_t size, bool *more)
{
    // Some kernel files answer only reads of whole 8-byte entries.
    char probe[64];
    ssize_t n;
    while ((n = ::pread(m_from, probe, sizeof probe, size)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        return false;
    *more = n > 0;
    return true;
}

bool DataCopy::sparse(off_t data, off_t size)
{
    while (data < size) {
        off_t hole = ::lseek(m_from, data, SEEK_HOLE);
        if (hole < 0 || hole > size)
            hole = size;
        if (!range(data, hole))
            return false;
        data = ::lseek(m_from, hole, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO)
                return false;
            break;
        }
    }
    if (::ftruncate(m_to, size) != 0) {
        m_writeSide = true;
        return false;
    }
    return true;
}

// Copies [offset, end), or less where the file ends sooner.
bool DataCopy::range(off_t offset, off_t end)
{
    while (offset < end) {
        const std::size_t want = std::size_t(std::min<off_t>(end - offset, kChunk));
        ssize_t n;
        if (m_kernelCopy) {
            loff_t in = offset, out = offset;
            n = ::copy_file_range(m_from, &in, m_to, &out, want, 0);
            if (n < 0 && m_copied == 0
                && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM
                    || errno == ETXTBSY)) {
                m_kernelCopy = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                m_writeSide = isWriteSideError(errno);
                return false;
            }
        } else {
            if (m_buffer.empty())
                m_buffer.resize(kBufferSize);
            n = ::pread(m_from, m_buffer.data(), std::min(want, m_buffer.size()), offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            for (ssize_t written = 0; written < n;) {
                const ssize_t w = ::pwrite(m_to, m_buffer.data() + written, n - written, offset + written);
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0) {
                    m_writeSide = true;
                    return false;
                }
                written += w;
            }
        }
        if (n == 0)
            break;
        // A large file's pages start their way to the disk while the
        // copy goes on, so the flush at the end has little left to wait for.
        if (m_writeBehind)
            ::sync_file_range(m_to, offset, n, SYNC_FILE_RANGE_WRITE);
        offset += n;
        m_copied += n;
        if (m_onBytes)
            m_onBytes(n);
    }
    return true;
}

bool ReadsAsCopied(int from, int copy, std::int64_t size, std::vector<char> &buffer)
{
    // What the page cache holds of the source is dropped first: it is what
    // the copy was made from.
    ::posix_fadvise(from, 0, 0, POSIX_FADV_DONTNEED);
    buffer.resize(std::max(buffer.size(), kBufferSize));
    std::vector<char> copied(kBufferSize);
    for (std::int64_t at = 0; at <= size;) {
        // One byte past the end: the source must end where the copy does.
        const std::size_t want = std::size_t(std::min<std::int64_t>(kBufferSize, size - at + 1));
        ssize_t n;
        while ((n = ::pread(from, buffer.data(), want, off_t(at))) < 0 && errno == EINTR) {}
        if (n < 0)
            return false;
        if (n == 0) {
            errno = 0;
            return at == size;
        }
        const std::size_t inCopy = std::size_t(std::min<std::int64_t>(n, size - at));
        ssize_t m = 0;
        while (inCopy > 0 && (m = ::pread(copy, copied.data(), inCopy, off_t(at))) < 0 && errno == EINTR) {}
        if (m < 0)
            return false;
        errno = 0;
        if (std::size_t(n) != inCopy || std::size_t(m) != inCopy
            || std::memcmp(buffer.data(), copied.data(), inCopy) != 0)
            return false;
        at += n;
    }
    return true;
}

} // namespace platform
