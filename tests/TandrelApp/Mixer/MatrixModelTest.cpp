// The matrix model: groups and columns for lines and monitors with stored, default and clamped pair
// counts and split pairs, and the grid's rows, from plain state and from a live controller on the
// emulated server with the real driver (in a child process, since the driver keeps process-wide state).
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Support/DeviceCallbacksStopped.h"
#include "Support/DriverTestProcess.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/LineConfigurator.h"
#include "TandrelApp/Mixer/MatrixMetrics.h"
#include "TandrelApp/Mixer/MatrixModel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/TemporaryDataHome.h"

namespace {

constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr const char* kLine2 = "qorvix.tandrel.device.line2";

AudioDeviceInfo device(std::string uid, uint32_t outputs, std::string name = "Device") {
    return {.id = 0, .uid = std::move(uid), .name = std::move(name), .outputChannels = outputs};
}

AudioDeviceInfo line(int number, uint32_t channels) {
    return device("qorvix.tandrel.device.line" + std::to_string(number), channels,
                  "Line " + std::to_string(number));
}

SourceConfig source(std::string name) {
    SourceConfig config;
    config.id = UUID::random();
    config.kind = SourceKind::systemAudio();
    config.name = std::move(name);
    return config;
}

using Columns = std::vector<MatrixColumn>;

Columns stereo(std::initializer_list<std::int64_t> channels) {
    Columns out;
    for (auto channel : channels) {
        out.push_back({channel, 2});
    }
    return out;
}

std::vector<std::string> ids(const std::vector<GridItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        out.push_back(item.id());
    }
    return out;
}

std::vector<std::string> groupIDs(const std::vector<ColumnGroup>& groups) {
    std::vector<std::string> out;
    for (const auto& group : groups) {
        out.push_back(group.id() + (group.isLine ? " line" : " monitor"));
    }
    return out;
}

// ---- Plain state

TEST(MatrixModelTest, PairCountsFollowTheDefaultTheStoredCountAndTheDeviceCapacity) {
    struct Case {
        AudioDeviceInfo device;
        std::optional<std::int64_t> stored;
        Columns expected;
    };
    const std::vector<Case> cases{
        {device("silent", 0), {}, stereo({0})},
        {device("mono", 1), {}, stereo({0})},
        {device("stereo", 2), {}, stereo({0})},
        {device("stereo", 2), 4, stereo({0})},
        {line(3, 8), {}, stereo({0, 2, 4, 6})},
        {line(3, 16), {}, stereo({0, 2, 4, 6})},
        {line(3, 16), 6, stereo({0, 2, 4, 6, 8, 10})},
        {line(3, 16), 0, stereo({0})},
        {line(3, 16), -3, stereo({0})},
        {line(3, 8), 20, stereo({0, 2, 4, 6})},
        {device("interface", 8), {}, stereo({0})},
        {device("interface", 8), 3, stereo({0, 2, 4})},
        {device("odd", 5), 9, stereo({0, 2, 4})},
    };
    for (const auto& c : cases) {
        RoutingConfig config;
        if (c.stored) {
            config.visiblePairs[c.device.uid] = *c.stored;
        }
        EXPECT_EQ(MatrixModel::columns(config, c.device), c.expected)
            << c.device.uid << " with " << c.device.outputChannels << " channels, stored "
            << (c.stored ? std::to_string(*c.stored) : "nothing");
    }
}

TEST(MatrixModelTest, ASplitPairBecomesTwoSingleChannelColumnsWhenBothChannelsExist) {
    RoutingConfig config;
    config.visiblePairs["odd"] = 3;
    config.splitPairs["odd"] = {2, 4};
    // Pair 4 of a 5-channel device has no channel 5: it stays one stereo column.
    EXPECT_EQ(MatrixModel::columns(config, device("odd", 5)), (Columns{{0, 2}, {2, 1}, {3, 1}, {4, 2}}));
    // A split pair that is not shown changes nothing.
    config.visiblePairs["odd"] = 1;
    EXPECT_EQ(MatrixModel::columns(config, device("odd", 5)), stereo({0}));
    // A mono device's only pair cannot be split either.
    config.splitPairs["mono"] = {0};
    EXPECT_EQ(MatrixModel::columns(config, device("mono", 1)), stereo({0}));
}

TEST(MatrixModelTest, GroupsAreTheLinesThenTheMonitorsThatAreConnected) {
    const std::vector<AudioDeviceInfo> lines{line(1, 2), line(2, 16)};
    const std::vector<AudioDeviceInfo> outputs{device("speakers", 2), device("phones", 2), device("hdmi", 8)};
    RoutingConfig config;
    config.monitorDeviceUIDs = {"hdmi", "unplugged", "speakers"};
    config.splitPairs["speakers"] = {0};

    const auto groups = MatrixModel::groups({lines, outputs, config});
    EXPECT_EQ(groupIDs(groups),
              (std::vector<std::string>{std::string(kLine1) + " line", std::string(kLine2) + " line",
                                        "hdmi monitor", "speakers monitor"}));
    EXPECT_EQ(groups[1].columns, stereo({0, 2, 4, 6}));
    EXPECT_EQ(groups[2].columns, stereo({0})) << "a monitor shows one pair unless told otherwise";
    EXPECT_EQ(groups[3].columns, (Columns{{0, 1}, {1, 1}}));
    EXPECT_EQ(groups[3].device, outputs[0]) << "the group keeps the whole device record";
    EXPECT_EQ(config.monitorDeviceUIDs.size(), 3u) << "an unplugged monitor stays configured";

    EXPECT_TRUE(MatrixModel::groups({{}, outputs, RoutingConfig{}}).empty());
}

TEST(MatrixModelTest, ItemsListTheSourcesThenTheLinesOnlyWhenThereAreMonitors) {
    const std::vector<AudioDeviceInfo> lines{line(1, 2), line(2, 16)};
    const std::vector<AudioDeviceInfo> outputs{device("speakers", 2)};
    RoutingConfig config;

    EXPECT_EQ(ids(MatrixModel::items({lines, outputs, config})),
              (std::vector<std::string>{"section:音源", "empty"}));

    const SourceConfig music = source("Music");
    const SourceConfig system = source("System");
    config.sources = {music, system};
    EXPECT_EQ(ids(MatrixModel::items({lines, outputs, config})),
              (std::vector<std::string>{"section:音源", music.id.uuidString(), system.id.uuidString()}))
        << "lines without monitors make no section";

    config.monitorDeviceUIDs = {"speakers"};
    const auto items = MatrixModel::items({lines, outputs, config});
    EXPECT_EQ(ids(items),
              (std::vector<std::string>{"section:音源", music.id.uuidString(), system.id.uuidString(),
                                        "section:ライン（モニター元）", kLine1, kLine2}));
    EXPECT_EQ(items[0], GridItem::section("音源"));
    EXPECT_EQ(std::get<GridItem::Row>(items[1].value).row.sourceConfig()->name, "Music");
    EXPECT_EQ(std::get<GridItem::Row>(items[5].value).row.endpoint(), Endpoint::line(kLine2));
    EXPECT_EQ(std::get<GridItem::Row>(items[2].value).row.endpoint(), Endpoint::source(system.id));

    // A configured monitor that is unplugged still counts: the lines stay in the rows.
    config.monitorDeviceUIDs = {"unplugged"};
    EXPECT_EQ(MatrixModel::items({lines, outputs, config}).size(), 6u);
    EXPECT_EQ(MatrixModel::items({{}, outputs, config}).size(), 3u) << "no lines, no line section";
}

TEST(MatrixModelTest, IdentitiesAndSizesAreTheOnesTheHeadersAndCellsShare) {
    SourceConfig music = source("Music");
    music.id = *UUID::fromString("0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9");
    EXPECT_EQ(MatrixRow::source(music).id(), "0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9");
    EXPECT_EQ(MatrixRow::line(line(4, 2)).id(), "qorvix.tandrel.device.line4");

    const MatrixRow sourceRow = MatrixRow::source(music);
    const MatrixRow lineRow = MatrixRow::line(line(4, 2));
    EXPECT_EQ(sourceRow.height(), MatrixMetrics::sourceRowHeight);
    EXPECT_EQ(lineRow.height(), MatrixMetrics::lineRowHeight);
    EXPECT_EQ(GridItem::section("音源").height(), MatrixMetrics::sectionRowHeight);
    EXPECT_EQ(GridItem::emptyHint().height(), MatrixMetrics::emptyHintHeight);

    for (std::size_t columns : {1u, 2u, 3u}) {
        EXPECT_EQ(MatrixMetrics::groupWidth(columns), 190) << columns << " columns";
    }
    EXPECT_EQ(MatrixMetrics::groupWidth(4), 208);
    EXPECT_EQ(MatrixMetrics::groupWidth(5), 260);

    // Groups of 2, 4 and 6 columns: the cells' area (and the content section's divider) is 740 wide.
    const std::vector<ColumnGroup> groups{{device("a", 4), false, stereo({0, 2})},
                                          {device("b", 8), false, stereo({0, 2, 4, 6})},
                                          {device("c", 12), false, stereo({0, 2, 4, 6, 8, 10})}};
    EXPECT_EQ(MatrixModel::contentWidth(groups), 740);
}

// ---- A live controller on the emulated server with the real driver

constexpr const char* kChildVariable = "TANDREL_MATRIX_MODEL_TEST_CHILD";

class MatrixModelControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << DriverTestProcess::driverBundle();
        }
        if (!DriverTestProcess::inChild(kChildVariable)) {
            return;
        }
        home = std::filesystem::temp_directory_path() / ("tandrel-matrix-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(R"({"devices": [
              {"uid": "speakers", "name": "Speakers", "outputStreams": [2]},
              {"uid": "phones", "name": "Phones", "outputStreams": [5]},
              {"uid": "mic", "name": "Mic", "inputStreams": [1]}]})"),
                                     .home = home,
                                     .plugIns = std::vector{DriverTestProcess::driverBundle()}});
    }
    void TearDown() override {
        if (!server) {
            return;
        }
        controller.reset();
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        CoreAudioCall::sync([] {});
        server.reset();
        AudioServer::stop();
        DeferredWork::runPendingNow();
        std::filesystem::remove_all(home);
    }

    std::vector<std::string> lineUIDs() const {
        std::vector<std::string> out;
        for (const auto& device : controller->lines()) {
            out.push_back(device.uid);
        }
        return out;
    }

    std::filesystem::path home;
    TemporaryDataHome dataHome;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
};

TEST_F(MatrixModelControllerTest, GroupsAndItemsFollowTheDriversLinesAndTheControllersEdits) {
    if (DriverTestProcess::ranInChild(kChildVariable)) {
        return;
    }
    RoutingConfig config;
    const SourceConfig music = source("Music");
    config.sources = {music};
    config.monitorDeviceUIDs = {"phones", "unplugged", "speakers"};
    config.visiblePairs = {{kLine2, 6}, {"phones", 3}};
    config.splitPairs = {{kLine1, {0}}, {"phones", {0, 4}}};
    controller = RoutingController::create(config, false, false);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return controller->devicesLoaded() && controller->lines().size() == 2; }, 5000));

    // The driver's default lines: Line 1 with 2 channels (split), Line 2 with 64 (6 pairs stored).
    auto groups = MatrixModel::groups(MatrixState::of(*controller));
    ASSERT_EQ(groupIDs(groups),
              (std::vector<std::string>{std::string(kLine1) + " line", std::string(kLine2) + " line",
                                        "phones monitor", "speakers monitor"}));
    EXPECT_EQ(groups[0].columns, (Columns{{0, 1}, {1, 1}}));
    EXPECT_EQ(groups[1].columns, stereo({0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(groups[1].device.outputChannels, 64u);
    EXPECT_EQ(groups[2].columns, (Columns{{0, 1}, {1, 1}, {2, 2}, {4, 2}})) << "channel 5 does not exist";
    EXPECT_EQ(groups[3].columns, stereo({0}));
    EXPECT_EQ(ids(MatrixModel::items(MatrixState::of(*controller))),
              (std::vector<std::string>{"section:音源", music.id.uuidString(), "section:ライン（モニター元）",
                                        kLine1, kLine2}));

    // The controller's edits show in the next computation.
    controller->setSplit(true, "speakers", 0);
    controller->setVisiblePairs(1, groups[1].device);
    groups = MatrixModel::groups(MatrixState::of(*controller));
    EXPECT_EQ(groups[3].columns, (Columns{{0, 1}, {1, 1}}));
    EXPECT_EQ(groups[1].columns, stereo({0}));

    // A new line list from the driver: Line 2 goes, an 8-channel Line 3 comes with the default 4 pairs.
    LineConfigurator::write({{1, 2, "Line 1"}, {3, 8, "Eight"}});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return lineUIDs() == std::vector<std::string>{kLine1, "qorvix.tandrel.device.line3"};
        },
        5000));
    groups = MatrixModel::groups(MatrixState::of(*controller));
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[1].device.name, "Eight");
    EXPECT_EQ(groups[1].columns, stereo({0, 2, 4, 6}));
    EXPECT_EQ(ids(MatrixModel::items(MatrixState::of(*controller))).back(), "qorvix.tandrel.device.line3");

    // Without monitors the lines leave the rows.
    RoutingConfig next = controller->config();
    next.monitorDeviceUIDs.clear();
    controller->setConfig(next);
    EXPECT_EQ(MatrixModel::items(MatrixState::of(*controller)).size(), 2u);
    EXPECT_EQ(MatrixModel::groups(MatrixState::of(*controller)).size(), 2u);
    // The driver saves the list a second later; the process must not end before.
    QTest::qWait(1200);
}

} // namespace
