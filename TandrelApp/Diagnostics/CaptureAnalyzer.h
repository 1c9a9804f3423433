// Listens to any producer without disturbing it: a ring of its own on the producer's fan-out, drained
// every 20 ms on a private queue and analysed in blocks of 50 ms (peak and RMS per channel, the amplitude
// of each probe frequency per channel), optionally recorded to an audio file. The capture lab meters and
// records with it; the self-tests measure captured and routed test tones with it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelApp/Engine/AudioRingBuffer.h"
#include "TandrelApp/Support/AppError.h"

class AudioFileWriter;

class CaptureAnalyzer : public std::enable_shared_from_this<CaptureAnalyzer> {
public:
    // The levels of one block, linear (full scale 1.0), one value per channel.
    struct Levels {
        std::vector<float> peak;
        std::vector<float> rms;
        bool operator==(const Levels&) const = default;
    };

    // A producer without channels, or slower than 20 Hz, cannot be analysed in blocks.
    class UnsupportedProducer : public AppError {
    public:
        using AppError::AppError;
    };

    // Reads the producer's channel count and rate once; does not attach yet. Throws UnsupportedProducer.
    // Own it through a shared_ptr: the drain timer holds it weakly.
    CaptureAnalyzer(std::shared_ptr<AudioProducer> producer, std::vector<double> probeFrequencies);
    // Detaches the ring once more and hands it to the delayed reclaim, since a producer still running may
    // be writing it at this moment.
    ~CaptureAnalyzer();
    CaptureAnalyzer(const CaptureAnalyzer&) = delete;
    CaptureAnalyzer& operator=(const CaptureAnalyzer&) = delete;

    // Attaches the ring to the producer's fan-out and drains it every 20 ms. Once per analyzer.
    void start();
    // Detaches the ring, stops the drain, analyses every whole block still in the ring and closes the
    // recording. Frames short of a block stay unanalysed.
    void stop();

    // Every block analysed from now on is appended to the file; replaces (and closes) a recording that
    // was open. Throws AudioFileWriter::FileError, and then changes nothing.
    void startRecording(const std::filesystem::path& path);
    void stopRecording();

    // Read on the analyzer's queue, so they see the state between two blocks. Never call them from it.
    Levels levels() const;
    uint64_t totalFramesConsumed() const;
    // channels × probes: each probe's amplitude averaged over the analysed blocks (0 before the first).
    std::vector<std::vector<double>> probeAmplitudesPerChannel() const;
    // One value per probe: the mean over the channels.
    std::vector<double> probeAmplitudes() const;

    const std::shared_ptr<AudioProducer>& producer() const { return producer_; }
    const std::vector<double>& probeFrequencies() const { return probeFrequencies_; }
    uint32_t channels() const { return channels_; }
    double sampleRate() const { return sampleRate_; }
    uint32_t blockFrames() const { return blockFrames_; }
    // The ring's capacity and the frames it refused because the drain fell behind.
    uint32_t ringCapacity() const;
    uint64_t droppedFrames() const;

private:
    void drain();
    void analyse(uint32_t frames);

    const std::shared_ptr<AudioProducer> producer_;
    const std::vector<double> probeFrequencies_;
    const uint32_t channels_;
    const double sampleRate_;
    const uint32_t blockFrames_;
    // Shared with the delayed reclaim, which frees it only when no producer can be writing it.
    const std::shared_ptr<AudioRingBuffer> ring_;
    const std::shared_ptr<DispatchQueue> queue_;
    std::unique_ptr<DispatchTimer> timer_;

    // Queue only.
    std::vector<float> scratch_;
    std::unique_ptr<AudioFileWriter> file_;
    uint64_t framesConsumed_ = 0;
    Levels currentLevels_;
    std::vector<std::vector<double>> probeSums_;
    int64_t probeBlocks_ = 0;
};
