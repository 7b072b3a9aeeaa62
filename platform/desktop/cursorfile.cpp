#include "platform/desktop/cursorfile.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPixmap>

#include <algorithm>

namespace platform {

std::optional<QCursor> LoadCursorFile(const std::string &path)
{
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Cursor files are small; a huge one is not a cursor.
    if (file.size() > 4 * 1024 * 1024)
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    // Type 2 in the header marks a cursor, type 1 an icon.
    if (bytes.size() < 22 || bytes[0] != 0 || bytes[1] != 0 || (bytes[2] != 1 && bytes[2] != 2) || bytes[3] != 0)
        return std::nullopt;

    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "cur");
    const QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;

    const auto word = [&](int at) {
        return int(quint8(bytes[at])) | (int(quint8(bytes[at + 1])) << 8);
    };
    // An icon file (type 1) has no hotspot: its top-left corner points.
    const bool cursor = bytes[2] == 2;
    const int x = cursor ? std::clamp(word(10), 0, image.width() - 1) : 0;
    const int y = cursor ? std::clamp(word(12), 0, image.height() - 1) : 0;
    return QCursor(QPixmap::fromImage(image), x, y);
}

} // namespace platform
