#include "TandrelApp/Mixer/PairVolumeDetail.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace {

constexpr double kPadding = 14;
constexpr double kRowWidth = 280;
constexpr double kCaptionWidth = 44;
constexpr double kExplanationWidth = 240;

} // namespace

PairVolumeDetail::PairVolumeDetail(RoutingController& controller, Theme::Metrics metrics,
                                   std::function<void()> onSplit, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , title_(MixerStyle::label({}, metrics.font(TextStyle::callout, {.weight = Theme::Weight::semibold})))
    , pairCaption_(MixerStyle::label({}, metrics.font(TextStyle::caption2), ColorRole::secondary))
    , pairVolume_(new VolumeControl(metrics))
    , channels_(new ChannelVolumeList(metrics))
    , splitSection_(new QWidget)
    , splitButton_(new QPushButton)
    , explanation_(MixerStyle::label({}, metrics.font(TextStyle::caption), ColorRole::secondary)) {
    auto* layout = new QVBoxLayout(this);
    const int padding = metrics.px(kPadding);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(metrics.px(8));
    layout->addWidget(title_);

    auto* pairRow = new QWidget;
    pairRow->setFixedWidth(metrics.px(kRowWidth));
    auto* pairLayout = new QHBoxLayout(pairRow);
    pairLayout->setContentsMargins(0, 0, 0, 0);
    pairLayout->setSpacing(metrics.px(6));
    pairCaption_->setFixedWidth(metrics.px(kCaptionWidth));
    pairLayout->addWidget(pairCaption_);
    pairLayout->addWidget(pairVolume_, 1);
    layout->addWidget(pairRow);

    channels_->setFixedWidth(metrics.px(kRowWidth));
    layout->addWidget(channels_);

    auto* splitLayout = new QVBoxLayout(splitSection_);
    splitLayout->setContentsMargins(0, 0, 0, 0);
    splitLayout->setSpacing(metrics.px(8));
    splitLayout->addWidget(MixerStyle::divider());
    splitButton_->setFont(metrics.controlFont(ControlSize::regular));
    splitLayout->addWidget(splitButton_, 0, Qt::AlignLeft);
    explanation_->setWordWrap(true);
    explanation_->setFixedWidth(metrics.px(kExplanationWidth));
    splitLayout->addWidget(explanation_);
    layout->addWidget(splitSection_);

    connect(splitButton_, &QPushButton::clicked, this, [onSplit = std::move(onSplit)] {
        if (onSplit) {
            onSplit();
        }
    });
    // The pair row sets the pair's level, also when the popover belongs to one of its split columns.
    pairVolume_->setOnChange([this](float dB) {
        controller_.setPairVolume(header_.device.uid, PairHeaderModel::firstChannel(header_), dB);
    });
    channels_->setOnChange(
        [this](int channel, float dB) { controller_.setChannelVolume(header_.device.uid, channel, dB); });
    channels_->setOnMute(
        [this](int channel, bool muted) { controller_.setChannelMuted(header_.device.uid, channel, muted); });
}

void PairVolumeDetail::display(const PairHeaderModel::Header& header) {
    header_ = header;
    title_->setText(QString::fromStdString(PairHeaderModel::popoverTitle(header)));
    pairCaption_->setText(QString::fromStdString(PairHeaderModel::pairCaption(header)));
    pairVolume_->setValues(PairHeaderModel::pairLevel(header), false, false, 52);

    const auto rows = PairHeaderModel::channelRows(header);
    std::vector<int> channels;
    for (const auto& row : rows) {
        channels.push_back(static_cast<int>(row.channel));
    }
    const auto rowOf = [&rows](int channel) {
        return *std::ranges::find(rows, static_cast<std::int64_t>(channel),
                                  &PairHeaderModel::ChannelRow::channel);
    };
    channels_->setChannels(
        channels, [&rowOf](int channel) { return rowOf(channel).label; },
        [&rowOf](int channel) { return rowOf(channel).dB; },
        [&rowOf](int channel) { return rowOf(channel).muted; }, 44);

    const auto split = PairHeaderModel::splitTitle(header);
    splitSection_->setVisible(split.has_value());
    if (split) {
        splitButton_->setText(QString::fromStdString(*split));
        explanation_->setText(QString::fromStdString(PairHeaderModel::explanation(header).value_or("")));
    }
}
