// The program's own symbols, painted with QPainter and named like the desktop's system symbols that
// the views ask for ("speaker.slash.fill", "waveform.path", ...). Every window draws its icons from
// here; a new symbol is one entry of the table in Glyphs.cpp. GUI thread only.
#pragma once

#include <string_view>
#include <vector>

#include <QColor>
#include <QPalette>
#include <QPixmap>
#include <QRectF>
#include <QSizeF>

#include "TandrelApp/Support/ThemeRoles.h"

class QPainter;

namespace Glyphs {

// Whether a symbol of that name exists.
bool contains(std::string_view name);
// Every symbol's name, in the table's order.
std::vector<std::string_view> names();

// The symbol as a picture `size` device-independent pixels large, for a screen with that pixel ratio:
// drawn centred, as large as its square fits, in `color`. An unknown name gives an empty picture.
QPixmap pixmap(std::string_view name, const QColor& color, QSizeF size, qreal devicePixelRatio = 1.0);

// Paints the symbol centred in `rect` at the painter's pixel ratio.
void paint(QPainter& painter, const QRectF& rect, std::string_view name, const QColor& color);
// The same for a glyph, in its role's colour of `palette`.
void paint(QPainter& painter, const QRectF& rect, const Glyph& glyph, const QPalette& palette);

} // namespace Glyphs
