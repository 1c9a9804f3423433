#include "TandrelApp/Mixer/ChannelVolumeList.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/VolumeControl.h"

// One channel: its label in a fixed column, then its volume control.
class ChannelVolumeList::Row : public QWidget {
public:
    Row(ChannelVolumeList& list, int channel)
        : label_(new QLabel)
        , control_(new VolumeControl(list.metrics_)) {
        const Theme::Metrics& metrics = list.metrics_;
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(metrics.px(6));
        layout->addWidget(label_, 0, Qt::AlignVCenter);
        layout->addWidget(control_, 1, Qt::AlignVCenter);
        label_->setFont(metrics.font(TextStyle::caption2, {.monospacedDigits = true}));
        label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        QPalette colors = label_->palette();
        colors.setColor(QPalette::WindowText, Theme::color(ColorRole::secondary, colors));
        label_->setPalette(colors);
        ChannelVolumeList* owner = &list;
        control_->setOnChange([owner, channel](float dB) {
            if (owner->onChange_) {
                const OnChange onChange = owner->onChange_;
                onChange(channel, dB);
            }
        });
        control_->setOnMute([owner, channel](bool muted) {
            if (owner->onMute_) {
                const OnMute onMute = owner->onMute_;
                onMute(channel, muted);
            }
        });
    }

    void display(const std::string& label, float dB, bool muted, int labelWidth) {
        label_->setText(QString::fromStdString(label));
        label_->setFixedWidth(labelWidth);
        control_->setValues(dB, muted, true, 52);
    }

    VolumeControl* control() const { return control_; }

private:
    QLabel* label_;
    VolumeControl* control_;
};

ChannelVolumeList::ChannelVolumeList(Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics)
    , layout_(new QVBoxLayout(this))
    , rows_(std::make_unique<KeyedChildren<int, Row>>(layout_)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(metrics.px(2));
}

ChannelVolumeList::~ChannelVolumeList() = default;

void ChannelVolumeList::setChannels(const std::vector<int>& channels, const Label& label, const Level& dB,
                                    const Muted& isMuted, double labelWidth) {
    const int width = metrics_.px(labelWidth);
    rows_->sync(
        channels, [this](const int& channel) { return new Row(*this, channel); },
        [&](Row& row, const int& channel) {
            row.display(label(channel), dB(channel), isMuted(channel), width);
        });
}

VolumeControl* ChannelVolumeList::control(int channel) const {
    Row* row = rows_->find(channel);
    return row != nullptr ? row->control() : nullptr;
}
