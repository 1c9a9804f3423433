// The theme and the painted symbols: sizes and fonts follow the display scale, colour roles follow the
// palette's appearance, every symbol the windows name exists and paints something, and children kept
// by key survive refreshes.
#include <string>
#include <vector>

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/Glyphs.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

namespace {

TEST(ThemeTest, LengthsAndFontsScaleWithTheDisplayScale) {
    const Theme::Metrics normal;
    const Theme::Metrics large(1.5);
    EXPECT_EQ(normal.px(52), 52);
    EXPECT_EQ(large.px(52), 78);
    EXPECT_EQ(large.size(270, 58), QSize(405, 87));
    EXPECT_DOUBLE_EQ(large.length(0.5), 0.75);
    EXPECT_EQ(Theme::Metrics(0).scale(), 1.0) << "a scale that is no scale counts as 1";

    EXPECT_EQ(normal.font(TextStyle::body).pixelSize(), 13);
    EXPECT_EQ(normal.font(TextStyle::callout).pixelSize(), 12);
    EXPECT_EQ(normal.font(TextStyle::caption).pixelSize(), 10);
    EXPECT_EQ(large.font(TextStyle::caption2).pixelSize(), 15);
    EXPECT_EQ(large.systemFont(8).pixelSize(), 12);
    EXPECT_EQ(normal.font(TextStyle::callout, {.weight = Theme::Weight::semibold}).weight(), QFont::DemiBold);
    EXPECT_EQ(normal.systemFont(9, {.weight = Theme::Weight::bold}).weight(), QFont::Bold);
    EXPECT_EQ(normal.controlFont(ControlSize::mini).pixelSize(), 9);
    EXPECT_GT(normal.sliderKnob(ControlSize::regular), normal.sliderKnob(ControlSize::mini));
    EXPECT_DOUBLE_EQ(large.sliderKnob(ControlSize::mini), 1.5 * normal.sliderKnob(ControlSize::mini));
}

TEST(ThemeTest, JapaneseTextUsesTheCjkFamilyWhoseDigitsAreAllOneWidth) {
    const QFont font = Theme::Metrics().font(TextStyle::caption2, {.monospacedDigits = true});
    ASSERT_EQ(QFontInfo(font).family(), QString::fromLatin1(Theme::cjkFamily)) << "Scripts/setup installs it";
    const QFontMetricsF metrics(font);
    for (QChar digit : QStringLiteral("123456789+")) {
        EXPECT_DOUBLE_EQ(metrics.horizontalAdvance(digit), metrics.horizontalAdvance(QLatin1Char('0')))
            << static_cast<int>(digit.unicode());
    }
    EXPECT_TRUE(QFontMetrics(font).inFont(QChar(0x30DF))) << "ミ";
}

TEST(ThemeTest, ColourRolesFollowTheLightOrDarkPalette) {
    QPalette light;
    light.setColor(QPalette::Window, Qt::white);
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Highlight, QColor(0x00, 0x7A, 0xFF));
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(0x1E, 0x1E, 0x1E));
    dark.setColor(QPalette::WindowText, Qt::white);

    EXPECT_FALSE(Theme::isDark(light));
    EXPECT_TRUE(Theme::isDark(dark));
    EXPECT_EQ(Theme::color(ColorRole::primary, light), QColor(Qt::black));
    EXPECT_NEAR(Theme::color(ColorRole::secondary, light).alphaF(), 0.5, 0.01);
    EXPECT_NEAR(Theme::color(ColorRole::secondary, light, 0.5).alphaF(), 0.25, 0.01);
    EXPECT_NEAR(Theme::color(ColorRole::primary, dark, 0.08).alphaF(), 0.08, 0.01);
    EXPECT_EQ(Theme::color(ColorRole::secondary, dark).rgb(), QColor(Qt::white).rgb());
    EXPECT_EQ(Theme::color(ColorRole::accent, light), QColor(0x00, 0x7A, 0xFF));
    EXPECT_EQ(Theme::color(ColorRole::red, light), QColor(0xFF, 0x3B, 0x30));
    EXPECT_NE(Theme::color(ColorRole::red, dark), Theme::color(ColorRole::red, light));
    for (ColorRole role : {ColorRole::orange, ColorRole::yellow, ColorRole::green, ColorRole::gray}) {
        EXPECT_EQ(Theme::color(role, light).alphaF(), 1.0f);
    }
}

// Every symbol the windows ask for, by the names they use.
const std::vector<std::string> kNamesInUse{"speaker.fill",
                                           "speaker.wave.1.fill",
                                           "speaker.wave.2.fill",
                                           "speaker.wave.2",
                                           "speaker.slash.fill",
                                           "exclamationmark.triangle.fill",
                                           "waveform.path",
                                           "slider.vertical.3",
                                           "minus",
                                           "plus",
                                           "minus.circle",
                                           "plus.circle",
                                           "app",
                                           "app.dashed",
                                           "mic",
                                           "macwindow.on.rectangle",
                                           "link",
                                           "link.badge.plus",
                                           "info.circle",
                                           "chevron.down",
                                           "chevron.right",
                                           "arrow.down.circle.fill",
                                           "record.circle",
                                           "stop.circle.fill",
                                           "gearshape",
                                           "nosign"};

int paintedPixels(const QPixmap& pixmap) {
    const QImage image = pixmap.toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += qAlpha(image.pixel(x, y)) > 64 ? 1 : 0;
        }
    }
    return count;
}

TEST(GlyphsTest, EverySymbolInUseExistsAndPaintsInsideItsSquare) {
    for (const auto& name : kNamesInUse) {
        ASSERT_TRUE(Glyphs::contains(name)) << name;
        const QPixmap picture = Glyphs::pixmap(name, Qt::black, QSizeF(20, 20));
        const int painted = paintedPixels(picture);
        EXPECT_GT(painted, 15) << name << " paints next to nothing";
        EXPECT_LT(painted, 20 * 20 * 3 / 4) << name << " fills its square";
    }
    EXPECT_EQ(Glyphs::names().size(), kNamesInUse.size())
        << "a symbol nobody names, or a name not listed here";
}

TEST(GlyphsTest, SymbolsScaleToTheScreenAndUnknownNamesPaintNothing) {
    const QPixmap sharp = Glyphs::pixmap("speaker.wave.2.fill", Qt::red, QSizeF(16, 16), 2.0);
    EXPECT_EQ(sharp.size(), QSize(32, 32));
    EXPECT_EQ(sharp.deviceIndependentSize(), QSizeF(16, 16));
    // Knocked-out parts are transparent, not painted in a background colour.
    const QImage alert = Glyphs::pixmap("exclamationmark.triangle.fill", Qt::red, QSizeF(40, 40)).toImage();
    EXPECT_EQ(qAlpha(alert.pixel(20, 20)), 0) << "the exclamation mark is cut out of the triangle";
    EXPECT_EQ(QColor(alert.pixel(20, 32)).rgb(), QColor(Qt::red).rgb());

    EXPECT_FALSE(Glyphs::contains("speaker.wave.3.fill"));
    EXPECT_TRUE(Glyphs::pixmap("speaker.wave.3.fill", Qt::red, QSizeF(16, 16)).isNull());
    QImage canvas(16, 16, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    Glyphs::paint(painter, QRectF(0, 0, 16, 16), "no.such.symbol", Qt::red);
    painter.end();
    EXPECT_EQ(qAlpha(canvas.pixel(8, 8)), 0);
}

TEST(GlyphButtonTest, ClicksDoNotTakeTheFocusAndTheNameStaysReadable) {
    GlyphButton button({"speaker.wave.2.fill", ColorRole::secondary}, QSize(16, 16));
    EXPECT_EQ(button.focusPolicy(), Qt::TabFocus);
    button.setGlyph({"speaker.slash.fill", ColorRole::red});
    EXPECT_EQ(button.glyph(), (Glyph{"speaker.slash.fill", ColorRole::red}));
    EXPECT_EQ(button.size(), QSize(16, 16));
}

TEST(KeyedChildrenTest, WidgetsOfKeptKeysSurviveAndFollowTheOrderAndGoneOnesAreRetired) {
    QWidget parent;
    auto* layout = new QVBoxLayout(&parent);
    auto* fixed = new QLabel(QStringLiteral("title"));
    layout->addWidget(fixed);
    KeyedChildren<int, QLabel> children(layout, 1);
    int made = 0;
    const auto make = [&](const int& key) {
        ++made;
        return new QLabel(QString::number(key));
    };
    const auto update = [](QLabel& label, const int& key) {
        label.setObjectName(QString::number(key));
    };

    children.sync({1, 2, 3}, make, update);
    EXPECT_EQ(made, 3);
    QLabel* two = children.find(2);
    const QPointer<QLabel> three = children.find(3);

    children.sync({2, 4, 1}, make, update);
    EXPECT_EQ(made, 4);
    EXPECT_EQ(children.find(2), two);
    EXPECT_EQ(children.find(3), nullptr);
    ASSERT_FALSE(three.isNull()) << "retired later: it may be the sender of the change";
    EXPECT_TRUE(three->isHidden());
    EXPECT_EQ(layout->indexOf(fixed), 0);
    EXPECT_EQ(layout->indexOf(two), 1);
    EXPECT_EQ(layout->indexOf(children.find(4)), 2);
    EXPECT_EQ(layout->indexOf(children.find(1)), 3);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(three.isNull());
    EXPECT_EQ(children.size(), 3u);
}

} // namespace
