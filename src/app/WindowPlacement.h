#pragma once

#include <QRect>
#include <QSize>

namespace klv {

// Where a window of `size` goes on a screen whose free area is `available` (in the window's own
// units, at any scaling): no larger than that area, never below `minimum`, centred, and moved
// so that its title bar, `titleBar` high above the client area, can be reached.
QRect placeOnScreen(const QSize &size, const QSize &minimum, const QRect &available, int titleBar);

} // namespace klv
