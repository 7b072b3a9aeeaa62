#pragma once

#include <QFont>
#include <QMargins>
#include <QObject>
#include <QRect>
#include <QString>
#include <QTimer>

#include <functional>
#include <string>

class QAbstractButton;
class QWidget;

// Small pieces both windows share, so they look and convert alike.
namespace platform {

// Arial at the given point size; fontconfig stands in a metric-compatible face.
QFont ArialFont(qreal points, bool bold);

// A white background for the widget and its buttons.
void PaintWhite(QWidget *widget);

// Enter (Return) presses the focused button as Space does; Qt's buttons
// take only Space.
void PressOnEnter(QAbstractButton *button);

// Native path bytes as a person sees them (invalid UTF-8 shows replacement
// characters), and a typed text back to native bytes.
QString DisplayText(const std::string &native);
std::string NativeText(const QString &text);

// Twips (1/1440 inch) held as single-precision numbers, and their conversion
// to pixels at a logical resolution in dots per inch.
struct TwipsRect
{
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;

    bool operator==(const TwipsRect &) const = default;
};

int TwipsToPixels(float twips, qreal dpi);
float PixelsToTwips(int pixels, qreal dpi);

// Places the control at a rectangle in twips, at its own screen's resolution.
void SetTwipsGeometry(QWidget *control, const TwipsRect &rect);

// The outer rectangle moved, and made smaller where it does not fit, so that
// it lies wholly within area.
QRect FitWithin(const QRect &outer, const QRect &area);

// The margins of the window manager's frame around a top-level window, as
// far as they are known (none before the frame arrives).
QMargins FrameMargins(const QWidget *window);

// Where a top-level window's outer rectangle (outer: its own geometry with
// the frame's margins added) must go to lie wholly on the available area of
// the screen it mostly stands on, or of the primary screen when it stands on
// none (as when its screen has gone since): moved, and made smaller where it
// does not fit. Where it fits, outer itself.
QRect OnScreen(const QRect &outer);

// Moves the window, and makes it smaller where needed, to OnScreen of its
// outer rectangle. Returns whether it had to change.
bool KeepOnScreen(QWidget *window);

// Tells a top-level window when the window manager's frame around it arrives
// or changes: it comes some time after the window is mapped, with no event of
// its own. changed gets the frame's size (outer size less inner size), from
// the event loop, once per change.
class FrameWatch : public QObject
{
public:
    FrameWatch(QWidget *window, std::function<void(QSize frame)> changed);
    QSize frame() const { return m_frame; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QSize current() const;
    void check();

    QWidget *m_window;
    std::function<void(QSize)> m_changed;
    QSize m_frame{0, 0};
    bool m_queued = false;
    QTimer *m_settling;
    int m_looksLeft = 0;
};

} // namespace platform
