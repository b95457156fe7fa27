#pragma once

#include <QSize>

class QWidget;

// The windows' sizes are laid out for an 8-point font whose lines are 13 pixels high. Where
// the platform font is larger, sizes grow by this factor (never below 1), so that every
// caption fits.
double DesignScale(const QWidget& widget);
// `size` at the design's font, scaled for `widget`'s font.
QSize ScaledDesignSize(const QWidget& widget, QSize size);
