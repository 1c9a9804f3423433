// Level meters: the bar's fraction and colour at the thresholds, and the meter widget as the meter
// store feeds it: the level at creation and at a change of channel, the bar's direction, and no work
// while it is off screen or its level moves the bar by less than it can show.
#include <cmath>
#include <memory>

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <gtest/gtest.h>

#include "TandrelApp/Mixer/LiveMeter.h"
#include "TandrelApp/Mixer/LiveMeterModel.h"
#include "TandrelApp/Mixer/StatusDot.h"

namespace {

float dBFS(double dB) {
    return static_cast<float>(std::pow(10.0, dB / 20.0));
}

void expectNear(const QRectF& actual, const QRectF& expected) {
    EXPECT_NEAR(actual.x(), expected.x(), 1e-4);
    EXPECT_NEAR(actual.y(), expected.y(), 1e-4);
    EXPECT_NEAR(actual.width(), expected.width(), 1e-4);
    EXPECT_NEAR(actual.height(), expected.height(), 1e-4);
}

TEST(LiveMeterModelTest, FractionCoversSixtyDecibelsAndColourChangesAboveTheThresholds) {
    struct Case {
        float level;
        float fraction;
        ColorRole color;
    };
    const Case cases[] = {
        {0.0f, 0.0f, ColorRole::green},
        {0.000001f, 0.0f, ColorRole::green},
        {-0.5f, 0.0f, ColorRole::green},
        {NAN, 0.0f, ColorRole::green},
        {dBFS(-70), 0.0f, ColorRole::green},
        {0.001f, 0.0f, ColorRole::green}, // -60 dBFS
        {0.1f, 2.0f / 3.0f, ColorRole::green},
        {dBFS(-12), 0.8f, ColorRole::green},
        {dBFS(-11.9), 0.80166f, ColorRole::yellow},
        {0.5f, 0.89966f, ColorRole::yellow},
        {dBFS(-3), 0.95f, ColorRole::yellow},
        {dBFS(-2.9), 0.95166f, ColorRole::red},
        {dBFS(-1), 0.98333f, ColorRole::red},
        {1.0f, 1.0f, ColorRole::red},
        {4.0f, 1.0f, ColorRole::red},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(LiveMeterModel::fraction(c.level), c.fraction, 1e-4) << "level " << c.level;
        EXPECT_EQ(LiveMeterModel::color(c.level), c.color) << "level " << c.level;
    }
}

class LiveMeterTest : public ::testing::Test {
protected:
    // No timer: each test polls the store itself.
    MeterStore store{QStringList{"--no-meters"}};
    MeterStore::Levels peaks;
    QWidget window;

    void SetUp() override {
        store.setProvider([this] { return peaks; });
        window.resize(100, 100);
    }
};

TEST_F(LiveMeterTest, AMeterShowsTheStoresLevelAtOnceAndFollowsAChangeOfChannel) {
    const MeterKey key = MeterKey::device("speakers");
    peaks[key] = {0.5f, 0.1f};
    auto* first = new LiveMeter(store, key, 0, true, Theme::Metrics(), &window);
    window.show();
    store.tick();
    EXPECT_FLOAT_EQ(first->value(), 0.5f);

    // A meter made later takes the level the store holds, before the next poll.
    auto* second = new LiveMeter(store, key, 1, true, Theme::Metrics(), &window);
    EXPECT_FLOAT_EQ(second->value(), 0.1f);
    second->configure(key, 0, true);
    EXPECT_FLOAT_EQ(second->value(), 0.5f);
    second->configure(key, 5, true);
    EXPECT_FLOAT_EQ(second->value(), 0.0f) << "a channel beyond the key's shows nothing";
    second->configure(MeterKey::device("gone"), 0, true);
    EXPECT_FLOAT_EQ(second->value(), 0.0f);

    // The same key, channel and orientation wait for the store's poll.
    peaks[key] = {1.0f, 1.0f};
    first->configure(key, 0, true);
    EXPECT_FLOAT_EQ(first->value(), 0.5f);
    store.tick();
    EXPECT_FLOAT_EQ(first->value(), 1.0f);
}

TEST_F(LiveMeterTest, TheBarRisesFromTheBottomOrGrowsFromTheLeftAndIsFourPointsAcross) {
    const MeterKey key = MeterKey::source(UUID::random());
    peaks[key] = {0.1f};
    auto* vertical = new LiveMeter(store, key, 0, true, Theme::Metrics(1.5), &window);
    auto* horizontal = new LiveMeter(store, key, 0, false, Theme::Metrics(), &window);
    vertical->setGeometry(0, 0, 6, 90);
    horizontal->setGeometry(10, 0, 60, 4);
    window.show();
    store.tick();

    EXPECT_EQ(vertical->sizeHint().width(), 6);
    EXPECT_EQ(horizontal->sizeHint().height(), 4);
    expectNear(vertical->fillRect(), QRectF(0, 30, 6, 60));
    expectNear(horizontal->fillRect(), QRectF(0, 0, 40, 4));

    vertical->configure(key, 0, false);
    EXPECT_FALSE(vertical->isVertical());
    EXPECT_EQ(vertical->maximumHeight(), 6);

    // A zero-sized meter has nothing to fill.
    auto* empty = new LiveMeter(store, key, 0, true, Theme::Metrics(), &window);
    empty->setGeometry(0, 0, 0, 0);
    EXPECT_TRUE(empty->fillRect().isEmpty());
    empty->repaint();
}

TEST_F(LiveMeterTest, MetersOffScreenAreNotFedAndTheProviderIsNotAsked) {
    const MeterKey key = MeterKey::device("speakers");
    peaks[key] = {0.5f};
    int asked = 0;
    store.setProvider([&] {
        ++asked;
        return peaks;
    });
    LiveMeter meter(store, key, 0, false, Theme::Metrics());
    store.tick();
    EXPECT_EQ(asked, 0);
    EXPECT_FLOAT_EQ(meter.value(), 0.0f);

    meter.show();
    store.tick();
    EXPECT_EQ(asked, 1);
    EXPECT_FLOAT_EQ(meter.value(), 0.5f);
}

// A steady tone's level wavers from poll to poll by far less than a pixel: repainting every meter for
// it fifteen times a second would be most of what the program does at rest.
TEST_F(LiveMeterTest, AMeterRepaintsOnlyWhenItsBarMovesByAQuarterPixelOrMore) {
    const MeterKey key = MeterKey::device("speakers");
    peaks[key] = {dBFS(-20)};
    auto* meter = new LiveMeter(store, key, 0, true, Theme::Metrics(), &window);
    meter->setGeometry(0, 0, 4, 90);
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    meter->installEventFilter(&counter);
    window.show();
    store.tick();
    QCoreApplication::processEvents();
    ASSERT_GT(counter.paints, 0);

    const int before = counter.paints;
    peaks[key] = {dBFS(-20.001)}; // the edge moves by 0.0015 px
    store.tick();
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints, before);

    peaks[key] = {dBFS(-19)}; // 1.5 px
    store.tick();
    QCoreApplication::processEvents();
    EXPECT_GT(counter.paints, before);
}

TEST_F(LiveMeterTest, AMeterOutlivingItsStoreShowsSilence) {
    auto shortLived = std::make_unique<MeterStore>(QStringList{"--no-meters"});
    LiveMeter meter(*shortLived, MeterKey::device("speakers"), 0, true, Theme::Metrics());
    shortLived.reset();
    meter.configure(MeterKey::device("phones"), 1, true);
    EXPECT_FLOAT_EQ(meter.value(), 0.0f);
}

TEST(StatusDotTest, IsSixPointsRoundInItsColour) {
    StatusDot dot(ColorRole::yellow, Theme::Metrics(1.5));
    EXPECT_EQ(dot.size(), QSize(9, 9));
    dot.setColor(ColorRole::green);
    EXPECT_EQ(dot.color(), ColorRole::green);
}

} // namespace
