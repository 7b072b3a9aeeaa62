#include "platform/settings.h"

#include <QDir>
#include <QSettings>
#include <QStringList>

#include <cstdlib>
#include <memory>

namespace platform {
namespace {

const char kApplication[] = "Quillmark";
const char kSection[] = "Corvanel";

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
    const QVariant value = openStore()->value(key);
    // A value edited by hand without quotes and holding commas comes back as
    // a list; joining it restores the text that was typed.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool HasSetting(const QString &key)
{
    return openStore()->contains(key);
}

bool WriteSetting(const QString &key, const QString &value)
{
    auto store = openStore();
    if (!store->isWritable())
        return false;
    store->setValue(key, value);
    store->sync();
    return store->status() == QSettings::NoError;
}

} // namespace platform
