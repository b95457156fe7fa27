#include "app/dialoggeometry.h"

#include <cmath>

int Scaled(int pixels, double scale)
{
    return int(std::lround(pixels * scale));
}
