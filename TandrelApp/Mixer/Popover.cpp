#include "TandrelApp/Mixer/Popover.h"

#include <algorithm>

#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Support/Theme.h"

namespace {

// Space between the anchor and the panel.
constexpr int kGap = 4;

} // namespace

Popover::Popover(QWidget* anchor, Edge edge)
    : QFrame(anchor, Qt::Popup)
    , anchor_(anchor)
    , edge_(edge) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    setAutoFillBackground(false);
}

void Popover::setContent(QWidget* content) {
    if (content_) {
        content_->hide();
        content_->deleteLater();
    }
    content_ = content;
    if (content != nullptr) {
        layout()->addWidget(content);
    }
}

void Popover::present() {
    layout()->activate();
    adjustSize();
    move(placement());
    show();
    raise();
}

// Centred under the anchor, or beside it and centred on it, kept on the anchor's screen.
QPoint Popover::placement() const {
    if (!anchor_) {
        return pos();
    }
    const QRect bounds(anchor_->mapToGlobal(QPoint(0, 0)), anchor_->size());
    QPoint topLeft = edge_ == Edge::bottom
                         ? QPoint(bounds.center().x() - width() / 2, bounds.bottom() + 1 + kGap)
                         : QPoint(bounds.right() + 1 + kGap, bounds.center().y() - height() / 2);
    if (const QScreen* screen = anchor_->screen()) {
        const QRect available = screen->availableGeometry();
        topLeft.setX(std::clamp(topLeft.x(), available.left(),
                                std::max(available.left(), available.right() - width())));
        topLeft.setY(std::clamp(topLeft.y(), available.top(),
                                std::max(available.top(), available.bottom() - height())));
    }
    return topLeft;
}

void Popover::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Theme::windowBackground(palette()));
    painter.setPen(MixerStyle::dividerColor(palette()).darker(130));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void Popover::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    emit closed();
}
