#include "TandrelApp/Shell/ElidedLabel.h"

#include <cmath>

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>

ElidedLabel::ElidedLabel(QWidget* parent)
    : QWidget(parent) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    updateGeometry();
    update();
}

QString ElidedLabel::shownText() const {
    // Whole when it fits its own size hint: eliding measures in fractions of a pixel.
    if (width() >= sizeHint().width()) {
        return text_;
    }
    return fontMetrics().elidedText(text_, Qt::ElideRight, width());
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetricsF metrics(font());
    return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text_))) + 1, fontMetrics().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    // Room for the first character and the ellipsis; the rest is given up before anything else.
    return {fontMetrics().horizontalAdvance(QStringLiteral("W…")), fontMetrics().height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

void ElidedLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
    }
    QWidget::changeEvent(event);
}
