#include "TandrelApp/Support/GlyphView.h"

#include <QPainter>

#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/Theme.h"

GlyphView::GlyphView(std::string name, ColorRole role, QSize size, QWidget* parent)
    : QWidget(parent)
    , name_(std::move(name))
    , role_(role)
    , size_(size) {
    setFixedSize(size);
}

void GlyphView::setGlyph(std::string name, ColorRole role) {
    if (name == name_ && role == role_) {
        return;
    }
    name_ = std::move(name);
    role_ = role;
    update();
}

void GlyphView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    Glyphs::paint(painter, rect(), name_, Theme::color(role_, palette()));
}
