// The program's own icon, drawn rather than stored so that every size is sharp: the window's
// large and small icons, the desktop's hicolor icons and the Windows icon file all come from it.
#pragma once

#include <QImage>

namespace quillon_icon {

// The icon at size x size pixels, transparent around its rounded square.
QImage Draw(int size);

}  // namespace quillon_icon
