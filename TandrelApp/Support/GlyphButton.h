// A borderless button whose face is one painted symbol (Glyphs) in a colour role: mute buttons, the
// fader switch, plus and minus. A click does not take the keyboard focus, so it never ends an edit in
// progress; Tab still reaches it. The symbol's name stays readable for tests.
#pragma once

#include <string>

#include <QAbstractButton>

#include "TandrelApp/Support/ThemeRoles.h"

class GlyphButton : public QAbstractButton {
    Q_OBJECT

public:
    // `size` is the button's size in device-independent pixels; the symbol fills its square.
    GlyphButton(std::string name, ColorRole role, QSize size, QWidget* parent = nullptr);

    void setGlyph(std::string name, ColorRole role);
    const std::string& glyphName() const { return name_; }
    ColorRole colorRole() const { return role_; }

    QSize sizeHint() const override { return size_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    std::string name_;
    ColorRole role_;
    QSize size_;
    // The focus ring shows only for focus that came from the keyboard, not for a window's first focus.
    bool keyboardFocus_ = false;
};
