#include "TandrelApp/Mixer/SourceChannelVolumes.h"

#include <QLabel>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/SourceChannelVolumesModel.h"
#include "TandrelApp/Routing/RoutingController.h"

namespace {

constexpr double kPadding = 14;
constexpr double kListWidth = 280;
constexpr double kLabelWidth = 44;

} // namespace

SourceChannelVolumes::SourceChannelVolumes(RoutingController& controller, Theme::Metrics metrics,
                                           const UUID& sourceID, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , sourceID_(sourceID)
    , content_(new QWidget)
    , title_(MixerStyle::label({}, metrics.font(TextStyle::callout, {.weight = Theme::Weight::semibold})))
    , channels_(new ChannelVolumeList(metrics)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(content_);
    auto* layout = new QVBoxLayout(content_);
    const int padding = metrics.px(kPadding);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(metrics.px(8));
    layout->addWidget(title_);
    channels_->setFixedWidth(metrics.px(kListWidth));
    layout->addWidget(channels_);
    auto* note = MixerStyle::label(QString::fromUtf8(SourceChannelVolumesModel::note),
                                   metrics.font(TextStyle::caption), ColorRole::secondary);
    layout->addWidget(note);

    channels_->setOnChange(
        [this](int channel, float dB) { controller_.setSourceChannelVolume(sourceID_, channel, dB); });
    channels_->setOnMute(
        [this](int channel, bool muted) { controller_.setSourceChannelMuted(sourceID_, channel, muted); });
    refresh();
}

bool SourceChannelVolumes::showsSource() const {
    return !content_->isHidden();
}

void SourceChannelVolumes::refresh() {
    const std::optional<SourceConfig> source = controller_.source(sourceID_);
    // A source removed while the popover is open leaves it empty.
    content_->setVisible(source.has_value());
    if (!source) {
        return;
    }
    title_->setText(QString::fromStdString(SourceChannelVolumesModel::title(source->name)));
    const auto channels =
        SourceChannelVolumesModel::channels(controller_.sourceChannelCount(Endpoint::source(sourceID_)));
    const std::size_t count = channels.size();
    channels_->setChannels(
        channels, [count](int channel) { return SourceChannelVolumesModel::label(channel, count); },
        [&source](int channel) {
            auto found = source->channelDB.find(channel);
            return found == source->channelDB.end() ? 0.0f : found->second;
        },
        [&source](int channel) { return source->mutedChannels.contains(channel); }, kLabelWidth);
}
