#include "platform/settings.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSettings>
#include <QStringList>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>

namespace platform {
namespace {

const char kApplication[] = "Quillmark";
const char kSection[] = "Corvanel";
// Another instance holds the lock only while it writes a few hundred bytes.
constexpr int kLockWaitMs = 1000;

// Built afresh for every call so that a store edited by hand, or a config
// folder moved by a test, is always read as it stands now.
std::unique_ptr<QSettings> openStore()
{
#ifdef _WIN32
    auto store = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QString::fromLatin1(kApplication));
#else
    auto store = std::make_unique<QSettings>(SettingsLocation(), QSettings::IniFormat);
#endif
    store->beginGroup(QString::fromLatin1(kSection));
    return store;
}

#ifndef _WIN32
// QSettings opens whatever stands at the store's path: a FIFO there would
// block every read for good. Only a regular file (or none yet) is a store.
bool isRegularOrAbsent(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
}

// Changes with every write of the file, whether in place or by a rename.
struct FileStamp
{
    dev_t device;
    ino_t inode;
    off_t size;
    timespec changed;

    bool operator==(const FileStamp &other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

std::optional<FileStamp> stampOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_ctim};
}

bool storeIsUsable()
{
    return isRegularOrAbsent(SettingsLocation());
}

// QSettings waits without end for its lock file when it can neither take
// nor clear it (a folder or an immutable file at that name). Taking the same
// lock first, for a bounded time, turns that into a failed write; anything
// but a file at that name fails at once. The lock is let go again before
// QSettings takes it, since a lock file is not re-entrant. Other failures
// (no config folder yet) fail QSettings' own lock at once.
bool lockIsObtainable()
{
    const QString path = SettingsLocation() + QStringLiteral(".lock");
    if (!isRegularOrAbsent(path))
        return false;
    QLockFile lock(path);
    if (lock.tryLock(kLockWaitMs)) {
        lock.unlock();
        return true;
    }
    return lock.error() != QLockFile::LockFailedError;
}
#endif

} // namespace

QString SettingsLocation()
{
#ifdef _WIN32
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Quillmark\\Corvanel");
#else
    QString folder = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        folder = QDir::homePath() + QStringLiteral("/.config");
    return folder + QLatin1Char('/') + QLatin1String(kApplication) + QStringLiteral(".conf");
#endif
}

QString ReadSetting(const QString &key)
{
#ifndef _WIN32
    if (!storeIsUsable())
        return QString();
#endif
    const QVariant value = openStore()->value(key);
    // A value edited by hand without quotes and holding commas comes back as
    // a list; joining it restores the text that was typed.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool HasSetting(const QString &key)
{
#ifndef _WIN32
    if (!storeIsUsable())
        return false;
#endif
    return openStore()->contains(key);
}

bool WriteSetting(const QString &key, const QString &value)
{
#ifndef _WIN32
    if (!storeIsUsable() || !lockIsObtainable())
        return false;
#endif
    auto store = openStore();
    if (!store->isWritable())
        return false;
#ifndef _WIN32
    const std::optional<FileStamp> before = stampOf(SettingsLocation());
#endif
    store->setValue(key, value);
    store->sync();
    switch (store->status()) {
    case QSettings::NoError:
        return true;
#ifndef _WIN32
    case QSettings::FormatError:
        // The file was malformed when it was read, and that error hides
        // whether the well-formed one replacing it got written: the file
        // itself tells.
        return stampOf(SettingsLocation()) != before;
#endif
    default:
        return false;
    }
}

} // namespace platform
