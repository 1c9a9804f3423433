// The vertical fader's scale and hand: where a level sits on the 72 dB track, and which level a press at
// a height asks for (0.5 dB steps with a catch at 0 dB). The fader widget draws and reports through it.
#pragma once

namespace VerticalFaderModel {

inline constexpr float bottomDB = -60.0f;
inline constexpr float topDB = 12.0f;
// Where 0 dB sits, as a fraction of the height from the bottom (60/72), and where the tick is drawn.
inline constexpr float zeroFraction = 60.0f / 72.0f;

// Sizes in points.
inline constexpr double width = 16;
inline constexpr double trackWidth = 4;
inline constexpr double tickWidth = 10;
inline constexpr double tickHeight = 1;
inline constexpr double knobWidth = 14;
inline constexpr double knobHeight = 7;

// The filled fraction of the track for a level: 0 at -60 dB and below, 1 at +12 dB and above.
float fraction(float dB);

// The level a press asks for at `y` points below the top of a fader `height` points tall: the top and
// above give +12, the bottom and below -60; rounded to 0.5 dB, and -0.5 ... +0.5 caught at 0.
float valueAt(double y, double height);

} // namespace VerticalFaderModel
