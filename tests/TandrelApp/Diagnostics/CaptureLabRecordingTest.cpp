// The capture lab against the emulated platform: a simulated application playing 1 kHz at -20 dBFS is
// captured through each backend and recorded into the music folder the desktop names, and the WAV file
// read back holds that tone at that level.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include <QTemporaryDir>
#include <qcoro/qcorotask.h>
#include <sndfile.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Diagnostics/CaptureLabViewModel.h"
#include "TandrelApp/Engine/CaptureTestSupport.h"

namespace {

namespace fs = std::filesystem;
using CaptureTestSupport::amplitudeAt;
using CaptureTestSupport::waitFor;

const double kToneAmplitude = std::pow(10.0, -20.0 / 20); // the built-in Tone Player: 1 kHz at -20 dBFS
const auto kTonePlayer = CaptureTarget::application("org.example.toneplayer", "Tone Player");

struct Recording {
    SF_INFO info{};
    std::vector<std::vector<float>> channels;
};

Recording readBack(const fs::path& path) {
    Recording recording;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &recording.info);
    if (file == nullptr) {
        return recording;
    }
    std::vector<float> interleaved(size_t(recording.info.frames) * size_t(recording.info.channels));
    sf_readf_float(file, interleaved.data(), recording.info.frames);
    sf_close(file);
    recording.channels.resize(size_t(recording.info.channels));
    for (size_t i = 0; i < interleaved.size(); ++i) {
        recording.channels[i % recording.channels.size()].push_back(interleaved[i]);
    }
    return recording;
}

float peakOf(const std::vector<float>& samples) {
    float peak = 0;
    for (float x : samples) {
        peak = std::max(peak, std::abs(x));
    }
    return peak;
}

class CaptureLabRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::path(scratch.path().toStdString());
        server = AudioServer::start(
            {.profile = std::nullopt, .home = home / "server", .plugIns = std::vector<fs::path>{}});
        // The desktop's music folder, where the user's folders file puts it.
        std::ofstream(fs::path(config.path().toStdString()) / "user-dirs.dirs")
            << "XDG_MUSIC_DIR=\"" << (home / "Musik").string() << "\"\n";
    }
    void TearDown() override {
        server.reset();
        AudioServer::stop();
    }

    QTemporaryDir scratch;
    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    fs::path home;
    std::shared_ptr<AudioServer> server;
    // The files the model asked the file manager to show. The file manager's own ways of showing a file
    // are tested on their own; a process started here would only blind ThreadSanitizer to this thread.
    std::vector<fs::path> revealed;
    std::shared_ptr<CaptureLabModel> makeModel() {
        CaptureLabModel::Environment environment;
        environment.reveal = [this](const fs::path& file, std::function<void(bool)> done) {
            revealed.push_back(file);
            done(true);
        };
        return std::make_shared<CaptureLabModel>(std::move(environment));
    }
};

TEST_F(CaptureLabRecordingTest, ARecordedApplicationHoldsItsToneAtItsLevelThroughEitherBackend) {
    for (auto mode : {CaptureMode::processTap, CaptureMode::screenCaptureKit}) {
        SCOPED_TRACE(std::string(rawValue(mode)));
        auto model = makeModel();
        model->setMode(mode);
        QCoro::waitFor(model->toggle(kTonePlayer));
        ASSERT_TRUE(model->isCapturing(kTonePlayer)) << model->message().value_or("");
        auto capture = model->capture(kTonePlayer);
        EXPECT_EQ(capture->source()->backend(), mode == CaptureMode::processTap
                                                    ? CaptureBackend::processTap
                                                    : CaptureBackend::screenCaptureKit);

        model->toggleRecording(*capture);
        ASSERT_EQ(model->message(), std::nullopt);
        ASSERT_TRUE(capture->recordingPath().has_value());
        const fs::path file = *capture->recordingPath();
        EXPECT_EQ(file.parent_path(), home / "Musik" / "Corvane Captures");
        EXPECT_TRUE(file.filename().string().starts_with("Tone Player 20")) << file;
        EXPECT_EQ(file.extension(), ".wav");

        const uint64_t from = capture->analyzer()->totalFramesConsumed();
        ASSERT_TRUE(waitFor([&] { return capture->analyzer()->totalFramesConsumed() >= from + 48000; },
                            std::chrono::seconds(10)));
        ASSERT_TRUE(waitFor([&] { return capture->statistics().callbacks > 0; }));
        const std::string line = CaptureLabViewModel::statisticsLine(
            capture->source()->backend(), capture->statistics(), capture->dropped());
        EXPECT_TRUE(
            line.starts_with(mode == CaptureMode::processTap ? "[Process Tap] " : "[ScreenCaptureKit] "))
            << line;
        EXPECT_EQ(line.ends_with(" · 1 process(es)"), mode == CaptureMode::processTap) << line;
        ASSERT_EQ(capture->peak().size(), 2u);
        EXPECT_NEAR(capture->peak()[0], kToneAmplitude, kToneAmplitude * 0.01);

        model->toggleRecording(*capture);
        EXPECT_EQ(capture->recordingPath(), std::nullopt);
        EXPECT_EQ(revealed, std::vector<fs::path>{file}) << "the finished recording is shown";
        revealed.clear();
        EXPECT_EQ(model->message(), std::nullopt);
        QCoro::waitFor(model->toggle(kTonePlayer));
        EXPECT_FALSE(model->isCapturing(kTonePlayer));

        const Recording recording = readBack(file);
        EXPECT_EQ(recording.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
        EXPECT_EQ(recording.info.samplerate, 48000);
        ASSERT_EQ(recording.info.channels, 2);
        EXPECT_GE(recording.info.frames, 48000);
        EXPECT_EQ(recording.info.frames % 2400, 0) << "whole blocks of 50 ms";
        std::printf("%s: %lld frames recorded; 1 kHz at %.5f / %.5f, peak %.5f / %.5f (expected %.5f)\n",
                    std::string(rawValue(mode)).c_str(), static_cast<long long>(recording.info.frames),
                    amplitudeAt(recording.channels[0], 1000), amplitudeAt(recording.channels[1], 1000),
                    peakOf(recording.channels[0]), peakOf(recording.channels[1]), kToneAmplitude);
        for (const auto& channel : recording.channels) {
            EXPECT_NEAR(amplitudeAt(channel, 1000), kToneAmplitude, kToneAmplitude * 0.01);
            EXPECT_NEAR(peakOf(channel), kToneAmplitude, kToneAmplitude * 0.01);
            EXPECT_LT(amplitudeAt(channel, 440), kToneAmplitude / 100);
        }
    }
}

} // namespace
