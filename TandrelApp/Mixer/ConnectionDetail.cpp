#include "TandrelApp/Mixer/ConnectionDetail.h"

#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/MonoSourcePicker.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/CompactSlider.h"

namespace {

// The gain slider counts in hundredths of a decibel.
constexpr double kSliderUnits = 100.0;
constexpr double kFormWidth = 340;
constexpr double kPadding = 16;
constexpr double kReadoutWidth = 64;

} // namespace

ConnectionDetail::ConnectionDetail(RoutingController& controller, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , metrics_(metrics)
    , form_(new QWidget)
    , rows_(new QFormLayout)
    , modeBox_(new QComboBox)
    , monoPicker_(new MonoSourcePicker(controller))
    , sourceBox_(new QComboBox)
    , gainRow_(new QWidget)
    , gainSlider_(new CompactSlider(metrics, ControlSize::small))
    , gainReadout_(new QLabel)
    , muteToggle_(new QCheckBox)
    , resetButton_(new QPushButton(QString::fromUtf8(ConnectionDetailModel::resetTitle))) {
    setFixedWidth(metrics.px(kFormWidth));
    setFont(metrics.controlFont(ControlSize::regular));
    auto* outer = new QVBoxLayout(this);
    const int padding = metrics.px(kPadding);
    outer->setContentsMargins(padding, padding, padding, padding);
    outer->addWidget(form_);
    auto* formLayout = new QVBoxLayout(form_);
    formLayout->setContentsMargins(0, 0, 0, 0);
    formLayout->setSpacing(metrics.px(10));
    formLayout->addLayout(rows_);
    rows_->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rows_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    rows_->setHorizontalSpacing(metrics.px(8));
    rows_->setVerticalSpacing(metrics.px(8));

    for (MappingMode mode : allMappingModes) {
        modeBox_->addItem(QString::fromStdString(ConnectionDetailModel::modeName(mode)));
    }
    auto* gainLayout = new QHBoxLayout(gainRow_);
    gainLayout->setContentsMargins(0, 0, 0, 0);
    gainLayout->setSpacing(metrics.px(8));
    gainLayout->addWidget(gainSlider_, 1);
    gainLayout->addWidget(gainReadout_);
    gainReadout_->setFixedWidth(metrics.px(kReadoutWidth));
    gainReadout_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    gainReadout_->setFont(metrics.font(TextStyle::body, {.monospacedDigits = true}));
    gainSlider_->setRange(static_cast<int>(ConnectionDetailModel::gainMinimum * kSliderUnits),
                          static_cast<int>(ConnectionDetailModel::gainMaximum * kSliderUnits));
    gainSlider_->setSingleStep(static_cast<int>(ConnectionDetailModel::gainStep * kSliderUnits));
    gainSlider_->setPageStep(static_cast<int>(6 * kSliderUnits));

    rows_->addRow(QString::fromUtf8(ConnectionDetailModel::modeTitle), modeBox_);
    rows_->addRow(QString::fromUtf8(ConnectionDetailModel::monoTitle), monoPicker_);
    rows_->addRow(QString::fromUtf8(ConnectionDetailModel::sourceChannelTitle), sourceBox_);
    rows_->addRow(QString::fromUtf8(ConnectionDetailModel::gainTitle), gainRow_);
    rows_->addRow(QString::fromUtf8(ConnectionDetailModel::muteTitle), muteToggle_);
    auto* resetRow = new QHBoxLayout;
    resetRow->addStretch();
    resetRow->addWidget(resetButton_);
    formLayout->addLayout(resetRow);

    connect(modeBox_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(allMappingModes.size())) {
            const MappingMode mode = allMappingModes[static_cast<std::size_t>(index)];
            // The form's mapping keeps a custom route mask; only the cell's menu clears it.
            edit([mode](Connection& connection) { connection.mode = mode; });
        }
    });
    connect(sourceBox_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(sourceChoices_.size())) {
            const std::int64_t channel = sourceChoices_[static_cast<std::size_t>(index)];
            edit([channel](Connection& connection) { connection.sourceChannel = channel; });
        }
    });
    connect(gainSlider_, &CompactSlider::userMoved, this,
            [this](int position) { moveGain(position / kSliderUnits); });
    connect(muteToggle_, &QCheckBox::clicked, this, [this](bool checked) {
        edit([checked](Connection& connection) { connection.isMuted = checked; });
    });
    connect(resetButton_, &QPushButton::clicked, this,
            [this] { edit([](Connection& connection) { connection.gainDB = 0.0f; }); });
    display(std::nullopt, std::nullopt);
}

void ConnectionDetail::display(std::optional<UUID> id, std::optional<std::uint32_t> sourceChannels) {
    id_ = id;
    connection_.reset();
    if (id) {
        const auto& connections = controller_.config().connections;
        if (auto found = std::ranges::find(connections, *id, &Connection::id); found != connections.end()) {
            connection_ = *found;
        }
    }
    form_->setVisible(connection_.has_value());
    if (!connection_) {
        return;
    }
    const Connection& connection = *connection_;
    const bool single = connection.width == 1;
    rows_->setRowVisible(modeBox_, !single);
    rows_->setRowVisible(monoPicker_, single);
    if (single) {
        monoPicker_->display(connection, sourceChannels);
    } else {
        const QSignalBlocker blocker(modeBox_);
        const auto mode = std::ranges::find(allMappingModes, connection.mode);
        modeBox_->setCurrentIndex(static_cast<int>(mode - allMappingModes.begin()));
    }

    const bool picksSource = ConnectionDetailModel::showsSourceChannelPicker(connection, sourceChannels);
    rows_->setRowVisible(sourceBox_, picksSource);
    if (picksSource) {
        const MappingMode mode = ConnectionDetailModel::sourceChoiceMode(connection);
        auto choices = ConnectionDetailModel::sourceChoices(*sourceChannels, mode);
        const QSignalBlocker blocker(sourceBox_);
        if (choices != sourceChoices_ || sourceBox_->count() == 0) {
            sourceChoices_ = std::move(choices);
            sourceBox_->clear();
            for (std::int64_t channel : sourceChoices_) {
                sourceBox_->addItem(QString::fromStdString(
                    ConnectionDetailModel::sourceChoiceLabel(channel, *sourceChannels, mode)));
            }
        } else {
            // The same channels may be named differently under another mode.
            for (std::size_t index = 0; index < sourceChoices_.size(); ++index) {
                sourceBox_->setItemText(static_cast<int>(index),
                                        QString::fromStdString(ConnectionDetailModel::sourceChoiceLabel(
                                            sourceChoices_[index], *sourceChannels, mode)));
            }
        }
        auto selected = std::ranges::find(sourceChoices_, connection.sourceChannel);
        sourceBox_->setCurrentIndex(
            selected == sourceChoices_.end() ? -1 : static_cast<int>(selected - sourceChoices_.begin()));
    }

    gainSlider_->setSliderPosition(
        static_cast<int>(std::lround(std::clamp(connection.gainDB, ConnectionDetailModel::gainMinimum,
                                                ConnectionDetailModel::gainMaximum) *
                                     kSliderUnits)));
    gainReadout_->setText(QString::fromStdString(ConnectionDetailModel::gainText(connection.gainDB)));
    const QSignalBlocker blocker(muteToggle_);
    muteToggle_->setChecked(connection.isMuted);
}

bool ConnectionDetail::showsRow(QWidget* field) const {
    return form_->isVisibleTo(this) && !field->isHidden() && field->isVisibleTo(form_);
}

void ConnectionDetail::moveGain(double position) {
    const float dB = ConnectionDetailModel::gainValue(position);
    edit([dB](Connection& connection) { connection.gainDB = dB; });
}

void ConnectionDetail::edit(const std::function<void(Connection&)>& change) {
    if (!id_) {
        return;
    }
    if (auto next = ConnectionDetailModel::edited(controller_.config(), *id_, change)) {
        controller_.setConfig(std::move(*next));
    }
}
