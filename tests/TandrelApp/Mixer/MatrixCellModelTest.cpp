// What a matrix cell and a connection's editors show and write, from plain values: the route buttons
// lit from a connection's mask with their captions and tooltips, destination names, the gain badge, the
// cell's tooltip and menu, the detail form's source-channel choices and names, the mono source picker,
// and the edits by connection id.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TandrelApp/Mixer/ConnectionDetailModel.h"
#include "TandrelApp/Mixer/MatrixCellModel.h"

namespace {

using namespace MatrixCellModel;
namespace Detail = ConnectionDetailModel;

AudioDeviceInfo device(std::string name, std::uint32_t outputs) {
    return {.id = 0, .uid = "uid-" + name, .name = std::move(name), .outputChannels = outputs};
}

Connection connection(std::int64_t pair = 0, std::int64_t width = 2) {
    Connection out;
    out.id = UUID::random();
    out.from = Endpoint::source(UUID::random());
    out.toDeviceUID = "uid-Line 1";
    out.pair = pair;
    out.width = width;
    return out;
}

Cell cell(std::optional<Connection> connected, std::optional<std::uint32_t> channels = 2,
          std::int64_t pair = 0, std::int64_t width = 2, std::uint32_t outputs = 2) {
    return {.endpoint = Endpoint::source(UUID::random()),
            .device = device("Line 1", outputs),
            .pair = pair,
            .width = width,
            .isEnabled = true,
            .connection = std::move(connected),
            .sourceChannels = channels};
}

std::vector<std::string> captions(const Cell& c) {
    std::vector<std::string> out;
    for (const auto& row : routeButtons(c)) {
        for (const auto& button : row) {
            out.push_back(button.caption);
        }
    }
    return out;
}

std::vector<std::string> lit(const Cell& c) {
    std::vector<std::string> out;
    for (const auto& row : routeButtons(c)) {
        for (const auto& button : row) {
            if (button.lit) {
                out.push_back(button.caption);
            }
        }
    }
    return out;
}

std::vector<std::string> titles(const std::vector<MenuEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& entry : entries) {
        out.push_back(entry.title);
    }
    return out;
}

// ---- Matrix cell

TEST(MatrixCellModelTest, ButtonsLightExactlyTheBitsOfTheMask) {
    Connection c = connection();
    c.routeMask = 9;
    EXPECT_EQ(lit(cell(c)), (std::vector<std::string>{"LL", "RR"}));
    c.routeMask = 6;
    EXPECT_EQ(lit(cell(c)), (std::vector<std::string>{"LR", "RL"}));
    // Without a mask the mode decides: swapped stereo crosses over.
    c.routeMask.reset();
    c.mode = MappingMode::swapped;
    EXPECT_EQ(lit(cell(c)), (std::vector<std::string>{"LR", "RL"}));
    EXPECT_TRUE(lit(cell(std::nullopt)).empty());

    const auto buttons = routeButtons(cell(std::nullopt));
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0][1].bit, 2);
    EXPECT_EQ(buttons[1][0].bit, 4);
}

TEST(MatrixCellModelTest, CaptionsAndRowsFollowTheSourceAndColumnWidth) {
    EXPECT_EQ(captions(cell(std::nullopt, 2)), (std::vector<std::string>{"LL", "LR", "RL", "RR"}));
    EXPECT_EQ(captions(cell(std::nullopt, 1)), (std::vector<std::string>{"ML", "MR"}));
    EXPECT_EQ(captions(cell(std::nullopt, std::nullopt)), (std::vector<std::string>{"LL", "LR", "RL", "RR"}))
        << "an unknown count is laid out as stereo";
    EXPECT_EQ(captions(cell(std::nullopt, 2, 1, 1)), (std::vector<std::string>{"L", "R"}));
    EXPECT_EQ(captions(cell(std::nullopt, 1, 1, 1)), (std::vector<std::string>{"M"}));
    EXPECT_EQ(captions(cell(std::nullopt, 6)), (std::vector<std::string>{"LL", "LR", "RL", "RR"}));

    Cell disabled = cell(std::nullopt);
    disabled.isEnabled = false;
    EXPECT_TRUE(routeButtons(disabled).empty());
    EXPECT_TRUE(menu(disabled).empty());
    EXPECT_EQ(helpText(disabled, std::nullopt), "ライン同士は接続できません");
    EXPECT_FALSE(isEnabled(true, true));
    EXPECT_TRUE(isEnabled(true, false));
    EXPECT_TRUE(isEnabled(false, true));
}

TEST(MatrixCellModelTest, ButtonTooltipsNameTheSourceAndDestinationChannels) {
    Connection c = connection();
    c.sourceChannel = 5;
    c.routeMask = 1;
    auto buttons = routeButtons(cell(c, 8));
    EXPECT_EQ(buttons[0][0].tooltip, "音源の ch5 → ch1（L）（クリックで切断）");
    EXPECT_EQ(buttons[1][1].tooltip, "音源の ch6 → ch2（R）（クリックで接続）");

    buttons = routeButtons(cell(std::nullopt, 2));
    EXPECT_EQ(buttons[1][0].tooltip, "音源の R → ch1（L）（クリックで接続）");
    buttons = routeButtons(cell(std::nullopt, 1));
    EXPECT_EQ(buttons[0][1].tooltip, "音源（モノラル） → ch2（R）（クリックで接続）");
    // A lone last channel of an odd device has no L/R mark, even in a stereo column.
    buttons = routeButtons(cell(std::nullopt, 2, 2, 2, 3));
    EXPECT_EQ(buttons[0][0].tooltip, "音源の L → ch3（クリックで接続）");
    EXPECT_EQ(destinationLabel(cell(std::nullopt, 2, 2, 2, 3), 1), "ch4");
    EXPECT_EQ(destinationLabel(cell(std::nullopt, 2, 3, 1, 4), 0), "ch4");
}

TEST(MatrixCellModelTest, GainBadgeAndHelpTextDescribeTheConnection) {
    Connection c = connection();
    EXPECT_EQ(gainBadge(cell(c)), std::nullopt);
    c.gainDB = -0.4f;
    EXPECT_EQ(gainBadge(cell(c)), "-0");
    c.gainDB = 6.0f;
    EXPECT_EQ(gainBadge(cell(c)), "+6");
    EXPECT_EQ(gainBadge(cell(std::nullopt)), std::nullopt);

    EXPECT_EQ(helpText(cell(std::nullopt), std::nullopt), "クリックで Line 1 ch1-2 へ接続");
    EXPECT_EQ(helpText(cell(std::nullopt, 2, 2, 1, 4), std::nullopt), "クリックで Line 1 ch3 へ接続");

    c.gainDB = -6.0f;
    c.mode = MappingMode::dualMono;
    c.isMuted = true;
    EXPECT_EQ(helpText(cell(c), std::nullopt),
              "Line 1 ch1-2 · デュアルモノ · -6.0 dB · ミュート中\n右クリックで割り当て・ゲインを変更");
    c.isMuted = false;
    c.routeMask = 3; // a custom mask does not change the mapping text
    EXPECT_EQ(helpText(cell(c), RoutingController::RouteInfo{12.4, -3.6, 2}),
              "Line 1 ch1-2 · デュアルモノ · -6.0 dB\nバッファ 12 ms · ドリフト補正 -4 ppm · 音切れ 2 回\n"
              "右クリックで割り当て・ゲインを変更");

    Connection single = connection(1, 1);
    single.monoMix = true;
    EXPECT_EQ(helpText(cell(single, 2, 1, 1), std::nullopt),
              "Line 1 ch2 · L+R · +0.0 dB\n右クリックで割り当て・ゲインを変更");
    single.monoMix = false;
    single.sourceChannel = 1;
    EXPECT_EQ(helpText(cell(single, std::nullopt, 1, 1), std::nullopt),
              "Line 1 ch2 · R（右） · +0.0 dB\n右クリックで割り当て・ゲインを変更");
}

TEST(MatrixCellModelTest, MenuOffersConnectOrTheConnectionsEditors) {
    using Kind = MenuEntry::Kind;
    EXPECT_EQ(menu(cell(std::nullopt)), (std::vector<MenuEntry>{{Kind::connect, "接続"}}));

    Connection c = connection();
    c.mode = MappingMode::swapped;
    auto entries = menu(cell(c));
    EXPECT_EQ(titles(entries), (std::vector<std::string>{"割り当て", "ミュート", "詳細設定…", "", "切断"}));
    EXPECT_TRUE(entries.back().destructive);
    ASSERT_EQ(entries[0].choices.size(), 4u);
    EXPECT_EQ(entries[0].choices[2],
              (MenuChoice{.title = "左右反転", .checked = true, .mode = MappingMode::swapped}));
    EXPECT_FALSE(entries[0].choices[0].checked);

    c.routeMask = 5;
    c.isMuted = true;
    entries = menu(cell(c));
    EXPECT_EQ(titles(entries), (std::vector<std::string>{"割り当て: ボタンで指定（カスタム）", "割り当て",
                                                         "ミュート解除", "詳細設定…", "", "切断"}));
    EXPECT_EQ(entries[0].kind, Kind::customNote);

    // A split column offers the mono source picker, with the count handed on as it is.
    Connection single = connection(0, 1);
    single.sourceChannel = 2;
    single.monoMix = true;
    entries = menu(cell(single, 6, 0, 1));
    ASSERT_EQ(entries[0].kind, Kind::monoPicker);
    EXPECT_EQ(entries[0].title, "送る音");
    EXPECT_EQ(entries[0].choices.size(), 9u);
    EXPECT_EQ(entries[0].choices[7],
              (MenuChoice{.title = "ch3+4（まとめる）", .checked = true, .mono = {2, true}}));
}

TEST(MatrixCellModelTest, MenuEditsFindTheConnectionAgainByID) {
    RoutingConfig config;
    Connection c = connection();
    c.routeMask = 6;
    config.connections = {connection(), c};

    // Any mode, even the current one, drops the custom mask.
    auto next = choosingMode(config, c.id, MappingMode::automatic);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->connections[1].routeMask, std::nullopt);
    EXPECT_EQ(next->connections[1].mode, MappingMode::automatic);
    EXPECT_EQ(next->connections[0], config.connections[0]);

    next = settingMute(config, c.id, true);
    EXPECT_TRUE(next->connections[1].isMuted);
    EXPECT_EQ(next->connections[1].routeMask, 6);

    next = Detail::choosingMonoSource(config, c.id, {3, true});
    EXPECT_EQ(next->connections[1].sourceChannel, 3);
    EXPECT_TRUE(next->connections[1].monoMix);

    // A connection removed meanwhile: nothing to write.
    EXPECT_EQ(settingMute(config, UUID::random(), true), std::nullopt);
    EXPECT_EQ(Detail::edited(config, UUID::random(), [](Connection& x) { x.gainDB = 3; }), std::nullopt);

    // The first connection of a cell, in list order.
    Connection twin = config.connections[0];
    twin.id = UUID::random();
    twin.gainDB = -3;
    config.connections.push_back(twin);
    const auto found = find(config, twin.from, twin.toDeviceUID, 0, 2);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, config.connections[0].id);
    EXPECT_EQ(find(config, twin.from, twin.toDeviceUID, 0, 1), std::nullopt);
}

// ---- Connection detail and mono source picker

TEST(ConnectionDetailModelTest, SourceChoicesAndTheirNamesFollowTheModeAndCount) {
    struct Case {
        std::uint32_t channels;
        MappingMode mode;
        std::vector<std::int64_t> choices;
        std::vector<std::string> labels;
    };
    const std::vector<Case> cases{
        {8, MappingMode::automatic, {0, 2, 4, 6}, {"ch1-2", "ch3-4", "ch5-6", "ch7-8"}},
        {8, MappingMode::stereo, {0, 2, 4, 6}, {"ch1-2", "ch3-4", "ch5-6", "ch7-8"}},
        {8, MappingMode::swapped, {0, 2, 4, 6}, {"ch1-2", "ch3-4", "ch5-6", "ch7-8"}},
        {8,
         MappingMode::dualMono,
         {0, 1, 2, 3, 4, 5, 6, 7},
         {"ch1", "ch2", "ch3", "ch4", "ch5", "ch6", "ch7", "ch8"}},
        {2, MappingMode::dualMono, {0, 1}, {"ch1", "ch2"}},
        {2, MappingMode::stereo, {0}, {"ch1-2"}},
        {5, MappingMode::stereo, {0, 2}, {"ch1-2", "ch3-4"}},
        {1, MappingMode::stereo, {0}, {"ch1"}},
        {0, MappingMode::swapped, {}, {}},
        {1, MappingMode::automatic, {0}, {"ch1"}},
        {0, MappingMode::automatic, {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Detail::sourceChoices(c.channels, c.mode), c.choices)
            << c.channels << " channels, " << Detail::modeName(c.mode);
        std::vector<std::string> labels;
        for (auto channel : c.choices) {
            labels.push_back(Detail::sourceChoiceLabel(channel, c.channels, c.mode));
        }
        EXPECT_EQ(labels, c.labels) << c.channels << " channels, " << Detail::modeName(c.mode);
    }
    // The last channel of an odd source is named alone in stereo.
    EXPECT_EQ(Detail::sourceChoiceLabel(4, 5, MappingMode::stereo), "ch5");
}

TEST(ConnectionDetailModelTest, TheSourceChannelPickerShowsOnlyWhereThereIsAChoice) {
    Connection c = connection();
    EXPECT_FALSE(Detail::showsSourceChannelPicker(c, 2));
    EXPECT_FALSE(Detail::showsSourceChannelPicker(c, std::nullopt));
    EXPECT_TRUE(Detail::showsSourceChannelPicker(c, 3));
    c.mode = MappingMode::dualMono;
    EXPECT_TRUE(Detail::showsSourceChannelPicker(c, 2));
    EXPECT_EQ(Detail::sourceChoiceMode(c), MappingMode::dualMono);
    // A custom mask counts as stereo: a stereo source then offers channel 0 alone, as a pair.
    c.routeMask = 3;
    EXPECT_EQ(Detail::sourceChoiceMode(c), MappingMode::stereo);
    EXPECT_EQ(Detail::sourceChoices(2, Detail::sourceChoiceMode(c)), std::vector<std::int64_t>{0});
    EXPECT_EQ(Detail::sourceChoiceLabel(0, 2, Detail::sourceChoiceMode(c)), "ch1-2");
    EXPECT_FALSE(Detail::showsSourceChannelPicker(connection(0, 1), 8))
        << "single columns use the mono picker";
}

TEST(ConnectionDetailModelTest, GainReadoutAndSliderSteps) {
    EXPECT_EQ(Detail::gainText(-60), "-∞ dB");
    EXPECT_EQ(Detail::gainText(-75), "-∞ dB");
    EXPECT_EQ(Detail::gainText(12), "+12.0 dB");
    EXPECT_EQ(Detail::gainText(0), "+0.0 dB");
    EXPECT_EQ(Detail::gainText(-6.5f), "-6.5 dB");
    EXPECT_EQ(Detail::gainValue(-3.26), -3.5f);
    EXPECT_EQ(Detail::gainValue(-3.24), -3.0f);
    EXPECT_EQ(Detail::gainValue(20), 12.0f);
    EXPECT_EQ(Detail::gainValue(-80), -60.0f);
}

TEST(ConnectionDetailModelTest, MonoPickerOffersEachChannelThenEachPairMix) {
    const auto titlesOf = [](std::optional<std::uint32_t> channels) {
        std::vector<std::string> out;
        for (const auto& option : Detail::monoOptions(channels)) {
            out.push_back(option.title);
        }
        return out;
    };
    EXPECT_EQ(titlesOf(2), (std::vector<std::string>{"L（左）", "R（右）", "L+R（モノラルにまとめる）"}));
    EXPECT_EQ(titlesOf(std::nullopt), titlesOf(2));
    EXPECT_EQ(titlesOf(1), (std::vector<std::string>{"モノラル"}));
    EXPECT_EQ(titlesOf(0), (std::vector<std::string>{"ch1"})) << "channel 0 is offered even without channels";
    EXPECT_EQ(titlesOf(6),
              (std::vector<std::string>{"ch1", "ch2", "ch3", "ch4", "ch5", "ch6", "ch1+2（まとめる）",
                                        "ch3+4（まとめる）", "ch5+6（まとめる）"}));
    EXPECT_EQ(Detail::monoOptions(6)[7].choice, (Detail::MonoChoice{2, true}));

    Connection c = connection(0, 1);
    c.sourceChannel = 1;
    c.monoMix = false;
    EXPECT_EQ(Detail::monoSelection(c, 2), (Detail::MonoChoice{1, false}));
    EXPECT_EQ(Detail::monoLabel(c, 2), "R（右）");
    c.sourceChannel = 0;
    c.monoMix = true;
    EXPECT_EQ(Detail::monoSelection(c, 2), (Detail::MonoChoice{0, true}));
    EXPECT_EQ(Detail::monoLabel(c, 2), "L+R");
    EXPECT_EQ(Detail::monoLabel(c, 6), "ch1+2");
    // A mix needs a second channel: on the last channel it is that channel alone.
    c.sourceChannel = 5;
    EXPECT_EQ(Detail::monoSelection(c, 6), (Detail::MonoChoice{5, false}));
    EXPECT_EQ(Detail::monoLabel(c, 6), "ch6");
    EXPECT_EQ(Detail::monoLabel(c, 1), "モノラル");
}

} // namespace
