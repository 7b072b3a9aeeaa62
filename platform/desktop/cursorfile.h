#pragma once

#include <QCursor>

#include <optional>
#include <string>

// Loads a Windows cursor file (.cur) as a pointer. Qt reads the image; the
// hotspot, which Qt does not expose, comes from the file's first directory
// entry (bytes 10-13: x and y, 16-bit little-endian). Nothing when the file
// cannot be read or holds no image; the hotspot is clamped into the image.
namespace platform {

std::optional<QCursor> LoadCursorFile(const std::string &path);

} // namespace platform
