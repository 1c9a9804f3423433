#include "TandrelApp/Support/Spinner.h"

#include <QPainter>

Spinner::Spinner(const Theme::Metrics& metrics, double points, QWidget* parent)
    : QWidget(parent) {
    setFixedSize(metrics.size(points, points));
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent*) {
    timer_.start();
}

void Spinner::hideEvent(QHideEvent*) {
    timer_.stop();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double pen = width() / 8.0;
    const QRectF ring = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    painter.setPen(QPen(Theme::color(ColorRole::primary, palette(), 0.15), pen));
    painter.drawEllipse(ring);
    painter.setPen(QPen(Theme::color(ColorRole::secondary, palette()), pen, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(ring, -angle_ * 16, 100 * 16);
}
