#include "platform/desktop/ui.h"

#include <QAbstractButton>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QKeyEvent>
#include <QPalette>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace platform {
namespace {

// How often and how many times a frame watch looks after a window is shown
// or changes state.
constexpr int kSettleLook = 50;
constexpr int kSettleLooks = 30;

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

QRect FitWithin(const QRect &outer, const QRect &area)
{
    QRect fitted(outer.topLeft(), outer.size().boundedTo(area.size()));
    fitted.moveLeft(std::clamp(fitted.left(), area.left(), area.right() + 1 - fitted.width()));
    fitted.moveTop(std::clamp(fitted.top(), area.top(), area.bottom() + 1 - fitted.height()));
    return fitted;
}

QMargins FrameMargins(const QWidget *window)
{
    const QRect inner = window->geometry();
    const QRect outer = window->frameGeometry();
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                    outer.bottom() - inner.bottom());
}

QRect OnScreen(const QRect &outer)
{
    const QScreen *home = nullptr;
    qint64 most = 0;
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect common = screen->geometry().intersected(outer);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > most) {
            most = area;
            home = screen;
        }
    }
    if (!home)
        home = QGuiApplication::primaryScreen();
    return home ? FitWithin(outer, home->availableGeometry()) : outer;
}

bool KeepOnScreen(QWidget *window)
{
    const QMargins frame = FrameMargins(window);
    const QRect outer = window->geometry().marginsAdded(frame);
    const QRect fitted = OnScreen(outer);
    if (fitted == outer)
        return false;
    // A window's position is its frame's, its size its own.
    window->move(fitted.topLeft());
    window->resize(fitted.marginsRemoved(frame).size());
    return true;
}

FrameWatch::FrameWatch(QWidget *window, std::function<void(QSize)> changed)
    : QObject(window)
    , m_window(window)
    , m_changed(std::move(changed))
    , m_settling(new QTimer(this))
{
    window->installEventFilter(this);
    m_settling->setInterval(kSettleLook);
    connect(m_settling, &QTimer::timeout, this, [this] {
        if (--m_looksLeft <= 0)
            m_settling->stop();
        check();
    });
}

QSize FrameWatch::current() const
{
    return m_window->frameGeometry().size() - m_window->geometry().size();
}

bool FrameWatch::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::WindowStateChange:
        // The window manager may change the frame after these (a maximised
        // window's has no sides) with nothing but a property on the window,
        // which reaches no widget: look for a while.
        m_looksLeft = kSettleLooks;
        m_settling->start();
        [[fallthrough]];
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::WindowActivate:
    case QEvent::UpdateRequest:
    case QEvent::Paint:
        // These come soon after the frame does; the check waits until the
        // window has handled them.
        if (m_window->isVisible() && !m_queued && current() != m_frame) {
            m_queued = true;
            QMetaObject::invokeMethod(this, &FrameWatch::check, Qt::QueuedConnection);
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void FrameWatch::check()
{
    m_queued = false;
    const QSize frame = current();
    if (!m_window->isVisible() || frame == m_frame)
        return;
    m_frame = frame;
    m_changed(frame);
}

} // namespace platform
