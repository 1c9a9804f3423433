#include "TandrelApp/Mixer/PairHeader.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/PairVolumeDetail.h"
#include "TandrelApp/Mixer/Popover.h"
#include "TandrelApp/Mixer/VerticalFader.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/PlainText.h"

namespace {

// Heights of the level area, in points: the fader's track, or the meters alone.
constexpr double kFaderHeight = 80;
constexpr double kMetersOnlyHeight = 22;
constexpr double kLevelTextPoints = 8;

} // namespace

// The column's "M": a small rounded face, red while muted.
class PairHeader::MuteButton : public QAbstractButton {
public:
    explicit MuteButton(Theme::Metrics metrics)
        : metrics_(metrics) {
        setFixedSize(metrics.size(18, 14));
        setFocusPolicy(Qt::TabFocus);
    }

    void setMuted(bool muted) {
        if (muted != muted_) {
            muted_ = muted;
            update();
        }
    }
    bool muted() const { return muted_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPalette& colors = palette();
        painter.setPen(Qt::NoPen);
        painter.setBrush(muted_ ? Theme::color(ColorRole::red, colors)
                                : Theme::color(ColorRole::primary, colors, 0.08));
        const double radius = metrics_.length(3);
        painter.drawRoundedRect(QRectF(rect()), radius, radius);
        painter.setFont(metrics_.systemFont(9, {.weight = Theme::Weight::bold}));
        painter.setPen(muted_ ? QColor(Qt::white) : Theme::color(ColorRole::secondary, colors));
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("M"));
    }

private:
    Theme::Metrics metrics_;
    bool muted_ = false;
};

PairHeader::PairHeader(RoutingController& controller, MeterStore& meters, Theme::Metrics metrics,
                       QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , store_(meters)
    , metrics_(metrics)
    , levelArea_(new QWidget)
    , meterLayout_(new QHBoxLayout)
    , meters_(std::make_unique<KeyedChildren<int, LiveMeter>>(meterLayout_))
    , fader_(new VerticalFader(metrics, kFaderHeight))
    , captionBlock_(new QWidget)
    , label_(MixerStyle::label({}, metrics.font(TextStyle::caption2, {.monospacedDigits = true})))
    , levelText_(MixerStyle::label({}, metrics.systemFont(kLevelTextPoints, {.monospacedDigits = true})))
    , muteButton_(new MuteButton(metrics)) {
    setFixedWidth(metrics.px(MatrixMetrics::columnWidth));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(3));

    auto* levelLayout = new QHBoxLayout(levelArea_);
    levelLayout->setContentsMargins(0, 0, 0, 0);
    levelLayout->setSpacing(metrics.px(3));
    meterLayout_->setContentsMargins(0, 0, 0, 0);
    meterLayout_->setSpacing(metrics.px(2));
    levelLayout->addStretch();
    levelLayout->addLayout(meterLayout_);
    levelLayout->addWidget(fader_);
    levelLayout->addStretch();
    layout->addWidget(levelArea_);

    auto* captionLayout = new QVBoxLayout(captionBlock_);
    captionLayout->setContentsMargins(0, 0, 0, 0);
    captionLayout->setSpacing(metrics.px(3));
    label_->setAlignment(Qt::AlignCenter);
    levelText_->setAlignment(Qt::AlignCenter);
    captionLayout->addWidget(label_);
    captionLayout->addWidget(levelText_);
    captionBlock_->installEventFilter(this);
    label_->installEventFilter(this);
    levelText_->installEventFilter(this);
    layout->addWidget(captionBlock_);
    layout->addWidget(muteButton_, 0, Qt::AlignHCenter);

    fader_->setOnChange([this](float dB) {
        if (PairHeaderModel::isSplit(header_)) {
            controller_.setChannelVolume(header_.device.uid, header_.column.channel, dB);
        } else {
            controller_.setPairVolume(header_.device.uid, PairHeaderModel::firstChannel(header_), dB);
        }
    });
    connect(muteButton_, &QAbstractButton::clicked, this, [this] {
        const bool muted = !PairHeaderModel::faderMuted(header_);
        if (PairHeaderModel::isSplit(header_)) {
            controller_.setChannelMuted(header_.device.uid, header_.column.channel, muted);
        } else {
            controller_.setPairMuted(header_.device.uid, PairHeaderModel::firstChannel(header_),
                                     header_.device.outputChannels, muted);
        }
    });
}

PairHeader::~PairHeader() = default;

std::vector<LiveMeter*> PairHeader::meters() const {
    return meters_->widgets();
}

QAbstractButton* PairHeader::muteButton() const {
    return muteButton_;
}

void PairHeader::display(const AudioDeviceInfo& device, MatrixColumn column) {
    header_ = PairHeaderModel::Header::of(controller_.config(), device, column);
    const bool faders = header_.fadersShown;

    const double meterHeight = faders ? kFaderHeight : kMetersOnlyHeight;
    // The fader's knob may stand half out of its track, so the area is the fader's whole height.
    levelArea_->setFixedHeight(faders ? fader_->sizeHint().height() : metrics_.px(kMetersOnlyHeight));
    std::vector<int> channels;
    for (std::int64_t channel : PairHeaderModel::channels(header_)) {
        channels.push_back(static_cast<int>(channel));
    }
    const MeterKey key = MeterKey::device(device.uid);
    meters_->sync(
        channels,
        [this, &key](const int& channel) { return new LiveMeter(store_, key, channel, true, metrics_); },
        [this, &key, meterHeight](LiveMeter& meter, const int& channel) {
            meter.configure(key, channel, true);
            meter.setFixedHeight(metrics_.px(meterHeight));
        });
    fader_->setVisible(faders);
    fader_->setValue(PairHeaderModel::faderDB(header_), PairHeaderModel::faderMuted(header_));

    label_->setText(QString::fromStdString(PairHeaderModel::pairLabel(header_)));
    MixerStyle::setTextColor(*label_, PairHeaderModel::labelColor(header_));
    const PairHeaderModel::Badge badge =
        faders ? PairHeaderModel::compactText(header_)
               : PairHeaderModel::volumeBadge(header_, PairHeaderModel::pairLevel(header_));
    levelText_->setText(QString::fromStdString(badge.text));
    levelText_->setFont(metrics_.systemFont(
        kLevelTextPoints,
        {.weight = badge.bold ? Theme::Weight::bold : Theme::Weight::regular, .monospacedDigits = true}));
    MixerStyle::setTextColor(*levelText_, badge.color.value_or(PairHeaderModel::labelColor(header_)));

    muteButton_->setVisible(faders);
    muteButton_->setMuted(PairHeaderModel::faderMuted(header_));
    muteButton_->setToolTip(QString::fromStdString(PairHeaderModel::muteTooltip(header_)));
    setToolTip(PlainText::toolTip(PairHeaderModel::tooltip(header_)));
    refreshDetail();
}

bool PairHeader::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        (watched == captionBlock_ || watched == label_ || watched == levelText_)) {
        showDetail();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QMenu* PairHeader::buildMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const QPointer<PairHeader> self(this);
    const bool fadersShown = header_.fadersShown;
    const std::string uid = header_.device.uid;
    for (const auto& entry : PairHeaderModel::menu(header_)) {
        QAction* action = menu->addAction(QString::fromStdString(entry.title));
        if (entry.kind == PairHeaderModel::MenuEntry::Kind::split) {
            connect(action, &QAction::triggered, menu, [self] {
                if (self) {
                    self->pressSplit();
                }
            });
        } else {
            connect(action, &QAction::triggered, menu, [self, fadersShown, uid] {
                if (self) {
                    self->controller_.setShowsFaders(!fadersShown, uid);
                }
            });
        }
    }
    return menu;
}

void PairHeader::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = buildMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void PairHeader::showDetail() {
    if (!detailPopover_) {
        detailPopover_ = new Popover(this, Popover::Edge::bottom);
        const QPointer<PairHeader> self(this);
        detailPopover_->setContent(new PairVolumeDetail(controller_, Theme::Metrics(1.0), [self] {
            if (self) {
                self->pressSplit();
            }
        }));
        connect(detailPopover_, &Popover::closed, detailPopover_, &QObject::deleteLater);
    }
    refreshDetail();
    detailPopover_->present();
}

void PairHeader::pressSplit() {
    // The popover closes before the matrix changes under it.
    if (detailPopover_) {
        detailPopover_->close();
    }
    controller_.setSplit(PairHeaderModel::splitRequest(header_), header_.device.uid,
                         PairHeaderModel::firstChannel(header_));
}

void PairHeader::refreshDetail() {
    if (auto* content = detail()) {
        content->display(header_);
    }
}

Popover* PairHeader::detailPopover() const {
    return detailPopover_;
}

PairVolumeDetail* PairHeader::detail() const {
    return detailPopover_ ? static_cast<PairVolumeDetail*>(detailPopover_->content()) : nullptr;
}
