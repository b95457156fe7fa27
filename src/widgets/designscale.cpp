#include "widgets/designscale.h"

#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDesignLineHeight = 13.0;

} // namespace

double DesignScale(const QWidget& widget)
{
    return std::max(1.0, widget.fontMetrics().height() / kDesignLineHeight);
}

QSize ScaledDesignSize(const QWidget& widget, QSize size)
{
    const double scale = DesignScale(widget);
    return QSize(int(std::lround(size.width() * scale)), int(std::lround(size.height() * scale)));
}
