#include "app/wizardpicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap PaintWizardPicture(QSize size, const QPalette& palette, qreal ratio)
{
    QPixmap pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, palette.color(QPalette::Highlight).lighter(130));
    sky.setColorAt(1, palette.color(QPalette::Highlight).darker(170));
    painter.fillRect(QRect(QPoint(0, 0), size), sky);

    const qreal w = size.width();
    const qreal h = size.height();
    const auto computer = [&](qreal top) {
        const QRectF screen(w * 0.22, top, w * 0.56, h * 0.16);
        painter.setPen(QPen(QColor(30, 30, 40), 2));
        painter.setBrush(QColor(235, 238, 245));
        painter.drawRoundedRect(screen, 4, 4);
        painter.setBrush(QColor(60, 110, 170));
        painter.drawRect(screen.adjusted(5, 5, -5, -5));
        painter.setBrush(QColor(200, 204, 212));
        painter.drawRect(QRectF(w * 0.44, screen.bottom(), w * 0.12, h * 0.03));
        painter.drawRoundedRect(QRectF(w * 0.3, screen.bottom() + h * 0.03, w * 0.4, h * 0.025), 2, 2);
    };
    computer(h * 0.08);
    computer(h * 0.66);

    // The cable with a file travelling down it.
    painter.setPen(QPen(QColor(250, 250, 250), 3, Qt::DashLine));
    painter.drawLine(QPointF(w * 0.5, h * 0.3), QPointF(w * 0.5, h * 0.64));
    QPainterPath file;
    const QRectF page(w * 0.34, h * 0.4, w * 0.32, h * 0.14);
    file.moveTo(page.topLeft());
    file.lineTo(page.right() - page.width() * 0.3, page.top());
    file.lineTo(page.right(), page.top() + page.width() * 0.3);
    file.lineTo(page.bottomRight());
    file.lineTo(page.bottomLeft());
    file.closeSubpath();
    painter.setPen(QPen(QColor(30, 30, 40), 1.5));
    painter.setBrush(QColor(255, 250, 220));
    painter.drawPath(file);
    painter.setPen(QPen(QColor(120, 120, 120), 1));
    for (int line = 1; line <= 3; ++line) {
        const qreal y = page.top() + page.height() * (0.3 + 0.18 * line);
        painter.drawLine(QPointF(page.left() + 5, y), QPointF(page.right() - 5, y));
    }
    return pixmap;
}
