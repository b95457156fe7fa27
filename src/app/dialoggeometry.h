#pragma once

#include "widgets/designscale.h"
#include "widgets/screenplace.h"

#include <QPoint>

class QWidget;

// Sizes and places of the dialogs, at the design's font scaled by DesignScale.
// `pixels` of the design at `scale`, rounded.
int Scaled(int pixels, double scale);
// Places `window` at `position`, moved in as far as needed for the whole window to be on
// the primary screen.
void MoveOntoScreen(QWidget* window, QPoint position);
