// Pictures of the mixer window's content for people reviewing the look, from a real controller on the
// emulated server with the real driver: the default lines, two applications, the whole system, the
// microphone and one monitor, some connections with gains and a split pair, at scale 1.0 and 1.5
// (build/snapshots/router-scale100.png, router-scale150.png), with the unresponsive banner
// (router-unresponsive.png), with the driver missing (router-driver-missing.png), and the three
// popovers (router-connection-detail.png, router-pair-detail.png, router-source-channels.png). The
// checks are on geometry: headers stay aligned with their cells at both scales.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "LiveRouterTest.h"
#include "MixerTestSupport.h"
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Mixer/ConnectionDetail.h"
#include "TandrelApp/Mixer/FrozenHeaderScrollView.h"
#include "TandrelApp/Mixer/GroupTitle.h"
#include "TandrelApp/Mixer/MatrixCell.h"
#include "TandrelApp/Mixer/MatrixGrid.h"
#include "TandrelApp/Mixer/PairHeader.h"
#include "TandrelApp/Mixer/Popover.h"
#include "TandrelApp/Mixer/RouterBanner.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Mixer/RowHeader.h"
#include "TandrelApp/Mixer/SectionLabel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/RoutingControllerTestAccess.h"
#include "TandrelApp/Routing/TemporaryDataHome.h"
#include "TandrelApp/Support/UserDefaults.h"

using namespace std::chrono_literals;

namespace {

using MixerTestSupport::makeSource;

constexpr const char* kChildVariable = "TANDREL_ROUTER_SNAPSHOT_TEST_CHILD";
constexpr const char* kLine1 = "qorvix.tandrel.device.line1";
constexpr const char* kLine2 = "qorvix.tandrel.device.line2";

const char* kProfile = R"({"devices": [
  {"uid": "speakers", "name": "スピーカー", "sampleRate": 48000, "sampleRates": [48000], "outputStreams": [2]},
  {"uid": "mic", "name": "内蔵マイク", "sampleRate": 48000, "sampleRates": [48000], "inputStreams": [1],
   "inputSignal": {"sine": 330, "level": -18}}],
 "applications": [
  {"pid": 7601, "bundleID": "org.example.toneplayer", "name": "Tone Player", "signal": {"sine": 1000, "level": -10}},
  {"pid": 7602, "bundleID": "org.example.radio", "name": "Radio", "signal": {"sine": 440, "level": -16}}],
 "defaultOutput": "speakers", "defaultInput": "mic"})";

Connection makeConnection(Endpoint from, std::string to, std::int64_t pair, std::int64_t width,
                          float gainDB) {
    Connection connection;
    connection.id = UUID::random();
    connection.from = std::move(from);
    connection.toDeviceUID = std::move(to);
    connection.pair = pair;
    connection.width = width;
    connection.gainDB = gainDB;
    connection.monoMix = width == 2;
    return connection;
}

// The window's content at the size it has (writeSnapshot would shrink it to its size hint); popovers
// at their own size.
bool snapshot(QWidget& widget, const QString& name) {
    QCoreApplication::processEvents();
    return widget.grab().save(snapshotPath(name));
}

class RouterSnapshotTest : public LiveRouterTest {
protected:
    RouterSnapshotTest()
        : LiveRouterTest(kChildVariable) {}

    void start(bool withDriver) {
        startServer(kProfile, withDriver);
        RoutingConfig config;
        config.sources = {system, player, radio, mic};
        config.monitorDeviceUIDs = {"speakers"};
        config.splitPairs[kLine2] = {2};
        config.connections = {makeConnection(Endpoint::source(player.id), kLine1, 0, 2, -6),
                              makeConnection(Endpoint::source(radio.id), kLine2, 0, 2, 3),
                              makeConnection(Endpoint::source(mic.id), kLine2, 2, 1, 0),
                              makeConnection(Endpoint::source(system.id), "speakers", 0, 2, 0),
                              makeConnection(Endpoint::line(kLine1), "speakers", 0, 2, -10)};
        config.connections[1].routeMask = 9;
        config.deviceVolumes[kLine2].pairDB[0] = -3;
        config.deviceVolumes["speakers"].masterDB = -8;
        LiveRouterTest::start(config, QSize(1240, 800), withDriver ? 2 : 0);
        // Let the meters show a few polls of the running audio.
        QTest::qWait(400);
    }

    // A header and the cells below it start at the same x, and a row header and its cells at the same
    // y, in the window's coordinates.
    void expectAligned() {
        MatrixGrid& grid = *view->grid();
        PairHeader* header = grid.pairHeader(kLine2, {3, 1});
        MatrixCell* below = grid.cell(mic.id.uuidString(), kLine2, {3, 1});
        ASSERT_NE(header, nullptr);
        ASSERT_NE(below, nullptr);
        EXPECT_EQ(header->mapTo(view.get(), QPoint(0, 0)).x(), below->mapTo(view.get(), QPoint(0, 0)).x());
        EXPECT_EQ(header->width(), below->width());
        MatrixCell* speakers = grid.cell(kLine1, "speakers", {0, 2});
        ASSERT_NE(speakers, nullptr);
        EXPECT_EQ(grid.pairHeader("speakers", {0, 2})->mapTo(view.get(), QPoint(0, 0)).x(),
                  speakers->mapTo(view.get(), QPoint(0, 0)).x());
        RowHeader* row = grid.rowHeader(radio.id.uuidString());
        MatrixCell* cell = grid.cell(radio.id.uuidString(), kLine1, {0, 2});
        ASSERT_NE(row, nullptr);
        ASSERT_NE(cell, nullptr);
        const int rowCentre = row->mapTo(view.get(), QPoint(0, row->height() / 2)).y();
        const int cellCentre = cell->mapTo(view.get(), QPoint(0, cell->height() / 2)).y();
        EXPECT_LE(std::abs(rowCentre - cellCentre), 1);
    }

    const SourceConfig system = makeSource(SourceKind::systemAudio(), "システム全体");
    const SourceConfig player = makeSource(SourceKind::application("org.example.toneplayer"), "Tone Player");
    const SourceConfig radio = makeSource(SourceKind::application("org.example.radio"), "Radio");
    const SourceConfig mic = makeSource(SourceKind::inputDevice("mic"), "内蔵マイク");
};

TEST_F(RouterSnapshotTest, TheMatrixAtBothScalesStaysAlignedWithItsHeaders) {
    if (ranInChild()) {
        return;
    }
    start(true);
    ASSERT_EQ(controller->lines().size(), 2u);
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::none);
    expectAligned();
    const int headerHeight = view->grid()->scrollView()->topArea()->height();
    const int headerWidth = view->grid()->scrollView()->leftArea()->width();
    EXPECT_EQ(headerWidth, 16 + 270);
    EXPECT_TRUE(snapshot(*view, QStringLiteral("router-scale100")));

    UserDefaults::standard().set(QStringLiteral("TDUIScale"), 1.5);
    view->resize(1600, 1040);
    settle();
    QTest::qWait(400);
    view->grid()->scrollView()->relayout();
    EXPECT_EQ(view->grid()->scale(), 1.5);
    EXPECT_EQ(view->grid()->scrollView()->leftArea()->width(), headerWidth * 3 / 2);
    EXPECT_NEAR(view->grid()->scrollView()->topArea()->height(), headerHeight * 1.5, 2);
    expectAligned();
    EXPECT_TRUE(snapshot(*view, QStringLiteral("router-scale150")));
}

TEST_F(RouterSnapshotTest, TheBannersAndPopovers) {
    if (ranInChild()) {
        return;
    }
    start(true);
    MatrixGrid& grid = *view->grid();

    MatrixCell* cell = grid.cell(player.id.uuidString(), kLine1, {0, 2});
    ASSERT_NE(cell, nullptr);
    cell->showDetail();
    ASSERT_NE(cell->detailPopover(), nullptr);
    QCoreApplication::processEvents();
    EXPECT_TRUE(snapshot(*cell->detailPopover(), QStringLiteral("router-connection-detail")));
    cell->detailPopover()->close();

    PairHeader* header = grid.pairHeader(kLine2, {0, 2});
    ASSERT_NE(header, nullptr);
    header->showDetail();
    QCoreApplication::processEvents();
    EXPECT_TRUE(snapshot(*header->detailPopover(), QStringLiteral("router-pair-detail")));
    header->detailPopover()->close();

    RowHeader* row = grid.rowHeader(player.id.uuidString());
    ASSERT_NE(row, nullptr);
    row->showChannels();
    QCoreApplication::processEvents();
    EXPECT_TRUE(snapshot(*row->channelsPopover(), QStringLiteral("router-source-channels")));
    row->channelsPopover()->close();

    RoutingControllerTestAccess::audioSystemUnresponsive(*controller);
    QCoreApplication::processEvents();
    EXPECT_TRUE(view->audioSystemBanner()->isVisible());
    EXPECT_TRUE(snapshot(*view, QStringLiteral("router-unresponsive")));
}

TEST_F(RouterSnapshotTest, TheDriverMissing) {
    if (ranInChild()) {
        return;
    }
    start(false);
    EXPECT_TRUE(controller->lines().empty());
    EXPECT_EQ(view->banner(), RouterViewModel::Banner::driverMissing);
    EXPECT_TRUE(snapshot(*view, QStringLiteral("router-driver-missing")));
}

} // namespace
