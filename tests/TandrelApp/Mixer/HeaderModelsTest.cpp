// What the column group titles and column headers show, from plain values: pair capacity, captions,
// enable states, menus and the pairs split all touches; pair labels, fader levels and mutes, compact
// level texts, volume badges and the detail popover's rows.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TandrelApp/Mixer/GroupTitleModel.h"
#include "TandrelApp/Mixer/PairHeaderModel.h"

namespace {

AudioDeviceInfo device(std::uint32_t outputs, std::string name = "Phones") {
    return {.id = 0, .uid = "uid-" + name, .name = std::move(name), .outputChannels = outputs};
}

// ---- Group title

GroupTitleModel::Title title(std::uint32_t outputs, int shown, bool isLine = false, std::size_t columns = 2) {
    return {.device = device(outputs), .isLine = isLine, .columns = columns, .shownPairs = shown};
}

TEST(GroupTitleModelTest, PairButtonsExistForMoreThanOnePairAndStopAtTheBounds) {
    using namespace GroupTitleModel;
    for (std::uint32_t outputs : {0u, 1u, 2u}) {
        EXPECT_EQ(pairCapacity(title(outputs, 1)), 1) << outputs;
        EXPECT_FALSE(showsPairButtons(title(outputs, 1))) << outputs;
    }
    EXPECT_EQ(pairCapacity(title(3, 1)), 2);
    EXPECT_TRUE(showsPairButtons(title(3, 1)));
    EXPECT_EQ(pairCapacity(title(5, 1)), 3);

    EXPECT_FALSE(canShowFewer(title(8, 1)));
    EXPECT_TRUE(canShowMore(title(8, 1)));
    EXPECT_TRUE(canShowFewer(title(8, 4)));
    EXPECT_FALSE(canShowMore(title(8, 4)));
    EXPECT_EQ(morePairsTooltip(title(8, 2)), "表示するペアを増やす（最大 4 ペア）");
}

TEST(GroupTitleModelTest, CaptionIconSwitchAndWidthsDescribeTheDevice) {
    using namespace GroupTitleModel;
    EXPECT_EQ(caption(title(4, 2, true)), "4ch ライン");
    EXPECT_EQ(caption(title(2, 1)), "モニター · 2ch");
    EXPECT_EQ(icon(title(4, 2, true)), (Glyph{"waveform.path", ColorRole::accent}));
    EXPECT_EQ(icon(title(2, 1)), (Glyph{"speaker.wave.2", ColorRole::secondary}));

    Title shown = title(2, 1);
    EXPECT_EQ(faderSwitch(shown), (Glyph{"slider.vertical.3", ColorRole::accent}));
    EXPECT_EQ(faderSwitchTooltip(shown), "列ごとのフェーダーを隠す");
    shown.fadersShown = false;
    EXPECT_EQ(faderSwitch(shown).role, ColorRole::secondary);
    EXPECT_EQ(faderSwitchTooltip(shown), "列ごとのフェーダーを表示");

    for (std::size_t columns : {1u, 2u, 3u}) {
        EXPECT_EQ(width(title(8, 1, false, columns)), 190);
        EXPECT_EQ(masterWidth(title(8, 1, false, columns)), 182);
    }
    EXPECT_EQ(width(title(8, 2, false, 4)), 208);
    EXPECT_EQ(masterTooltip(title(2, 1)), "Phones 全体の音量");

    // The title reads the configuration: no volume record gives 0 dB, not muted.
    RoutingConfig config;
    config.hiddenFaders = {"uid-Phones"};
    config.visiblePairs["uid-Phones"] = 3;
    const Title read = Title::of(config, {device(8), false, {{0, 2}, {2, 2}, {4, 2}}});
    EXPECT_EQ(read.shownPairs, 3);
    EXPECT_FALSE(read.fadersShown);
    EXPECT_EQ(read.volume, DeviceVolume{});
    EXPECT_EQ(read.columns, 3u);
}

TEST(GroupTitleModelTest, MenuSplitsJoinsAndRemovesMonitorsOnly) {
    using namespace GroupTitleModel;
    using Kind = MenuEntry::Kind;
    const std::vector<MenuEntry> monitor{{Kind::splitAll, "すべてのペアを L/R に分ける"},
                                         {Kind::joinAll, "すべてステレオに戻す"},
                                         {Kind::separator, ""},
                                         {Kind::removeMonitor, "モニター先から外す", true}};
    EXPECT_EQ(menu(title(2, 1)), monitor);
    EXPECT_EQ(menu(title(2, 1, true)), std::vector<MenuEntry>(monitor.begin(), monitor.begin() + 2));
    EXPECT_TRUE(menu(title(1, 1, true)).empty()) << "a mono line has nothing to split and cannot be removed";
    EXPECT_EQ(menu(title(1, 1)).size(), 2u);

    // Split all touches the shown pairs that have two channels.
    EXPECT_EQ(splittablePairs(device(3), 2), std::vector<std::int64_t>{0});
    EXPECT_EQ(splittablePairs(device(8), 1), std::vector<std::int64_t>{0});
    EXPECT_EQ(splittablePairs(device(8), 4), (std::vector<std::int64_t>{0, 2, 4, 6}));
    EXPECT_TRUE(splittablePairs(device(1), 1).empty());
}

// ---- Pair header

PairHeaderModel::Header header(std::uint32_t outputs, MatrixColumn column, DeviceVolume volume = {}) {
    return {.device = device(outputs), .column = column, .volume = std::move(volume)};
}

TEST(PairHeaderModelTest, LabelsChannelsAndPopoverRowsOfStereoLoneAndSplitColumns) {
    using namespace PairHeaderModel;
    const Header stereo = header(2, {0, 2});
    EXPECT_EQ(pairLabel(stereo), "1-2");
    EXPECT_EQ(labelColor(stereo), ColorRole::secondary);
    EXPECT_EQ(channels(stereo), (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(popoverTitle(stereo), "Phones  ch1-2");
    EXPECT_EQ(pairCaption(stereo), "ペア");
    EXPECT_EQ(channelRows(stereo), (std::vector<ChannelRow>{{0, "ch1 L"}, {1, "ch2 R"}}));
    EXPECT_EQ(splitTitle(stereo), "L / R に分ける");
    EXPECT_EQ(explanation(stereo), "L と R を別々の列にして、チャンネルごとに接続できるようにします。");
    EXPECT_EQ(tooltip(stereo), "ch1-2（見出しをクリックで詳細・L/R の分割）");

    const Header lone = header(3, {2, 2});
    EXPECT_EQ(pairLabel(lone), "3");
    EXPECT_EQ(channels(lone), std::vector<std::int64_t>{2});
    EXPECT_EQ(popoverTitle(lone), "Phones  ch3");
    EXPECT_EQ(pairCaption(lone), "音量");
    EXPECT_EQ(channelRows(lone), (std::vector<ChannelRow>{{2, "ch3"}}));
    EXPECT_EQ(splitTitle(lone), std::nullopt);
    EXPECT_EQ(explanation(lone), std::nullopt);
    EXPECT_EQ(menu(lone),
              (std::vector<MenuEntry>{{MenuEntry::Kind::toggleFaders, "Phones のフェーダーを隠す"}}));

    DeviceVolume volume;
    volume.channelDB[1] = -4;
    const Header right = header(2, {1, 1}, volume);
    EXPECT_EQ(pairLabel(right), "2R");
    EXPECT_EQ(pairLabel(header(2, {0, 1})), "1L");
    EXPECT_EQ(labelColor(right), ColorRole::accent);
    EXPECT_EQ(firstChannel(right), 0);
    EXPECT_EQ(popoverTitle(right), "Phones  ch1-2");
    EXPECT_EQ(channelRows(right), (std::vector<ChannelRow>{{1, "ch2 R", -4.0f}}));
    EXPECT_EQ(splitTitle(right), "ステレオ（1列）に戻す");
    EXPECT_FALSE(splitRequest(right));
    EXPECT_EQ(explanation(right), "1つの列に戻すと、同じ音源の L/R の接続はステレオ接続にまとまります。");

    Header hidden = stereo;
    hidden.fadersShown = false;
    EXPECT_EQ(menu(hidden),
              (std::vector<MenuEntry>{{MenuEntry::Kind::split, "L / R に分ける"},
                                      {MenuEntry::Kind::toggleFaders, "Phones のフェーダーを表示"}}));
}

TEST(PairHeaderModelTest, FaderFollowsThePairOrTheSplitChannel) {
    using namespace PairHeaderModel;
    DeviceVolume volume;
    volume.pairDB[0] = -6;
    volume.channelDB[1] = -3;
    volume.mutedChannels = {1, 2};
    EXPECT_EQ(faderDB(header(4, {0, 2}, volume)), -6.0f);
    EXPECT_FALSE(faderMuted(header(4, {0, 2}, volume)));
    EXPECT_EQ(faderDB(header(4, {1, 1}, volume)), -3.0f);
    EXPECT_TRUE(faderMuted(header(4, {1, 1}, volume)));
    EXPECT_FALSE(faderMuted(header(4, {0, 1}, volume)));
    // The lone last channel of a 3-channel device: only channel 2 counts.
    EXPECT_TRUE(faderMuted(header(3, {2, 2}, volume)));
    EXPECT_EQ(muteTooltip(header(3, {2, 2}, volume)), "ミュートを解除");
    EXPECT_EQ(muteTooltip(header(4, {0, 2}, volume)), "ミュート");
    EXPECT_EQ(pairLevel(header(4, {1, 1}, volume)), -6.0f) << "the popover's pair row edits the pair";
}

TEST(PairHeaderModelTest, CompactTextsAndBadges) {
    using namespace PairHeaderModel;
    using Badges = std::vector<std::pair<Badge, Badge>>;
    const auto stereoWith = [](float pair, std::map<std::int64_t, float> channels,
                               std::set<std::int64_t> muted) {
        DeviceVolume volume;
        if (pair != 0) {
            volume.pairDB[0] = pair;
        }
        volume.channelDB = std::move(channels);
        volume.mutedChannels = std::move(muted);
        return header(2, {0, 2}, volume);
    };
    const Badges stereo{
        {volumeBadge(stereoWith(0, {}, {}), 0), {" ", std::nullopt}},
        {volumeBadge(stereoWith(0, {{0, -3}}, {}), 0), {"L/R", ColorRole::orange}},
        {volumeBadge(stereoWith(0, {}, {1}), 0), {"L/R", ColorRole::orange}},
        {volumeBadge(stereoWith(0, {}, {0, 1}), 0), {"M", ColorRole::red, true}},
        {volumeBadge(stereoWith(-6, {}, {}), -6), {"-6.0", ColorRole::orange}},
        {volumeBadge(stereoWith(-6, {{1, -1}}, {}), -6), {"-6.0*", ColorRole::orange}},
        {volumeBadge(stereoWith(-60, {}, {}), -60), {"-∞", ColorRole::red}},
    };
    for (std::size_t i = 0; i < stereo.size(); ++i) {
        EXPECT_EQ(stereo[i].first, stereo[i].second) << "stereo case " << i;
    }

    const auto splitWith = [](float pair, float channel) {
        DeviceVolume volume;
        volume.pairDB[0] = pair;
        volume.channelDB[1] = channel;
        return header(2, {1, 1}, volume);
    };
    EXPECT_EQ(volumeBadge(splitWith(-6, -3), -6), (Badge{"-9.0", ColorRole::orange}));
    EXPECT_EQ(volumeBadge(splitWith(0, 0), 0), (Badge{" ", std::nullopt}));
    EXPECT_EQ(volumeBadge(splitWith(-50, -12), -50), (Badge{"-∞", ColorRole::orange}));

    EXPECT_EQ(compactText(stereoWith(0, {}, {})), (Badge{"+0.0", ColorRole::secondary}));
    EXPECT_EQ(compactText(stereoWith(12, {}, {})), (Badge{"+12.0", ColorRole::orange}));
    EXPECT_EQ(compactText(stereoWith(-70, {}, {})), (Badge{"-∞", ColorRole::orange}));
    EXPECT_EQ(compactText(stereoWith(0, {}, {0, 1})), (Badge{"M", ColorRole::red}));
}

} // namespace
