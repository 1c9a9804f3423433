#include "TandrelApp/Support/Theme.h"

#include <algorithm>
#include <cmath>

#include <QApplication>
#include <QFontDatabase>

namespace Theme {

namespace {

// The signal colours in the light and the dark appearance.
struct SignalColor {
    QRgb light;
    QRgb dark;
};
constexpr SignalColor kRed{0xFF3B30, 0xFF453A};
constexpr SignalColor kOrange{0xFF9500, 0xFF9F0A};
constexpr SignalColor kYellow{0xFFCC00, 0xFFD60A};
constexpr SignalColor kGreen{0x28CD41, 0x32D74B};
constexpr SignalColor kGray{0x8E8E93, 0x98989D};

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * std::clamp(opacity, 0.0, 1.0)));
    return color;
}

QColor signal(const SignalColor& colors, const QPalette& palette) {
    return QColor::fromRgb(isDark(palette) ? colors.dark : colors.light);
}

QFont makeFont(double pixels, FontOptions options) {
    QFont font;
    font.setFamilies({QString::fromLatin1(cjkFamily)});
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixels))));
    switch (options.weight) {
    case Weight::regular:
        font.setWeight(QFont::Normal);
        break;
    case Weight::semibold:
        font.setWeight(QFont::DemiBold);
        break;
    case Weight::bold:
        font.setWeight(QFont::Bold);
        break;
    }
    return font;
}

} // namespace

double points(TextStyle style) {
    switch (style) {
    case TextStyle::body:
        return 13;
    case TextStyle::callout:
        return 12;
    case TextStyle::caption:
        return 10;
    case TextStyle::caption2:
        return 10;
    }
    return 13;
}

double controlPoints(ControlSize size) {
    switch (size) {
    case ControlSize::regular:
        return 13;
    case ControlSize::small:
        return 11;
    case ControlSize::mini:
        return 9;
    }
    return 13;
}

int Metrics::px(double points) const {
    return static_cast<int>(std::lround(length(points)));
}

QMarginsF Metrics::margins(double left, double top, double right, double bottom) const {
    return {length(left), length(top), length(right), length(bottom)};
}

QFont Metrics::font(TextStyle style, FontOptions options) const {
    return makeFont(length(points(style)), options);
}

QFont Metrics::systemFont(double points, FontOptions options) const {
    return makeFont(length(points), options);
}

QFont Metrics::controlFont(ControlSize size) const {
    return makeFont(length(controlPoints(size)), {});
}

double Metrics::sliderKnob(ControlSize size) const {
    switch (size) {
    case ControlSize::regular:
        return length(18);
    case ControlSize::small:
        return length(14);
    case ControlSize::mini:
        return length(10);
    }
    return length(18);
}

double Metrics::sliderTrack(ControlSize size) const {
    switch (size) {
    case ControlSize::regular:
        return length(4);
    case ControlSize::small:
        return length(3);
    case ControlSize::mini:
        return length(3);
    }
    return length(4);
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

QColor color(ColorRole role, const QPalette& palette, double opacity) {
    const QColor label = palette.color(QPalette::WindowText);
    const bool dark = isDark(palette);
    switch (role) {
    case ColorRole::primary:
        return withOpacity(label, opacity);
    case ColorRole::secondary:
        return withOpacity(label, (dark ? 0.55 : 0.5) * opacity);
    case ColorRole::tertiary:
        return withOpacity(label, (dark ? 0.25 : 0.26) * opacity);
    case ColorRole::accent:
        return withOpacity(palette.color(QPalette::Highlight), opacity);
    case ColorRole::red:
        return withOpacity(signal(kRed, palette), opacity);
    case ColorRole::orange:
        return withOpacity(signal(kOrange, palette), opacity);
    case ColorRole::yellow:
        return withOpacity(signal(kYellow, palette), opacity);
    case ColorRole::green:
        return withOpacity(signal(kGreen, palette), opacity);
    case ColorRole::gray:
        return withOpacity(signal(kGray, palette), opacity);
    }
    return withOpacity(label, opacity);
}

QColor controlColor(const QPalette& palette) {
    // The lightest shade of the button colour: white in a light palette, as the desktop's knobs are.
    return palette.color(QPalette::Light);
}

QColor textBackground(const QPalette& palette) {
    return palette.color(QPalette::Base);
}

QColor windowBackground(const QPalette& palette, double opacity) {
    return withOpacity(palette.color(QPalette::Window), opacity);
}

bool showsFocusRing(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::ShortcutFocusReason;
}

void installApplicationFont() {
    if (QFontDatabase::families().contains(QString::fromLatin1(cjkFamily))) {
        QFont font = QApplication::font();
        font.setFamilies({QString::fromLatin1(cjkFamily)});
        QApplication::setFont(font);
    }
}

} // namespace Theme
