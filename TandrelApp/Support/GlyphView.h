// One painted symbol (Glyphs) in a colour role, as a plain picture: the icons of titles, banners and
// rows. The symbol's name stays readable, so tests can ask which one is shown.
#pragma once

#include <string>

#include <QWidget>

#include "TandrelApp/Support/ThemeRoles.h"

class GlyphView : public QWidget {
    Q_OBJECT

public:
    // `size` is the picture's size in device-independent pixels.
    GlyphView(std::string name, ColorRole role, QSize size, QWidget* parent = nullptr);

    void setGlyph(std::string name, ColorRole role);
    const std::string& glyphName() const { return name_; }
    ColorRole colorRole() const { return role_; }

    QSize sizeHint() const override { return size_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string name_;
    ColorRole role_;
    QSize size_;
};
