#pragma once

#include <QPixmap>
#include <QSize>

class QPalette;

// The picture along the wizard's left edge: two PCs on a LAN, a file on its way down the
// cable between them, over a sky in the palette's highlight colour. `size` is in
// device-independent pixels, painted at `ratio`.
QPixmap PaintWizardPicture(QSize size, const QPalette& palette, qreal ratio);
