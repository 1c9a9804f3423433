#include "TandrelApp/Support/CompactSlider.h"

#include <algorithm>
#include <cmath>

#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

CompactSlider::CompactSlider(Theme::Metrics metrics, ControlSize size, QWidget* parent)
    : QAbstractSlider(parent)
    , metrics_(metrics)
    , size_(size) {
    setOrientation(Qt::Horizontal);
    // Like the desktop's sliders, a click does not take the focus; Tab still reaches the slider.
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int action) {
        if (action != SliderNoAction && action != SliderMove) {
            emit userMoved(sliderPosition());
        }
    });
}

QSize CompactSlider::sizeHint() const {
    return {metrics_.px(120), static_cast<int>(std::ceil(metrics_.sliderKnob(size_))) + 2};
}

QSize CompactSlider::minimumSizeHint() const {
    return {metrics_.px(32), sizeHint().height()};
}

double CompactSlider::positionOf(int value) const {
    const double radius = metrics_.sliderKnob(size_) / 2;
    const double span = std::max(0.0, width() - 2 * radius);
    const double range = maximum() - minimum();
    const double fraction = range > 0 ? (std::clamp(value, minimum(), maximum()) - minimum()) / range : 0.0;
    return radius + fraction * span;
}

int CompactSlider::valueAt(double x) const {
    const double radius = metrics_.sliderKnob(size_) / 2;
    const double span = width() - 2 * radius;
    if (span <= 0) {
        return minimum();
    }
    const double fraction = std::clamp((x - radius) / span, 0.0, 1.0);
    return minimum() + static_cast<int>(std::lround(fraction * (maximum() - minimum())));
}

QRectF CompactSlider::knobRect() const {
    const double diameter = metrics_.sliderKnob(size_);
    const double centre = positionOf(sliderPosition());
    return {centre - diameter / 2, (height() - diameter) / 2, diameter, diameter};
}

void CompactSlider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colors = palette();
    const double radius = metrics_.sliderKnob(size_) / 2;
    const double thickness = metrics_.sliderTrack(size_);
    const QRectF track(radius, (height() - thickness) / 2, std::max(0.0, width() - 2 * radius), thickness);
    const QRectF knob = knobRect();

    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::color(ColorRole::primary, colors, 0.12));
    painter.drawRoundedRect(track, thickness / 2, thickness / 2);
    QRectF filled = track;
    filled.setRight(knob.center().x());
    painter.setBrush(isEnabled() ? Theme::color(ColorRole::accent, colors)
                                 : Theme::color(ColorRole::primary, colors, 0.2));
    painter.drawRoundedRect(filled, thickness / 2, thickness / 2);

    // The knob: a soft shadow, the control face and a hairline edge.
    painter.setBrush(QColor(0, 0, 0, isEnabled() ? 40 : 20));
    painter.drawEllipse(knob.translated(0, 0.5).adjusted(-0.5, -0.5, 0.5, 0.5));
    QColor face = Theme::controlColor(colors);
    if (!isEnabled()) {
        face = face.darker(104);
    } else if (isSliderDown()) {
        face = face.darker(110);
    }
    painter.setBrush(face);
    painter.setPen(QPen(Theme::color(ColorRole::primary, colors, isEnabled() ? 0.3 : 0.15), 0.75));
    painter.drawEllipse(knob.adjusted(0.4, 0.4, -0.4, -0.4));

    if (hasFocus() && keyboardFocus_) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Theme::color(ColorRole::accent, colors, 0.6), 2));
        painter.drawEllipse(knob.adjusted(-1, -1, 1, 1));
    }
}

void CompactSlider::moveTo(double x) {
    const int value = valueAt(x);
    setSliderPosition(value);
    emit userMoved(value);
}

void CompactSlider::mousePressEvent(QMouseEvent* event) {
    if (!isEnabled() || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    setSliderDown(true);
    moveTo(event->position().x());
    update();
}

void CompactSlider::mouseMoveEvent(QMouseEvent* event) {
    if (!isSliderDown()) {
        event->ignore();
        return;
    }
    moveTo(event->position().x());
}

void CompactSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (!isSliderDown()) {
        event->ignore();
        return;
    }
    setSliderDown(false);
    update();
}

void CompactSlider::wheelEvent(QWheelEvent* event) {
    event->ignore();
}

void CompactSlider::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ = Theme::showsFocusRing(event->reason());
    QAbstractSlider::focusInEvent(event);
}
