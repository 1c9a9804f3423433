#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "CoreTestSupport.h"
#include "Support/ToneLevel.h"
#include "TandrelCore/CoreInternal.h"

namespace {

// A producer's fan-out feeding one route into a destination that renders into one interleaved buffer.
class Link {
public:
    Link(uint32_t sourceChannels, double sourceRate, double destinationRate, uint32_t destinationChannels,
         std::vector<TDMatrixEntry> entries)
        : sourceRate(sourceRate)
        , destinationRate(destinationRate)
        , channels(destinationChannels)
        , fanout(TDFanoutCreate(sourceChannels))
        , route(TDRouteCreate(sourceChannels, 4096, entries.data(), static_cast<uint32_t>(entries.size()),
                              sourceRate, destinationRate))
        , destination(TDDestinationCreate(destinationChannels, 4096, false)) {
        TDFanoutAdd(fanout, TDRouteRing(route));
        TDPlanFree(TDDestinationSetRoutes(destination, &route, 1));
    }
    ~Link() {
        TDDestinationDestroy(destination);
        TDFanoutRemove(fanout, TDRouteRing(route));
        TDRouteDestroy(route);
        TDFanoutDestroy(fanout);
    }

    std::vector<float> render(uint32_t frames, uint64_t now) {
        DeviceBuffers out({channels}, frames);
        TDDestinationRender(destination, out.list(), frames, now);
        return out.buffer(0);
    }

    TDRouteStats stats() const { return TDRouteGetStats(route); }

    double sourceRate;
    double destinationRate;
    uint32_t channels;
    TDFanout* fanout;
    TDRoute* route;
    TDDestination* destination;
};

// Runs a producer writing `block` frames and a destination rendering `chunk` frames, each on its own
// exact clock, for a number of seconds; hands every rendered chunk to `onChunk`. A producer that was
// paused resumes on a fresh clock from the moment it comes back.
struct Schedule {
    uint32_t block;
    uint32_t chunk;
    double renderClockPpm = 0; // how much faster the destination's clock runs than its nominal rate
    uint64_t now = kSecond;
    uint64_t writeBase = kSecond;
    uint64_t renderBase = kSecond;
    uint64_t writes = 0;
    uint64_t renders = 0;
    bool paused = false;

    template <typename OnChunk>
    void run(Link& link, TestProducer& producer, double seconds, OnChunk onChunk, bool producing = true) {
        if (producing && paused) {
            writeBase = now;
            writes = 0;
        }
        paused = !producing;
        const uint64_t end = now + static_cast<uint64_t>(seconds * kSecond);
        while (true) {
            const uint64_t nextWrite =
                writeBase + ticksFor(static_cast<double>(writes) * block, link.sourceRate);
            const uint64_t nextRender =
                renderBase + ticksFor(static_cast<double>(renders) * chunk,
                                      link.destinationRate * (1 + renderClockPpm * 1e-6));
            const bool writeNext = producing && nextWrite <= nextRender;
            const uint64_t at = writeNext ? nextWrite : nextRender;
            if (at >= end) {
                now = end;
                break;
            }
            now = at;
            if (writeNext) {
                producer.write(block, now);
                ++writes;
            } else {
                onChunk(link.render(chunk, now));
                ++renders;
            }
        }
    }
};

TEST(Route, CreationShapesTheFilterFromTheRateRatio) {
    struct Case {
        double source, destination;
        uint32_t halfWidth;
        double cutoff;
        uint32_t ringCapacity;
    };
    const Case cases[] = {
        {48000, 48000, 8, 0.92, 65536},
        {44100, 48000, 8, 0.92, 32768},
        {96000, 48000, 16, 0.46, 131072},
        {144000, 48000, 24, 0.92 / 3, 131072},
        {192000, 44100, 32, 0.92 / (192000.0 / 44100.0), 262144},
    };
    for (const Case& c : cases) {
        TDRoute* route = TDRouteCreate(2, 512, nullptr, 0, c.source, c.destination);
        ASSERT_NE(route, nullptr);
        const auto shape = tdcore::routeShape(route);
        const double ratio = c.source / c.destination;
        EXPECT_EQ(shape.halfWidth, c.halfWidth) << c.source << "→" << c.destination;
        EXPECT_EQ(shape.taps, 2 * c.halfWidth);
        EXPECT_DOUBLE_EQ(shape.cutoff, c.cutoff);
        EXPECT_EQ(shape.historyCapacity,
                  static_cast<uint32_t>(std::ceil(ratio * 512 * 1.005)) + shape.taps + 4);
        EXPECT_EQ(TDRingBufferCapacity(TDRouteRing(route)), c.ringCapacity);
        EXPECT_EQ(TDRingBufferChannels(TDRouteRing(route)), 2u);
        const TDRouteStats stats = TDRouteGetStats(route);
        EXPECT_FALSE(stats.primed);
        EXPECT_DOUBLE_EQ(stats.nominalRatio, ratio);
        EXPECT_DOUBLE_EQ(stats.ratio, ratio);
        TDRouteDestroy(route);
    }
}

TEST(Route, CreateRefusesBadArguments) {
    TDMatrixEntry entry{0, 0, 1.0f};
    EXPECT_EQ(TDRouteCreate(0, 512, &entry, 1, 48000, 48000), nullptr);
    EXPECT_EQ(TDRouteCreate(65, 512, &entry, 1, 48000, 48000), nullptr);
    EXPECT_EQ(TDRouteCreate(2, 0, &entry, 1, 48000, 48000), nullptr);
    EXPECT_EQ(TDRouteCreate(2, 512, &entry, 1, 0, 48000), nullptr);
    EXPECT_EQ(TDRouteCreate(2, 512, &entry, 1, 48000, -1), nullptr);
    EXPECT_EQ(TDRouteCreate(2, 512, &entry, 1, std::nan(""), 48000), nullptr);
    EXPECT_EQ(TDRouteCreate(2, 512, nullptr, 3, 48000, 48000), nullptr);
    EXPECT_EQ(TDRouteCreate(2, UINT32_MAX, &entry, 1, 192000, 8000), nullptr) << "history size overflows";
    TDRouteDestroy(nullptr);
}

TEST(Route, EmptyRingNeverPrimesAndAddsNothing) {
    Link link(2, 48000, 48000, 2, identity(2));
    for (int i = 0; i < 10; ++i) {
        for (float s : link.render(512, kSecond + i * 10'000'000ull)) {
            ASSERT_EQ(s, 0.0f);
        }
    }
    EXPECT_FALSE(link.stats().primed);
    EXPECT_EQ(link.stats().fill, 0u);
    EXPECT_EQ(link.stats().target, 240u + 0 + 512);
}

TEST(Route, TargetFollowsSafetyBlockSizeAndChunk) {
    Link link(2, 48000, 48000, 2, identity(2));
    TestProducer producer(link.fanout, 2, 48000, sine(440, 48000, 0.5f));
    Schedule schedule{512, 512};
    schedule.run(link, producer, 1.0, [](const std::vector<float>&) {});
    const TDRouteStats stats = link.stats();
    EXPECT_TRUE(stats.primed);
    EXPECT_EQ(stats.target, 240u + 512 + 512);
    EXPECT_EQ(stats.underruns, 0u);
    EXPECT_EQ(stats.overruns, 0u);

    Link slower(2, 44100, 48000, 2, identity(2));
    TestProducer producer441(slower.fanout, 2, 44100, sine(440, 44100, 0.5f));
    Schedule schedule441{441, 480};
    schedule441.run(slower, producer441, 0.5, [](const std::vector<float>&) {});
    // Safety truncates 220.5 to 220; the chunk needs ceil(0.91875 × 480) = 441 source frames.
    EXPECT_EQ(slower.stats().target, 220u + 441 + 441);

    TDRouteSetSafetyFrames(link.route, 1000);
    schedule.run(link, producer, 0.1, [](const std::vector<float>&) {});
    EXPECT_EQ(link.stats().target, 1000u + 512 + 512);
}

TEST(Route, SineThrough44k1To48kKeepsAmplitudeAndFrequency) {
    constexpr double kFrequency = 1000.0;
    constexpr float kAmplitude = 0.5f;
    Link link(1, 44100, 48000, 1, identity(1));
    TestProducer producer(link.fanout, 1, 44100, sine(kFrequency, 44100, kAmplitude));
    Schedule schedule{441, 480};
    // The drift control settles within a few of its 2 s time constants.
    schedule.run(link, producer, 20.0, [](const std::vector<float>&) {});
    std::vector<float> out;
    schedule.run(link, producer, 2.0,
                 [&](const std::vector<float>& chunk) { out.insert(out.end(), chunk.begin(), chunk.end()); });
    ASSERT_EQ(link.stats().underruns, 0u);
    ASSERT_EQ(out.size(), 96000u);

    // Frequency from the zero crossings: slow changes of the ring's fill shift the phase a little but
    // cannot change the count.
    size_t crossings = 0;
    const double measured = ToneLevel::crossingFrequency(out, 48000.0, &crossings);
    ASSERT_GT(crossings, 100u);
    EXPECT_NEAR(measured, kFrequency, kFrequency * 0.0005);

    // Amplitude and distortion from least-squares sine fits over 100 ms windows.
    constexpr size_t kWindow = 4800;
    double residual = 0, power = 0;
    for (size_t start = 0; start + kWindow <= out.size(); start += kWindow) {
        const auto fit = ToneLevel::fitSine(out, start, kWindow, measured, 48000.0);
        EXPECT_NEAR(fit.amplitude(), kAmplitude, kAmplitude * 0.01) << "window at " << start;
        residual += fit.residual;
        power += fit.power;
    }
    EXPECT_LT(10.0 * std::log10(residual / power), -50.0);
}

TEST(Route, OverrunSkipsDownToTheTarget) {
    Link link(1, 48000, 48000, 1, identity(1));
    TestProducer producer(link.fanout, 1, 48000, constant(0.25f));
    // target = 240 safety + 480 block + 512 chunk; the limit is 0.1 s (4800 frames) above it.
    const uint32_t target = 240 + 480 + 512;
    uint32_t written = 0;
    while (written + 480 <= target + 4800 + 1) {
        producer.write(480, kSecond);
        written += 480;
    }
    producer.write(target + 4800 + 1 - written, kSecond);
    link.render(512, kSecond);
    const TDRouteStats stats = link.stats();
    EXPECT_TRUE(stats.primed);
    EXPECT_EQ(stats.overruns, 1u);
    EXPECT_EQ(stats.fill, target);
    EXPECT_LE(TDRingBufferAvailableToRead(TDRouteRing(link.route)), target);
}

TEST(Route, StoppedProducerUnderrunsOnceAndReprimesDeeper) {
    Link link(1, 48000, 48000, 1, identity(1));
    TestProducer producer(link.fanout, 1, 48000, constant(0.5f));
    Schedule schedule{512, 512};
    schedule.run(link, producer, 0.5, [](const std::vector<float>&) {});
    ASSERT_TRUE(link.stats().primed);
    const uint32_t targetBefore = link.stats().target;

    int silentChunks = 0;
    schedule.run(
        link, producer, 0.2,
        [&](const std::vector<float>& chunk) {
            bool silent = true;
            for (float s : chunk) {
                silent = silent && s == 0.0f;
            }
            silentChunks += silent;
        },
        false);
    EXPECT_EQ(link.stats().underruns, 1u);
    EXPECT_FALSE(link.stats().primed);
    EXPECT_EQ(link.stats().target, targetBefore + 240);
    EXPECT_GT(silentChunks, 10);

    // Back again: nothing is heard until the ring holds the deeper target.
    std::vector<bool> audible;
    schedule.run(link, producer, 0.3,
                 [&](const std::vector<float>& chunk) { audible.push_back(chunk.back() != 0.0f); });
    ASSERT_TRUE(link.stats().primed);
    EXPECT_FALSE(audible.front());
    EXPECT_TRUE(audible.back());
    EXPECT_EQ(link.stats().underruns, 1u);
}

TEST(Route, DriftControlSettlesOnTheClockDifference) {
    // The destination's clock runs 50 ppm fast: it asks for source frames 50 ppm too quickly, so the
    // route must read its source 50 ppm slower than nominal to keep its ring level.
    Link link(2, 44100, 48000, 2, identity(2));
    TestProducer producer(link.fanout, 2, 44100, sine(1000, 44100, 0.5f));
    Schedule schedule{256, 512, 50.0};
    schedule.run(link, producer, 50.0, [](const std::vector<float>&) {});
    double correction = 0;
    int chunks = 0;
    schedule.run(link, producer, 10.0, [&](const std::vector<float>&) {
        const TDRouteStats stats = link.stats();
        correction += stats.ratio / stats.nominalRatio - 1;
        ++chunks;
    });
    EXPECT_NEAR(correction / chunks * 1e6, -50.0, 5.0) << "mean correction in ppm";
    EXPECT_EQ(link.stats().underruns, 0u);
    EXPECT_EQ(link.stats().overruns, 0u);
}

TEST(Route, DriftCorrectionStaysWithinHalfAPercent) {
    Link link(1, 48000, 48000, 1, identity(1));
    TestProducer producer(link.fanout, 1, 48000, constant(0.1f));
    // Hold the ring 4000 frames above its target (below the overrun limit) for many chunks.
    for (int i = 0; i < 2000; ++i) {
        const uint64_t now = kSecond + i * 10'000'000ull;
        while (TDRingBufferAvailableToRead(TDRouteRing(link.route)) < 240 + 512 + 512 + 4000) {
            producer.write(256, now);
        }
        link.render(512, now);
        const TDRouteStats stats = link.stats();
        ASSERT_LE(stats.ratio, 1.005 + 1e-12);
        ASSERT_GE(stats.ratio, 0.995 - 1e-12);
    }
    EXPECT_DOUBLE_EQ(link.stats().ratio, 1.005);
    EXPECT_EQ(link.stats().overruns, 0u);
}

TEST(Route, GainsMuteAndMatrixShapeTheMix) {
    // Source channel 0 feeds both outputs, channel 1 feeds output 1 at half gain; entries outside the
    // channel counts are skipped.
    std::vector<TDMatrixEntry> entries{{0, 0, 1.0f}, {0, 1, 1.0f}, {1, 1, 0.5f}, {2, 0, 1.0f}, {0, 5, 1.0f}};
    Link link(2, 48000, 48000, 2, entries);
    TestProducer producer(link.fanout, 2, 48000, [](uint64_t, uint32_t c) { return c == 0 ? 0.25f : 0.5f; });
    Schedule schedule{512, 512};
    std::vector<float> last;
    schedule.run(link, producer, 0.5, [&](const std::vector<float>& chunk) { last = chunk; });
    const float dcGain = last[0] / 0.25f; // the filter's DC gain, close to 1
    EXPECT_NEAR(dcGain, 1.0f, 0.01f);
    EXPECT_NEAR(last[1], (0.25f + 0.25f) * dcGain, 2e-4f);

    TDRouteSetSourceChannelGain(link.route, 0, 0.0f);
    TDRouteSetSourceChannelGain(link.route, 64, 0.0f); // out of range: ignored
    schedule.run(link, producer, 0.05, [&](const std::vector<float>& chunk) { last = chunk; });
    EXPECT_EQ(last[0], 0.0f);
    EXPECT_NEAR(last[1], 0.25f * dcGain, 2e-4f);

    TDRouteSetSourceChannelGain(link.route, 0, 1.0f);
    TDRouteSetGain(link.route, 2.0f);
    schedule.run(link, producer, 0.05, [&](const std::vector<float>& chunk) { last = chunk; });
    EXPECT_NEAR(last[0], 0.5f * dcGain, 2e-4f);

    TDRouteSetMuted(link.route, true);
    const uint64_t consumedBefore =
        producer.position() - TDRingBufferAvailableToRead(TDRouteRing(link.route));
    schedule.run(link, producer, 0.1, [&](const std::vector<float>& chunk) { last = chunk; });
    const uint64_t consumedAfter = producer.position() - TDRingBufferAvailableToRead(TDRouteRing(link.route));
    EXPECT_EQ(last[0], 0.0f);
    EXPECT_EQ(last[1], 0.0f);
    EXPECT_GT(consumedAfter, consumedBefore + 4000) << "a muted route keeps consuming its ring";
}

// A route that is silenced for a second (muted, or gain 0) keeps consuming its ring and following its
// drift control, through an underrun too; unsilenced, it plays on sample for sample as a route that was
// never silenced.
TEST(Route, SilencedRoutePlaysOnSeamlesslyWhenUnsilenced) {
    struct Case {
        const char* name;
        void (*silence)(TDRoute*, bool);
    };
    const Case cases[] = {
        {"muted",
         [](TDRoute* r, bool on) {
             TDRouteSetMuted(r, on);
         }},
        {"master gain 0",
         [](TDRoute* r, bool on) {
             TDRouteSetGain(r, on ? 0.0f : 1.0f);
         }},
        {"source gains 0",
         [](TDRoute* r, bool on) {
             TDRouteSetSourceChannelGain(r, 0, on ? 0.0f : 1.0f);
             TDRouteSetSourceChannelGain(r, 1, on ? 0.0f : 1.0f);
         }},
    };
    // Long chunks drop all the history they read; short ones keep some of it across chunks.
    for (const auto& [c, chunk] :
         {std::pair{cases[0], 512u}, {cases[1], 512u}, {cases[2], 512u}, {cases[0], 12u}}) {
        struct Run {
            explicit Run(uint32_t chunk)
                : schedule{441, chunk, 80.0} {}
            Link link{2, 44100, 48000, 2, identity(2)};
            TestProducer producer{link.fanout, 2, 44100, sine(1000, 44100, 0.5f)};
            Schedule schedule;
            std::vector<float> heard;
            std::vector<TDRouteStats> stats;
            void play(double seconds, bool producing = true) {
                heard.clear();
                schedule.run(
                    link, producer, seconds,
                    [&](const std::vector<float>& chunk) {
                        heard.insert(heard.end(), chunk.begin(), chunk.end());
                        stats.push_back(link.stats());
                    },
                    producing);
            }
        };
        const auto sameStats = [](const std::vector<TDRouteStats>& a, const std::vector<TDRouteStats>& b) {
            return std::equal(
                a.begin(), a.end(), b.begin(), b.end(), [](const TDRouteStats& x, const TDRouteStats& y) {
                    return x.primed == y.primed && x.fill == y.fill && x.target == y.target &&
                           x.ratio == y.ratio && x.underruns == y.underruns && x.overruns == y.overruns;
                });
        };
        Run steady(chunk), silenced(chunk);
        steady.play(3.0);
        silenced.play(3.0);
        c.silence(silenced.link.route, true);
        bool quiet = true;
        for (const auto& [seconds, producing] : {std::pair{0.4, true}, {0.15, false}, {1.0, true}}) {
            steady.play(seconds, producing);
            silenced.play(seconds, producing);
            for (float s : silenced.heard) {
                quiet = quiet && s == 0.0f;
            }
        }
        EXPECT_TRUE(quiet) << c.name;
        EXPECT_TRUE(sameStats(silenced.stats, steady.stats)) << c.name << ": consumption and drift kept pace";
        EXPECT_EQ(silenced.link.stats().underruns, 1u) << c.name;

        c.silence(silenced.link.route, false);
        steady.play(0.5);
        silenced.play(0.5);
        ASSERT_EQ(silenced.heard.size(), steady.heard.size());
        EXPECT_EQ(silenced.heard, steady.heard) << c.name << ": no gap, no jump, the same samples";
        EXPECT_GT(*std::max_element(silenced.heard.begin(), silenced.heard.end()), 0.45f);
        EXPECT_TRUE(sameStats(silenced.stats, steady.stats)) << c.name;
    }
}

TEST(Route, DenormalInputRendersSilence) {
    Link link(2, 44100, 48000, 2, identity(2));
    TestProducer producer(link.fanout, 2, 44100,
                          [](uint64_t n, uint32_t c) { return (n + c) % 2 == 0 ? 1e-39f : -3e-40f; });
    Schedule schedule{441, 512};
    std::vector<float> last;
    schedule.run(link, producer, 0.5, [&](const std::vector<float>& chunk) { last = chunk; });
    ASSERT_TRUE(link.stats().primed);
    for (float s : last) {
        ASSERT_EQ(s, 0.0f);
    }
    EXPECT_EQ(TDDestinationPeak(link.destination, 0), 0.0f);
}

} // namespace
