#include "app/dialoggeometry.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <cmath>

int Scaled(int pixels, double scale)
{
    return int(std::lround(pixels * scale));
}

void MoveOntoScreen(QWidget* window, QPoint position)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        window->move(position);
        return;
    }
    // Room for the window manager's frame and title bar, which are not known before showing.
    const QRect available = screen->availableGeometry().adjusted(0, 0, -8, -32);
    position.setX(std::max(available.left(), std::min(position.x(), available.right() + 1 - window->width())));
    position.setY(std::max(available.top(), std::min(position.y(), available.bottom() + 1 - window->height())));
    window->move(position);
}
