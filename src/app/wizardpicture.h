#pragma once

#include <QPalette>
#include <QPixmap>
#include <QSize>

// The picture along the connection wizard's left edge: two PCs on a LAN, a file on its
// way, on a sky in the palette's highlight colour. `size` in device-independent pixels.
QPixmap PaintWizardPicture(QSize size, const QPalette& palette, qreal ratio);
