// The volume control and the channel volume list: readout texts, colours and symbols at the
// thresholds, the slider's clamp and 0.5 dB reports, mute and its absence, the context menu, and the
// widgets driven by QTest mouse and key events offscreen.
#include <string>
#include <vector>

#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <gtest/gtest.h>

#include "TandrelApp/Mixer/ChannelVolumeList.h"
#include "TandrelApp/Mixer/EditableNumber.h"
#include "TandrelApp/Mixer/VolumeControl.h"
#include "TandrelApp/Mixer/VolumeControlModel.h"
#include "TandrelApp/Support/CompactSlider.h"
#include "TandrelApp/Support/GlyphButton.h"

namespace {

namespace Model = VolumeControlModel;

TEST(VolumeControlModelTest, ReadoutSymbolAndColourFollowTheLevelAndTheMute) {
    struct Case {
        float dB;
        bool muted;
        std::string text;
        std::string editing;
        ColorRole color;
        std::string glyph;
    };
    const Case cases[] = {
        {-75, false, "-∞ dB", "-∞", ColorRole::primary, "speaker.fill"},
        {-60, false, "-∞ dB", "-∞", ColorRole::primary, "speaker.fill"},
        {-59.5f, false, "-59.5 dB", "-59.5", ColorRole::primary, "speaker.wave.1.fill"},
        {-20.5f, false, "-20.5 dB", "-20.5", ColorRole::primary, "speaker.wave.1.fill"},
        {-20, false, "-20.0 dB", "-20.0", ColorRole::primary, "speaker.wave.2.fill"},
        {-6.5f, false, "-6.5 dB", "-6.5", ColorRole::primary, "speaker.wave.2.fill"},
        {0, false, "+0.0 dB", "0.0", ColorRole::secondary, "speaker.wave.2.fill"},
        {0.5f, false, "+0.5 dB", "0.5", ColorRole::primary, "speaker.wave.2.fill"},
        {15, false, "+15.0 dB", "15.0", ColorRole::primary, "speaker.wave.2.fill"},
        {-6.5f, true, "ミュート", "-6.5", ColorRole::red, "speaker.slash.fill"},
        {-75, true, "ミュート", "-∞", ColorRole::red, "speaker.slash.fill"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Model::readoutText(c.dB, c.muted), c.text) << c.dB << (c.muted ? " muted" : "");
        EXPECT_EQ(Model::editingText(c.dB), c.editing) << c.dB;
        EXPECT_EQ(Model::readoutColor(c.dB, c.muted), c.color) << c.dB;
        EXPECT_EQ(Model::muteGlyph(c.dB, c.muted),
                  (Glyph{c.glyph, c.muted ? ColorRole::red : ColorRole::secondary}))
            << c.dB;
    }
    EXPECT_STREQ(Model::muteButtonTooltip(true), "ミュートを解除");
    EXPECT_STREQ(Model::muteButtonTooltip(false), "ミュート");
    EXPECT_EQ(Model::readoutHelp(), "クリックして dB で入力（-60〜+12、-inf で無音）");
}

TEST(VolumeControlModelTest, TheSliderClampsItsKnobAndReportsTheNearestHalfDecibel) {
    EXPECT_EQ(Model::sliderPosition(-75), -60.0);
    EXPECT_EQ(Model::sliderPosition(15), 12.0);
    EXPECT_EQ(Model::sliderPosition(-6.5f), -6.5);
    EXPECT_EQ(Model::sliderPosition(NAN), -60.0);

    EXPECT_EQ(Model::sliderValue(-3.26), -3.5f);
    EXPECT_EQ(Model::sliderValue(-3.24), -3.0f);
    EXPECT_EQ(Model::sliderValue(0.25), 0.5f);
    EXPECT_EQ(Model::sliderValue(-0.25), -0.5f);
    EXPECT_EQ(Model::sliderValue(-60), -60.0f);
    EXPECT_EQ(Model::sliderValue(11.9), 12.0f);
}

TEST(VolumeControlModelTest, MuteAppearsOnlyWhenTheCallerTakesMuteChanges) {
    using Item = Model::MenuItem;
    EXPECT_EQ(Model::menu(false, true), (std::vector<Item>{{"0 dB に戻す", Model::MenuAction::resetToZero},
                                                           {"ミュート", Model::MenuAction::toggleMute}}));
    EXPECT_EQ(Model::menu(true, true).back().title, "ミュートを解除");
    EXPECT_EQ(Model::menu(true, false), (std::vector<Item>{{"0 dB に戻す", Model::MenuAction::resetToZero}}));
    EXPECT_TRUE(Model::showsMuteButton(true, true));
    EXPECT_FALSE(Model::showsMuteButton(true, false));
    EXPECT_FALSE(Model::showsMuteButton(false, true));
}

// A caller that stores what the control reports and passes it back, as a controller setter does
// (the clamp included).
class VolumeControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        control.setOnChange([this](float dB) {
            changes.push_back(dB);
            dB_ = std::clamp(dB, -60.0f, 12.0f);
            control.setValues(dB_, muted_, true, 52);
        });
        control.setOnMute([this](bool muted) {
            mutes.push_back(muted);
            muted_ = muted;
            control.setValues(dB_, muted_, true, 52);
        });
        control.setValues(dB_, muted_, true, 52);
        control.resize(200, 20);
        control.show();
    }

    QString readoutText() const { return QString::fromStdString(control.readout()->content().text); }
    QMenu* menu() {
        auto* built = control.buildMenu(&control);
        return built;
    }

    float dB_ = -6.5f;
    bool muted_ = false;
    VolumeControl control{Theme::Metrics()};
    std::vector<float> changes;
    std::vector<bool> mutes;
};

TEST_F(VolumeControlTest, ShowsTheCallersLevelInReadoutSliderAndMuteButton) {
    EXPECT_EQ(readoutText(), QStringLiteral("-6.5 dB"));
    EXPECT_EQ(control.readout()->width(), 52);
    EXPECT_EQ(control.muteButton()->glyph().name, "speaker.wave.2.fill");
    EXPECT_TRUE(control.muteButton()->isVisible());
    EXPECT_EQ(control.slider()->sliderPosition(), -650);
    EXPECT_EQ(control.toolTip(), QStringLiteral("音量（右クリックで 0 dB に戻す）"));

    control.setValues(15, false, true, 48);
    EXPECT_EQ(readoutText(), QStringLiteral("+15.0 dB"));
    EXPECT_EQ(control.slider()->sliderPosition(), control.slider()->maximum())
        << "the knob stops at the right end";
    EXPECT_EQ(control.readout()->width(), 48);
    control.setValues(-75, false, true, 52);
    EXPECT_EQ(readoutText(), QStringLiteral("-∞ dB"));
    EXPECT_EQ(control.slider()->sliderPosition(), control.slider()->minimum());
    EXPECT_EQ(control.muteButton()->glyph().name, "speaker.fill");
}

TEST_F(VolumeControlTest, TheSliderReportsHalfDecibelStepsAndTheCallersValueStands) {
    CompactSlider* slider = control.slider();
    const auto xOf = [slider](double dB) {
        return QPoint(
            static_cast<int>(std::lround(slider->positionOf(static_cast<int>(std::lround(dB * 100))))),
            slider->height() / 2);
    };
    QTest::mousePress(slider, Qt::LeftButton, {}, xOf(-24));
    QTest::mouseMove(slider, xOf(0));
    QTest::mouseMove(slider, xOf(40)); // past the right end
    QTest::mouseRelease(slider, Qt::LeftButton, {}, xOf(40));
    ASSERT_EQ(changes.size(), 3u);
    for (float value : changes) {
        EXPECT_EQ(value * 2, std::round(value * 2)) << value << " is not on a 0.5 dB step";
    }
    EXPECT_NEAR(changes[0], -24, 0.5);
    EXPECT_NEAR(changes[1], 0, 0.5);
    EXPECT_EQ(changes[2], 12);
    EXPECT_EQ(slider->sliderPosition(), 1200);

    // Keys move by 0.5 dB once the slider has the focus.
    changes.clear();
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(changes, (std::vector<float>{11.5f}));
}

TEST_F(VolumeControlTest, MutedTheSliderIsDisabledButTypingStillSetsTheLevelAndKeepsTheMute) {
    QTest::mouseClick(control.muteButton(), Qt::LeftButton);
    EXPECT_EQ(mutes, (std::vector<bool>{true}));
    EXPECT_EQ(readoutText(), QStringLiteral("ミュート"));
    EXPECT_EQ(control.readout()->content().color, ColorRole::red);
    EXPECT_EQ(control.muteButton()->glyph().name, "speaker.slash.fill");
    EXPECT_EQ(control.muteButton()->toolTip(), QStringLiteral("ミュートを解除"));
    EXPECT_FALSE(control.slider()->isEnabled());

    QTest::mouseClick(control.slider(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(changes.empty()) << "a disabled slider reports nothing";

    QTest::mouseClick(control.readout()->readout(), Qt::LeftButton);
    ASSERT_TRUE(control.readout()->model().editing());
    EXPECT_EQ(control.readout()->field()->text(), QStringLiteral("-6.5")) << "the decibels, muted or not";
    control.readout()->field()->selectAll();
    QTest::keyClicks(control.readout()->field(), "-inf");
    QTest::keyClick(control.readout()->field(), Qt::Key_Return);
    EXPECT_EQ(changes, (std::vector<float>{-60}));
    EXPECT_EQ(mutes.size(), 1u);
    EXPECT_EQ(readoutText(), QStringLiteral("ミュート"));

    QTest::mouseClick(control.muteButton(), Qt::LeftButton);
    EXPECT_EQ(mutes, (std::vector<bool>{true, false}));
    EXPECT_EQ(readoutText(), QStringLiteral("-∞ dB"));
    EXPECT_TRUE(control.slider()->isEnabled());
}

TEST_F(VolumeControlTest, TheContextMenuResetsToZeroAndTogglesMute) {
    QMenu* built = menu();
    ASSERT_EQ(built->actions().size(), 2);
    EXPECT_EQ(built->actions()[0]->text(), QStringLiteral("0 dB に戻す"));
    EXPECT_EQ(built->actions()[1]->text(), QStringLiteral("ミュート"));
    built->actions()[0]->trigger();
    EXPECT_EQ(changes, (std::vector<float>{0}));
    EXPECT_EQ(readoutText(), QStringLiteral("+0.0 dB"));
    EXPECT_EQ(control.readout()->content().color, ColorRole::secondary);
    built->actions()[0]->trigger();
    EXPECT_EQ(changes, (std::vector<float>{0, 0})) << "reset also at 0 dB";
    built->actions()[1]->trigger();
    EXPECT_EQ(mutes, (std::vector<bool>{true}));
    EXPECT_EQ(menu()->actions()[1]->text(), QStringLiteral("ミュートを解除"));
}

TEST_F(VolumeControlTest, WithoutAMuteFunctionThereIsNoMuteAndWithoutShowsMuteOnlyTheButtonGoes) {
    control.setValues(dB_, false, false, 52);
    EXPECT_FALSE(control.muteButton()->isVisible());
    EXPECT_EQ(menu()->actions().size(), 2) << "the menu still offers mute";

    control.setOnMute({});
    control.setValues(dB_, false, true, 52);
    EXPECT_FALSE(control.muteButton()->isVisible());
    ASSERT_EQ(menu()->actions().size(), 1);
}

TEST(ChannelVolumeListTest, OneRowPerChannelKeptByChannelAcrossRefreshes) {
    ChannelVolumeList list{Theme::Metrics()};
    std::vector<std::pair<int, float>> changes;
    std::vector<std::pair<int, bool>> mutes;
    list.setOnChange([&](int channel, float dB) { changes.emplace_back(channel, dB); });
    list.setOnMute([&](int channel, bool muted) { mutes.emplace_back(channel, muted); });
    const auto label = [](int channel) {
        return "ch" + std::to_string(channel + 1);
    };
    const auto level = [](int channel) {
        return channel == 1 ? -3.0f : 0.0f;
    };
    const auto muted = [](int channel) {
        return channel == 2;
    };

    list.setChannels({}, label, level, muted, 44);
    EXPECT_EQ(list.rowCount(), 0u);
    EXPECT_EQ(list.sizeHint().height(), 0) << "an empty list draws nothing";

    list.setChannels({0, 1, 2}, label, level, muted, 44);
    list.show();
    ASSERT_EQ(list.rowCount(), 3u);
    VolumeControl* second = list.control(1);
    EXPECT_EQ(second->dB(), -3.0f);
    EXPECT_TRUE(list.control(2)->isMuted());
    EXPECT_EQ(second->readout()->width(), 52);

    QTest::mouseClick(list.control(2)->muteButton(), Qt::LeftButton);
    list.control(0)->buildMenu(&list)->actions()[0]->trigger();
    EXPECT_EQ(mutes, (std::vector<std::pair<int, bool>>{{2, false}}));
    EXPECT_EQ(changes, (std::vector<std::pair<int, float>>{{0, 0.0f}}));

    // Another order and one channel fewer: the rows that stay are the same widgets.
    list.setChannels({2, 1}, label, level, muted, 44);
    EXPECT_EQ(list.rowCount(), 2u);
    EXPECT_EQ(list.control(1), second);
    EXPECT_EQ(list.control(0), nullptr);
    list.layout()->activate();
    EXPECT_LT(list.control(2)->mapTo(&list, QPoint()).y(), second->mapTo(&list, QPoint()).y());
}

} // namespace
