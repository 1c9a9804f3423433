// The names the views use for text styles, colours and control sizes, without Qt: view models say
// "secondary" or "caption2" here, and Theme turns the names into fonts and colours for the widgets.
#pragma once

// Text styles of the desktop's type scale.
enum class TextStyle { body, callout, caption, caption2 };

// Colours by meaning. `primary`, `secondary` and `tertiary` are the label colours at full, half and a
// quarter strength; `accent` is the selection colour; the rest are the system's signal colours.
enum class ColorRole { primary, secondary, tertiary, accent, red, orange, yellow, green, gray };

// How large a standard control is drawn.
enum class ControlSize { regular, small, mini };
