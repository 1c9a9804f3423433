#include "TandrelApp/Mixer/ElidedLabel.h"

#include <QHelpEvent>
#include <QPainter>
#include <QTextDocument>
#include <QToolTip>

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

void ElidedLabel::setAlignment(Qt::AlignmentFlag horizontal) {
    if (horizontal != alignment_) {
        alignment_ = horizontal;
        update();
    }
}

void ElidedLabel::setShowsFullTextWhenElided(bool shows) {
    fullTextToolTip_ = shows;
}

QString ElidedLabel::toolTipText() const {
    if (fullTextToolTip_ && shownText() != text_) {
        return text_;
    }
    return toolTip();
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

bool ElidedLabel::event(QEvent* event) {
    // Otherwise the widget's own tooltip, or its parent's.
    if (event->type() == QEvent::ToolTip && fullTextToolTip_ && shownText() != text_) {
        // Plain text, whatever it looks like: a name or a path from outside is no markup.
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(),
                           Qt::convertFromPlainText(text_, Qt::WhiteSpaceNoWrap), this);
        return true;
    }
    return QWidget::event(event);
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(Theme::color(role_, palette()));
    const QString shown = shownText();
    if (!compact_) {
        painter.drawText(rect(), alignment_ | Qt::AlignVCenter, shown);
        return;
    }
    const Theme::LineBox box = Theme::lineBox(font());
    const int x = alignment_ == Qt::AlignRight ? width() - fontMetrics().horizontalAdvance(shown) : 0;
    painter.drawText(QPoint(x, (height() - box.height) / 2 + box.baseline), shown);
}
