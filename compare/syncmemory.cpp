#include "compare/syncmemory.h"

#include "compare/folderscan.h" // WalkBefore

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <tuple>
#include <utility>

namespace {

// The first line of every memory; the number is the format's. Format 1
// lacks the mark of pairs known to hold the same bytes: it still reads,
// as knowing none.
constexpr char kMagic[] = "corvanel sync memory ";
constexpr int kFormat = 2;
constexpr int kOldestFormat = 1;
// Far beyond a memory of ten million files; a larger file is no memory of ours.
constexpr qint64 kMostBytes = qint64(2) << 30;

void putNumber(QByteArray &out, std::uint64_t value)
{
    while (value >= 0x80) {
        out.append(char(value | 0x80));
        value >>= 7;
    }
    out.append(char(value));
}

// Signed numbers with small magnitudes in few bytes.
void putSigned(QByteArray &out, std::int64_t value)
{
    putNumber(out, (std::uint64_t(value) << 1) ^ std::uint64_t(value >> 63));
}

void putText(QByteArray &out, std::string_view text)
{
    putNumber(out, text.size());
    out.append(text.data(), qsizetype(text.size()));
}

void putSide(QByteArray &out, const RememberedSide &side, const RememberedSide *like)
{
    putSigned(out, side.size - (like ? like->size : 0));
    putSigned(out, side.modified - (like ? like->modified : 0));
    putNumber(out, side.nanos);
    putNumber(out, side.inode);
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_at(bytes.constData()), m_end(m_at + bytes.size()) {}
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_at == m_end; }

    std::uint64_t number()
    {
        std::uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_at == m_end)
                break;
            const auto byte = static_cast<unsigned char>(*m_at++);
            value |= std::uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        m_ok = false;
        return 0;
    }
    std::int64_t signedNumber()
    {
        const std::uint64_t raw = number();
        return std::int64_t(raw >> 1) ^ -std::int64_t(raw & 1);
    }
    std::string_view text()
    {
        const std::uint64_t length = number();
        if (!m_ok || length > std::uint64_t(m_end - m_at)) {
            m_ok = false;
            return {};
        }
        const std::string_view out(m_at, length);
        m_at += length;
        return out;
    }
    RememberedSide side(const RememberedSide *like)
    {
        RememberedSide side;
        side.size = signedNumber() + (like ? like->size : 0);
        side.modified = signedNumber() + (like ? like->modified : 0);
        const std::uint64_t nanos = number();
        m_ok = m_ok && nanos < 1000000000;
        side.nanos = std::uint32_t(nanos);
        side.inode = number();
        return side;
    }

private:
    const char *m_at;
    const char *m_end;
    bool m_ok = true;
};

void putMark(QByteArray &out, const platform::VolumeMark &mark)
{
    putText(out, mark.volume);
    putText(out, mark.within);
    putText(out, mark.type);
    putNumber(out, mark.lastingInodes);
}

platform::VolumeMark readMark(Reader &in)
{
    platform::VolumeMark mark;
    mark.volume = in.text();
    mark.within = in.text();
    mark.type = in.text();
    mark.lastingInodes = in.number() != 0;
    return mark;
}

bool sameVolume(const platform::VolumeMark &a, const platform::VolumeMark &b)
{
    return a.volume == b.volume && a.within == b.within;
}

// The files of a memory, front-coded: each name as the bytes it shares
// with the one before (times two, plus one where the sides held the same
// bytes: no byte of its own) and the rest; the right side as a difference
// from the left, which it mostly equals.
QByteArray encoded(const SyncMemory &memory)
{
    QByteArray out;
    putMark(out, memory.leftVolume);
    putMark(out, memory.rightVolume);
    putNumber(out, memory.size());
    std::string_view previous;
    for (std::size_t i = 0; i < memory.size(); ++i) {
        const std::string_view name = memory.name(i);
        std::size_t shared = 0;
        while (shared < name.size() && shared < previous.size() && name[shared] == previous[shared])
            ++shared;
        putNumber(out, (std::uint64_t(shared) << 1) | (memory.sameContents(i) ? 1 : 0));
        putText(out, name.substr(shared));
        putSide(out, memory.left(i), nullptr);
        putSide(out, memory.right(i), &memory.left(i));
        previous = name;
    }
    return out;
}

bool decoded(const QByteArray &bytes, int format, SyncMemory &memory)
{
    Reader in(bytes);
    memory.leftVolume = readMark(in);
    memory.rightVolume = readMark(in);
    const std::uint64_t count = in.number();
    if (!in.ok() || count > std::uint64_t(bytes.size()))
        return false;
    memory.reserve(count, std::size_t(bytes.size()));
    std::string name, previous;
    for (std::uint64_t i = 0; i < count && in.ok(); ++i) {
        std::uint64_t shared = in.number();
        bool same = false;
        if (format >= 2) {
            same = (shared & 1) != 0;
            shared >>= 1;
        }
        if (shared > previous.size())
            return false;
        name.assign(previous, 0, shared);
        name += in.text();
        const RememberedSide left = in.side(nullptr);
        const RememberedSide right = in.side(&left);
        // Out of walk order, the matching would pair the wrong files.
        if (name.empty() || (i > 0 && !WalkBefore(previous, name)))
            return false;
        memory.add(name, left, right, same);
        previous.swap(name);
    }
    return in.ok() && in.atEnd();
}

bool readWhole(const std::string &file, QByteArray &bytes, int &error)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    error = fd < 0 ? errno : 0;
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < kMostBytes;
    if (ok) {
        bytes.resize(qsizetype(st.st_size));
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, std::size_t(bytes.size() - got));
            if (n <= 0)
                break;
            got += n;
        }
        ok = got == bytes.size();
    }
    ::close(fd);
    return ok;
}

std::string digestOf(std::initializer_list<const std::string *> parts)
{
    QByteArray both;
    for (const std::string *part : parts)
        putText(both, *part);
    return QCryptographicHash::hash(both, QCryptographicHash::Sha256).toHex().left(32).toStdString();
}

// Where the volumes these very paths were on at their last sync are noted.
std::string whereFile(const std::string &leftRoot, const std::string &rightRoot)
{
    const std::string state = platform::StateFolder();
    return state.empty() ? state : state + "/memory/where-" + digestOf({&leftRoot, &rightRoot});
}

// Whether each root's volume differs from the one noted at the last sync
// of these paths.
std::pair<bool, bool> movedSince(const std::string &leftRoot, const std::string &rightRoot,
                                 const platform::VolumeMark &left, const platform::VolumeMark &right)
{
    QByteArray bytes;
    int error = 0;
    if (!readWhole(whereFile(leftRoot, rightRoot), bytes, error))
        return {false, false};
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 2)
        return {false, false};
    return {lines[0].toStdString() != left.volume, lines[1].toStdString() != right.volume};
}

bool writeWhole(const std::string &file, const QByteArray &bytes, std::string *error);

} // namespace

void SyncMemory::add(std::string_view name, const RememberedSide &left, const RememberedSide &right, bool sameContents)
{
    m_names.append(name);
    m_starts.push_back(m_names.size());
    m_left.push_back(left);
    m_right.push_back(right);
    m_same.push_back(sameContents);
}

std::size_t SyncMemory::find(std::string_view name) const
{
    std::size_t low = 0, high = size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (WalkBefore(this->name(middle), name))
            low = middle + 1;
        else
            high = middle;
    }
    return low < size() && this->name(low) == name ? low : size();
}

void SyncMemory::reserve(std::size_t files, std::size_t nameBytes)
{
    m_names.reserve(nameBytes);
    m_starts.reserve(files + 1);
    m_left.reserve(files);
    m_right.reserve(files);
    m_same.reserve(files);
}

void SyncMemory::clear()
{
    m_names.clear();
    m_starts.assign(1, 0);
    m_left.clear();
    m_right.clear();
    m_same.clear();
}

std::string SyncMemoryFile(const platform::VolumeMark &left, const platform::VolumeMark &right)
{
    const std::string state = platform::StateFolder();
    if (state.empty() || !left.known() || !right.known())
        return {};
    return state + "/memory/" + digestOf({&left.volume, &left.within, &right.volume, &right.within});
}

MemoryRead ReadSyncMemory(const std::string &leftRoot, const std::string &rightRoot)
{
    MemoryRead read;
    const platform::VolumeMark left = platform::VolumeOf(leftRoot), right = platform::VolumeOf(rightRoot);
    read.file = SyncMemoryFile(left, right);
    read.memory.leftVolume = left;
    read.memory.rightVolume = right;
    read.leftRoot = leftRoot;
    read.rightRoot = rightRoot;
    std::tie(read.leftMoved, read.rightMoved) = movedSince(leftRoot, rightRoot, left, right);
    if (read.file.empty())
        return read;
    QByteArray bytes;
    int error = 0;
    if (!readWhole(read.file, bytes, error)) {
        if (error != ENOENT)
            read.distrust = "it could not be read";
        return read;
    }
    const qsizetype lineEnd = bytes.indexOf('\n');
    const QByteArray first = bytes.left(lineEnd);
    const std::size_t magic = std::strlen(kMagic);
    if (lineEnd < 0 || !first.startsWith(kMagic)) {
        read.distrust = "it is damaged";
        return read;
    }
    bool number = false;
    const int format = first.mid(qsizetype(magic)).toInt(&number);
    if (!number || format < kOldestFormat || format > kFormat) {
        read.distrust = number && format > kFormat ? "it was written by a newer version" : "it is damaged";
        return read;
    }
    SyncMemory found;
    // Unpacked where it lies: a million files' memory is not copied first.
    const auto *packed = reinterpret_cast<const uchar *>(bytes.constData()) + lineEnd + 1;
    if (!decoded(qUncompress(packed, bytes.size() - lineEnd - 1), format, found)) {
        read.distrust = "it is damaged";
        return read;
    }
    if (!sameVolume(found.leftVolume, left) || !sameVolume(found.rightVolume, right)) {
        read.distrust = "it is of other folders";
        return read;
    }
    read.memory = std::move(found);
    read.memory.leftVolume = left;
    read.memory.rightVolume = right;
    read.trusted = true;
    return read;
}

bool WriteSyncMemory(const std::string &file, const SyncMemory &memory, std::string *error, const std::string &leftRoot,
                     const std::string &rightRoot)
{
    QByteArray bytes = QByteArray(kMagic) + QByteArray::number(kFormat) + '\n';
    bytes += qCompress(encoded(memory), 1);
    if (!writeWhole(file, bytes, error))
        return false;
    if (!leftRoot.empty() && !rightRoot.empty()) {
        const QByteArray where = QByteArray::fromStdString(memory.leftVolume.volume + "\n" + memory.rightVolume.volume
                                                           + "\n");
        std::string ignored;
        writeWhole(whereFile(leftRoot, rightRoot), where, &ignored);
    }
    return true;
}

namespace {

// Replaces file whole: written beside it under a name of this process's
// own (two runs at once never write into one file; the last rename wins
// whole), made durable, renamed into place.
bool writeWhole(const std::string &file, const QByteArray &bytes, std::string *error)
{
    const std::size_t slash = file.rfind('/');
    if (file.empty() || slash == std::string::npos || !platform::MakePrivateFolders(file.substr(0, slash))) {
        *error = "there is no folder to keep it in";
        return false;
    }
    const std::string temporary = file + ".new-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0;
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    const int code = errno;
    if (fd >= 0)
        ::close(fd);
    ok = ok && ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) {
        *error = platform::ErrorText(code ? code : errno);
        ::unlink(temporary.c_str());
        return false;
    }
    if (const int folder = ::open(file.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

} // namespace

SyncMemoryLock::SyncMemoryLock(const std::string &leftRoot, const std::string &rightRoot, bool wait)
{
    const std::string file = SyncMemoryFile(platform::VolumeOf(leftRoot), platform::VolumeOf(rightRoot));
    const std::size_t slash = file.rfind('/');
    if (file.empty() || !platform::MakePrivateFolders(file.substr(0, slash)))
        return;
    m_fd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0)
        return;
    while (::flock(m_fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno == EINTR && wait)
            continue;
        // A file system that cannot lock leaves runs as they were.
        m_held = errno != EWOULDBLOCK && errno != EINTR;
        return;
    }
}

SyncMemoryLock::~SyncMemoryLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
