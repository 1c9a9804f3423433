#include "TandrelApp/Diagnostics/ToggleSwitch.h"

#include <QFocusEvent>
#include <QPainter>
#include <QPainterPath>

namespace {

// The switch of the small control size, in points.
constexpr double kWidth = 32;
constexpr double kHeight = 18;
constexpr double kKnobInset = 1.5;

} // namespace

ToggleSwitch::ToggleSwitch(Theme::Metrics metrics, QWidget* parent)
    : QAbstractButton(parent)
    , metrics_(metrics) {
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(sizeHint());
}

void ToggleSwitch::setOn(bool on) {
    if (on != on_) {
        on_ = on;
        update();
    }
}

QSize ToggleSwitch::sizeHint() const {
    return metrics_.size(kWidth, kHeight);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) {
        painter.setOpacity(0.4);
    }
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = track.height() / 2;
    const QColor fill = on_ ? Theme::color(ColorRole::accent, palette())
                            : Theme::color(ColorRole::primary, palette(), isDown() ? 0.16 : 0.1);
    painter.setPen(on_ ? Qt::NoPen : QPen(Theme::color(ColorRole::primary, palette(), 0.12), 1));
    painter.setBrush(isDown() && on_ ? fill.darker(110) : fill);
    painter.drawRoundedRect(track, radius, radius);

    const double inset = metrics_.length(kKnobInset);
    const double knob = track.height() - 2 * inset;
    const double x = on_ ? track.right() - inset - knob : track.left() + inset;
    const QRectF knobRect(x, track.top() + inset, knob, knob);
    painter.setPen(QPen(QColor(0, 0, 0, 40), 0.5));
    painter.setBrush(Theme::controlColor(palette()));
    painter.drawEllipse(knobRect);

    if (hasFocus() && keyboardFocus_) {
        painter.setPen(QPen(Theme::color(ColorRole::accent, palette(), 0.6), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track, radius, radius);
    }
}

void ToggleSwitch::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ = Theme::showsFocusRing(event->reason());
    QAbstractButton::focusInEvent(event);
}
