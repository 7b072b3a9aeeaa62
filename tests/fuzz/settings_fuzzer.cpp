// libFuzzer target: whatever bytes the settings file holds, read by every
// reader the program has. The input becomes the store in a temporary config
// folder; then each key is read, the window values parsed, and the folder
// histories loaded into real combos with their selections restored (which
// writes the store back). Nothing may crash, hang, or leave a combo with a
// selection outside its list; and a value written into any such content
// must read back exactly without changing any other key.

#include "folders/foldercombos.h"
#include "main_window/mainlayout.h"
#include "platform/inifile.h"
#include "platform/settings.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

std::int64_t g_runs = 0;

const char *const kKeys[] = {"LeftCombo", "RightCombo", "LeftComboIndex", "RightComboIndex",
                             "WindowState", "FormHeight"};

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "settings_fuzzer: %s\n", what);
        std::abort();
    }
}

void writeStore(const std::uint8_t *data, std::size_t size)
{
    const QString path = platform::SettingsLocation();
    QFile file(path);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the store");
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    // QSettings re-reads a file only when its size or time changed; a fresh
    // time for every input keeps it from answering with the previous one.
    const struct timespec times[2] = {{1000000 + ++g_runs, 0}, {1000000 + g_runs, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A memory file system where there is one: the store is synced to disk
    // on every write.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir config(base + QStringLiteral("/corvanel-fuzz-XXXXXX")); // removed at exit
    check(config.isValid(), "cannot create the config folder");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QStandardPaths::setTestModeEnabled(true);
    new QApplication(*argc, *argv); // lives as long as the fuzzer
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView content(data, qsizetype(size));
    const QString section = QStringLiteral("Corvanel");
    const QString awkward = QStringLiteral(" /a,b;\"c\\ \n@x\t ") + QChar(0) + QStringLiteral("1 ");
    const std::optional<QByteArray> changed = platform::IniWithValue(content, section, QStringLiteral("LeftCombo"), awkward);
    check(changed.has_value(), "a value written into the store would not read back");
    for (const char *key : kKeys) {
        if (QLatin1String(key) != QLatin1String("LeftCombo"))
            check(platform::IniValue(content, section, QLatin1String(key))
                      == platform::IniValue(*changed, section, QLatin1String(key)),
                  "writing one value changed another");
    }

    writeStore(data, size);

    for (const char *key : kKeys) {
        platform::ReadSetting(QLatin1String(key));
        platform::HasSetting(QLatin1String(key));
    }
    const std::optional<int> state = Form1Layout::ParseWindowState(platform::ReadSetting(QStringLiteral("WindowState")));
    check(!state || (*state >= 0 && *state <= 2), "a window state outside 0..2 was accepted");
    const std::optional<int> height = Form1Layout::ParseFormHeight(platform::ReadSetting(QStringLiteral("FormHeight")));
    check(!height || (*height > 0 && *height <= 32767), "a height outside 1..32767 was accepted");

    QWidget window;
    auto *left = new QComboBox(&window); // owned by the window
    auto *right = new QComboBox(&window);
    FolderCombos combos(left, right);
    combos.LoadFolderHistories();
    combos.RestoreFolderSelections();
    for (const QComboBox *box : {left, right})
        check(box->currentIndex() >= -1 && box->currentIndex() < box->count(), "a selection outside its list");
    // What was restored is read back the way the next start reads it.
    platform::ReadSetting(QStringLiteral("LeftComboIndex"));
    platform::ReadSetting(QStringLiteral("RightComboIndex"));
    return 0;
}
