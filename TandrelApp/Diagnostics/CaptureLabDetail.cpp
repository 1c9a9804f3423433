#include "TandrelApp/Diagnostics/CaptureLabDetail.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include "TandrelApp/Diagnostics/CaptureLabStyle.h"
#include "TandrelApp/Diagnostics/CaptureLabViewModel.h"
#include "TandrelApp/Mixer/LiveMeterModel.h"
#include "TandrelApp/Mixer/MixerStyle.h"

namespace {

// In points.
constexpr double kBarHeight = 6;
constexpr double kBarRadius = 2;
constexpr double kIndent = 32;
constexpr double kSpacing = 4;
constexpr double kChannelLabelWidth = 10;

} // namespace

// ---- LevelBar

LevelBar::LevelBar(Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelBar::setValue(float value) {
    if (value != value_) {
        value_ = value;
        update();
    }
}

// The capture lab's bar follows the very rule of the mixer's meters: -60 dB empty, 0 dB full, red above
// -3 dB, yellow above -12 dB.
float LevelBar::fraction() const {
    return LiveMeterModel::fraction(value_);
}

ColorRole LevelBar::colorRole() const {
    return LiveMeterModel::color(value_);
}

QSize LevelBar::sizeHint() const {
    return {metrics_.px(120), metrics_.px(kBarHeight)};
}

QSize LevelBar::minimumSizeHint() const {
    return {metrics_.px(20), metrics_.px(kBarHeight)};
}

void LevelBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const QRectF track(0, (height() - metrics_.length(kBarHeight)) / 2, width(), metrics_.length(kBarHeight));
    const double radius = metrics_.length(kBarRadius);
    // The track in the faintest label colour.
    painter.setBrush(Theme::color(ColorRole::primary, palette(), 0.1));
    painter.drawRoundedRect(track, radius, radius);
    const double filled = track.width() * fraction();
    if (filled > 0) {
        painter.setBrush(Theme::color(colorRole(), palette()));
        painter.drawRoundedRect(QRectF(track.left(), track.top(), filled, track.height()), radius, radius);
    }
}

// ---- CaptureLabDetail

CaptureLabDetail::CaptureLabDetail(Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics)
    , layout_(new QVBoxLayout(this))
    , statistics_(new QLabel(this))
    , error_(new QLabel(this)) {
    layout_->setContentsMargins(metrics_.px(kIndent), 0, 0, 0);
    layout_->setSpacing(metrics_.px(kSpacing));

    statistics_->setFont(CaptureLabStyle::monospaced(metrics_, TextStyle::caption2));
    MixerStyle::setTextColor(*statistics_, ColorRole::secondary);
    statistics_->setWordWrap(true);
    statistics_->setTextFormat(Qt::PlainText);
    statistics_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout_->addWidget(statistics_);

    error_->setFont(metrics_.font(TextStyle::caption));
    MixerStyle::setTextColor(*error_, ColorRole::red);
    error_->setWordWrap(true);
    error_->setTextFormat(Qt::PlainText);
    error_->hide();
    layout_->addWidget(error_);
}

void CaptureLabDetail::setChannelCount(std::size_t channels) {
    while (channelRows_.size() > channels) {
        QWidget* row = channelRows_.back();
        channelRows_.pop_back();
        channelLabels_.pop_back();
        bars_.pop_back();
        delete row;
    }
    while (channelRows_.size() < channels) {
        auto* row = new QWidget(this);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(metrics_.px(kSpacing));
        auto* label =
            new QLabel(CaptureLabStyle::text(CaptureLabViewModel::channelLabel(channelRows_.size())), row);
        label->setFont(CaptureLabStyle::monospaced(metrics_, TextStyle::caption2));
        label->setFixedWidth(metrics_.px(kChannelLabelWidth));
        auto* bar = new LevelBar(metrics_, row);
        line->addWidget(label, 0, Qt::AlignVCenter);
        line->addWidget(bar, 1, Qt::AlignVCenter);
        layout_->insertWidget(static_cast<int>(channelRows_.size()), row);
        channelRows_.push_back(row);
        channelLabels_.push_back(label);
        bars_.push_back(bar);
    }
}

void CaptureLabDetail::refresh(const CaptureLabModel::ActiveCapture& capture) {
    setChannelCount(capture.peak().size());
    for (std::size_t channel = 0; channel < bars_.size(); ++channel) {
        bars_[channel]->setValue(capture.peak()[channel]);
    }
    statistics_->setText(QString::fromStdString(CaptureLabViewModel::statisticsLine(
        capture.source()->backend(), capture.statistics(), capture.dropped())));
    error_->setText(QString::fromStdString(capture.error().value_or("")));
    error_->setVisible(capture.error().has_value());
}
