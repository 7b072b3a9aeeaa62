#pragma once

#include <QElapsedTimer>
#include <QSize>

#include <functional>

class QWidget;

namespace platform {

class FrameWatch;

// Where a top-level window stands while the window manager's frame comes and
// goes. The frame is known only some time after the window is mapped, so an
// outer size the window is given is held until then; a window that starts
// maximised takes the held size at its first restore; the window's own
// resizes are told from the user's (a size the user chose is never undone);
// and the window is kept on screen. The window lays itself out in layOut,
// which runs wherever a size change may bring no resize event.
class WindowPlacement
{
public:
    WindowPlacement(QWidget *window, std::function<void()> layOut);

    // The outer size to take once the frame is known; a negative height
    // keeps the inner height the window has then.
    void holdOuterSize(int outerWidth, int outerHeight);
    // Whether a held outer height still waits: for the frame, or for the
    // first restore of a window that started maximised or minimised.
    bool heightHeld() const { return m_heldHeight >= 0; }
    // Sizes the window itself; any other size of a shown window in its
    // normal state is the user's.
    void resizeTo(QSize inner);

    // The window's own events: resized from resizeEvent (before laying
    // out), stateChanged from changeEvent on a state change (true when it
    // resized the window, whose layout then follows from the resize).
    void resized(QSize size);
    bool stateChanged();

    // Moves (and if need be shrinks) a window in its normal state onto the
    // screens.
    void keepOnScreen();

    // Called once with the first frame, before the window is sized for it.
    std::function<void()> firstFrame;

private:
    void frameArrived(QSize frame);
    bool takeRestoredSize();

    QWidget *m_window;
    std::function<void()> m_layOut;
    int m_heldWidth = -1;
    int m_heldHeight = -1;
    // The outer height a window that started maximised was restored to: the
    // frame it was sized with may be the maximised one (none at the sides),
    // and the normal frame comes after.
    int m_restoredOuterHeight = -1;
    QElapsedTimer m_restoredAt;
    static constexpr qint64 kRestoreSettles = 2000; // ms
    // The last size this window asked for; any other is the user's.
    QSize m_requestedSize;
    bool m_userResized = false;
    // The frame as last seen; zero until it arrives (and for good on a
    // display without one).
    QSize m_frame{0, 0};
    bool m_frameSeen = false;
};

} // namespace platform
