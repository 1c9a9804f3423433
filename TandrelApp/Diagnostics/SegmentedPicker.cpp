#include "TandrelApp/Diagnostics/SegmentedPicker.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {

// The regular control size, in points.
constexpr double kHeight = 22;
constexpr double kPadding = 12; // left and right of each title
constexpr double kRadius = 5;
constexpr double kInset = 2; // around the chosen segment's face

} // namespace

SegmentedPicker::SegmentedPicker(QStringList segments, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , segments_(std::move(segments))
    , metrics_(metrics) {
    setFont(metrics_.controlFont(ControlSize::regular));
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SegmentedPicker::setCurrentIndex(int index) {
    index = index >= 0 && index < segments_.size() ? index : -1;
    if (index != current_) {
        current_ = index;
        update();
    }
}

std::vector<int> SegmentedPicker::segmentWidths() const {
    const QFontMetrics metrics(font());
    std::vector<int> widths;
    for (const QString& title : segments_) {
        widths.push_back(metrics.horizontalAdvance(title) + 2 * metrics_.px(kPadding));
    }
    return widths;
}

QSize SegmentedPicker::sizeHint() const {
    const auto widths = segmentWidths();
    return {std::accumulate(widths.begin(), widths.end(), 0), metrics_.px(kHeight)};
}

QRect SegmentedPicker::segmentRect(int index) const {
    const auto widths = segmentWidths();
    if (index < 0 || index >= static_cast<int>(widths.size())) {
        return {};
    }
    const int left = std::accumulate(widths.begin(), widths.begin() + index, 0);
    return {left, 0, widths[static_cast<std::size_t>(index)], height()};
}

int SegmentedPicker::segmentAt(QPoint point) const {
    for (int i = 0; i < segments_.size(); ++i) {
        if (segmentRect(i).contains(point)) {
            return i;
        }
    }
    return -1;
}

void SegmentedPicker::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colors = palette();
    const double radius = metrics_.length(kRadius);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);

    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::color(ColorRole::primary, colors, 0.07));
    painter.drawRoundedRect(frame, radius, radius);

    // Thin separators between two segments neither of which is chosen.
    painter.setPen(QPen(Theme::color(ColorRole::primary, colors, 0.15), 1));
    for (int i = 1; i < segments_.size(); ++i) {
        if (i != current_ && i - 1 != current_) {
            const double x = segmentRect(i).left() + 0.5;
            painter.drawLine(QPointF(x, frame.top() + metrics_.length(5)),
                             QPointF(x, frame.bottom() - metrics_.length(5)));
        }
    }

    for (int i = 0; i < segments_.size(); ++i) {
        const QRectF area = segmentRect(i);
        if (i == current_) {
            const double inset = metrics_.length(kInset);
            const QRectF face = area.adjusted(inset, inset, -inset, -inset);
            painter.setPen(QPen(QColor(0, 0, 0, 30), 0.5));
            painter.setBrush(Theme::controlColor(colors));
            painter.drawRoundedRect(face, radius - 1, radius - 1);
        } else if (i == pressed_) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::color(ColorRole::primary, colors, 0.08));
            painter.drawRoundedRect(area.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
        }
        painter.setPen(Theme::color(ColorRole::primary, colors, isEnabled() ? 1.0 : 0.4));
        painter.drawText(area, Qt::AlignCenter, segments_[i]);
    }

    if (hasFocus() && keyboardFocus_) {
        painter.setPen(QPen(Theme::color(ColorRole::accent, colors, 0.6), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame, radius, radius);
    }
}

void SegmentedPicker::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = segmentAt(event->position().toPoint());
        update();
    }
}

void SegmentedPicker::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const int released = segmentAt(event->position().toPoint());
    const int pressed = std::exchange(pressed_, -1);
    update();
    if (released >= 0 && released == pressed) {
        emit activated(released);
    }
}

void SegmentedPicker::keyPressEvent(QKeyEvent* event) {
    const int step = event->key() == Qt::Key_Left ? -1 : event->key() == Qt::Key_Right ? 1 : 0;
    if (step == 0 || segments_.isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    const int next =
        std::clamp(current_ < 0 ? 0 : current_ + step, 0, static_cast<int>(segments_.size()) - 1);
    if (next != current_) {
        emit activated(next);
    }
}

void SegmentedPicker::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ = Theme::showsFocusRing(event->reason());
    QWidget::focusInEvent(event);
    update();
}

void SegmentedPicker::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}
