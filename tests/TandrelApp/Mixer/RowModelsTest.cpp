// What the row headers, a line's own volume, a source's channel popover and the window around the
// matrix show, from plain values: icons, the status table, tooltips, meter counts, menus; percent,
// symbols and the link label; channel labels; the banner choice and the status bar's texts.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TandrelApp/Mixer/LineVolumeModel.h"
#include "TandrelApp/Mixer/RouterViewModel.h"
#include "TandrelApp/Mixer/RowHeaderModel.h"
#include "TandrelApp/Mixer/SourceChannelVolumesModel.h"

namespace {

using SourceStatus = RoutingController::SourceStatus;

SourceConfig source(SourceKind kind, std::string name) {
    SourceConfig out;
    out.id = UUID::random();
    out.kind = std::move(kind);
    out.name = std::move(name);
    return out;
}

RowHeaderModel::Header sourceRow(const SourceConfig& config,
                                 std::optional<SourceStatus> status = std::nullopt,
                                 std::optional<std::uint32_t> channels = std::nullopt) {
    return {.row = MatrixRow::source(config), .status = std::move(status), .channelCount = channels};
}

RowHeaderModel::Header lineRow(bool unlinked = false) {
    return {.row = MatrixRow::line({.id = 0, .uid = "qorvix.tandrel.device.line1", .name = "Line 1"}),
            .lineUnlinked = unlinked};
}

const SourceConfig player = source(SourceKind::application("org.example.player"), "Player");
const SourceConfig mic = source(SourceKind::inputDevice("mic-uid"), "Mic");
const SourceConfig system = source(SourceKind::systemAudio(), "システム音声");

// ---- Row header

TEST(RowHeaderModelTest, StatusTextAndDotColourFollowTheTable) {
    using namespace RowHeaderModel;
    struct Case {
        std::optional<SourceStatus> status;
        std::optional<std::uint32_t> channels;
        std::string text;
        ColorRole color;
    };
    const std::vector<Case> cases{
        {std::nullopt, std::nullopt, "待機中", ColorRole::yellow},
        {SourceStatus::idle(), std::nullopt, "待機中", ColorRole::yellow},
        {SourceStatus::starting(), std::nullopt, "開始中…", ColorRole::yellow},
        {SourceStatus::standby(), std::nullopt, "待機中（接続するか音が出ると取り込み開始）",
         ColorRole::gray},
        {SourceStatus::running("Process Tap"), 2u, "Process Tap · 2ch", ColorRole::green},
        {SourceStatus::running("Process Tap"), std::nullopt, "Process Tap", ColorRole::green},
        {SourceStatus::waiting("アプリの起動を待っています"), std::nullopt, "アプリの起動を待っています",
         ColorRole::orange},
        {SourceStatus::failed("開始に失敗しました"), 2u, "開始に失敗しました", ColorRole::red},
    };
    for (const auto& c : cases) {
        const Header header = sourceRow(player, c.status, c.channels);
        EXPECT_EQ(statusText(header), c.text);
        EXPECT_EQ(statusColor(header), c.color) << c.text;
    }
    EXPECT_EQ(statusText(lineRow()), "ラインの音声");
    EXPECT_EQ(statusColor(lineRow()), ColorRole::green);
}

TEST(RowHeaderModelTest, HelpTextsNameAndIconsTellTheKindsApart) {
    using namespace RowHeaderModel;
    SourceConfig added = player;
    added.isAutoAdded = true;
    EXPECT_EQ(helpText(sourceRow(player)), "Player (org.example.player)\n待機中");
    EXPECT_EQ(helpText(sourceRow(added)),
              "Player (org.example.player)\n待機中\n"
              "自動で追加しました（どこにも接続せずにアプリを終了すると行は消えます）");
    EXPECT_EQ(helpText(sourceRow(mic, SourceStatus::running("Mic"), 1u)), "Mic (mic-uid)\nMic · 1ch");
    EXPECT_EQ(helpText(sourceRow(system)), "システム全体の音声（このアプリ自身の音は除く）\n待機中");
    EXPECT_EQ(helpText(lineRow()), "Line 1 に流れているミックスをモニター先へ送ります");

    EXPECT_EQ(name(sourceRow(player)), "Player");
    EXPECT_EQ(name(lineRow()), "Line 1 のミックス");

    EXPECT_EQ(icon(sourceRow(player)), (Icon{"org.example.player", {"app", ColorRole::secondary}}));
    EXPECT_EQ(icon(sourceRow(mic)), (Icon{std::nullopt, {"mic", ColorRole::secondary}}));
    EXPECT_EQ(icon(sourceRow(system)),
              (Icon{std::nullopt, {"macwindow.on.rectangle", ColorRole::secondary}}));
    EXPECT_EQ(icon(lineRow()), (Icon{std::nullopt, {"waveform.path", ColorRole::accent}}));
}

TEST(RowHeaderModelTest, MeterCountsChannelButtonAndMenus) {
    using namespace RowHeaderModel;
    EXPECT_EQ(meterChannels(sourceRow(player, std::nullopt, std::nullopt)), 2);
    EXPECT_EQ(meterChannels(sourceRow(player, std::nullopt, 0u)), 0);
    EXPECT_EQ(meterChannels(sourceRow(player, std::nullopt, 1u)), 1);
    EXPECT_EQ(meterChannels(sourceRow(player, std::nullopt, 6u)), 2);

    SourceConfig adjusted = player;
    EXPECT_EQ(channelButton(adjusted).role, ColorRole::secondary);
    adjusted.mutedChannels = {1};
    EXPECT_EQ(channelButton(adjusted), (Glyph{"slider.vertical.3", ColorRole::orange}));
    adjusted.mutedChannels.clear();
    adjusted.channelDB[0] = -3;
    EXPECT_EQ(channelButton(adjusted).role, ColorRole::orange);

    using Kind = MenuEntry::Kind;
    EXPECT_EQ(menu(sourceRow(player)),
              (std::vector<MenuEntry>{{Kind::retry, "再接続"},
                                      {Kind::excludeApp, "このアプリを除外（自動で追加しない）", true},
                                      {Kind::removeSource, "音源を削除", true}}));
    EXPECT_EQ(menu(sourceRow(system)),
              (std::vector<MenuEntry>{{Kind::retry, "再接続"}, {Kind::removeSource, "音源を削除", true}}));
    EXPECT_EQ(menu(sourceRow(mic)).size(), 2u);
    EXPECT_EQ(menu(lineRow(false)),
              (std::vector<MenuEntry>{{Kind::toggleLink, "Line 1 とモニター先の音量を連動させない"}}));
    EXPECT_EQ(menu(lineRow(true)),
              (std::vector<MenuEntry>{{Kind::toggleLink, "Line 1 とモニター先の音量を連動させる"}}));
}

// ---- Line hardware volume and link label

TEST(LineVolumeModelTest, PercentSymbolAndTextsFollowTheShownValue) {
    using namespace LineVolumeModel;
    EXPECT_EQ(hardware({}, "line"), (RoutingController::HardwareVolume{1.0f, false}));
    EXPECT_EQ(percent(shown(hardware({}, "line"), std::nullopt)), 100);
    EXPECT_EQ(shown({0.7f, false}, 0.2f), 0.2f) << "a drag shows its own value";

    EXPECT_EQ(percent(0.004f), 0);
    EXPECT_EQ(muteGlyph(0.004f, false), (Glyph{"speaker.wave.1.fill", ColorRole::secondary}));
    EXPECT_EQ(muteGlyph(0.0f, false).name, "speaker.fill");
    EXPECT_EQ(muteGlyph(0.5f, false).name, "speaker.wave.2.fill");
    EXPECT_EQ(muteGlyph(0.5f, true), (Glyph{"speaker.slash.fill", ColorRole::red}));
    EXPECT_EQ(percent(0.125f), 13) << "halves away from zero";

    EXPECT_EQ(dragValue(0.333), 0.33f);
    EXPECT_EQ(percent(dragValue(0.333)), 33);
    EXPECT_EQ(numberText(33, false), "33%");
    EXPECT_EQ(numberText(33, true), "ミュート");
    EXPECT_EQ(editingText(33), "33");
    EXPECT_EQ(numberColor(true), ColorRole::red);
    EXPECT_EQ(numberColor(false), ColorRole::primary);
    EXPECT_EQ(muteTooltip(true), "ミュートを解除");
    EXPECT_EQ(volumeTooltip("Line 1"), "Line 1 自体の音量（音量キー・コントロールセンターと同じ）");
    EXPECT_EQ(numberHelp("Line 1"), "クリックして Line 1 自体の音量を % で入力（0〜100）");
}

TEST(LineVolumeModelTest, LinkLabelNamesThePartnersOrSaysWhyThereAreNone) {
    using namespace LineVolumeModel;
    const Link alone = link("Line 1", false, {});
    EXPECT_EQ(alone.text, "モニター先につなぐと音量が連動");
    EXPECT_EQ(alone.color, ColorRole::secondary);
    EXPECT_EQ(alone.glyph.name, "link");

    const Link two = link("Line 1", false, {"Speakers", "Phones"});
    EXPECT_EQ(two.text, "Speakers・Phones と音量を連動");
    EXPECT_EQ(two.color, ColorRole::accent);
    EXPECT_EQ(two.glyph, (Glyph{"link", ColorRole::accent}));

    const Link off = link("Line 1", true, {"Speakers"});
    EXPECT_EQ(off.text, "音量の連動なし");
    EXPECT_EQ(off.color, ColorRole::secondary);
    EXPECT_EQ(off.glyph.name, "link.badge.plus");
    EXPECT_EQ(
        off.tooltip,
        "Line 1 自体の音量（音量キー・コントロールセンター）と、このミックスを流しているモニター先自体の"
        "音量を、どちらを変えても同じ値にそろえます。右クリックで切り替え");
}

// ---- Source channel volumes

TEST(SourceChannelVolumesModelTest, OneLabelledControlPerChannel) {
    using namespace SourceChannelVolumesModel;
    EXPECT_EQ(channels(1u), std::vector<int>{0});
    EXPECT_EQ(label(0, 1), "モノ");
    EXPECT_EQ(channels(std::nullopt), (std::vector<int>{0, 1}));
    EXPECT_EQ(label(0, 2), "L");
    EXPECT_EQ(label(1, 2), "R");
    EXPECT_EQ(channels(8u).size(), 8u) << "no upper cap";
    EXPECT_EQ(label(3, 4), "ch4");
    EXPECT_EQ(title("Player"), "Player のチャンネルごとの音量");
}

// ---- Router window

TEST(RouterViewModelTest, BannerChoiceAndStatusTexts) {
    using namespace RouterViewModel;
    EXPECT_EQ(banner(false, false, false), Banner::audioSystem);
    EXPECT_EQ(banner(false, true, false), Banner::audioSystem) << "the audio system comes first";
    EXPECT_EQ(banner(true, false, false), Banner::none) << "no driver banner before the first device list";
    EXPECT_EQ(banner(true, true, false), Banner::driverMissing);
    EXPECT_EQ(banner(true, true, true), Banner::none);

    EXPECT_EQ(versionText("1.4"), "Corvane 1.4");
    EXPECT_EQ(versionHelp("1.4", 42), "バージョン 1.4（ビルド 42）");
    EXPECT_EQ(connectionCount(0), "0 接続");
    EXPECT_EQ(connectionCount(12), "12 接続");
}

} // namespace
