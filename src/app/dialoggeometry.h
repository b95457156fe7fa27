#pragma once

#include "widgets/designscale.h"

#include <QPoint>

class QScreen;
class QWidget;

// Sizes and places of the dialogs, at the design's font scaled by DesignScale.
// `pixels` of the design at `scale`, rounded.
int Scaled(int pixels, double scale);
// Places a window that is about to be shown in the middle of the free area of `screen`,
// by default its own.
void CenterOnScreen(QWidget* window, const QScreen* screen = nullptr);
// Places `window` at `position`, moved in as far as needed for the whole window to be on
// the primary screen.
void MoveOntoScreen(QWidget* window, QPoint position);
