#include "TandrelApp/Mixer/StatusDot.h"

#include <QPainter>

StatusDot::StatusDot(ColorRole color, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , color_(color) {
    setFixedSize(metrics.size(6, 6));
}

void StatusDot::setColor(ColorRole color) {
    if (color != color_) {
        color_ = color;
        update();
    }
}

void StatusDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::color(color_, palette()));
    painter.drawEllipse(QRectF(rect()));
}
