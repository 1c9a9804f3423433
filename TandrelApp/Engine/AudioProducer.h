// What everything that feeds audio into the routing engine offers: a name, the fan-out it writes every
// block into, and the channel count and rate of those blocks. Input devices, capture sources, output
// destinations and the self-tests' tone producers implement it; the engine starts routes from it.
#pragma once

#include <cstdint>
#include <string>

class AudioFanout;

class AudioProducer {
public:
    virtual ~AudioProducer() = default;

    virtual std::string producerName() const = 0;
    // The same object for the producer's whole life.
    virtual AudioFanout& fanout() const = 0;
    virtual uint32_t channelCount() const = 0;
    virtual double sampleRate() const = 0;
};
