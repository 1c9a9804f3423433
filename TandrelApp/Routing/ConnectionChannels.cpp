// The channel rules of a connection: which source channels feed which destination channels, and the
// four-bit route mask the matrix cell shows. Arithmetic is signed and saturating, so a source without
// channels or a hand-edited channel number can never wrap around.
#include <algorithm>
#include <limits>

#include "TandrelApp/Routing/RoutingConfig.h"

namespace {

std::int64_t plus(std::int64_t value, std::int64_t offset) {
    if (value > std::numeric_limits<std::int64_t>::max() - offset) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return value + offset;
}

// The first channel of the source pair that holds `sourceChannel` (0 and 1 give 0, 2 and 3 give 2).
std::int64_t pairStart(std::int64_t sourceChannel) {
    return sourceChannel - sourceChannel % 2;
}

std::int64_t clampedSourceChannel(std::int64_t sourceChannels, std::int64_t sourceChannel) {
    return std::min(sourceChannels - 1, std::max<std::int64_t>(sourceChannel, 0));
}

ChannelMapping dualMono(std::int64_t s, std::int64_t d0, std::int64_t d1) {
    return {{{s, d0, 1.0f}, {s, d1, 1.0f}}};
}

ChannelMapping widthOneMapping(const Connection& connection, std::int64_t sourceChannels) {
    std::int64_t s = sourceChannels < 2 ? 0 : clampedSourceChannel(sourceChannels, connection.sourceChannel);
    if (connection.monoMix && s + 1 < sourceChannels) {
        return {{{s, connection.pair, 0.5f}, {s + 1, connection.pair, 0.5f}}};
    }
    return {{{s, connection.pair, 1.0f}}};
}

ChannelMapping maskedMapping(const Connection& connection, std::int64_t mask, std::int64_t sourceChannels) {
    std::int64_t last = sourceChannels < 2 ? 0 : sourceChannels - 1;
    // A negative channel from a hand-edited file starts at the first channel rather than naming
    // channels that do not exist.
    std::int64_t base = std::min(last, std::max<std::int64_t>(pairStart(connection.sourceChannel), 0));

    ChannelMapping mapping;
    for (const auto& row : Connection::routeBits) {
        if ((mask & row.bit) == 0 || row.destinationOffset >= connection.width) {
            continue;
        }
        std::int64_t source = base + row.sourceOffset;
        if (source < sourceChannels) {
            mapping.entries.push_back({source, plus(connection.pair, row.destinationOffset), 1.0f});
        }
    }
    for (auto& entry : mapping.entries) {
        auto sharing = std::count_if(mapping.entries.begin(), mapping.entries.end(), [&](const auto& other) {
            return other.destination == entry.destination;
        });
        entry.gain = 1.0f / static_cast<float>(sharing);
    }
    return mapping;
}

} // namespace

ChannelMapping channelMapping(MappingMode mode, std::uint32_t sourceChannels, std::int64_t sourceChannel,
                              std::int64_t toPair) {
    if (sourceChannels == 0) {
        return {};
    }
    std::int64_t count = sourceChannels;
    std::int64_t s = clampedSourceChannel(count, sourceChannel);
    bool hasNeighbour = s + 1 < count;
    std::int64_t d0 = toPair;
    std::int64_t d1 = plus(toPair, 1);

    switch (mode) {
    case MappingMode::automatic:
    case MappingMode::stereo:
        // Automatic on the last channel of a wider source falls back like stereo: the channel after
        // it does not exist.
        return hasNeighbour ? ChannelMapping{{{s, d0, 1.0f}, {s + 1, d1, 1.0f}}} : dualMono(s, d0, d1);
    case MappingMode::swapped:
        return hasNeighbour ? ChannelMapping{{{s + 1, d0, 1.0f}, {s, d1, 1.0f}}} : dualMono(s, d0, d1);
    case MappingMode::dualMono:
        break;
    }
    return dualMono(s, d0, d1);
}

ChannelMapping Connection::channelMapping(std::uint32_t sourceChannels) const {
    if (sourceChannels == 0) {
        return {};
    }
    if (routeMask) {
        return maskedMapping(*this, *routeMask, sourceChannels);
    }
    if (width == 1) {
        return widthOneMapping(*this, sourceChannels);
    }
    return ::channelMapping(mode, sourceChannels, sourceChannel, pair);
}

std::int64_t Connection::routeMaskFor(std::uint32_t sourceChannels) const {
    if (routeMask) {
        return *routeMask;
    }
    std::int64_t base = pairStart(sourceChannel);
    std::int64_t mask = 0;
    for (const auto& entry : channelMapping(sourceChannels).entries) {
        for (const auto& row : routeBits) {
            if (entry.source == base + row.sourceOffset &&
                entry.destination == plus(pair, row.destinationOffset)) {
                mask |= row.bit;
                break;
            }
        }
    }
    return mask;
}
