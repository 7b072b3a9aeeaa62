#pragma once

#include <QString>

// The per-user settings store: application "Quillmark", section "Corvanel".
// Every value is text. Nothing is cached: each call reads or writes the store,
// and each write reaches the disk before the call returns, since the program
// may end at any moment.
namespace platform {

// The stored text, exactly as written; the empty text for an absent key or a
// store that cannot be read.
QString ReadSetting(const QString &key);

// True when the key is present in the store.
bool HasSetting(const QString &key);

// Writes and syncs, unless the store holds that very value already. False
// when the store could not be written.
bool WriteSetting(const QString &key, const QString &value);

// The same in a section of the store's own choosing: choices made for one
// pair of folders live in PairSection(left, right), apart from the window's
// keys.
QString ReadSetting(const QString &section, const QString &key);
bool WriteSetting(const QString &section, const QString &key, const QString &value);

// The section of a pair of folders: the roots as compared (separators
// trimmed), left first. It names them by a digest, so that any path fits a
// section name; the section keeps the paths themselves under "Left" and
// "Right" for people who read the file.
QString PairSection(const QString &left, const QString &right);
// Reads one choice of a pair; writes one, with the pair's paths beside it.
QString ReadPairSetting(const QString &left, const QString &right, const QString &key);
bool WritePairSetting(const QString &left, const QString &right, const QString &key, const QString &value);

// Where the store lives, for messages and tests.
QString SettingsLocation();

} // namespace platform
