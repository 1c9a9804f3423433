// The one place where the views' vocabulary becomes Qt: sizes in points become device-independent
// pixels times the display scale (TDUIScale), text styles become fonts of the CJK family, colour roles
// become palette colours or the system's signal colours. Every window builds its widgets from a
// Theme::Metrics; a change of theme is an edit here.
#pragma once

#include <QColor>
#include <QFont>
#include <QMarginsF>
#include <QPalette>
#include <QRectF>
#include <QSize>
#include <QSizeF>

#include "TandrelApp/Support/ThemeRoles.h"

namespace Theme {

// The family that renders the Japanese texts; Scripts/setup installs it (fonts-noto-cjk). Its digits,
// sign and decimal point are all one width, so readouts in it do not jitter as they change.
inline constexpr const char* cjkFamily = "Noto Sans CJK JP";

// Point sizes of the text styles.
double points(TextStyle style);
// Point size of the text inside a control of that size.
double controlPoints(ControlSize size);

enum class Weight { regular, semibold, bold };

struct FontOptions {
    Weight weight = Weight::regular;
    // Digits of equal width. The CJK family has them already; a family without them would switch its
    // digit forms here.
    bool monospacedDigits = false;
};

// Lengths and fonts at one display scale. One point is one device-independent pixel at scale 1.
class Metrics {
public:
    constexpr explicit Metrics(double scale = 1.0)
        : scale_(scale > 0 ? scale : 1.0) {}

    constexpr double scale() const { return scale_; }
    // A length in points at this scale, in device-independent pixels.
    constexpr double length(double points) const { return points * scale_; }
    // The same, rounded to whole pixels for layouts.
    int px(double points) const;
    QSize size(double width, double height) const { return {px(width), px(height)}; }
    QSizeF sizeF(double width, double height) const { return {length(width), length(height)}; }
    QMarginsF margins(double left, double top, double right, double bottom) const;

    QFont font(TextStyle style, FontOptions options = {}) const;
    // The system font at a point size ("the system font, 9 pt, bold").
    QFont systemFont(double points, FontOptions options = {}) const;
    // The text of a control of that size.
    QFont controlFont(ControlSize size) const;

    // Slider parts of a control size: the knob's diameter and the track's thickness, in pixels.
    double sliderKnob(ControlSize size) const;
    double sliderTrack(ControlSize size) const;

    constexpr bool operator==(const Metrics&) const = default;

private:
    double scale_;
};

// The box one line of text needs in a font: as high as its ink (accented capitals, descenders and
// ideographs) rather than its ascent plus descent, which in the CJK family leave a few pixels empty
// above and below. `baseline` is measured from the box's top.
struct LineBox {
    int height = 0;
    int baseline = 0;
};
LineBox lineBox(const QFont& font);

// Whether the palette is a dark one (light text on a dark window).
bool isDark(const QPalette& palette);
// The colour of a role in the palette's light or dark appearance, at an opacity (0 ... 1).
QColor color(ColorRole role, const QPalette& palette, double opacity = 1.0);
// The face of a knob, the text field background and the window background.
QColor controlColor(const QPalette& palette);
QColor textBackground(const QPalette& palette);
QColor windowBackground(const QPalette& palette, double opacity = 1.0);

// Whether focus that came for this reason shows a focus ring: only focus from the keyboard does, not a
// click or a window's first focus.
bool showsFocusRing(Qt::FocusReason reason);

// Makes the CJK family the application's font, when it is installed; call once after the application
// object exists.
void installApplicationFont();

} // namespace Theme
