// Small pieces of look that the mixer window's views share: labels in a text style and colour role,
// dividers, and the colour of a divider line.
#pragma once

#include <cstddef>

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QString>

#include "TandrelApp/Support/Theme.h"

namespace MixerStyle {

// The colour of divider lines between the matrix's parts.
QColor dividerColor(const QPalette& palette);

// Gives a widget's text the colour of a role in the application's palette.
void setTextColor(QWidget& widget, ColorRole role);

// A label in a font and colour role, on one line unless told otherwise.
QLabel* label(const QString& text, const QFont& font, ColorRole role = ColorRole::primary);

// Width of a column group in whole pixels, without its gap: its columns' pixels added up, so that
// headers and cells built column by column meet the same edge at every display scale.
int groupPixels(const Theme::Metrics& metrics, std::size_t columns);

// A one-pixel horizontal divider as wide as its layout makes it.
QFrame* divider();

} // namespace MixerStyle
