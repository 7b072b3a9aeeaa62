#include "wizard/wizardpictures.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace {

constexpr int kSize = 32;

void drawBadge(QPainter &p, const QColor &fill)
{
    p.setPen(QPen(fill.darker(140), 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(2.5, 2.5, 27, 27));
}

// A page with a folded corner and a play mark; the arrow under it points
// away from the page for the source side, towards it for the destination.
void drawRunPage(QPainter &p, bool source)
{
    QPainterPath page;
    page.moveTo(7.5, 2.5);
    page.lineTo(19.5, 2.5);
    page.lineTo(25.5, 8.5);
    page.lineTo(25.5, 23.5);
    page.lineTo(7.5, 23.5);
    page.closeSubpath();
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.drawPolyline(QPolygonF({QPointF(19.5, 2.5), QPointF(19.5, 8.5), QPointF(25.5, 8.5)}));

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 150, 60));
    p.drawPolygon(QPolygonF({QPointF(13, 8), QPointF(13, 19), QPointF(21, 13.5)}));

    p.setPen(QPen(QColor(30, 90, 200), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const qreal y = 28;
    if (source) {
        p.drawLine(QPointF(9, y), QPointF(23, y));
        p.drawPolyline(QPolygonF({QPointF(13, y - 3.5), QPointF(9, y), QPointF(13, y + 3.5)}));
    } else {
        p.drawLine(QPointF(9, y), QPointF(23, y));
        p.drawPolyline(QPolygonF({QPointF(19, y - 3.5), QPointF(23, y), QPointF(19, y + 3.5)}));
    }
}

QPixmap draw(WizardPicture picture)
{
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPen mark(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (picture) {
    case WizardPicture::Ok:
        drawBadge(p, QColor(46, 160, 67));
        p.setPen(mark);
        p.drawPolyline(QPolygonF({QPointF(9, 16.5), QPointF(14, 21.5), QPointF(23, 11)}));
        break;
    case WizardPicture::Cancel:
        drawBadge(p, QColor(200, 50, 45));
        p.setPen(mark);
        p.drawLine(QPointF(11, 11), QPointF(21, 21));
        p.drawLine(QPointF(21, 11), QPointF(11, 21));
        break;
    case WizardPicture::RunSource:
        drawRunPage(p, true);
        break;
    case WizardPicture::RunDestination:
        drawRunPage(p, false);
        break;
    }
    return pixmap;
}

} // namespace

QIcon WizardIcon(WizardPicture picture)
{
    return QIcon(draw(picture));
}
