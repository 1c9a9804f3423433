// The names the views use for text styles, colours, control sizes and symbols, without Qt: view models
// say "secondary", "caption2" or "speaker.slash.fill" here, and Theme and Glyphs turn the names into
// fonts, colours and pictures for the widgets.
#pragma once

#include <string>

// Text styles of the desktop's type scale.
enum class TextStyle { body, callout, caption, caption2 };

// Colours by meaning. `primary`, `secondary` and `tertiary` are the label colours at full, half and a
// quarter strength; `accent` is the selection colour; the rest are the system's signal colours.
enum class ColorRole { primary, secondary, tertiary, accent, red, orange, yellow, green, gray };

// How large a standard control is drawn.
enum class ControlSize { regular, small, mini };

// A symbol by its name (see Glyphs) in a colour role.
struct Glyph {
    std::string name;
    ColorRole role = ColorRole::primary;
    bool operator==(const Glyph&) const = default;
};
