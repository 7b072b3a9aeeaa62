#include "platform/ui.h"

#include <QAbstractButton>
#include <QFile>
#include <QKeyEvent>
#include <QPalette>
#include <QWidget>

#include <cmath>

namespace platform {
namespace {

class EnterPresses : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (!enter || key->isAutoRepeat() || (key->modifiers() & ~Qt::KeypadModifier))
            return false;
        static_cast<QAbstractButton *>(watched)->click();
        return true;
    }
};

} // namespace

void PressOnEnter(QAbstractButton *button)
{
    // Owned by the button.
    button->installEventFilter(new EnterPresses(button));
}

QFont ArialFont(qreal points, bool bold)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void PaintWhite(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::Button, Qt::white);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QString DisplayText(const std::string &native)
{
    return QFile::decodeName(QByteArray::fromStdString(native));
}

std::string NativeText(const QString &text)
{
    return QFile::encodeName(text).toStdString();
}

int TwipsToPixels(float twips, qreal dpi)
{
    return int(std::lround(double(twips) * dpi / 1440.0));
}

float PixelsToTwips(int pixels, qreal dpi)
{
    return float(double(pixels) * 1440.0 / dpi);
}

void SetTwipsGeometry(QWidget *control, const TwipsRect &rect)
{
    const qreal dpiX = control->logicalDpiX();
    const qreal dpiY = control->logicalDpiY();
    control->setGeometry(TwipsToPixels(rect.left, dpiX), TwipsToPixels(rect.top, dpiY),
                         TwipsToPixels(rect.width, dpiX), TwipsToPixels(rect.height, dpiY));
}

} // namespace platform
