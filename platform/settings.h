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

// Where the store lives, for messages and tests.
QString SettingsLocation();

} // namespace platform
