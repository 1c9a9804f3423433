#include "TandrelApp/Shell/MenuBarRows.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/AppIcon.h"
#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/MenuBarContentModel.h"
#include "TandrelApp/Shell/PaneWidgets.h"
#include "TandrelApp/Support/GlyphView.h"

namespace Model = MenuBarContentModel;

namespace {

constexpr double kIconSize = 16;
constexpr double kMeterHeight = 3;
constexpr double kChevronSize = 9;

// The indented box an unfolded list sits in.
QWidget* indented(QWidget* content, int indent) {
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(indent, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content);
    return box;
}

} // namespace

// ---- UnfoldButton

UnfoldButton::UnfoldButton(Theme::Metrics metrics, QWidget* parent)
    : QAbstractButton(parent)
    , metrics_(metrics)
    , glyph_(Model::unfoldGlyph(false, false)) {
    setText(PaneWidgets::text(Model::unfoldTitle));
    setToolTip(PaneWidgets::text(Model::unfoldHelp));
    setFont(metrics.font(TextStyle::caption));
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void UnfoldButton::setState(bool expanded, bool adjusted) {
    Glyph glyph = Model::unfoldGlyph(expanded, adjusted);
    if (glyph != glyph_) {
        glyph_ = std::move(glyph);
        update();
    }
}

QSize UnfoldButton::sizeHint() const {
    const int gap = metrics_.px(3);
    return {metrics_.px(kChevronSize) + gap + fontMetrics().horizontalAdvance(text()),
            std::max(fontMetrics().height(), metrics_.px(kChevronSize))};
}

void UnfoldButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown()) {
        painter.setOpacity(0.55);
    }
    const QColor color = Theme::color(glyph_.role, palette());
    const double chevron = metrics_.length(kChevronSize);
    Glyphs::paint(painter, QRectF(0, (height() - chevron) / 2, chevron, chevron), glyph_.name, color);
    painter.setPen(color);
    painter.drawText(rect().adjusted(metrics_.px(kChevronSize) + metrics_.px(3), 0, 0, 0),
                     Qt::AlignLeft | Qt::AlignVCenter, text());
}

// ---- MeterBar

MeterBar::MeterBar(MeterStore& store, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , store_(store)
    , metrics_(metrics)
    , layout_(new QHBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(metrics.px(2));
    setFixedHeight(metrics.px(kMeterHeight));
}

void MeterBar::display(const MeterKey& key, int channels) {
    while (static_cast<int>(meters_.size()) > channels) {
        delete meters_.back();
        meters_.pop_back();
    }
    for (int channel = 0; channel < static_cast<int>(meters_.size()); ++channel) {
        meters_[static_cast<std::size_t>(channel)]->configure(key, channel, false);
    }
    while (static_cast<int>(meters_.size()) < channels) {
        auto* meter = new LiveMeter(store_, key, static_cast<int>(meters_.size()), false, metrics_);
        meter->setFixedHeight(metrics_.px(kMeterHeight));
        layout_->addWidget(meter);
        meters_.push_back(meter);
    }
}

// ---- PanelRow

PanelRow::PanelRow(MeterStore& meters, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , metrics_(metrics)
    , rows_(new QVBoxLayout(this))
    , iconSlot_(new QHBoxLayout)
    , name_(new ElidedLabel)
    , detail_(new QLabel)
    , unfold_(new UnfoldButton(metrics))
    , meterBar_(new MeterBar(meters, metrics))
    , volume_(new VolumeControl(metrics)) {
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(metrics.px(3));

    auto* top = new QHBoxLayout;
    top->setSpacing(metrics.px(6));
    iconSlot_->setContentsMargins(0, 0, 0, 0);
    iconSlot_->setSpacing(0);
    top->addLayout(iconSlot_);
    name_->setFont(metrics.font(TextStyle::body));
    top->addWidget(name_, 0, Qt::AlignVCenter);
    detail_->setFont(metrics.font(TextStyle::caption2));
    detail_->setTextFormat(Qt::PlainText);
    MixerStyle::setTextColor(*detail_, ColorRole::secondary);
    top->addWidget(detail_, 0, Qt::AlignVCenter);
    top->addStretch(1);
    top->addWidget(unfold_, 0, Qt::AlignVCenter);
    rows_->addLayout(top);
    rows_->addWidget(meterBar_);
    rows_->addWidget(volume_);

    connect(unfold_, &QAbstractButton::clicked, this, [this] {
        if (onUnfold_) {
            const auto onUnfold = onUnfold_;
            onUnfold();
        }
    });
}

QString PanelRow::name() const {
    return name_->text();
}

QString PanelRow::shownName() const {
    return name_->shownText();
}

QString PanelRow::detail() const {
    return detail_->text();
}

void PanelRow::setTexts(const QString& name, const QString& detail) {
    name_->setText(name);
    detail_->setText(detail);
    detail_->setVisible(!detail.isEmpty());
}

// ---- SourceRow

SourceRow::SourceRow(std::weak_ptr<RoutingController> controller, MeterStore& meters, Theme::Metrics metrics,
                     QWidget* parent)
    : PanelRow(meters, metrics, parent)
    , controller_(std::move(controller))
    , appIcon_(new QLabel)
    , symbol_(new GlyphView({"app", ColorRole::secondary}, metrics.size(kIconSize, kIconSize)))
    , channels_(new ChannelVolumeList(metrics)) {
    appIcon_->setFixedSize(metrics.size(kIconSize, kIconSize));
    appIcon_->setScaledContents(true);
    iconSlot().addWidget(appIcon_, 0, Qt::AlignVCenter);
    iconSlot().addWidget(symbol_, 0, Qt::AlignVCenter);
    QWidget* unfolded = indented(channels_, metrics.px(Model::unfoldIndent));
    unfolded->setObjectName(QStringLiteral("channels"));
    rows().addWidget(unfolded);

    volume().setOnChange([this](float dB) {
        if (auto controller = controller_.lock()) {
            controller->setSourceVolume(id_, dB);
        }
    });
    volume().setOnMute([this](bool muted) {
        if (auto controller = controller_.lock()) {
            controller->setSourceMuted(id_, muted);
        }
    });
    channels_->setOnChange([this](int channel, float dB) {
        if (auto controller = controller_.lock()) {
            controller->setSourceChannelVolume(id_, channel, dB);
        }
    });
    channels_->setOnMute([this](int channel, bool muted) {
        if (auto controller = controller_.lock()) {
            controller->setSourceChannelMuted(id_, channel, muted);
        }
    });
}

void SourceRow::display(const SourceConfig& source, const std::string& status,
                        std::optional<std::uint32_t> channelCount, bool expanded) {
    id_ = source.id;
    setTexts(QString::fromStdString(source.name), QString::fromStdString(status));

    std::optional<QImage> icon;
    if (const auto* app = std::get_if<SourceKind::Application>(&source.kind.value)) {
        icon = AppIcon::image(app->bundleID);
    }
    if (icon) {
        appIcon_->setPixmap(QPixmap::fromImage(*icon));
    } else {
        symbol_->setGlyph({Model::sourceSymbol(source.kind), ColorRole::secondary});
    }
    appIcon_->setVisible(icon.has_value());
    symbol_->setVisible(!icon.has_value());

    unfoldButton().setState(expanded, Model::isAdjusted(source));
    meterBar().display(MeterKey::source(source.id), 2);
    volume().setValues(source.volumeDB, source.isMuted, true, Model::volumeLabelWidth);

    channels_->parentWidget()->setVisible(expanded);
    if (expanded) {
        const std::vector<int> channels = Model::sourceChannels(channelCount);
        const int count = static_cast<int>(channels.size());
        channels_->setChannels(
            channels, [count](int channel) { return Model::sourceChannelLabel(channel, count); },
            [&source](int channel) {
                const auto found = source.channelDB.find(channel);
                return found == source.channelDB.end() ? 0.0f : found->second;
            },
            [&source](int channel) { return source.mutedChannels.contains(channel); },
            Model::channelLabelWidth);
    }
}

std::optional<std::string> SourceRow::iconSymbol() const {
    if (!symbol_->isHidden()) {
        return symbol_->glyph().name;
    }
    return std::nullopt;
}

// ---- DeviceRow

DeviceRow::DeviceRow(std::weak_ptr<RoutingController> controller, MeterStore& meters, Theme::Metrics metrics,
                     const std::string& symbol, QWidget* parent)
    : PanelRow(meters, metrics, parent)
    , controller_(std::move(controller))
    , pairBox_(new QWidget) {
    auto* glyph = new GlyphView({symbol, ColorRole::accent}, metrics.size(kIconSize, kIconSize));
    iconSlot().addWidget(glyph, 0, Qt::AlignVCenter);
    auto* pairLayout = new QVBoxLayout(pairBox_);
    pairLayout->setContentsMargins(metrics.px(Model::unfoldIndent), 0, 0, 0);
    pairLayout->setSpacing(metrics.px(2));
    pairs_ = std::make_unique<KeyedChildren<int, Pair>>(pairLayout);
    pairBox_->setObjectName(QStringLiteral("pairs"));
    rows().addWidget(pairBox_);

    volume().setOnChange([this](float dB) {
        if (auto controller = controller_.lock()) {
            controller->setDeviceVolume(uid_, dB);
        }
    });
    volume().setOnMute([this](bool muted) {
        if (auto controller = controller_.lock()) {
            controller->setDeviceMuted(uid_, muted);
        }
    });
}

DeviceRow::~DeviceRow() = default;

void DeviceRow::display(const AudioDeviceInfo& device, const DeviceVolume& volume, bool expanded) {
    uid_ = device.uid;
    setTexts(QString::fromStdString(device.name),
             QString::fromStdString(Model::channelCountText(device.outputChannels)));
    const std::vector<int> pairs = Model::pairs(device.outputChannels);
    unfoldButton().setVisible(!pairs.empty());
    unfoldButton().setState(expanded, Model::isAdjusted(volume));
    meterBar().display(MeterKey::device(device.uid), Model::meterChannels(device.outputChannels));
    this->volume().setValues(volume.masterDB, volume.isMuted, true, Model::volumeLabelWidth);

    const bool unfolded = expanded && !pairs.empty();
    pairBox_->setVisible(unfolded);
    pairs_->sync(
        unfolded ? pairs : std::vector<int>{}, [this](const int& pair) { return new Pair(*this, pair); },
        [&](Pair& pair, const int&) { pair.display(device, volume); });
}

std::vector<DeviceRow::Pair*> DeviceRow::pairs() const {
    return pairs_->widgets();
}

// ---- DeviceRow::Pair

DeviceRow::Pair::Pair(DeviceRow& row, int pair)
    : row_(row)
    , pair_(pair)
    , label_(new QLabel)
    , volume_(new VolumeControl(row.metrics_))
    , channels_(new ChannelVolumeList(row.metrics_)) {
    const Theme::Metrics& metrics = row.metrics_;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(2));
    auto* line = new QHBoxLayout;
    line->setSpacing(metrics.px(6));
    label_->setFont(
        metrics.font(TextStyle::caption2, {.weight = Theme::Weight::semibold, .monospacedDigits = true}));
    label_->setFixedWidth(metrics.px(Model::volumeLabelWidth));
    label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    MixerStyle::setTextColor(*label_, ColorRole::secondary);
    line->addWidget(label_, 0, Qt::AlignVCenter);
    line->addWidget(volume_, 1, Qt::AlignVCenter);
    layout->addLayout(line);
    layout->addWidget(indented(channels_, metrics.px(Model::pairChannelIndent)));

    // A pair's volume has no mute of its own; its channels have.
    volume_->setOnMute({});
    volume_->setOnChange([this](float dB) {
        if (auto controller = row_.controller_.lock()) {
            controller->setPairVolume(row_.uid_, pair_, dB);
        }
    });
    channels_->setOnChange([this](int channel, float dB) {
        if (auto controller = row_.controller_.lock()) {
            controller->setChannelVolume(row_.uid_, channel, dB);
        }
    });
    channels_->setOnMute([this](int channel, bool muted) {
        if (auto controller = row_.controller_.lock()) {
            controller->setChannelMuted(row_.uid_, channel, muted);
        }
    });
}

void DeviceRow::Pair::display(const AudioDeviceInfo& device, const DeviceVolume& volume) {
    const std::uint32_t outputs = device.outputChannels;
    label_->setText(QString::fromStdString(Model::pairLabel(pair_, outputs)));
    const auto pairDB = volume.pairDB.find(pair_);
    volume_->setValues(pairDB == volume.pairDB.end() ? 0.0f : pairDB->second, false, false,
                       Model::volumeLabelWidth);
    const int pair = pair_;
    channels_->setChannels(
        Model::pairChannels(pair, outputs),
        [pair, outputs](int channel) { return Model::pairChannelLabel(channel, pair, outputs); },
        [&volume](int channel) {
            const auto found = volume.channelDB.find(channel);
            return found == volume.channelDB.end() ? 0.0f : found->second;
        },
        [&volume](int channel) { return volume.mutedChannels.contains(channel); }, Model::channelLabelWidth);
}

QString DeviceRow::Pair::label() const {
    return label_->text();
}
