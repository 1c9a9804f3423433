#include "TandrelApp/Support/GlyphView.h"

#include <QPainter>

GlyphView::GlyphView(Glyph glyph, QSize size, QWidget* parent)
    : QWidget(parent)
    , glyph_(std::move(glyph)) {
    setFixedSize(size);
}

void GlyphView::setGlyph(Glyph glyph) {
    if (glyph != glyph_) {
        glyph_ = std::move(glyph);
        update();
    }
}

void GlyphView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Glyphs::paint(painter, rect(), glyph_, palette());
}
