#include "TandrelApp/Support/Theme.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHash>

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

// Point sizes of the text styles, in the order of TextStyle: body, callout, caption, caption2.
constexpr std::array<double, 4> kTextPoints{13, 12, 10, 10};

// Points of a control size, in the order of ControlSize: regular, small, mini.
struct ControlPoints {
    double text;
    double knob;  // a slider knob's diameter
    double track; // a slider track's thickness
};
constexpr std::array<ControlPoints, 3> kControlSizes{{{13, 18, 4}, {11, 14, 3}, {9, 10, 3}}};

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
    return kTextPoints[static_cast<std::size_t>(style)];
}

double controlPoints(ControlSize size) {
    return kControlSizes[static_cast<std::size_t>(size)].text;
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
    return length(kControlSizes[static_cast<std::size_t>(size)].knob);
}

double Metrics::sliderTrack(ControlSize size) const {
    return length(kControlSizes[static_cast<std::size_t>(size)].track);
}

LineBox lineBox(const QFont& font) {
    static QHash<QString, LineBox> boxes;
    const QString key = font.key();
    if (const auto found = boxes.constFind(key); found != boxes.constEnd()) {
        return *found;
    }
    const QFontMetrics metrics(font);
    // What reaches highest and lowest among the texts shown: accents on capitals, descenders, kana and
    // ideographs, and the bar that reaches below them all.
    const QRect ink = metrics.tightBoundingRect(QStringLiteral("ÅÉÑgjpqy|漢字あア"));
    LineBox box{std::min(ink.height(), metrics.height()), std::min(-ink.top(), metrics.ascent())};
    if (ink.isEmpty()) {
        box = {metrics.height(), metrics.ascent()};
    }
    boxes.insert(key, box);
    return box;
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
