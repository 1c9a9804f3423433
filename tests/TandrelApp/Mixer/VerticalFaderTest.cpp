// The vertical fader: value to position on the 72 dB track, position to value in 0.5 dB steps with the
// catch at 0 dB, and the widget driven by presses, drags and a double click.
#include <vector>

#include <QTest>
#include <gtest/gtest.h>

#include "TandrelApp/Mixer/VerticalFader.h"
#include "TandrelApp/Mixer/VerticalFaderModel.h"

namespace {

namespace Model = VerticalFaderModel;

TEST(VerticalFaderModelTest, LevelsSitLinearlyOnTheTrackWithZeroAtFiveSixths) {
    EXPECT_EQ(Model::fraction(-60), 0.0f);
    EXPECT_EQ(Model::fraction(-75), 0.0f);
    EXPECT_EQ(Model::fraction(NAN), 0.0f);
    EXPECT_FLOAT_EQ(Model::fraction(0), 0.8333333f);
    EXPECT_EQ(Model::fraction(0), Model::zeroFraction);
    EXPECT_FLOAT_EQ(Model::fraction(-24), 0.5f);
    EXPECT_EQ(Model::fraction(12), 1.0f);
    EXPECT_EQ(Model::fraction(40), 1.0f);
}

TEST(VerticalFaderModelTest, APressAsksForTheLevelUnderItInHalfDecibelsCaughtAtZero) {
    struct Case {
        double y;
        float expected;
    };
    // On an 80-point fader every point is 0.9 dB.
    const Case cases[] = {
        {-10, 12},    // above the top
        {0, 12},      // the top edge
        {40, -24},    // the middle
        {80, -60},    // the bottom edge
        {95, -60},    // below the bottom
        {13.3, 0},    // +0.03 dB
        {12.8, 0},    // +0.48 rounds to +0.5, inside the catch
        {12, 1},      // +1.2 rounds to +1.0
        {14, 0},      // -0.6 rounds to -0.5, inside the catch
        {14.5, -1},   // -1.05 rounds to -1.0
        {15.5, -2},   // -1.95 rounds to -2.0
        {76, -56.5f}, // -56.4 rounds to -56.5
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Model::valueAt(c.y, 80), c.expected) << "y = " << c.y;
    }
    EXPECT_EQ(Model::valueAt(10, 0), 0.0f) << "a fader without height asks for nothing else";
}

class VerticalFaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fader.setOnChange([this](float dB) {
            reported.push_back(dB);
            fader.setValue(dB, fader.isMuted()); // the caller passes the value back
        });
        fader.show();
    }

    // A point `y` points below the top of the track, at the fader's centre.
    QPoint at(double y) const {
        return QPoint(fader.width() / 2, static_cast<int>(std::lround(fader.trackRect().top() + y)));
    }

    VerticalFader fader{Theme::Metrics(), 80};
    std::vector<float> reported;
};

TEST_F(VerticalFaderTest, KnobAndFillStandOnTheLevelAndTheTickMarksZero) {
    const QRectF track = fader.trackRect();
    EXPECT_EQ(track.height(), 80);
    EXPECT_EQ(fader.size(), QSize(16, 88)) << "room for half a knob above and below the track";

    fader.setValue(-60, false);
    EXPECT_EQ(fader.fillRect().height(), 0);
    EXPECT_DOUBLE_EQ(fader.knobRect().center().y(), track.bottom());
    fader.setValue(0, false);
    EXPECT_NEAR(fader.fillRect().height(), 80 * 0.8333333, 1e-4);
    EXPECT_NEAR(fader.knobRect().center().y(), fader.tickRect().bottom(), 1e-4);
    fader.setValue(12, false);
    EXPECT_DOUBLE_EQ(fader.knobRect().center().y(), track.top());
    fader.setValue(30, true);
    EXPECT_DOUBLE_EQ(fader.knobRect().center().y(), track.top());
    EXPECT_EQ(fader.knobRect().size(), QSizeF(14, 7));
    EXPECT_EQ(fader.tickRect().size(), QSizeF(10, 1));
}

TEST_F(VerticalFaderTest, PressDragAndDoubleClickReportAbsoluteLevelsEvenWhileMuted) {
    fader.setValue(-20, true);
    QTest::mousePress(&fader, Qt::LeftButton, {}, at(40));
    QTest::mouseMove(&fader, at(20));
    QTest::mouseMove(&fader, at(-30));
    QTest::mouseMove(&fader, at(13));
    QTest::mouseRelease(&fader, Qt::LeftButton, {}, at(13));
    EXPECT_EQ(reported, (std::vector<float>{-24, -6, 12, 0}));
    EXPECT_TRUE(fader.isMuted()) << "the fader never changes mute";

    // A move without a press changes nothing.
    QTest::mouseMove(&fader, at(60));
    EXPECT_EQ(reported.size(), 4u);

    reported.clear();
    QTest::mouseDClick(&fader, Qt::LeftButton, {}, at(70));
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 0.0f) << "a completed double click leaves 0 dB";
    EXPECT_EQ(fader.dB(), 0.0f);
}

TEST_F(VerticalFaderTest, AtALargerScaleTheSameHeightsGiveTheSameLevels) {
    VerticalFader large(Theme::Metrics(1.5), 80);
    std::vector<float> values;
    large.setOnChange([&](float dB) { values.push_back(dB); });
    large.show();
    EXPECT_EQ(large.trackRect().height(), 120);
    QTest::mouseClick(&large, Qt::LeftButton, {}, QPoint(12, static_cast<int>(large.trackRect().top() + 60)));
    EXPECT_EQ(values, (std::vector<float>{-24}));
}

} // namespace
