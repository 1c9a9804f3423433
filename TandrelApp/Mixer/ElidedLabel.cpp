#include "TandrelApp/Mixer/ElidedLabel.h"

#include <QPainter>

#include "TandrelApp/Support/Theme.h"

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent)
    : QWidget(parent)
    , mode_(mode) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text != text_) {
        text_ = text;
        updateGeometry();
        update();
    }
}

void ElidedLabel::setColorRole(ColorRole role) {
    if (role != role_) {
        role_ = role;
        update();
    }
}

void ElidedLabel::setCompactLine(bool compact) {
    if (compact != compact_) {
        compact_ = compact;
        updateGeometry();
        update();
    }
}

QString ElidedLabel::shownText() const {
    // Whole when it has the width it asked for: eliding measures in fractions of a pixel, and would
    // shorten a text that fits its rounded width.
    if (fontMetrics().horizontalAdvance(text_) <= width()) {
        return text_;
    }
    return fontMetrics().elidedText(text_, mode_, width());
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text_), minimumSizeHint().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, compact_ ? Theme::lineBox(font()).height : fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(Theme::color(role_, palette()));
    if (!compact_) {
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
        return;
    }
    const Theme::LineBox box = Theme::lineBox(font());
    painter.drawText(QPoint(0, (height() - box.height) / 2 + box.baseline), shownText());
}
