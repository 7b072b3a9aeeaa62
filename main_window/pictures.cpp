#include "main_window/pictures.h"

#include "compare/resultrow.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <functional>

namespace {

QPixmap paint(int width, int height, const std::function<void(QPainter &)> &draw)
{
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    draw(painter);
    return pixmap;
}

// A round badge with a white arrow; up for newer, down for older.
QPixmap arrowBadge(const QColor &fill, bool up)
{
    return paint(16, 16, [&](QPainter &p) {
        p.setPen(QPen(fill.darker(140), 1));
        p.setBrush(fill);
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        QPolygonF arrow;
        if (up)
            arrow << QPointF(8, 3) << QPointF(12.5, 8) << QPointF(9.5, 8) << QPointF(9.5, 13)
                  << QPointF(6.5, 13) << QPointF(6.5, 8) << QPointF(3.5, 8);
        else
            arrow << QPointF(8, 13) << QPointF(12.5, 8) << QPointF(9.5, 8) << QPointF(9.5, 3)
                  << QPointF(6.5, 3) << QPointF(6.5, 8) << QPointF(3.5, 8);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPolygon(arrow);
    });
}

// A red badge with a white cross: nothing of that name on the other side.
QPixmap missingBadge()
{
    return paint(16, 16, [](QPainter &p) {
        const QColor red(0xd0, 0x32, 0x2b);
        p.setPen(QPen(red.darker(140), 1));
        p.setBrush(red);
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
        p.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
    });
}

void drawSheet(QPainter &p, const QRectF &r, const QColor &accent)
{
    QPainterPath sheet;
    const qreal fold = r.width() * 0.3;
    sheet.moveTo(r.topLeft());
    sheet.lineTo(r.right() - fold, r.top());
    sheet.lineTo(r.right(), r.top() + fold);
    sheet.lineTo(r.bottomRight());
    sheet.lineTo(r.bottomLeft());
    sheet.closeSubpath();
    p.setPen(QPen(QColor(0x55, 0x5f, 0x6b), 1.2));
    p.setBrush(Qt::white);
    p.drawPath(sheet);
    p.setPen(QPen(accent, 1.6));
    for (int line = 0; line < 4; ++line) {
        const qreal y = r.top() + fold + 3 + line * (r.height() - fold - 6) / 4;
        p.drawLine(QPointF(r.left() + 3, y), QPointF(r.right() - 3, y));
    }
}

QIcon buttonIcon(const std::function<void(QPainter &)> &draw)
{
    return QIcon(paint(32, 32, draw));
}

} // namespace

QPixmap StatusPicture(std::uint8_t icon)
{
    // Kept for the whole run and never destroyed: pixmaps must not outlive
    // the application object, which static destruction would risk.
    static const QPixmap *newer = new QPixmap(arrowBadge(QColor(0x2e, 0x9d, 0x3c), true));
    static const QPixmap *older = new QPixmap(arrowBadge(QColor(0xe0, 0x8a, 0x10), false));
    static const QPixmap *missing = new QPixmap(missingBadge());
    static const QPixmap *blank = new QPixmap(paint(16, 16, [](QPainter &) {}));
    switch (icon) {
    case NewerIcon: return *newer;
    case OlderIcon: return *older;
    case NotFoundIcon: return *missing;
    case NoIcon: return *blank;
    }
    return QPixmap();
}

QIcon ComparePicture()
{
    // Two sheets side by side with a magnifier over the seam.
    return buttonIcon([](QPainter &p) {
        drawSheet(p, QRectF(2, 3, 13, 18), QColor(0x3a, 0x7b, 0xd5));
        drawSheet(p, QRectF(17, 3, 13, 18), QColor(0x3a, 0x7b, 0xd5));
        p.setPen(QPen(QColor(0x33, 0x33, 0x33), 2.4, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(QColor(255, 255, 255, 170));
        p.drawEllipse(QRectF(10, 13, 11, 11));
        p.drawLine(QPointF(19.5, 22.5), QPointF(25, 29));
    });
}

QIcon SyncWizardPicture()
{
    // Two arrows chasing each other round a circle.
    return buttonIcon([](QPainter &p) {
        const QColor green(0x2e, 0x9d, 0x3c);
        p.setPen(QPen(green, 3.2, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        const QRectF ring(5, 5, 22, 22);
        p.drawArc(ring, 20 * 16, 140 * 16);
        p.drawArc(ring, 200 * 16, 140 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(green);
        p.drawPolygon(QPolygonF() << QPointF(1, 12) << QPointF(9.5, 12) << QPointF(5.5, 18.5));
        p.drawPolygon(QPolygonF() << QPointF(31, 20) << QPointF(22.5, 20) << QPointF(26.5, 13.5));
    });
}

QIcon ExitPicture()
{
    // An open door with an arrow leaving through it.
    return buttonIcon([](QPainter &p) {
        p.setPen(QPen(QColor(0x55, 0x5f, 0x6b), 1.4));
        p.setBrush(QColor(0xf2, 0xf2, 0xf2));
        p.drawRect(QRectF(4, 3, 16, 26));
        p.setBrush(QColor(0x9c, 0x6b, 0x3d));
        p.drawPolygon(QPolygonF() << QPointF(4, 3) << QPointF(13, 7) << QPointF(13, 31) << QPointF(4, 29));
        const QColor red(0xd0, 0x32, 0x2b);
        p.setPen(QPen(red, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(16, 16), QPointF(27, 16));
        p.setPen(Qt::NoPen);
        p.setBrush(red);
        p.drawPolygon(QPolygonF() << QPointF(31, 16) << QPointF(25, 10.5) << QPointF(25, 21.5));
    });
}

QPixmap BrowsePicture()
{
    static const QPixmap *folder = new QPixmap(paint(16, 14, [](QPainter &p) {
        const QColor amber(0xe8, 0xb3, 0x3a);
        p.setPen(QPen(amber.darker(150), 1));
        p.setBrush(amber.darker(110));
        p.drawRoundedRect(QRectF(0.5, 1.5, 7, 4), 1, 1);
        p.setBrush(amber);
        p.drawRoundedRect(QRectF(0.5, 3.5, 15, 10), 1, 1);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x33, 0x33, 0x33));
        for (int dot = 0; dot < 3; ++dot)
            p.drawEllipse(QRectF(4 + dot * 3, 8, 1.8, 1.8));
    }));
    return *folder;
}

QImage AppIconImage(int size)
{
    // Drawn on a 64-unit square and scaled: two folders side by side on a
    // blue tile, with the sync arrows between them.
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2f, 0x6f, 0xc4));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    const QColor amber(0xf2, 0xc1, 0x4e);
    for (const qreal left : {7.0, 35.0}) {
        p.setBrush(amber.darker(115));
        p.drawRoundedRect(QRectF(left, 14, 10, 6), 2, 2);
        p.setBrush(amber);
        p.drawRoundedRect(QRectF(left, 17, 22, 17), 2.5, 2.5);
    }

    const QColor white(0xff, 0xff, 0xff);
    p.setPen(QPen(white, 4, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(14, 43), QPointF(44, 43));
    p.drawLine(QPointF(20, 53), QPointF(50, 53));
    p.setPen(Qt::NoPen);
    p.setBrush(white);
    p.drawPolygon(QPolygonF() << QPointF(52, 43) << QPointF(43, 37) << QPointF(43, 49));
    p.drawPolygon(QPolygonF() << QPointF(12, 53) << QPointF(21, 47) << QPointF(21, 59));
    return image;
}

const QList<int> &AppIconSizes()
{
    static const QList<int> sizes = {16, 24, 32, 48, 64, 128, 256};
    return sizes;
}

QIcon AppIcon()
{
    QIcon icon;
    for (const int size : AppIconSizes())
        icon.addPixmap(QPixmap::fromImage(AppIconImage(size)));
    return icon;
}
