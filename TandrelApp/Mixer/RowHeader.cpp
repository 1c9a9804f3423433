#include "TandrelApp/Mixer/RowHeader.h"

#include <algorithm>

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/AppIcon.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Mixer/LineHardwareVolume.h"
#include "TandrelApp/Mixer/LineVolumeLinkLabel.h"
#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/Popover.h"
#include "TandrelApp/Mixer/SourceChannelVolumes.h"
#include "TandrelApp/Mixer/StatusDot.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Support/ActionMenu.h"
#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/PlainText.h"

namespace {

// Sizes in points.
constexpr double kIcon = 22;
constexpr double kMetersWidth = 150;
constexpr double kMeterThickness = 4;
constexpr double kControlsWidth = 200;
constexpr double kTrailingPadding = 8;
constexpr double kColumnSpacing = 2;

} // namespace

RowHeader::RowHeader(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics,
                     QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , store_(meters)
    , metrics_(metrics)
    , icon_(new QLabel)
    , name_(new ElidedLabel(Qt::ElideRight))
    , dot_(new StatusDot(ColorRole::yellow, metrics))
    , status_(new ElidedLabel(Qt::ElideRight))
    , column_(new QVBoxLayout)
    , meterLayout_(new QHBoxLayout)
    , meters_(std::make_unique<KeyedChildren<int, LiveMeter>>(meterLayout_))
    , sourceControls_(new QWidget)
    , volume_(new VolumeControl(metrics))
    , channelButton_(new GlyphButton({"slider.vertical.3", ColorRole::secondary}, metrics.size(16, 16)))
    , lineVolume_(new LineHardwareVolume(controller, metrics))
    , linkLabel_(new LineVolumeLinkLabel(controller, metrics)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, metrics.px(kTrailingPadding), 0);
    layout->setSpacing(metrics.px(8));
    icon_->setFixedSize(metrics.size(kIcon, kIcon));
    icon_->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon_, 0, Qt::AlignVCenter);

    auto* column = column_;
    column->setSpacing(metrics.px(kColumnSpacing));
    // The lines take the height of their ink, so that all of a row's parts fit its height.
    name_->setFont(metrics.font(TextStyle::callout));
    name_->setCompactLine(true);
    column->addWidget(name_);

    auto* statusRow = new QHBoxLayout;
    statusRow->setSpacing(metrics.px(4));
    status_->setFont(metrics.font(TextStyle::caption2));
    status_->setColorRole(ColorRole::secondary);
    status_->setCompactLine(true);
    statusRow->addWidget(dot_, 0, Qt::AlignVCenter);
    statusRow->addWidget(status_, 1, Qt::AlignVCenter);
    column->addLayout(statusRow);

    auto* meterBox = new QWidget;
    meterBox->setFixedSize(metrics.size(kMetersWidth, kMeterThickness));
    meterLayout_->setContentsMargins(0, 0, 0, 0);
    meterLayout_->setSpacing(metrics.px(2));
    meterBox->setLayout(meterLayout_);
    column->addWidget(meterBox);

    auto* sourceLayout = new QHBoxLayout(sourceControls_);
    sourceLayout->setContentsMargins(0, 0, 0, 0);
    sourceLayout->setSpacing(metrics.px(4));
    volume_->setFixedWidth(metrics.px(kControlsWidth));
    sourceLayout->addWidget(volume_, 0, Qt::AlignVCenter);
    sourceLayout->addWidget(channelButton_, 0, Qt::AlignVCenter);
    sourceLayout->addStretch();
    channelButton_->setToolTip(QString::fromUtf8(RowHeaderModel::channelButtonTooltip));
    column->addWidget(sourceControls_);

    lineVolume_->setFixedWidth(metrics.px(kControlsWidth));
    column->addWidget(lineVolume_);
    column->addWidget(linkLabel_);

    layout->addLayout(column, 1);
    layout->addSpacing(metrics.px(4));

    volume_->setOnChange([this](float dB) {
        if (const SourceConfig* source = header_.row.sourceConfig()) {
            controller_.setSourceVolume(source->id, dB);
        }
    });
    volume_->setOnMute([this](bool muted) {
        if (const SourceConfig* source = header_.row.sourceConfig()) {
            controller_.setSourceMuted(source->id, muted);
        }
    });
    connect(channelButton_, &QAbstractButton::clicked, this, &RowHeader::showChannels);
}

RowHeader::~RowHeader() = default;

std::vector<LiveMeter*> RowHeader::meters() const {
    return meters_->widgets();
}

void RowHeader::display(const MatrixRow& row) {
    namespace Model = RowHeaderModel;
    header_ = Model::Header::of(controller_, row);
    setFixedSize(metrics_.size(MatrixMetrics::rowHeaderWidth, row.height()));
    setToolTip(PlainText::toolTip(Model::helpText(header_)));

    showIcon(Model::icon(header_));
    name_->setText(QString::fromStdString(Model::name(header_)));
    dot_->setColor(Model::statusColor(header_));
    status_->setText(QString::fromStdString(Model::statusText(header_)));

    const MeterKey key = row.sourceConfig() != nullptr ? MeterKey::source(row.sourceConfig()->id)
                                                       : MeterKey::device(row.lineDevice()->uid);
    std::vector<int> channels;
    for (int channel = 0; channel < Model::meterChannels(header_); ++channel) {
        channels.push_back(channel);
    }
    meters_->sync(
        channels,
        [this, &key](const int& channel) { return new LiveMeter(store_, key, channel, false, metrics_); },
        [&key](LiveMeter& meter, const int& channel) { meter.configure(key, channel, false); });

    const SourceConfig* source = row.sourceConfig();
    sourceControls_->setVisible(source != nullptr);
    lineVolume_->setVisible(source == nullptr);
    linkLabel_->setVisible(source == nullptr);
    if (source != nullptr) {
        volume_->setValues(source->volumeDB, source->isMuted, true, 52);
        channelButton_->setGlyph(Model::channelButton(*source));
    } else {
        lineVolume_->display(*row.lineDevice());
        linkLabel_->display(*row.lineDevice());
    }
    if (auto* channels = channelVolumes()) {
        channels->refresh();
    }
    fitToRow();
}

// The parts keep the spacing between them where the row has the room; where the font's lines leave too
// little (the smallest and some larger display sizes), the spacing gives way, never the parts.
void RowHeader::fitToRow() {
    const int spacing = metrics_.px(kColumnSpacing);
    column_->setSpacing(spacing);
    const int excess = column_->sizeHint().height() - height();
    if (excess <= 0) {
        return;
    }
    int gaps = -1;
    for (int i = 0; i < column_->count(); ++i) {
        gaps += column_->itemAt(i)->isEmpty() ? 0 : 1;
    }
    if (gaps > 0) {
        column_->setSpacing(std::max(0, spacing - (excess + gaps - 1) / gaps));
    }
}

// The application's own picture when it has one, else the row's symbol. The picture is looked up at
// every refresh (an application may start, quit or be installed meanwhile); the label changes only
// when what it shows does.
void RowHeader::showIcon(RowHeaderModel::Icon rowIcon) {
    std::optional<QImage> picture;
    if (rowIcon.appBundleID) {
        picture = AppIcon::image(*rowIcon.appBundleID);
    }
    const qint64 pictureKey = picture ? picture->cacheKey() : 0;
    if (rowIcon == rowIcon_ && pictureKey == pictureKey_) {
        return;
    }
    rowIcon_ = std::move(rowIcon);
    pictureKey_ = pictureKey;
    const QSize size = icon_->size();
    const qreal ratio = devicePixelRatioF();
    if (picture) {
        QPixmap pixmap =
            QPixmap::fromImage(picture->scaled(size * ratio, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        pixmap.setDevicePixelRatio(ratio);
        icon_->setPixmap(pixmap);
        iconGlyph_ = {};
        return;
    }
    iconGlyph_ = rowIcon_.glyph;
    icon_->setPixmap(Glyphs::pixmap(iconGlyph_.name, Theme::color(iconGlyph_.role, palette()), size, ratio));
}

QMenu* RowHeader::buildMenu(QWidget* parent) {
    using Kind = RowHeaderModel::MenuEntry::Kind;
    auto* menu = new ActionMenu(parent);
    const QPointer<RowHeader> self(this);
    const RowHeaderModel::Header header = header_;
    for (const auto& entry : RowHeaderModel::menu(header)) {
        QAction* action = menu->addItem(entry.title, entry.destructive);
        const Kind kind = entry.kind;
        connect(action, &QAction::triggered, menu, [self, kind, header] {
            if (!self) {
                return;
            }
            RoutingController& controller = self->controller_;
            switch (kind) {
            case Kind::retry:
                controller.retrySources();
                break;
            case Kind::excludeApp:
                controller.excludeApp(
                    std::get<SourceKind::Application>(header.row.sourceConfig()->kind.value).bundleID);
                break;
            case Kind::removeSource:
                controller.removeSource(header.row.sourceConfig()->id);
                break;
            case Kind::toggleLink:
                controller.setLinksMonitorToLineVolume(header.lineUnlinked, header.row.lineDevice()->uid);
                break;
            }
        });
    }
    return menu;
}

void RowHeader::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = buildMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void RowHeader::showChannels() {
    const SourceConfig* source = header_.row.sourceConfig();
    if (source == nullptr) {
        return;
    }
    if (!channelsPopover_) {
        channelsPopover_ = new Popover(channelButton_, Popover::Edge::trailing);
        channelsPopover_->setContent(new SourceChannelVolumes(controller_, Theme::Metrics(1.0), source->id));
        connect(channelsPopover_, &Popover::closed, channelsPopover_, &QObject::deleteLater);
    }
    channelVolumes()->refresh();
    channelsPopover_->present();
}

Popover* RowHeader::channelsPopover() const {
    return channelsPopover_;
}

SourceChannelVolumes* RowHeader::channelVolumes() const {
    return channelsPopover_ ? static_cast<SourceChannelVolumes*>(channelsPopover_->content()) : nullptr;
}
