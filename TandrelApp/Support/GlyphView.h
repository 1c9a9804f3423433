// One painted symbol (Glyphs) in a colour role, as a plain picture: the icons of titles, banners and
// rows. The glyph stays readable, so tests can ask which one is shown.
#pragma once

#include <QWidget>

#include "TandrelApp/Support/Glyphs.h"

class GlyphView : public QWidget {
    Q_OBJECT

public:
    // `size` is the picture's size in device-independent pixels.
    GlyphView(Glyph glyph, QSize size, QWidget* parent = nullptr);

    void setGlyph(Glyph glyph);
    const Glyph& glyph() const { return glyph_; }

    QSize sizeHint() const override { return size(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Glyph glyph_;
};
