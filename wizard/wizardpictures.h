#pragma once

#include <QCursor>
#include <QIcon>

#include <optional>
#include <string>

// The pictures of the wizard's buttons, drawn here at 32 x 32, and the hand
// pointer read from a cursor file.

enum class WizardPicture { Ok, Cancel, RunSource, RunDestination };

QIcon WizardIcon(WizardPicture picture);

// A cursor file (.cur) as a pointer: Qt reads the image, the hotspot comes
// from the file's first directory entry (bytes 10-13, x and y, 16-bit
// little-endian). Nothing when the file holds no readable image.
std::optional<QCursor> LoadCursorFromFile(const std::string &path);
