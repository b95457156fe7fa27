#pragma once

#include <QPixmap>
#include <QSize>

// The about box's picture: two PCs on a network, a file's blocks travelling from one to
// the other, and the program's name. Drawn for a 340 by 192 design and scaled to `size`
// (in device-independent pixels) at `devicePixelRatio`.
QPixmap PaintAboutPicture(QSize size, qreal devicePixelRatio = 1.0);
