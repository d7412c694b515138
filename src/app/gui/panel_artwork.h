#pragma once
// Pictures the driver draws for itself: the push-button panel strip of the
// status view and the window icon. Drawn with QPainter at run time, so the
// build ships no image files. GUI thread only (QPixmap).

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace vorn {

// A control panel seen from the front: a dark body with a row of lit
// buttons, sized to fill `size`.
QPixmap PanelPicture(const QSize& size);

// The driver's icon: a small panel with four coloured buttons.
QIcon DriverIcon();
QPixmap DriverIconPixmap(int edge);

}  // namespace vorn
