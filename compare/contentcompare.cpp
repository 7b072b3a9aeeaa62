#include "compare/contentcompare.h"

#include "compare/syncmemory.h"
#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Candidate
{
    ResultRow *left;
    ResultRow *right;
};

// Reads up to size bytes, fewer only at the end of the file; -1 with errno.
ssize_t readFully(int fd, char *buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += std::size_t(got);
    }
    return ssize_t(done);
}

// A second thread that reads one side's chunk while the caller reads the
// other's: two devices serve both at once.
class SideReader
{
public:
    SideReader() : m_thread([this] { run(); }) {}
    ~SideReader()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    void start(int fd, char *buffer, std::size_t size)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_fd = fd;
            m_buffer = buffer;
            m_size = size;
            m_pending = true;
        }
        m_wake.notify_all();
    }

    // The bytes read, or -1 with the error in error.
    ssize_t wait(int &error)
    {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [this] { return !m_pending; });
        error = m_error;
        return m_got;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_pending || m_stop; });
            if (m_stop)
                return;
            lock.unlock();
            const ssize_t got = readFully(m_fd, m_buffer, m_size);
            const int error = errno;
            lock.lock();
            m_got = got;
            m_error = got < 0 ? error : 0;
            m_pending = false;
            m_wake.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_fd = -1;
    char *m_buffer = nullptr;
    std::size_t m_size = 0;
    ssize_t m_got = 0;
    int m_error = 0;
    bool m_pending = false;
    bool m_stop = false;
    std::thread m_thread;
};

class FileHandle
{
public:
    explicit FileHandle(const std::string &path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) {}
    ~FileHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

constexpr std::size_t kPiece = std::size_t(256) << 10;

struct Reading
{
    Reading(const Comparison &c, const ContentOptions &o) : comparison(c), options(o) {}

    const Comparison &comparison;
    const ContentOptions &options;
    ContentProgress progress;
    ContentFindings findings;
    // Each turn's bytes are read and compared in pieces that stay in the
    // processor's cache; the disk is asked for the whole turn at once.
    std::size_t piece = std::min(options.chunk, kPiece);
    std::unique_ptr<char[]> leftBuffer{new char[piece]};
    std::unique_ptr<char[]> rightBuffer{new char[piece]};
    std::unique_ptr<SideReader> helper; // on two devices only

    bool stopped = false;

    bool report()
    {
        stopped = stopped || (options.progress && !options.progress(progress));
        return !stopped;
    }

    void fail(std::string_view name, const std::string &reason)
    {
        if (findings.firstFailed.size() < ContentFindings::kNamed)
            findings.firstFailed.push_back(std::string(name) + ": " + reason);
        ++findings.failed;
    }

    // Both chunks: at once through the helper, or one after the other.
    bool readBoth(int leftFd, int rightFd, std::size_t size, ssize_t &leftGot, ssize_t &rightGot, int &error)
    {
        if (helper)
            helper->start(rightFd, rightBuffer.get(), size);
        leftGot = readFully(leftFd, leftBuffer.get(), size);
        error = leftGot < 0 ? errno : 0;
        int rightError = 0;
        rightGot = helper ? helper->wait(rightError) : readFully(rightFd, rightBuffer.get(), size);
        if (!helper && rightGot < 0)
            rightError = errno;
        error = error ? error : rightError;
        return leftGot >= 0 && rightGot >= 0;
    }

    // This turn's chunks and the next turn's of both files asked of the
    // disk at once, each a long run, so that it always has the next piece
    // to read while this one is compared.
    void askAhead(int leftFd, int rightFd, std::int64_t offset, std::size_t size) const
    {
        const std::int64_t from = offset == 0 ? 0 : offset + std::int64_t(size);
        const std::int64_t length = offset == 0 ? 2 * std::int64_t(size) : std::int64_t(options.chunk);
        for (const int fd : {leftFd, rightFd})
            ::posix_fadvise(fd, from, length, POSIX_FADV_WILLNEED);
    }

    // One turn of both files, piece by piece: Same, Different, or Unknown
    // when it could not be read.
    Contents compareTurn(int leftFd, int rightFd, std::size_t turn, std::string_view name)
    {
        for (std::size_t done = 0; done < turn;) {
            const std::size_t size = std::min(turn - done, piece);
            ssize_t leftGot = 0, rightGot = 0;
            int error = 0;
            if (!readBoth(leftFd, rightFd, size, leftGot, rightGot, error)) {
                fail(name, std::strerror(error));
                return Contents::Unknown;
            }
            if (leftGot != ssize_t(size) || rightGot != ssize_t(size)) {
                fail(name, "changed since the comparison");
                return Contents::Unknown;
            }
            progress.bytesDone += 2 * size;
            done += size;
            if (std::memcmp(leftBuffer.get(), rightBuffer.get(), size) != 0)
                return Contents::Different;
        }
        return Contents::Same;
    }

    // Same, Different, or Unknown when the pair could not be read or the
    // reading was stopped.
    Contents compare(const ResultRow &left, const ResultRow &right)
    {
        const FileHandle leftFile(platform::JoinPath(comparison.leftRoot, left.name()));
        const FileHandle rightFile(platform::JoinPath(comparison.rightRoot, right.name()));
        if (leftFile.fd() < 0 || rightFile.fd() < 0) {
            fail(left.name(), std::strerror(errno));
            return Contents::Unknown;
        }
        struct stat leftStatus, rightStatus;
        if (::fstat(leftFile.fd(), &leftStatus) != 0 || ::fstat(rightFile.fd(), &rightStatus) != 0
            || !S_ISREG(leftStatus.st_mode) || !S_ISREG(rightStatus.st_mode) || leftStatus.st_size != left.size
            || rightStatus.st_size != right.size) {
            fail(left.name(), "changed since the comparison");
            return Contents::Unknown;
        }
        ::posix_fadvise(leftFile.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
        ::posix_fadvise(rightFile.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
        for (std::int64_t done = 0; done < left.size;) {
            const std::size_t turn = std::size_t(std::min<std::int64_t>(left.size - done, std::int64_t(options.chunk)));
            askAhead(leftFile.fd(), rightFile.fd(), done, turn);
            const Contents found = compareTurn(leftFile.fd(), rightFile.fd(), turn, left.name());
            if (found != Contents::Same)
                return found;
            done += std::int64_t(turn);
            if (done < left.size && !report())
                return Contents::Unknown;
        }
        return Contents::Same;
    }
};

bool asRemembered(const ResultRow &row, const RememberedSide &side)
{
    return row.size == side.size && row.modified == side.modified && row.modifiedNanos == side.nanos;
}

// The memory of the pair's last sync, read at the first pair that needs it:
// a comparison with no pair to read never reads it.
class LastSync
{
public:
    explicit LastSync(const Comparison &comparison) : m_comparison(comparison) {}

    // Whether the last sync left the pair holding the same bytes and neither
    // side has been touched since, to the nanosecond.
    bool sameSince(const ResultRow &left, const ResultRow &right)
    {
        if (!m_read) {
            m_read = true;
            MemoryRead read = ReadSyncMemory(m_comparison.leftRoot, m_comparison.rightRoot);
            if (read.trusted)
                m_memory = std::move(read.memory);
        }
        const std::size_t i = m_memory.size() > 0 ? m_memory.find(left.name()) : 0;
        return i < m_memory.size() && m_memory.sameContents(i) && asRemembered(left, m_memory.left(i))
            && asRemembered(right, m_memory.right(i));
    }

private:
    const Comparison &m_comparison;
    SyncMemory m_memory;
    bool m_read = false;
};

// The pairs to read, in left order, and their bytes on both sides.
std::vector<Candidate> candidates(Comparison &comparison, const ContentOptions &options, ContentProgress &progress)
{
    std::vector<Candidate> found;
    LastSync lastSync(comparison);
    ForEachPair(comparison, [&](ResultRow &left, ResultRow &right) {
        if (left.size != right.size || left.size < 0 || left.contents != Contents::Unknown
            || !PairTimesDiffer(comparison, left, right) || (options.chosen && !options.chosen(left.name())))
            return;
        if ((options.knownSame && options.knownSame(left, right)) || lastSync.sameSince(left, right)) {
            left.contents = right.contents = Contents::Same;
            return;
        }
        found.push_back({&left, &right});
        progress.bytesTotal += 2 * std::uint64_t(left.size);
    });
    progress.filesTotal = found.size();
    return found;
}

} // namespace

ContentFindings CompareContents(Comparison &comparison, PendingOperationList &operations, const ContentOptions &options)
{
    Reading reading(comparison, options);
    const std::vector<Candidate> pairs = candidates(comparison, options, reading.progress);
    if (!pairs.empty() && comparison.leftRootId.device != comparison.rightRootId.device)
        reading.helper = std::make_unique<SideReader>();
    const std::uint64_t bytesTotal = reading.progress.bytesTotal;
    std::uint64_t bytesBefore = 0;
    for (const Candidate &pair : pairs) {
        reading.progress.currentFile = pair.left->name();
        if (!reading.report())
            break;
        const Contents contents = reading.compare(*pair.left, *pair.right);
        bytesBefore += 2 * std::uint64_t(pair.left->size);
        // A pair that differs early counts all its bytes as done.
        reading.progress.bytesDone = std::min(bytesBefore, bytesTotal);
        ++reading.progress.filesDone;
        pair.left->contents = pair.right->contents = contents;
        reading.findings.read += contents != Contents::Unknown;
        reading.findings.different += contents == Contents::Different;
    }
    if (!reading.stopped)
        reading.report();
    reading.findings.cancelled = reading.stopped;
    Rematch(comparison, operations);
    return reading.findings;
}

std::string ContentFindingsText(const ContentFindings &findings,
                                const std::function<std::string(std::string_view)> &show)
{
    std::string text;
    if (findings.different > 0)
        text = findings.different == 1
            ? std::string("1 file has the same size as its match but other contents.")
            : std::to_string(findings.different) + " files have the same size as their match but other contents.";
    if (findings.failed > 0) {
        text += text.empty() ? "" : "\n";
        text += findings.failed == 1
            ? std::string("The contents of 1 pair of files could not be compared:")
            : "The contents of " + std::to_string(findings.failed) + " pairs of files could not be compared:";
        AppendFirstAndMore(text, findings.firstFailed, findings.failed, show);
    }
    return text;
}
