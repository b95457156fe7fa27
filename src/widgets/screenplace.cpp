#include "widgets/screenplace.h"

#include <QRect>
#include <QScreen>
#include <QWidget>

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
