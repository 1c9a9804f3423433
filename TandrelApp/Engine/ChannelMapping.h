// Which producer channel feeds which destination channel at what linear gain: the connection rules
// build it, the routing engine creates a route from it, and the controller compares mappings to
// decide when a route must be rebuilt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "TandrelApp/Support/HashCombine.h"

struct ChannelMapping {
    struct Entry {
        std::int64_t source = 0;      // 0-based channel of the producer
        std::int64_t destination = 0; // 0-based channel of the destination
        float gain = 1.0f;            // linear

        // +0 and -0 gains compare equal (and hash alike below).
        bool operator==(const Entry&) const = default;
    };

    // In the order in which they are applied; the order takes part in equality.
    std::vector<Entry> entries;

    bool operator==(const ChannelMapping&) const = default;
};

template <>
struct std::hash<ChannelMapping> {
    std::size_t operator()(const ChannelMapping& mapping) const noexcept {
        std::size_t seed = mapping.entries.size();
        for (const auto& entry : mapping.entries) {
            hashCombine(seed, std::hash<std::int64_t>{}(entry.source));
            hashCombine(seed, std::hash<std::int64_t>{}(entry.destination));
            hashCombine(seed, std::hash<float>{}(entry.gain == 0.0f ? 0.0f : entry.gain));
        }
        return seed;
    }
};
