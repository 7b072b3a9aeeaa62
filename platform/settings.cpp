#include "platform/settings.h"

#include <QCryptographicHash>
#include <QDir>

#include "platform/inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace platform {
namespace {

const char kApplication[] = "Quillmark";
const char kSection[] = "Corvanel";

// Another program holds the lock only while it writes a few hundred bytes.
constexpr int kLockWaitMs = 1000;
// Far beyond any history a person enters; a larger file is no store of ours.
constexpr qint64 kMaxStoreBytes = 64 << 20;

bool isRegularOrAbsent(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
}

// The store's bytes; empty for a store not yet written, nothing for one
// that cannot be read. Only a regular file is read: a FIFO at that path
// would block for good.
std::optional<QByteArray> readStore()
{
    const QString path = SettingsLocation();
    if (!isRegularOrAbsent(path))
        return std::nullopt;
    QFile file(path);
    if (!file.exists())
        return QByteArray();
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxStoreBytes)
        return std::nullopt;
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

} // namespace

QString SettingsLocation()
{
    QString folder = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        folder = QDir::homePath() + QStringLiteral("/.config");
    return folder + QLatin1Char('/') + QLatin1String(kApplication) + QStringLiteral(".conf");
}

QString ReadSetting(const QString &key)
{
    return ReadSetting(QString::fromLatin1(kSection), key);
}

QString ReadSetting(const QString &section, const QString &key)
{
    const std::optional<QByteArray> content = readStore();
    if (!content)
        return QString();
    return IniValue(*content, section, key).value_or(QString());
}

bool HasSetting(const QString &key)
{
    const std::optional<QByteArray> content = readStore();
    return content && IniValue(*content, QString::fromLatin1(kSection), key).has_value();
}

bool WriteSetting(const QString &key, const QString &value)
{
    return WriteSetting(QString::fromLatin1(kSection), key, value);
}

bool WriteSetting(const QString &section, const QString &key, const QString &value)
{
    const QString path = SettingsLocation();
    // A value that is already stored is not written again: every write is
    // flushed to the disk, and the window stores its size on every layout.
    if (const std::optional<QByteArray> content = readStore(); content && IniValue(*content, section, key) == value)
        return true;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    // Read, changed and replaced under the lock that QSettings takes too, so
    // that another program writing the same file loses nothing. A folder or
    // an immutable file at the lock's name would keep it for good: the wait
    // is bounded.
    const QString lockPath = path + QStringLiteral(".lock");
    if (!isRegularOrAbsent(lockPath))
        return false;
    QLockFile lock(lockPath);
    if (!lock.tryLock(kLockWaitMs))
        return false;

    // A store the user may not write stays as it is, whatever its folder allows.
    if (QFileInfo::exists(path) && ::access(QFile::encodeName(path).constData(), W_OK) != 0)
        return false;
    const std::optional<QByteArray> content = readStore();
    if (!content)
        return false;
    const std::optional<QByteArray> changed = IniWithValue(*content, section, key, value);
    if (!changed)
        return false;
    // Written beside it and renamed into place once on the disk: the store
    // is never seen half-written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(*changed);
    return file.commit();
}

QString PairSection(const QString &left, const QString &right)
{
    const QByteArray both = left.toUtf8() + '\0' + right.toUtf8();
    const QByteArray digest = QCryptographicHash::hash(both, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("Pair ") + QString::fromLatin1(digest);
}

QString ReadPairSetting(const QString &left, const QString &right, const QString &key)
{
    return ReadSetting(PairSection(left, right), key);
}

bool WritePairSetting(const QString &left, const QString &right, const QString &key, const QString &value)
{
    const QString section = PairSection(left, right);
    return WriteSetting(section, QStringLiteral("Left"), left) && WriteSetting(section, QStringLiteral("Right"), right)
        && WriteSetting(section, key, value);
}

} // namespace platform
