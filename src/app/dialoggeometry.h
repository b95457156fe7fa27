#pragma once

#include "widgets/designscale.h"
#include "widgets/screenplace.h"

// Sizes and places of the dialogs, at the design's font scaled by DesignScale.
// `pixels` of the design at `scale`, rounded.
int Scaled(int pixels, double scale);
