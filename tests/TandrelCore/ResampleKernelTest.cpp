#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "CoreTestSupport.h"
#include "TandrelCore/CoreInternal.h"

namespace {

using tdcore::ResampleIsa;

std::vector<ResampleIsa> vectorIsas() {
    std::vector<ResampleIsa> isas;
    for (ResampleIsa isa : tdcore::kResampleIsas) {
        if (isa != ResampleIsa::Scalar && tdcore::resampleKernel(isa) != nullptr) {
            isas.push_back(isa);
        }
    }
    return isas;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

size_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    for (size_t n = 0; n < std::min(a.size(), b.size()); ++n) {
        if (std::memcmp(&a[n], &b[n], sizeof(float)) != 0) {
            return n;
        }
    }
    return std::min(a.size(), b.size());
}

// One random chunk as the route would hand it to a kernel: a history holding what the chunk reads, a
// position within the first frame past the half width, and either the interleaved output or a diagonal
// fold into a mix that already holds audio.
struct Chunk {
    uint32_t halfWidth, taps, channels, frames, mixChannels;
    double ratio, position;
    bool fold;
    std::vector<float> table, history, planar, gains, target;

    explicit Chunk(std::mt19937& random) {
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const double nominal = std::exp(std::log(0.18) + unit(random) * std::log(4.2 / 0.18));
        ratio = nominal * (1.0 + (unit(random) - 0.5) * 0.01);
        halfWidth = 8 * static_cast<uint32_t>(std::min(std::ceil(nominal), 4.0));
        taps = 2 * halfWidth;
        channels = 1 + random() % 8;
        frames = 1 + random() % 700;
        position = halfWidth - 1 + unit(random);
        if (unit(random) < 0.1) {
            position = halfWidth - 1; // an exact frame: phase 0, blend 0
        }
        fold = random() % 2 == 0;
        mixChannels = 1 + random() % 8;

        table.resize((tdcore::kPhases + 1) * taps);
        tdcore::fillFilterTable(table.data(), halfWidth, taps, nominal > 1 ? 0.92 / nominal : 0.92);
        const uint32_t historyFrames =
            halfWidth + static_cast<uint32_t>(std::floor(position + (frames - 1) * ratio)) + 1;
        history.resize(static_cast<size_t>(historyFrames) * channels);
        std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
        for (float& s : history) {
            const uint32_t kind = random() % 50;
            s = kind == 0 ? 0.0f : kind == 1 ? -0.0f : kind == 2 ? 1e-39f * sample(random) : sample(random);
        }
        planar.assign(static_cast<size_t>(historyFrames + tdcore::kPlanarSlack) * channels, 0.0f);
        gains.resize(channels);
        for (uint32_t c = 0; c < channels; ++c) {
            gains[c] = c >= mixChannels || random() % 4 == 0 ? 0.0f : sample(random) * 2;
        }
        if (fold) {
            target.resize(static_cast<size_t>(frames) * mixChannels);
            for (float& s : target) {
                s = sample(random);
            }
        } else {
            target.assign(static_cast<size_t>(frames) * channels, 0.0f);
        }
    }

    std::vector<float> run(ResampleIsa isa) {
        std::vector<float> out = target;
        tdcore::ResampleJob job;
        job.history = history.data();
        job.historyFrames = static_cast<uint32_t>(history.size() / channels);
        job.planar = planar.data();
        job.planarStride = job.historyFrames + tdcore::kPlanarSlack;
        job.table = table.data();
        job.halfWidth = halfWidth;
        job.taps = taps;
        job.channels = channels;
        job.position = position;
        job.ratio = ratio;
        job.frames = frames;
        if (fold) {
            job.mix = out.data();
            job.mixChannels = mixChannels;
            job.gains = gains.data();
        } else {
            job.output = out.data();
        }
        tdcore::resampleKernel(isa)(job);
        return out;
    }
};

TEST(ResampleKernel, EveryFormMatchesTheScalarReferenceBitForBit) {
    const auto isas = vectorIsas();
    if (isas.empty()) {
        GTEST_SKIP() << "this processor offers no vector form";
    }
    std::mt19937 random(20261209);
    for (int trial = 0; trial < 1500; ++trial) {
        Chunk chunk(random);
        // Half the trials under the render call's float mode, where denormal history reads as zero.
        const bool flushed = trial % 2 == 1;
        std::vector<float> reference;
        std::vector<std::vector<float>> vectorised;
        {
            std::optional<tdcore::DenormalsAreZero> mode;
            if (flushed) {
                mode.emplace();
            }
            reference = chunk.run(ResampleIsa::Scalar);
            for (ResampleIsa isa : isas) {
                vectorised.push_back(chunk.run(isa));
            }
        }
        for (size_t v = 0; v < isas.size(); ++v) {
            ASSERT_TRUE(sameBits(reference, vectorised[v]))
                << tdcore::resampleIsaName(isas[v]) << " trial " << trial << ": ratio " << chunk.ratio
                << ", position " << chunk.position << ", " << chunk.channels << " channels, " << chunk.frames
                << " frames, " << (chunk.fold ? "folded into the mix" : "to the output")
                << ", first difference at " << firstDifference(reference, vectorised[v]);
        }
    }
}

// A producer and a destination on their own clocks, one route between them, its kernel forced.
struct Stream {
    double sourceRate, destinationRate;
    uint32_t channels, destinationChannels, block, chunk;
    double ppm;
    std::vector<TDMatrixEntry> entries;
};

std::vector<float> renderStream(const Stream& s, ResampleIsa isa, double seconds) {
    TDFanout* fanout = TDFanoutCreate(s.channels);
    TDRoute* route = TDRouteCreate(s.channels, 4096, s.entries.data(),
                                   static_cast<uint32_t>(s.entries.size()), s.sourceRate, s.destinationRate);
    TDDestination* destination = TDDestinationCreate(s.destinationChannels, 4096, false);
    EXPECT_TRUE(tdcore::routeUseKernel(route, isa));
    TDFanoutAdd(fanout, TDRouteRing(route));
    TDPlanFree(TDDestinationSetRoutes(destination, &route, 1));
    TestProducer producer(fanout, s.channels, s.sourceRate, [](uint64_t n, uint32_t c) {
        const double t = static_cast<double>(n);
        return static_cast<float>(0.4 * std::sin(0.031 * t * (c + 1)) + 0.2 * std::sin(0.0007 * t * t));
    });
    std::vector<float> rendered;
    DeviceBuffers out({s.destinationChannels}, s.chunk);
    uint64_t writes = 0, renders = 0;
    const uint64_t end = kSecond + static_cast<uint64_t>(seconds * kSecond);
    while (true) {
        const uint64_t nextWrite = kSecond + ticksFor(static_cast<double>(writes) * s.block, s.sourceRate);
        const uint64_t nextRender = kSecond + ticksFor(static_cast<double>(renders) * s.chunk,
                                                       s.destinationRate * (1 + s.ppm * 1e-6));
        const uint64_t at = std::min(nextWrite, nextRender);
        if (at >= end) {
            break;
        }
        if (nextWrite <= nextRender) {
            producer.write(s.block, at);
            ++writes;
        } else {
            TDDestinationRender(destination, out.list(), s.chunk, at);
            rendered.insert(rendered.end(), out.buffer(0).begin(), out.buffer(0).end());
            ++renders;
        }
    }
    TDDestinationDestroy(destination);
    TDFanoutRemove(fanout, TDRouteRing(route));
    TDRouteDestroy(route);
    TDFanoutDestroy(fanout);
    return rendered;
}

TEST(ResampleKernel, RoutesOnEveryFormRenderTheSameStream) {
    const auto isas = vectorIsas();
    if (isas.empty()) {
        GTEST_SKIP() << "this processor offers no vector form";
    }
    std::mt19937 random(1209);
    const double rates[] = {8000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
    for (int trial = 0; trial < 12; ++trial) {
        Stream s;
        s.sourceRate = rates[random() % std::size(rates)];
        s.destinationRate = rates[random() % std::size(rates)];
        s.channels = 1 + random() % 8;
        s.destinationChannels = 1 + random() % 8;
        s.block = 64 + random() % 1024;
        s.chunk = 16 + random() % 1100;
        s.ppm = static_cast<double>(static_cast<int>(random() % 801) - 400);
        // Identity, a diagonal with gains, or a matrix that fans and crosses channels.
        const uint32_t shape = trial % 3;
        for (uint16_t c = 0; c < s.channels; ++c) {
            if (shape == 0) {
                s.entries.push_back({c, c, 1.0f});
            } else if (shape == 1) {
                s.entries.push_back({c, c, 0.25f + 0.125f * c});
            } else {
                s.entries.push_back({c, static_cast<uint16_t>((c + 1) % s.destinationChannels), 0.5f});
                s.entries.push_back({c, static_cast<uint16_t>(c % s.destinationChannels), 0.7f});
            }
        }
        const std::vector<float> reference = renderStream(s, ResampleIsa::Scalar, 1.5);
        bool audible = false;
        for (float x : reference) {
            audible = audible || x != 0.0f;
        }
        ASSERT_TRUE(audible) << "trial " << trial;
        for (ResampleIsa isa : isas) {
            const std::vector<float> vectorised = renderStream(s, isa, 1.5);
            ASSERT_TRUE(sameBits(reference, vectorised))
                << tdcore::resampleIsaName(isa) << " trial " << trial << ": " << s.sourceRate << " → "
                << s.destinationRate << " Hz, " << s.channels << " → " << s.destinationChannels
                << " channels, matrix shape " << shape << ", " << s.ppm << " ppm, first difference at "
                << firstDifference(reference, vectorised);
        }
    }
}

TEST(ResampleKernel, RoutesWithEqualFilterParametersShareOneTable) {
    const uint32_t before = tdcore::liveFilterTables();
    TDRoute* a = TDRouteCreate(2, 512, nullptr, 0, 44100, 48000);
    TDRoute* b = TDRouteCreate(8, 4096, nullptr, 0, 44100, 48000);
    TDRoute* c = TDRouteCreate(2, 512, nullptr, 0, 96000, 48000);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(tdcore::routeShape(a).table, tdcore::routeShape(b).table);
    EXPECT_NE(tdcore::routeShape(a).table, tdcore::routeShape(c).table);
    EXPECT_EQ(tdcore::liveFilterTables(), before + 2);

    std::vector<float> expected((tdcore::kPhases + 1) * 16);
    tdcore::fillFilterTable(expected.data(), 8, 16, 0.92);
    EXPECT_EQ(std::memcmp(expected.data(), tdcore::routeShape(a).table, expected.size() * sizeof(float)), 0);

    TDRouteDestroy(a);
    EXPECT_EQ(tdcore::liveFilterTables(), before + 2) << "b still holds it";
    TDRouteDestroy(b);
    TDRouteDestroy(c);
    EXPECT_EQ(tdcore::liveFilterTables(), before);
}

} // namespace
