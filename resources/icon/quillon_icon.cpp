#include "resources/icon/quillon_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace quillon_icon {

QImage Draw(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);  // drawn on a 64 x 64 grid

    // Rounded square in deep blue.
    QLinearGradient back(0, 0, 0, 64);
    back.setColorAt(0, QColor(0x2a, 0x6f, 0xb8));
    back.setColorAt(1, QColor(0x17, 0x3f, 0x73));
    p.setPen(Qt::NoPen);
    p.setBrush(back);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // The hand-held marker seen from the side: body, grip and print head.
    p.setBrush(QColor(0xf2, 0xf4, 0xf7));
    p.drawRoundedRect(QRectF(12, 12, 30, 20), 5, 5);
    p.drawRoundedRect(QRectF(30, 26, 10, 18), 3, 3);
    p.setBrush(QColor(0x9a, 0xa7, 0xb8));
    p.drawRect(QRectF(14, 30, 16, 4));

    // An ink drop leaving the head and the dotted line it prints.
    QPainterPath drop;
    drop.moveTo(22, 36);
    drop.cubicTo(25, 40, 27, 42, 27, 44.5);
    drop.cubicTo(27, 47.5, 17, 47.5, 17, 44.5);
    drop.cubicTo(17, 42, 19, 40, 22, 36);
    p.setBrush(QColor(0x35, 0xd0, 0xe8));
    p.drawPath(drop);
    for (int i = 0; i < 3; ++i) p.drawEllipse(QRectF(10 + 6 * i, 52, 3.5, 3.5));

    // The update badge: a green circle with an arrow pointing down.
    p.setBrush(QColor(0x2e, 0xb8, 0x5c));
    p.setPen(QPen(QColor(0xff, 0xff, 0xff), 2));
    p.drawEllipse(QRectF(39, 39, 21, 21));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(47.5, 43);
    arrow.lineTo(51.5, 43);
    arrow.lineTo(51.5, 49);
    arrow.lineTo(55, 49);
    arrow.lineTo(49.5, 55.5);
    arrow.lineTo(44, 49);
    arrow.lineTo(47.5, 49);
    arrow.closeSubpath();
    p.drawPath(arrow);
    p.end();
    return image;
}

}  // namespace quillon_icon
