#include "TandrelApp/Mixer/VerticalFader.h"

#include <algorithm>
#include <cmath>

#include <QMouseEvent>
#include <QPainter>

#include "TandrelApp/Mixer/VerticalFaderModel.h"

namespace Model = VerticalFaderModel;

VerticalFader::VerticalFader(Theme::Metrics metrics, double height, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics)
    , height_(std::max(0.0, height)) {
    setFixedSize(sizeHint());
    setToolTip(QStringLiteral("ドラッグで音量を調整（ダブルクリックで 0 dB）"));
}

QSize VerticalFader::sizeHint() const {
    return {metrics_.px(Model::width), static_cast<int>(std::ceil(trackHeight() + 2 * trackTop()))};
}

void VerticalFader::setValue(float dB, bool isMuted) {
    if (dB == dB_ && isMuted == isMuted_) {
        return;
    }
    dB_ = dB;
    isMuted_ = isMuted;
    update();
}

double VerticalFader::trackTop() const {
    // Whole pixels, so the track is drawn sharp and a pixel row maps to the same level at every scale.
    return std::ceil(metrics_.length(Model::knobHeight) / 2);
}

double VerticalFader::trackHeight() const {
    return metrics_.length(height_);
}

QRectF VerticalFader::trackRect() const {
    const double width = metrics_.length(Model::trackWidth);
    return {(this->width() - width) / 2, trackTop(), width, trackHeight()};
}

QRectF VerticalFader::fillRect() const {
    const QRectF track = trackRect();
    const double height = std::max(static_cast<double>(Model::fraction(dB_)) * track.height(), 0.0);
    return {track.left(), track.bottom() - height, track.width(), height};
}

QRectF VerticalFader::tickRect() const {
    const QRectF track = trackRect();
    const double width = metrics_.length(Model::tickWidth);
    const double height = metrics_.length(Model::tickHeight);
    const double lowerEdge = track.bottom() - static_cast<double>(Model::zeroFraction) * track.height();
    return {(this->width() - width) / 2, lowerEdge - height, width, height};
}

QRectF VerticalFader::knobRect() const {
    const double width = metrics_.length(Model::knobWidth);
    const double height = metrics_.length(Model::knobHeight);
    const double centre = fillRect().top();
    return {(this->width() - width) / 2, centre - height / 2, width, height};
}

void VerticalFader::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(isMuted_ ? 0.6 : 1.0);
    painter.setPen(Qt::NoPen);
    const QPalette& colors = palette();

    const QRectF track = trackRect();
    const double capsule = track.width() / 2;
    painter.setBrush(Theme::color(ColorRole::primary, colors, 0.10));
    painter.drawRoundedRect(track, capsule, capsule);

    const QRectF fill = fillRect();
    if (!fill.isEmpty()) {
        painter.setBrush(isMuted_ ? Theme::color(ColorRole::secondary, colors, 0.5)
                                  : Theme::color(ColorRole::accent, colors));
        painter.drawRoundedRect(fill, capsule, capsule);
    }

    painter.setBrush(Theme::color(ColorRole::primary, colors, 0.35));
    painter.drawRect(tickRect());

    const QRectF knob = knobRect();
    const double corner = metrics_.length(2);
    const double shadow = metrics_.length(0.5);
    // A half-point shadow in black at a third: drawn as a soft edge at half that, standing in for the blur.
    painter.setBrush(QColor(0, 0, 0, 42));
    painter.drawRoundedRect(knob.adjusted(-shadow, -shadow, shadow, shadow), corner + shadow,
                            corner + shadow);
    painter.setBrush(Theme::controlColor(colors));
    painter.setPen(QPen(Theme::color(ColorRole::primary, colors, 0.4), metrics_.length(0.5)));
    painter.drawRoundedRect(knob, corner, corner);
}

void VerticalFader::report(float dB) {
    if (onChange_) {
        const OnChange onChange = onChange_;
        onChange(dB);
    }
}

void VerticalFader::reportAt(double y) {
    report(Model::valueAt((y - trackTop()) / metrics_.scale(), height_));
}

void VerticalFader::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    dragging_ = true;
    reportAt(event->position().y());
}

void VerticalFader::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        event->ignore();
        return;
    }
    reportAt(event->position().y());
}

void VerticalFader::mouseReleaseEvent(QMouseEvent*) {
    dragging_ = false;
}

void VerticalFader::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    // The reset comes after the first press's value, and moves of the second press change nothing.
    dragging_ = false;
    report(0.0f);
}
