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

QString ElidedLabel::shownText() const {
    // Whole when it has the width it asked for: eliding measures in fractions of a pixel, and would
    // shorten a text that fits its rounded width.
    if (fontMetrics().horizontalAdvance(text_) <= width()) {
        return text_;
    }
    return fontMetrics().elidedText(text_, mode_, width());
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text_), fontMetrics().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(Theme::color(role_, palette()));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}
