#include "TandrelApp/Mixer/GroupTitle.h"

#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/ActionMenu.h"
#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/GlyphView.h"
#include "TandrelApp/Support/PlainText.h"

namespace {

// Sizes of the icon and the small borderless buttons, in points.
constexpr double kIcon = 14;
constexpr double kButton = 14;
constexpr double kMasterReadout = 48;

} // namespace

GroupTitle::GroupTitle(RoutingController& controller, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , metrics_(metrics)
    , icon_(new GlyphView({"waveform.path", ColorRole::accent}, metrics.size(kIcon, kIcon)))
    , name_(new ElidedLabel(Qt::ElideMiddle))
    , caption_(MixerStyle::label({}, metrics.font(TextStyle::caption2), ColorRole::secondary))
    , faderSwitch_(new GlyphButton({"slider.vertical.3", ColorRole::accent}, metrics.size(kButton, kButton)))
    , fewer_(new GlyphButton({"minus", ColorRole::secondary}, metrics.size(kButton, kButton)))
    , more_(new GlyphButton({"plus", ColorRole::secondary}, metrics.size(kButton, kButton)))
    , master_(new VolumeControl(metrics)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(metrics.px(2));

    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(metrics.px(4));
    name_->setFont(metrics.font(TextStyle::callout, {.weight = Theme::Weight::semibold}));
    nameRow->addWidget(icon_, 0, Qt::AlignVCenter);
    nameRow->addWidget(name_, 1, Qt::AlignVCenter);
    layout->addLayout(nameRow);

    auto* controlRow = new QHBoxLayout;
    controlRow->setSpacing(metrics.px(4));
    controlRow->addWidget(caption_, 0, Qt::AlignVCenter);
    controlRow->addWidget(faderSwitch_, 0, Qt::AlignVCenter);
    controlRow->addWidget(fewer_, 0, Qt::AlignVCenter);
    controlRow->addWidget(more_, 0, Qt::AlignVCenter);
    controlRow->addStretch();
    layout->addLayout(controlRow);
    layout->addWidget(master_, 0, Qt::AlignLeft);

    fewer_->setToolTip(QString::fromUtf8(GroupTitleModel::fewerPairsTooltip));
    connect(faderSwitch_, &QAbstractButton::clicked, this,
            [this] { controller_.setShowsFaders(!title_.fadersShown, title_.device.uid); });
    // The count read at the last refresh, as the buttons showed it.
    connect(fewer_, &QAbstractButton::clicked, this,
            [this] { controller_.setVisiblePairs(title_.shownPairs - 1, title_.device); });
    connect(more_, &QAbstractButton::clicked, this,
            [this] { controller_.setVisiblePairs(title_.shownPairs + 1, title_.device); });
    master_->setOnChange([this](float dB) { controller_.setDeviceVolume(title_.device.uid, dB); });
    master_->setOnMute([this](bool muted) { controller_.setDeviceMuted(title_.device.uid, muted); });
}

void GroupTitle::display(const ColumnGroup& group) {
    namespace Model = GroupTitleModel;
    title_ = Model::Title::of(controller_.config(), group);
    setFixedWidth(MixerStyle::groupPixels(metrics_, title_.columns));
    setToolTip(PlainText::toolTip(title_.device.name));

    icon_->setGlyph(Model::icon(title_));
    name_->setText(QString::fromStdString(title_.device.name));
    caption_->setText(QString::fromStdString(Model::caption(title_)));
    faderSwitch_->setGlyph(Model::faderSwitch(title_));
    faderSwitch_->setToolTip(QString::fromStdString(Model::faderSwitchTooltip(title_)));
    const bool pairButtons = Model::showsPairButtons(title_);
    fewer_->setVisible(pairButtons);
    more_->setVisible(pairButtons);
    fewer_->setEnabled(Model::canShowFewer(title_));
    more_->setEnabled(Model::canShowMore(title_));
    more_->setToolTip(QString::fromStdString(Model::morePairsTooltip(title_)));

    master_->setValues(title_.volume.masterDB, title_.volume.isMuted, true, kMasterReadout);
    master_->setFixedWidth(MixerStyle::groupPixels(metrics_, title_.columns) -
                           metrics_.px(Model::width(title_) - Model::masterWidth(title_)));
    master_->setToolTip(PlainText::toolTip(Model::masterTooltip(title_)));
}

QMenu* GroupTitle::buildMenu(QWidget* parent) {
    using Kind = GroupTitleModel::MenuEntry::Kind;
    auto* menu = new ActionMenu(parent);
    const QPointer<GroupTitle> self(this);
    const std::string uid = title_.device.uid;
    for (const auto& entry : GroupTitleModel::menu(title_)) {
        if (entry.kind == Kind::separator) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addItem(entry.title, entry.destructive);
        const Kind kind = entry.kind;
        connect(action, &QAction::triggered, menu, [self, kind, uid] {
            if (!self) {
                return;
            }
            if (kind == Kind::removeMonitor) {
                self->controller_.removeMonitor(uid);
            } else {
                self->splitAll(kind == Kind::splitAll);
            }
        });
    }
    return menu;
}

void GroupTitle::splitAll(bool split) {
    // The shown count at the moment of the press, not at the last refresh.
    const AudioDeviceInfo device = title_.device;
    for (std::int64_t pair : GroupTitleModel::splittablePairs(device, controller_.visiblePairs(device))) {
        controller_.setSplit(split, device.uid, pair);
    }
}

void GroupTitle::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = buildMenu(this);
    if (menu->isEmpty()) {
        delete menu;
        return;
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}
