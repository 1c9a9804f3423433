#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "TandrelApp/Routing/RoutingConfig.h"

namespace {

using Entries = std::vector<ChannelMapping::Entry>;

std::string describe(const ChannelMapping& mapping) {
    std::string text;
    for (const auto& e : mapping.entries) {
        text += "(" + std::to_string(e.source) + "->" + std::to_string(e.destination) + " " +
                std::to_string(e.gain) + ") ";
    }
    return text.empty() ? "(empty)" : text;
}

Connection connection(std::int64_t width, MappingMode mode, std::int64_t sourceChannel, bool monoMix,
                      std::optional<std::int64_t> mask, std::int64_t pair = 4) {
    Connection c;
    c.id = UUID::random();
    c.from = Endpoint::line("L");
    c.toDeviceUID = "Out";
    c.pair = pair;
    c.width = width;
    c.mode = mode;
    c.sourceChannel = sourceChannel;
    c.monoMix = monoMix;
    c.routeMask = mask;
    return c;
}

} // namespace

TEST(ConnectionChannels, ModeMappingTable) {
    struct Row {
        MappingMode mode;
        std::uint32_t channels;
        std::int64_t sourceChannel;
        Entries expected; // destination pair starts at 6
    };
    using M = MappingMode;
    const Row rows[] = {
        {M::automatic, 1, 0, {{0, 6, 1}, {0, 7, 1}}},
        {M::automatic, 1, 3, {{0, 6, 1}, {0, 7, 1}}},
        {M::automatic, 2, 0, {{0, 6, 1}, {1, 7, 1}}},
        {M::automatic, 6, 2, {{2, 6, 1}, {3, 7, 1}}},
        // The last channel of a wider source has no channel after it: both sides get it.
        {M::automatic, 2, 1, {{1, 6, 1}, {1, 7, 1}}},
        {M::automatic, 4, 9, {{3, 6, 1}, {3, 7, 1}}},
        {M::stereo, 2, 0, {{0, 6, 1}, {1, 7, 1}}},
        {M::stereo, 4, 5, {{3, 6, 1}, {3, 7, 1}}},
        {M::stereo, 1, 0, {{0, 6, 1}, {0, 7, 1}}},
        {M::stereo, 4, -2, {{0, 6, 1}, {1, 7, 1}}},
        {M::swapped, 2, 0, {{1, 6, 1}, {0, 7, 1}}},
        {M::swapped, 3, 1, {{2, 6, 1}, {1, 7, 1}}},
        {M::swapped, 1, 0, {{0, 6, 1}, {0, 7, 1}}},
        {M::dualMono, 8, 5, {{5, 6, 1}, {5, 7, 1}}},
        {M::dualMono, 1, 0, {{0, 6, 1}, {0, 7, 1}}},
    };
    for (const auto& row : rows) {
        ChannelMapping mapping = channelMapping(row.mode, row.channels, row.sourceChannel, 6);
        EXPECT_EQ(mapping, ChannelMapping{row.expected})
            << rawValue(row.mode) << " channels " << row.channels << " from " << row.sourceChannel << ": "
            << describe(mapping);
    }
}

TEST(ConnectionChannels, ConnectionMappingTable) {
    struct Row {
        const char* name;
        Connection connection;
        std::uint32_t channels;
        Entries expected; // pair starts at 4
    };
    using M = MappingMode;
    const Row rows[] = {
        {"width 2 follows the mode", connection(2, M::swapped, 0, true, {}), 2, {{1, 4, 1}, {0, 5, 1}}},
        {"width 1 mono mix", connection(1, M::stereo, 0, true, {}), 2, {{0, 4, 0.5f}, {1, 4, 0.5f}}},
        {"width 1 without mono mix", connection(1, M::stereo, 1, false, {}), 4, {{1, 4, 1}}},
        {"width 1 mono mix on the last channel", connection(1, M::stereo, 3, true, {}), 4, {{3, 4, 1}}},
        {"width 1 on a mono source", connection(1, M::swapped, 5, true, {}), 1, {{0, 4, 1}}},
        {"mask 15 stereo",
         connection(2, M::automatic, 0, true, 15),
         2,
         {{0, 4, 0.5f}, {0, 5, 0.5f}, {1, 4, 0.5f}, {1, 5, 0.5f}}},
        {"mask 15 mono source", connection(2, M::automatic, 0, true, 15), 1, {{0, 4, 1}, {0, 5, 1}}},
        {"mask 9 ignores the mode", connection(2, M::swapped, 0, false, 9), 2, {{0, 4, 1}, {1, 5, 1}}},
        {"mask 6", connection(2, M::stereo, 1, true, 6), 2, {{0, 5, 1}, {1, 4, 1}}},
        {"mask 5 shares the left channel",
         connection(2, M::stereo, 0, true, 5),
         2,
         {{0, 4, 0.5f}, {1, 4, 0.5f}}},
        {"mask 10 on width 1 fits no row", connection(1, M::stereo, 0, true, 10), 2, {}},
        {"mask 5 on width 1", connection(1, M::stereo, 0, false, 5), 2, {{0, 4, 0.5f}, {1, 4, 0.5f}}},
        {"mask 0", connection(2, M::stereo, 0, true, 0), 2, {}},
        {"mask uses the even pair start", connection(2, M::stereo, 3, true, 9), 6, {{2, 4, 1}, {3, 5, 1}}},
        {"mask base limited by the channels",
         connection(2, M::stereo, 3, true, 15),
         3,
         {{2, 4, 1}, {2, 5, 1}}},
        {"mask with a negative channel starts at 0",
         connection(2, M::stereo, -3, true, 9),
         2,
         {{0, 4, 1}, {1, 5, 1}}},
        {"mask bits above 8 mean nothing", connection(2, M::stereo, 0, true, 16 | 1), 2, {{0, 4, 1}}},
    };
    for (const auto& row : rows) {
        ChannelMapping mapping = row.connection.channelMapping(row.channels);
        EXPECT_EQ(mapping, ChannelMapping{row.expected}) << row.name << ": " << describe(mapping);
    }
}

TEST(ConnectionChannels, RouteMaskTable) {
    struct Row {
        const char* name;
        Connection connection;
        std::uint32_t channels;
        std::int64_t mask;
    };
    using M = MappingMode;
    const Row rows[] = {
        {"stereo", connection(2, M::stereo, 0, true, {}), 2, 9},
        {"stereo on 8 channels", connection(2, M::stereo, 0, true, {}), 8, 9},
        {"swapped", connection(2, M::swapped, 0, true, {}), 2, 6},
        {"dual mono", connection(2, M::dualMono, 0, true, {}), 2, 3},
        {"automatic mono", connection(2, M::automatic, 0, true, {}), 1, 3},
        {"automatic stereo", connection(2, M::automatic, 0, true, {}), 2, 9},
        {"stereo mono source", connection(2, M::stereo, 0, true, {}), 1, 3},
        {"swapped mono source", connection(2, M::swapped, 0, true, {}), 1, 3},
        {"width 1 mono mix", connection(1, M::stereo, 0, true, {}), 2, 5},
        {"width 1 plain", connection(1, M::stereo, 0, false, {}), 2, 1},
        {"width 1 mono mix from channel 1 of 3", connection(1, M::stereo, 1, true, {}), 3, 4},
        {"odd source channel", connection(2, M::stereo, 1, true, {}), 4, 4},
        {"stored mask wins", connection(1, M::stereo, 0, true, 10), 2, 10},
        {"stored zero", connection(2, M::stereo, 0, true, 0), 2, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.connection.routeMaskFor(row.channels), row.mask) << row.name;
    }
}

TEST(ConnectionChannels, SourceWithoutChannelsMapsNothing) {
    for (MappingMode mode : allMappingModes) {
        EXPECT_TRUE(channelMapping(mode, 0, 0, 0).entries.empty());
        for (std::int64_t width : {1, 2}) {
            Connection derived = connection(width, mode, 1, true, {});
            EXPECT_TRUE(derived.channelMapping(0).entries.empty());
            EXPECT_EQ(derived.routeMaskFor(0), 0);
            EXPECT_TRUE(connection(width, mode, 1, true, 15).channelMapping(0).entries.empty());
        }
    }
}

TEST(ConnectionChannels, ExtremeChannelNumbersDoNotWrap) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    Connection huge = connection(2, MappingMode::stereo, max, true, {}, max);
    ChannelMapping mapping = huge.channelMapping(2);
    ASSERT_EQ(mapping.entries.size(), 2u);
    EXPECT_EQ(mapping.entries[0].source, 1);
    EXPECT_EQ(mapping.entries[1].destination, max);
    EXPECT_NO_FATAL_FAILURE(huge.routeMaskFor(2));
    Connection tiny = connection(2, MappingMode::stereo, min, true, {});
    EXPECT_EQ(tiny.channelMapping(2), (ChannelMapping{{{0, 4, 1}, {1, 5, 1}}}));
    EXPECT_EQ(connection(2, MappingMode::stereo, min, true, 15).channelMapping(2).entries.size(), 4u);
}

TEST(ConnectionChannels, EveryMaskStaysInsideTheSourceAndThePair) {
    for (std::int64_t mask = 0; mask < 16; ++mask) {
        for (std::int64_t width : {1, 2}) {
            for (std::uint32_t channels : {1u, 2u, 3u, 6u}) {
                for (std::int64_t sourceChannel = 0; sourceChannel < 6; ++sourceChannel) {
                    Connection c = connection(width, MappingMode::stereo, sourceChannel, true, mask);
                    ChannelMapping mapping = c.channelMapping(channels);
                    std::map<std::int64_t, float> gainPerDestination;
                    for (const auto& e : mapping.entries) {
                        EXPECT_GE(e.source, 0);
                        EXPECT_LT(e.source, channels);
                        EXPECT_GE(e.destination, c.pair);
                        EXPECT_LT(e.destination, c.pair + width);
                        gainPerDestination[e.destination] += e.gain;
                    }
                    for (const auto& [destination, sum] : gainPerDestination) {
                        EXPECT_FLOAT_EQ(sum, 1.0f) << "mask " << mask << " destination " << destination;
                    }
                    EXPECT_EQ(c.routeMaskFor(channels), mask);
                }
            }
        }
    }
}
