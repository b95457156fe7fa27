#include "app/dialoggeometry.h"

#include <QFontMetrics>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

int Scaled(int pixels, double scale)
{
    return int(std::lround(pixels * scale));
}

void CenterOnScreen(QWidget* window, const QScreen* screen)
{
    if (!screen)
        screen = window->screen();
    if (!screen)
        return;
    QRect frame(QPoint(), window->size());
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}
