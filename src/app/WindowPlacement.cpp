#include "WindowPlacement.h"

#include <algorithm>

namespace klv {

QRect placeOnScreen(const QSize &size, const QSize &minimum, const QRect &available, int titleBar)
{
    const int width = std::max(minimum.width(), std::min(size.width(), available.width()));
    const int height = std::max(minimum.height(), std::min(size.height(), available.height() - titleBar));
    // Centred with its title bar; a window larger than the screen keeps its top left corner on it.
    const int left = std::max(available.left(), available.left() + (available.width() - width) / 2);
    const int top =
        std::max(available.top() + titleBar, available.top() + titleBar + (available.height() - titleBar - height) / 2);
    return {left, top, width, height};
}

} // namespace klv
