// The capture analyzer against synthetic blocks pushed through a real fan-out: levels, probe amplitudes,
// whole-block consumption, the recording read back from disk, and the ring's release while the producer
// may still write.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <thread>
#include <vector>

#include <unistd.h>

#include <sndfile.h>

#include "Platform/Dispatch/DeferredWork.h"
#include "Support/Polling.h"
#include "TandrelApp/Diagnostics/AudioFileWriter.h"
#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Engine/AudioFanout.h"

namespace {

// A producer whose blocks the test writes itself.
class PushedProducer : public AudioProducer {
public:
    PushedProducer(uint32_t channels, double rate)
        : fanout_(std::max(channels, 1u))
        , channels_(channels)
        , rate_(rate) {}

    std::string producerName() const override { return "Pushed"; }
    AudioFanout& fanout() const override { return fanout_; }
    uint32_t channelCount() const override { return channels_; }
    double sampleRate() const override { return rate_; }

    // Writes `frames` frames of a sine per channel (amplitude 0 leaves a channel silent), continuing the
    // phase of earlier pushes, in blocks of `block` frames.
    void pushSine(double frequency, std::vector<float> amplitudes, uint32_t frames, uint32_t block = 480) {
        std::vector<float> samples;
        for (uint32_t done = 0; done < frames; done += block) {
            const uint32_t n = std::min(block, frames - done);
            samples.assign(size_t(n) * channels_, 0.0f);
            for (uint32_t i = 0; i < n; ++i, ++position_) {
                for (uint32_t c = 0; c < channels_; ++c) {
                    samples[size_t(i) * channels_ + c] =
                        amplitudes[c] *
                        float(std::sin(2 * std::numbers::pi * frequency * double(position_) / rate_));
                }
            }
            written_.insert(written_.end(), samples.begin(), samples.end());
            TDFanoutWriteInterleaved(fanout_.raw(), samples.data(), channels_, n, 0);
        }
    }

    const std::vector<float>& written() const { return written_; }

private:
    mutable AudioFanout fanout_;
    uint32_t channels_;
    double rate_;
    uint64_t position_ = 0;
    std::vector<float> written_;
};

std::filesystem::path temporaryFile(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("tandrel-analyzer-" + std::to_string(::getpid()) + "-" + name);
}

TEST(CaptureAnalyzer, BeforeTheFirstBlockEverythingIsZero) {
    auto producer = std::make_shared<PushedProducer>(2, 48000);
    auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{440, 1000});
    EXPECT_EQ(analyzer->blockFrames(), 2400u);
    EXPECT_EQ(analyzer->ringCapacity(), 65536u);
    EXPECT_EQ(analyzer->levels(), (CaptureAnalyzer::Levels{{0, 0}, {0, 0}}));
    EXPECT_EQ(analyzer->totalFramesConsumed(), 0u);
    EXPECT_EQ(analyzer->probeAmplitudesPerChannel(), (std::vector<std::vector<double>>{{0, 0}, {0, 0}}));
    EXPECT_EQ(analyzer->probeAmplitudes(), (std::vector<double>{0, 0}));

    auto withoutProbes = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{});
    withoutProbes->start();
    producer->pushSine(440, {0.2f, 0.2f}, 4800);
    withoutProbes->stop();
    EXPECT_EQ(withoutProbes->totalFramesConsumed(), 4800u);
    EXPECT_TRUE(withoutProbes->probeAmplitudes().empty());
    EXPECT_EQ(withoutProbes->probeAmplitudesPerChannel(), (std::vector<std::vector<double>>{{}, {}}));
}

TEST(CaptureAnalyzer, SteadySineGivesItsPeakAmplitudeAndRms) {
    auto producer = std::make_shared<PushedProducer>(2, 48000);
    auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{440, 1000});
    analyzer->start();
    // Pushed in blocks of 480 frames that do not line up with the analyzer's 2400.
    producer->pushSine(440, {0.2f, 0.2f}, 48000 / 2 + 1000);
    analyzer->stop();

    EXPECT_EQ(analyzer->totalFramesConsumed(), 24000u) << "only whole blocks of 2400 frames are analysed";
    const auto perChannel = analyzer->probeAmplitudesPerChannel();
    for (const auto& channel : perChannel) {
        EXPECT_NEAR(channel[0], 0.2, 1e-4);
        EXPECT_LT(channel[1], 1e-4) << "1000 Hz is absent";
    }
    const auto overall = analyzer->probeAmplitudes();
    EXPECT_NEAR(overall[0], 0.2, 1e-4);
    const auto levels = analyzer->levels();
    for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(levels.peak[c], 0.2, 0.2 * 0.001);
        EXPECT_NEAR(levels.rms[c], 0.2 / std::sqrt(2.0), 1e-4);
    }
}

TEST(CaptureAnalyzer, OneChannelOfTwoHalvesTheOverallProbe) {
    auto producer = std::make_shared<PushedProducer>(2, 48000);
    auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{1000});
    analyzer->start();
    producer->pushSine(1000, {0.3f, 0.0f}, 9600);
    analyzer->stop();
    const auto perChannel = analyzer->probeAmplitudesPerChannel();
    EXPECT_NEAR(perChannel[0][0], 0.3, 1e-4);
    EXPECT_NEAR(perChannel[1][0], 0.0, 1e-6);
    EXPECT_NEAR(analyzer->probeAmplitudes()[0], 0.15, 1e-4);
}

TEST(CaptureAnalyzer, StopAnalysesWholeBlocksOnlyAndFramesBeforeStartAreNotHeard) {
    auto producer = std::make_shared<PushedProducer>(1, 48000);
    auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{440});
    producer->pushSine(440, {0.5f}, 4800); // before start(): no ring attached yet
    analyzer->start();
    producer->pushSine(440, {0.2f}, 3600); // one and a half blocks
    analyzer->stop();
    EXPECT_EQ(analyzer->totalFramesConsumed(), 2400u);
    EXPECT_NEAR(analyzer->levels().peak[0], 0.2, 0.001);

    // Stopped: later audio is not analysed, and the results stay readable.
    producer->pushSine(440, {0.2f}, 4800);
    EXPECT_EQ(analyzer->totalFramesConsumed(), 2400u);
    EXPECT_NEAR(analyzer->probeAmplitudes()[0], 0.2, 1e-3);
}

TEST(CaptureAnalyzer, RecordingHoldsExactlyTheAnalysedBlocks) {
    const auto path = temporaryFile("record.wav");
    auto producer = std::make_shared<PushedProducer>(2, 48000);
    auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{});
    analyzer->startRecording(path); // before start(): begins with the first analysed block
    analyzer->start();
    producer->pushSine(440, {0.5f, -0.25f}, 6000); // 2.5 blocks
    analyzer->stop();                              // closes the file; the half block is not in it

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, 4800);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    std::vector<float> read(size_t(info.frames) * 2);
    EXPECT_EQ(sf_readf_float(file, read.data(), info.frames), info.frames);
    sf_close(file);
    const auto& written = producer->written();
    double worst = 0;
    for (size_t i = 0; i < read.size(); ++i) {
        worst = std::max(worst, double(std::abs(read[i] - written[i])));
    }
    EXPECT_LT(worst, 2.0 / 8388608) << "24-bit quantisation only";
    std::filesystem::remove(path);
}

TEST(CaptureAnalyzer, ARecordingThatCannotBeOpenedChangesNothing) {
    auto producer = std::make_shared<PushedProducer>(2, 48000);
    auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{});
    EXPECT_THROW(analyzer->startRecording("/nonexistent-folder/take.wav"), AudioFileWriter::FileError);
    EXPECT_THROW(analyzer->startRecording(temporaryFile("take.mp3")), AudioFileWriter::FileError);
    EXPECT_FALSE(std::filesystem::exists(temporaryFile("take.mp3")));
    analyzer->start();
    producer->pushSine(440, {0.2f, 0.2f}, 2400);
    analyzer->stop();
    EXPECT_EQ(analyzer->totalFramesConsumed(), 2400u);
}

TEST(CaptureAnalyzer, ProducersItCannotAnalyseAreRefused) {
    EXPECT_THROW(CaptureAnalyzer(std::make_shared<PushedProducer>(0, 48000), {}),
                 CaptureAnalyzer::UnsupportedProducer);
    EXPECT_THROW(CaptureAnalyzer(std::make_shared<PushedProducer>(2, 10), {}),
                 CaptureAnalyzer::UnsupportedProducer);
    EXPECT_THROW(CaptureAnalyzer(std::make_shared<PushedProducer>(2, std::nan("")), {}),
                 CaptureAnalyzer::UnsupportedProducer);
}

TEST(CaptureAnalyzer, ReleasedWhileTheProducerWritesItsRingOutlivesTheReclaimDelay) {
    auto producer = std::make_shared<PushedProducer>(2, 48000);
    std::atomic<bool> writing{true};
    std::vector<float> block(480 * 2, 0.1f);
    // The producer's callback keeps writing while the analyzer goes away.
    std::thread writer([&] {
        while (writing.load()) {
            TDFanoutWriteInterleaved(producer->fanout().raw(), block.data(), 2, 480, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    DeferredWork::runPendingNow(); // what earlier cases left to reclaim
    const size_t pendingBefore = DeferredWork::pendingCount();
    {
        auto analyzer = std::make_shared<CaptureAnalyzer>(producer, std::vector<double>{440});
        analyzer->start();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } // released without stop(); a drain running now may hold it a moment longer
    EXPECT_TRUE(Polling::waitFor([&] { return DeferredWork::pendingCount() > pendingBefore; },
                                 std::chrono::milliseconds(500)))
        << "the ring waits for the reclaim delay";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writing = false;
    writer.join();
}

} // namespace
