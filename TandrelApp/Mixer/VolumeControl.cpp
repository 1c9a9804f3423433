#include "TandrelApp/Mixer/VolumeControl.h"

#include <cmath>

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QPointer>

#include "TandrelApp/Mixer/EditableNumber.h"
#include "TandrelApp/Mixer/VolumeControlModel.h"
#include "TandrelApp/Routing/Volume.h"
#include "TandrelApp/Support/CompactSlider.h"
#include "TandrelApp/Support/GlyphButton.h"

namespace {

// The slider counts in hundredths of a decibel.
constexpr double kSliderUnits = 100.0;

} // namespace

VolumeControl::VolumeControl(Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics)
    , muteButton_(new GlyphButton({"speaker.wave.2.fill", ColorRole::secondary}, metrics.size(16, 16)))
    , slider_(new CompactSlider(metrics, ControlSize::mini))
    , readout_(new EditableNumber(metrics)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(4));
    layout->addWidget(muteButton_, 0, Qt::AlignVCenter);
    layout->addWidget(slider_, 1, Qt::AlignVCenter);
    layout->addWidget(readout_, 0, Qt::AlignVCenter);

    slider_->setRange(static_cast<int>(VolumeControlModel::sliderMinimum * kSliderUnits),
                      static_cast<int>(VolumeControlModel::sliderMaximum * kSliderUnits));
    slider_->setSingleStep(static_cast<int>(0.5 * kSliderUnits));
    slider_->setPageStep(static_cast<int>(6 * kSliderUnits));
    connect(slider_, &CompactSlider::userMoved, this, &VolumeControl::sliderMoved);
    connect(muteButton_, &QAbstractButton::clicked, this, [this] {
        if (onMute_) {
            const OnMute onMute = onMute_;
            onMute(!isMuted_);
        }
    });
    readout_->setParse([](std::string_view text) { return Volume::parseDB(text); });
    readout_->setOnCommit([this](float dB) {
        if (onChange_) {
            const OnChange onChange = onChange_;
            onChange(dB);
        }
    });
    setToolTip(QString::fromUtf8(VolumeControlModel::rowTooltip));
    refresh();
}

void VolumeControl::setValues(float dB, bool isMuted, bool showsMute, double labelWidth) {
    dB_ = dB;
    isMuted_ = isMuted;
    showsMute_ = showsMute;
    labelWidth_ = labelWidth;
    refresh();
}

void VolumeControl::setOnMute(OnMute onMute) {
    onMute_ = std::move(onMute);
    refresh();
}

void VolumeControl::refresh() {
    using namespace VolumeControlModel;
    muteButton_->setVisible(showsMuteButton(showsMute_, static_cast<bool>(onMute_)));
    muteButton_->setGlyph(muteGlyph(dB_, isMuted_));
    muteButton_->setToolTip(QString::fromUtf8(muteButtonTooltip(isMuted_)));

    // The caller's value, not what the user dragged to: a refused or clamped value shows as it is.
    slider_->setSliderPosition(static_cast<int>(std::lround(sliderPosition(dB_) * kSliderUnits)));
    slider_->setEnabled(!isMuted_);

    readout_->setContent({.text = readoutText(dB_, isMuted_),
                          .editingText = editingText(dB_),
                          .color = readoutColor(dB_, isMuted_),
                          .width = labelWidth_,
                          .help = readoutHelp()});
}

void VolumeControl::sliderMoved(int position) {
    if (onChange_) {
        const OnChange onChange = onChange_;
        onChange(VolumeControlModel::sliderValue(position / kSliderUnits));
    }
}

QMenu* VolumeControl::buildMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    for (const auto& item : VolumeControlModel::menu(isMuted_, static_cast<bool>(onMute_))) {
        QAction* action = menu->addAction(QString::fromStdString(item.title));
        const QPointer<VolumeControl> self(this);
        const bool muted = isMuted_;
        connect(action, &QAction::triggered, menu, [self, muted, kind = item.action] {
            if (!self) {
                return;
            }
            if (kind == VolumeControlModel::MenuAction::resetToZero && self->onChange_) {
                const OnChange onChange = self->onChange_;
                onChange(0.0f);
            } else if (kind == VolumeControlModel::MenuAction::toggleMute && self->onMute_) {
                const OnMute onMute = self->onMute_;
                onMute(!muted);
            }
        });
    }
    return menu;
}

void VolumeControl::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = buildMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
