#include "app/aboutpicture.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace {

constexpr double kWidth = 340.0;
constexpr double kHeight = 192.0;

const QColor kPacket(0xf2, 0xa5, 0x3a);

void paintBackground(QPainter& painter)
{
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0.0, QColor(0x0e, 0x25, 0x42));
    sky.setColorAt(1.0, QColor(0x1d, 0x5a, 0x86));
    painter.fillRect(QRectF(0, 0, kWidth, kHeight), sky);

    // A faint network grid.
    painter.setPen(QPen(QColor(255, 255, 255, 18), 1.0));
    for (double x = 10; x < kWidth; x += 20)
        painter.drawLine(QPointF(x, 0), QPointF(x, kHeight));
    for (double y = 6; y < kHeight; y += 20)
        painter.drawLine(QPointF(0, y), QPointF(kWidth, y));

    QRadialGradient glow(QPointF(kWidth / 2, 70), 150);
    glow.setColorAt(0.0, QColor(120, 190, 255, 70));
    glow.setColorAt(1.0, QColor(120, 190, 255, 0));
    painter.fillRect(QRectF(0, 0, kWidth, kHeight), glow);
}

// A PC with its screen's top left at `origin`; `files` draws documents on the screen,
// otherwise a folder.
void paintComputer(QPainter& painter, QPointF origin, bool files)
{
    const QRectF body(origin, QSizeF(86, 62));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd9, 0xe2, 0xec));
    painter.drawRoundedRect(body, 5, 5);
    QLinearGradient glass(body.topLeft(), body.bottomRight());
    glass.setColorAt(0.0, QColor(0x5f, 0xb4, 0xf0));
    glass.setColorAt(1.0, QColor(0x1f, 0x6f, 0xb5));
    const QRectF screen = body.adjusted(5, 5, -5, -5);
    painter.setBrush(glass);
    painter.drawRoundedRect(screen, 2, 2);
    // Stand and foot.
    painter.setBrush(QColor(0xb7, 0xc4, 0xd2));
    painter.drawRect(QRectF(body.center().x() - 6, body.bottom(), 12, 10));
    painter.drawRoundedRect(QRectF(body.center().x() - 24, body.bottom() + 9, 48, 6), 3, 3);

    painter.setBrush(QColor(255, 255, 255, 230));
    if (files) {
        for (int i = 0; i < 3; ++i) {
            const QRectF sheet(screen.left() + 10 + i * 20, screen.top() + 10, 14, 18);
            QPainterPath path;
            path.moveTo(sheet.topLeft());
            path.lineTo(sheet.right() - 4, sheet.top());
            path.lineTo(sheet.right(), sheet.top() + 4);
            path.lineTo(sheet.bottomRight());
            path.lineTo(sheet.bottomLeft());
            path.closeSubpath();
            painter.drawPath(path);
        }
        painter.setBrush(QColor(255, 255, 255, 120));
        painter.drawRect(QRectF(screen.left() + 10, screen.top() + 36, 54, 3));
    } else {
        QPainterPath folder;
        const QRectF front(screen.left() + 20, screen.top() + 14, 36, 24);
        folder.moveTo(front.left(), front.top() - 5);
        folder.lineTo(front.left() + 13, front.top() - 5);
        folder.lineTo(front.left() + 16, front.top());
        folder.lineTo(front.right(), front.top());
        folder.lineTo(front.bottomRight());
        folder.lineTo(front.bottomLeft());
        folder.closeSubpath();
        painter.setBrush(QColor(0xff, 0xd5, 0x7a));
        painter.drawPath(folder);
    }
}

// Blocks of a file along an arc from the left PC to the right one, ending in an arrow.
void paintTransfer(QPainter& painter)
{
    const QPointF from(118, 60);
    const QPointF to(224, 60);
    const QPointF control(171, 18);
    const auto along = [&](double t) {
        const double u = 1 - t;
        return u * u * from + 2 * u * t * control + t * t * to;
    };
    painter.setPen(QPen(QColor(255, 255, 255, 60), 1.5, Qt::DashLine));
    painter.setBrush(Qt::NoBrush);
    QPainterPath arc(from);
    arc.quadTo(control, to);
    painter.drawPath(arc);

    painter.setPen(Qt::NoPen);
    const int blocks = 5;
    for (int i = 0; i < blocks; ++i) {
        const double t = 0.1 + 0.16 * i;
        QColor colour = kPacket;
        colour.setAlpha(110 + 145 * i / (blocks - 1));
        painter.setBrush(colour);
        const QPointF centre = along(t);
        painter.drawRoundedRect(QRectF(centre - QPointF(6, 6), QSizeF(12, 12)), 2.5, 2.5);
    }
    // The arrow at the end points along the arc.
    const QPointF tip = along(1.0);
    const QPointF back = along(0.9);
    const double angle = std::atan2(tip.y() - back.y(), tip.x() - back.x());
    painter.save();
    painter.translate(tip);
    painter.rotate(angle * 180.0 / M_PI);
    QPainterPath head;
    head.moveTo(2, 0);
    head.lineTo(-10, -7);
    head.lineTo(-10, 7);
    head.closeSubpath();
    painter.setBrush(kPacket);
    painter.drawPath(head);
    painter.restore();
}

void paintName(QPainter& painter)
{
    QFont title(QStringLiteral("Sans Serif"));
    title.setStyleHint(QFont::SansSerif);
    title.setPixelSize(26);
    title.setBold(true);
    painter.setFont(title);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(0, 128, kWidth, 32), Qt::AlignCenter, QStringLiteral("Ferrowarden"));

    QFont tagline = title;
    tagline.setPixelSize(12);
    tagline.setBold(false);
    painter.setFont(tagline);
    painter.setPen(QColor(0xc8, 0xdc, 0xf0));
    painter.drawText(QRectF(0, 160, kWidth, 18), Qt::AlignCenter,
                     QStringLiteral("Files from PC to PC, block by block"));
}

} // namespace

QPixmap PaintAboutPicture(QSize size, qreal devicePixelRatio)
{
    QPixmap picture(size * devicePixelRatio);
    picture.setDevicePixelRatio(devicePixelRatio);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.scale(size.width() / kWidth, size.height() / kHeight);
    paintBackground(painter);
    paintComputer(painter, QPointF(22, 34), true);
    paintComputer(painter, QPointF(232, 34), false);
    paintTransfer(painter);
    paintName(painter);
    return picture;
}
