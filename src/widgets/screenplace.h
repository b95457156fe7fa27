#pragma once

class QScreen;
class QWidget;

// Places a window that is about to be shown in the middle of the free area of `screen`,
// by default its own. A dialog placed so keeps that place when shown (Qt centres a dialog
// over its parent only when it was not moved).
void CenterOnScreen(QWidget* window, const QScreen* screen = nullptr);
