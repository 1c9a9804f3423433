#include "TandrelApp/Mixer/MatrixCell.h"

#include <algorithm>

#include <QActionGroup>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMenu>
#include <QPainter>
#include <QToolTip>

#include "TandrelApp/Mixer/ConnectionDetail.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/Popover.h"
#include "TandrelApp/Support/ActionMenu.h"
#include "TandrelApp/Support/PlainText.h"

namespace {

// Insets of the cell's face and of its buttons, the buttons' spacing and corners, in points.
constexpr double kFaceInset = 2;
constexpr double kFaceRadius = 6;
constexpr double kButtonInset = 3;
constexpr double kButtonSpacing = 3;
constexpr double kButtonRadius = 4;
constexpr double kCaptionPoints = 12;
constexpr double kCaptionPadding = 1;
constexpr double kSmallestCaption = 0.6;
constexpr double kBadgePoints = 8;

} // namespace

MatrixCell::MatrixCell(RoutingController& controller, Theme::Metrics metrics, QWidget* parent)
    : QWidget(parent)
    , controller_(controller)
    , metrics_(metrics) {
    setFixedSize(sizeHint());
    setMouseTracking(false);
}

QSize MatrixCell::sizeHint() const {
    return metrics_.size(MatrixMetrics::columnWidth, MatrixMetrics::sourceRowHeight);
}

void MatrixCell::display(const Endpoint& endpoint, const AudioDeviceInfo& device, std::int64_t pair,
                         std::int64_t width, bool isEnabled) {
    MatrixCellModel::Cell next{
        .endpoint = endpoint,
        .device = device,
        .pair = pair,
        .width = width,
        .isEnabled = isEnabled,
        .connection = MatrixCellModel::find(controller_.config(), endpoint, device.uid, pair, width),
        .sourceChannels = controller_.sourceChannelCount(endpoint)};
    auto buttons = MatrixCellModel::routeButtons(next);
    auto badge = MatrixCellModel::gainBadge(next);
    const bool changed =
        buttons != buttons_ || badge != badge_ || next.isEnabled != cell_.isEnabled ||
        (next.connection && cell_.connection && next.connection->isMuted != cell_.connection->isMuted);
    cell_ = std::move(next);
    buttons_ = std::move(buttons);
    badge_ = std::move(badge);
    if (changed) {
        update();
    }
    refreshDetail();
}

QRectF MatrixCell::buttonRect(int source, int destination) const {
    const int rows = static_cast<int>(buttons_.size());
    const auto columns = static_cast<int>(cell_.width);
    if (rows == 0 || columns <= 0) {
        return {};
    }
    const QRectF area = QRectF(rect()).marginsRemoved(
        metrics_.margins(kButtonInset, kButtonInset, kButtonInset, kButtonInset));
    const double spacing = metrics_.length(kButtonSpacing);
    const double width = (area.width() - spacing * (columns - 1)) / columns;
    const double height = (area.height() - spacing * (rows - 1)) / rows;
    return {area.left() + destination * (width + spacing), area.top() + source * (height + spacing), width,
            height};
}

const MatrixCellModel::RouteButton* MatrixCell::buttonAt(QPointF point) const {
    for (const auto& row : buttons_) {
        for (const auto& button : row) {
            if (buttonRect(button.source, button.destination).contains(point)) {
                return &button;
            }
        }
    }
    return nullptr;
}

QString MatrixCell::toolTipAt(QPointF point) const {
    if (const auto* button = buttonAt(point)) {
        return QString::fromStdString(button->tooltip);
    }
    std::optional<RoutingController::RouteInfo> route;
    if (cell_.connection) {
        route = controller_.routeInfo(cell_.connection->id);
    }
    return QString::fromStdString(MatrixCellModel::helpText(cell_, route));
}

bool MatrixCell::event(QEvent* event) {
    // The route statistics are read when the tooltip is asked for, not at every refresh.
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), PlainText::toolTip(toolTipAt(help->pos())), this);
        return true;
    }
    return QWidget::event(event);
}

void MatrixCell::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& colors = palette();
    painter.setOpacity(cell_.isEnabled ? 1.0 : 0.3);

    if (cell_.isEnabled) {
        const double radius = metrics_.length(kFaceRadius);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::color(ColorRole::primary, colors, 0.04));
        painter.drawRoundedRect(
            QRectF(rect()).marginsRemoved(metrics_.margins(kFaceInset, kFaceInset, kFaceInset, kFaceInset)),
            radius, radius);
    }

    // The gain badge sits over the bottom-trailing corner; a caption under it moves up into the room
    // the badge leaves, so that neither hides the other.
    const QFont badgeFont = metrics_.systemFont(kBadgePoints, {.monospacedDigits = true});
    const QString badgeText = badge_ ? QString::fromStdString(*badge_) : QString();
    QRectF badgeBox;
    if (badge_) {
        const QFontMetricsF fontMetrics(badgeFont);
        const double inset = metrics_.length(1);
        const QSizeF size(fontMetrics.horizontalAdvance(badgeText) + 2 * metrics_.length(2),
                          fontMetrics.height());
        badgeBox = QRectF(width() - inset - size.width(), height() - inset - size.height(), size.width(),
                          size.height());
    }

    const bool muted = cell_.connection && cell_.connection->isMuted;
    const QFont captionFont = metrics_.systemFont(kCaptionPoints, {.weight = Theme::Weight::semibold});
    for (const auto& row : buttons_) {
        for (const auto& button : row) {
            const QRectF face = buttonRect(button.source, button.destination).adjusted(0.5, 0.5, -0.5, -0.5);
            const double radius = metrics_.length(kButtonRadius);
            if (button.lit) {
                painter.setBrush(Theme::color(muted ? ColorRole::secondary : ColorRole::accent, colors));
                painter.setPen(QPen(QColor(255, 255, 255, 128), metrics_.length(1)));
            } else {
                painter.setBrush(Theme::color(ColorRole::primary, colors, 0.06));
                painter.setPen(QPen(Theme::color(ColorRole::secondary, colors, 0.35), metrics_.length(1)));
            }
            painter.drawRoundedRect(face, radius, radius);

            // The caption shrinks to fit a narrow button, down to 60 % of its size.
            QFont font = captionFont;
            const QString caption = QString::fromStdString(button.caption);
            QRectF captionRect = face;
            if (badge_ && face.intersects(badgeBox)) {
                captionRect.setBottom(std::max(face.top() + 1, badgeBox.top()));
            }
            const QFontMetricsF natural(font);
            const double room = face.width() - 2 * metrics_.length(kCaptionPadding);
            const double fit = std::min(
                natural.horizontalAdvance(caption) > 0 ? room / natural.horizontalAdvance(caption) : 1.0,
                captionRect.height() / natural.height());
            if (fit < 1.0) {
                font.setPixelSize(
                    std::max(1, static_cast<int>(font.pixelSize() * std::max(kSmallestCaption, fit))));
            }
            painter.setFont(font);
            painter.setPen(button.lit ? QColor(Qt::white) : Theme::color(ColorRole::secondary, colors, 0.85));
            painter.drawText(captionRect, Qt::AlignCenter, caption);
        }
    }

    if (badge_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::windowBackground(colors, 0.85));
        painter.drawRoundedRect(badgeBox, metrics_.length(2), metrics_.length(2));
        painter.setFont(badgeFont);
        painter.setPen(Theme::color(ColorRole::secondary, colors));
        painter.drawText(badgeBox, Qt::AlignCenter, badgeText);
    }
}

void MatrixCell::mousePressEvent(QMouseEvent* event) {
    pressedBit_ = 0;
    if (event->button() == Qt::LeftButton) {
        if (const auto* button = buttonAt(event->position())) {
            pressedBit_ = button->bit;
            return;
        }
    }
    QWidget::mousePressEvent(event);
}

// A press toggles its route when it is released over the same button, as a button's click does.
void MatrixCell::mouseReleaseEvent(QMouseEvent* event) {
    const int bit = std::exchange(pressedBit_, 0);
    const auto* button = buttonAt(event->position());
    if (event->button() != Qt::LeftButton || bit == 0 || button == nullptr || button->bit != bit) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    controller_.toggleRoute(cell_.endpoint, cell_.device.uid, cell_.pair, cell_.width, bit);
}

QMenu* MatrixCell::buildMenu(QWidget* parent) {
    using Kind = MatrixCellModel::MenuEntry::Kind;
    auto* menu = new ActionMenu(parent);
    const QPointer<MatrixCell> self(this);
    const MatrixCellModel::Cell cell = cell_;
    const std::optional<UUID> id = cell.connection ? std::optional(cell.connection->id) : std::nullopt;
    const auto toggleConnection = [self, cell] {
        if (self) {
            self->controller_.toggleConnection(cell.endpoint, cell.device.uid, cell.pair, cell.width);
        }
    };
    for (const auto& entry : MatrixCellModel::menu(cell)) {
        const QString title = QString::fromStdString(entry.title);
        switch (entry.kind) {
        case Kind::connect:
        case Kind::disconnect:
            connect(menu->addItem(entry.title, entry.destructive), &QAction::triggered, menu,
                    toggleConnection);
            break;
        case Kind::customNote:
            menu->addAction(title)->setEnabled(false);
            break;
        case Kind::modePicker:
        case Kind::monoPicker: {
            QMenu* picker = menu->addMenu(title);
            auto* group = new QActionGroup(picker);
            for (const auto& choice : entry.choices) {
                QAction* action = picker->addAction(QString::fromStdString(choice.title));
                action->setCheckable(true);
                action->setChecked(choice.checked);
                group->addAction(action);
                const bool mono = entry.kind == Kind::monoPicker;
                connect(action, &QAction::triggered, menu, [self, id, choice, mono] {
                    if (!self || !id) {
                        return;
                    }
                    const RoutingConfig& config = self->controller_.config();
                    self->edit(mono ? ConnectionDetailModel::choosingMonoSource(config, *id, choice.mono)
                                    : MatrixCellModel::choosingMode(config, *id, choice.mode));
                });
            }
            break;
        }
        case Kind::toggleMute: {
            const bool muted = cell.connection->isMuted;
            connect(menu->addAction(title), &QAction::triggered, menu, [self, id, muted] {
                if (self && id) {
                    self->edit(MatrixCellModel::settingMute(self->controller_.config(), *id, !muted));
                }
            });
            break;
        }
        case Kind::showDetail:
            connect(menu->addAction(title), &QAction::triggered, menu, [self] {
                if (self) {
                    self->showDetail();
                }
            });
            break;
        case Kind::separator:
            menu->addSeparator();
            break;
        }
    }
    return menu;
}

void MatrixCell::edit(const std::optional<RoutingConfig>& next) {
    if (next) {
        controller_.setConfig(*next);
    }
}

void MatrixCell::contextMenuEvent(QContextMenuEvent* event) {
    if (!cell_.isEnabled) {
        return;
    }
    QMenu* menu = buildMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void MatrixCell::showDetail() {
    if (!detailPopover_) {
        detailPopover_ = new Popover(this, Popover::Edge::bottom);
        detailPopover_->setContent(new ConnectionDetail(controller_, Theme::Metrics(1.0)));
        connect(detailPopover_, &Popover::closed, detailPopover_, &QObject::deleteLater);
    }
    refreshDetail();
    detailPopover_->present();
}

void MatrixCell::refreshDetail() {
    if (auto* content = detail()) {
        content->display(cell_.connection ? std::optional(cell_.connection->id) : std::nullopt,
                         cell_.sourceChannels);
    }
}

Popover* MatrixCell::detailPopover() const {
    return detailPopover_;
}

ConnectionDetail* MatrixCell::detail() const {
    return detailPopover_ ? static_cast<ConnectionDetail*>(detailPopover_->content()) : nullptr;
}
