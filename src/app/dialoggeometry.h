#pragma once

class QScreen;
class QWidget;

// Sizes and places of the dialogs. Their sizes are those of an 8-point font whose lines are
// 13 pixels high; where the platform font is larger, every fixed size grows in proportion,
// so that captions fit.
double DesignScale(const QWidget* widget);
// `pixels` of the design at `scale`, rounded.
int Scaled(int pixels, double scale);
// Places a window that is about to be shown in the middle of the free area of `screen`,
// by default its own.
void CenterOnScreen(QWidget* window, const QScreen* screen = nullptr);
