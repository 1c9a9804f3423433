#include "TandrelApp/Support/GlyphButton.h"

#include <QFocusEvent>
#include <QPainter>

#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/Theme.h"

GlyphButton::GlyphButton(Glyph glyph, QSize size, QWidget* parent)
    : QAbstractButton(parent)
    , glyph_(std::move(glyph)) {
    setFixedSize(size);
    setFocusPolicy(Qt::TabFocus);
}

void GlyphButton::setGlyph(Glyph glyph) {
    if (glyph != glyph_) {
        glyph_ = std::move(glyph);
        update();
    }
}

void GlyphButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // A pressed button darkens its symbol and a disabled one fades it, as borderless buttons do.
    if (!isEnabled()) {
        painter.setOpacity(0.35);
    } else if (isDown()) {
        painter.setOpacity(0.55);
    }
    Glyphs::paint(painter, rect(), glyph_, palette());
    if (hasFocus() && keyboardFocus_) {
        painter.setOpacity(1.0);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::color(ColorRole::accent, palette()), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 3, 3);
    }
}

void GlyphButton::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ = Theme::showsFocusRing(event->reason());
    QAbstractButton::focusInEvent(event);
}
