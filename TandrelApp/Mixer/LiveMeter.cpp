#include "TandrelApp/Mixer/LiveMeter.h"

#include <algorithm>
#include <cmath>

#include <QPainter>

#include "TandrelApp/Mixer/LiveMeterModel.h"

namespace {

// Thickness across the bar, in points.
constexpr double kThickness = 4;

} // namespace

LiveMeter::LiveMeter(MeterStore& store, MeterKey key, int channel, bool vertical, Theme::Metrics metrics,
                     QWidget* parent)
    : QWidget(parent)
    , store_(&store)
    , key_(std::move(key))
    , channel_(channel)
    , vertical_(vertical)
    , metrics_(metrics) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    applyOrientation();
    store.addView(*this);
    takeLevel();
}

void LiveMeter::configure(MeterKey key, int channel, bool vertical) {
    if (key == key_ && channel == channel_ && vertical == vertical_) {
        return; // the store's next poll brings the level
    }
    key_ = std::move(key);
    channel_ = channel;
    if (vertical != vertical_) {
        vertical_ = vertical;
        applyOrientation();
    }
    takeLevel();
}

void LiveMeter::applyOrientation() {
    const int thickness = metrics_.px(kThickness);
    if (vertical_) {
        setMinimumSize(thickness, 0);
        setMaximumSize(thickness, QWIDGETSIZE_MAX);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    } else {
        setMinimumSize(0, thickness);
        setMaximumSize(QWIDGETSIZE_MAX, thickness);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    updateGeometry();
    update();
}

void LiveMeter::takeLevel() {
    const float level = store_ ? store_->level(key_, channel_) : 0.0f;
    if (level != value_) {
        value_ = level;
        redraw();
    }
}

bool LiveMeter::isInVisibleWindow() const {
    return isVisible() && !window()->isMinimized();
}

QSize LiveMeter::sizeHint() const {
    const int thickness = metrics_.px(kThickness);
    const int along = metrics_.px(40);
    return vertical_ ? QSize(thickness, along) : QSize(along, thickness);
}

QSize LiveMeter::minimumSizeHint() const {
    const int thickness = metrics_.px(kThickness);
    return vertical_ ? QSize(thickness, 0) : QSize(0, thickness);
}

QRectF LiveMeter::fillRect() const {
    const QRectF bounds(rect());
    const double fraction = LiveMeterModel::fraction(value_);
    if (vertical_) {
        const double height = bounds.height() * fraction;
        return {bounds.left(), bounds.bottom() - height, bounds.width(), height};
    }
    return {bounds.left(), bounds.top(), bounds.width() * fraction, bounds.height()};
}

LiveMeter::Shown LiveMeter::shown() const {
    const QRectF bar = fillRect();
    const double extent = vertical_ ? bar.height() : bar.width();
    return {std::lround(extent * devicePixelRatioF() * 4), LiveMeterModel::color(value_)};
}

void LiveMeter::redraw() {
    if (!painted_ || shown() != *painted_) {
        update();
    }
}

void LiveMeter::paintEvent(QPaintEvent*) {
    painted_ = shown();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF bounds(rect());
    const double radius = std::min(bounds.width(), bounds.height()) / 2;
    painter.setBrush(Theme::color(ColorRole::primary, palette(), 0.08));
    painter.drawRoundedRect(bounds, radius, radius);
    const QRectF bar = fillRect();
    if (!bar.isEmpty()) {
        painter.setBrush(Theme::color(LiveMeterModel::color(value_), palette()));
        painter.drawRoundedRect(bar, radius, radius);
    }
}
