#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

// The text format of the settings file, as QSettings writes it on Unix:
// "[Section]" lines, "key=value" lines, values with backslash escapes,
// double quotes around values holding "," ";" "=" or outer spaces, and
// unquoted commas separating the items of a list.
//
// Read and written here rather than by QSettings, because QSettings turns a
// value of the form "@Variant(...)" into an object of whatever registered
// type the bytes name, deserializing it from the file: a damaged or crafted
// settings file could then make the program allocate gigabytes or decode
// images. The program only ever stores text, and reads text only.
namespace platform {

// The text stored under key in section, or nothing when the key is absent.
// A list reads as its items joined by ","; a value stored as a typed object
// ("@Variant(...)", "@Rect(...)" ...) reads as the empty text. Never fails:
// lines that make no sense are skipped.
std::optional<QString> IniValue(QByteArrayView content, const QString &section, const QString &key);

// The content with key in section set to value, so that IniValue gives value
// back exactly. Every other byte of the content stays as it is: other
// sections and keys, comments and line ends (a value cut short at the very
// end is closed first). Nothing in the rare case that the content is so
// damaged that the value would not read back.
std::optional<QByteArray> IniWithValue(QByteArrayView content, const QString &section, const QString &key,
                                       const QString &value);

} // namespace platform
