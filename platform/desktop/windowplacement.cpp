#include "platform/desktop/windowplacement.h"
#include "platform/desktop/ui.h"

#include <QWidget>

#include <utility>

namespace platform {

WindowPlacement::WindowPlacement(QWidget *window, std::function<void()> layOut)
    : m_window(window)
    , m_layOut(std::move(layOut))
    , m_requestedSize(window->size())
{
    new FrameWatch(window, [this](QSize frame) { frameArrived(frame); }); // owned by the window
}

void WindowPlacement::holdOuterSize(int outerWidth, int outerHeight)
{
    m_heldWidth = outerWidth;
    m_heldHeight = outerHeight;
}

void WindowPlacement::resizeTo(QSize inner)
{
    m_requestedSize = inner;
    m_window->resize(inner);
}

void WindowPlacement::resized(QSize size)
{
    // A size this window did not ask for is the user's (or the window
    // manager's): the held height must not undo it.
    if (m_window->isVisible() && m_window->windowState() == Qt::WindowNoState && size != m_requestedSize) {
        m_heldHeight = -1;
        m_userResized = true;
    }
}

bool WindowPlacement::stateChanged()
{
    // A window that started maximised gets the held height when it is
    // first restored.
    if (m_window->windowState() != Qt::WindowNoState || m_heldHeight < 0 || !m_frameSeen)
        return false;
    m_restoredOuterHeight = std::exchange(m_heldHeight, -1);
    m_restoredAt.start();
    return takeRestoredSize();
}

// The held outer width and the restored outer height in the frame seen
// last. Returns whether the window had to change.
bool WindowPlacement::takeRestoredSize()
{
    const QSize wanted(m_heldWidth - m_frame.width(), m_restoredOuterHeight - m_frame.height());
    if (!wanted.isValid() || wanted == m_window->size())
        return false;
    resizeTo(wanted);
    keepOnScreen();
    return true;
}

void WindowPlacement::frameArrived(QSize frame)
{
    m_frame = frame;
    const bool normal = m_window->windowState() == Qt::WindowNoState;
    // A later change of the frame (some window managers draw none around a
    // maximised window) changes only the outer size to lay out.
    if (m_frameSeen) {
        // The normal frame that comes with the first restore (the window
        // manager's own restored size may come between) sizes it again.
        const bool restoring = m_restoredOuterHeight >= 0 && m_restoredAt.elapsed() < kRestoreSettles;
        if (!(restoring && normal && takeRestoredSize()))
            m_layOut();
        m_restoredOuterHeight = -1;
        return;
    }
    m_frameSeen = true;
    if (firstFrame)
        firstFrame();
    // The window was placed without a frame: now it takes the held outer
    // width and height (else its inner height plus the frame).
    if (normal && !m_userResized && m_heldWidth >= 0) {
        const int outerHeight = m_heldHeight >= 0 ? m_heldHeight : m_window->height() + frame.height();
        m_heldHeight = -1;
        const QSize wanted(m_heldWidth - frame.width(), outerHeight - frame.height());
        if (wanted.isValid() && wanted != m_window->size()) {
            resizeTo(wanted); // its layout follows
            keepOnScreen();
            return;
        }
    }
    keepOnScreen();
    m_layOut();
}

void WindowPlacement::keepOnScreen()
{
    // A maximised or minimised window is the window manager's to place.
    if (m_window->windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen))
        return;
    const QMargins frame = FrameMargins(m_window);
    const QRect outer = m_window->geometry().marginsAdded(frame);
    const QRect fitted = OnScreen(outer);
    if (fitted == outer)
        return;
    const QSize inner = fitted.marginsRemoved(frame).size();
    const bool resized = inner != m_window->size();
    m_requestedSize = inner;
    m_window->move(fitted.topLeft());
    m_window->resize(inner);
    // A hidden window gets its resize event only when shown.
    if (resized && !m_window->isVisible())
        m_layOut();
}

} // namespace platform
