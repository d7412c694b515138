#include "app/gui/panel_artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace vorn {

namespace {

// Button colours of the strip, left to right, repeated as space allows.
const QColor kButtonColours[] = {
    QColor(255, 214, 0), QColor(220, 30, 30), QColor(0, 150, 60),  QColor(30, 110, 230),
    QColor(245, 245, 245), QColor(255, 140, 0), QColor(0, 170, 190), QColor(150, 60, 200),
};
constexpr int kButtonColourCount = static_cast<int>(sizeof kButtonColours / sizeof kButtonColours[0]);

void DrawButton(QPainter& p, const QRectF& r, const QColor& colour) {
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    face.setColorAt(0.0, colour.lighter(150));
    face.setColorAt(1.0, colour.darker(130));
    p.setPen(QPen(QColor(20, 20, 20), 1.0));
    p.setBrush(face);
    p.drawRoundedRect(r, 3, 3);
}

}  // namespace

QPixmap PanelPicture(const QSize& size) {
    QPixmap pixmap(size.isValid() ? size : QSize(1, 1));
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF body = QRectF(pixmap.rect()).adjusted(1, 1, -1, -1);
    QLinearGradient metal(body.topLeft(), body.bottomLeft());
    metal.setColorAt(0.0, QColor(90, 94, 104));
    metal.setColorAt(1.0, QColor(38, 40, 46));
    p.setPen(QPen(QColor(15, 15, 20), 1.5));
    p.setBrush(metal);
    p.drawRoundedRect(body, 6, 6);

    // Maker's plate on the left.
    const qreal plateWidth = body.height() * 2.2;
    QFont plateFont(QStringLiteral("DejaVu Sans"));
    plateFont.setBold(true);
    plateFont.setPixelSize(qMax(8, static_cast<int>(body.height() * 0.34)));
    p.setFont(plateFont);
    p.setPen(QColor(230, 232, 240));
    p.drawText(QRectF(body.left() + 6, body.top(), plateWidth, body.height()), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("PELLAX"));

    // Two rows of buttons across the rest of the body.
    const qreal margin = body.height() * 0.14;
    const qreal rowHeight = (body.height() - 3 * margin) / 2;
    const qreal buttonWidth = rowHeight * 1.6;
    const qreal left = body.left() + plateWidth + 10;
    // Bounded by the picture's width: one button per step until the edge.
    int index = 0;
    for (qreal x = left; x + buttonWidth <= body.right() - margin; x += buttonWidth + margin, ++index) {
        for (int row = 0; row < 2; ++row) {
            const QRectF r(x, body.top() + margin + row * (rowHeight + margin), buttonWidth, rowHeight);
            DrawButton(p, r, kButtonColours[(index + row * 3) % kButtonColourCount]);
        }
    }
    return pixmap;
}

QPixmap DriverIconPixmap(int edge) {
    const int e = edge > 0 ? edge : 16;
    QPixmap pixmap(e, e);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body(0.5, 0.5, e - 1.0, e - 1.0);
    p.setPen(QPen(QColor(15, 15, 20), 1.0));
    p.setBrush(QColor(55, 58, 66));
    p.drawRoundedRect(body, e / 8.0, e / 8.0);
    const qreal gap = e / 8.0;
    const qreal cell = (e - 3 * gap) / 2;
    for (int i = 0; i < 4; ++i) {
        const QRectF r(gap + (i % 2) * (cell + gap), gap + (i / 2) * (cell + gap), cell, cell);
        DrawButton(p, r, kButtonColours[i]);
    }
    return pixmap;
}

QIcon DriverIcon() {
    QIcon icon;
    for (int edge : {16, 32, 48}) icon.addPixmap(DriverIconPixmap(edge));
    return icon;
}

}  // namespace vorn
