// A borderless button whose face is one painted symbol (Glyphs) in a colour role: mute buttons, the
// fader switch, plus and minus. Like the desktop's borderless buttons, a click does not take the
// keyboard focus; Tab still reaches it. The glyph stays readable for tests.
#pragma once

#include <QAbstractButton>

#include "TandrelApp/Support/Glyphs.h"

class GlyphButton : public QAbstractButton {
    Q_OBJECT

public:
    // `size` is the button's size in device-independent pixels; the symbol fills its square.
    GlyphButton(Glyph glyph, QSize size, QWidget* parent = nullptr);

    void setGlyph(Glyph glyph);
    const Glyph& glyph() const { return glyph_; }

    QSize sizeHint() const override { return size(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    Glyph glyph_;
    // The focus ring shows only for focus that came from the keyboard, not for a window's first focus.
    bool keyboardFocus_ = false;
};
