#include "TandrelApp/Mixer/LineHardwareVolume.h"

#include <cmath>

#include <QHBoxLayout>

#include "TandrelApp/Mixer/EditableNumber.h"
#include "TandrelApp/Mixer/LineVolumeModel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/Volume.h"
#include "TandrelApp/Support/CompactSlider.h"
#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/PlainText.h"

namespace {

constexpr std::chrono::milliseconds kDragHold{300};
constexpr double kNumberWidth = 52;

} // namespace

LineHardwareVolume::LineHardwareVolume(RoutingController& controller, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , metrics_(metrics)
    , muteButton_(new GlyphButton({"speaker.wave.2.fill", ColorRole::secondary}, metrics.size(16, 16)))
    , slider_(new CompactSlider(metrics, ControlSize::mini))
    , number_(new EditableNumber(metrics)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(4));
    layout->addWidget(muteButton_, 0, Qt::AlignVCenter);
    layout->addWidget(slider_, 1, Qt::AlignVCenter);
    layout->addWidget(number_, 0, Qt::AlignVCenter);
    slider_->setRange(0, sliderUnits);
    slider_->setSingleStep(sliderUnits / 100);
    slider_->setPageStep(sliderUnits / 10);

    dragClear_.setSingleShot(true);
    dragClear_.setInterval(kDragHold);
    connect(&dragClear_, &QTimer::timeout, this, [this] {
        dragging_.reset();
        refresh();
    });
    connect(muteButton_, &QAbstractButton::clicked, this, [this] {
        const auto hardware = LineVolumeModel::hardware(controller_.hardwareVolumes(), line_.uid);
        controller_.setHardwareVolume(line_.uid, hardware.scalar, !hardware.muted);
    });
    connect(slider_, &CompactSlider::userMoved, this, &LineHardwareVolume::sliderMoved);
    connect(slider_, &CompactSlider::sliderReleased, this, &LineHardwareVolume::dragEnded);
    number_->setParse([](std::string_view text) { return Volume::parsePercent(text); });
    // A typed value also unmutes.
    number_->setOnCommit([this](float scalar) { controller_.setHardwareVolume(line_.uid, scalar, false); });
}

void LineHardwareVolume::display(const AudioDeviceInfo& line) {
    line_ = line;
    refresh();
}

void LineHardwareVolume::refresh() {
    using namespace LineVolumeModel;
    const auto volume = hardware(controller_.hardwareVolumes(), line_.uid);
    const float value = shown(volume, dragging_);
    const int percentage = percent(value);
    setToolTip(PlainText::toolTip(volumeTooltip(line_.name)));
    muteButton_->setGlyph(muteGlyph(value, volume.muted));
    muteButton_->setToolTip(QString::fromStdString(muteTooltip(volume.muted)));
    slider_->setSliderPosition(static_cast<int>(std::lround(static_cast<double>(value) * sliderUnits)));
    slider_->setEnabled(!volume.muted);
    number_->setContent({.text = numberText(percentage, volume.muted),
                         .editingText = editingText(percentage),
                         .color = numberColor(volume.muted),
                         .width = kNumberWidth,
                         .help = numberHelp(line_.name)});
}

// Every step of a drag writes the device; the view holds the dragged value meanwhile.
void LineHardwareVolume::sliderMoved(int position) {
    dragClear_.stop();
    const float value = LineVolumeModel::dragValue(static_cast<double>(position) / sliderUnits);
    dragging_ = value;
    const auto volume = LineVolumeModel::hardware(controller_.hardwareVolumes(), line_.uid);
    controller_.setHardwareVolume(line_.uid, value, volume.muted);
    refresh();
    if (!slider_->isSliderDown()) {
        dragEnded(); // a step by key is a drag of its own
    }
}

void LineHardwareVolume::dragEnded() {
    dragClear_.start();
}
