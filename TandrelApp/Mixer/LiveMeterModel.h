// How a level meter draws a level: the bar's fraction on a 60 dB scale and its colour. The meter
// widgets of the mixer and of the menu-bar panel paint what these functions say.
#pragma once

#include "TandrelApp/Support/ThemeRoles.h"

namespace LiveMeterModel {

// Levels at or below this (about -120 dBFS) draw an empty bar.
inline constexpr float silentLevel = 0.000001f;

// The filled part of the bar for a linear peak level: -60 dBFS and below empty, 0 dBFS and above full,
// linear in decibels between. A level that is not a number draws empty.
float fraction(float level);

// Red above -3 dBFS, yellow above -12 dBFS, green otherwise (the thresholds themselves are the lower
// colour).
ColorRole color(float level);

} // namespace LiveMeterModel
