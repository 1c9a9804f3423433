#include "TandrelApp/Shell/ProductIcon.h"

#include <array>

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace ProductIcon {

// Drawn on a 256-unit square, the geometry of Resources/qorvix.tandrel.app.svg.
QImage image(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);

    QLinearGradient tile(0, 8, 0, 248);
    tile.setColorAt(0, QColor(0x4a, 0x8f, 0xf0));
    tile.setColorAt(1, QColor(0x2a, 0x5c, 0xc4));
    QPainterPath square;
    square.addRoundedRect(QRectF(8, 8, 240, 240), 56, 56);
    painter.fillPath(square, tile);

    // Five bars of a level meter's waveform, tallest in the middle.
    constexpr std::array<double, 5> heights{56, 120, 176, 120, 56};
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    for (std::size_t i = 0; i < heights.size(); ++i) {
        const double x = 36 + static_cast<double>(i) * 40;
        painter.drawRoundedRect(QRectF(x, 128 - heights[i] / 2, 24, heights[i]), 12, 12);
    }
    return image;
}

QIcon icon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        icon.addPixmap(QPixmap::fromImage(image(size)));
    }
    return icon;
}

} // namespace ProductIcon
