// An output destination on its own against the emulated server: what it is made for, one callback
// however often it is started, a failed start that can be retried, the device's rate and buffer size,
// and a teardown that leaves no IO running.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Support/Polling.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/CoreAudioProperty.h"
#include "TandrelApp/Engine/OutputDestination.h"

namespace {

using Polling::waitFor;

constexpr const char* kProfile = R"({
  "devices": [
    { "uid": "speakers", "name": "Speakers", "sampleRate": 44100, "bufferFrameSize": 512,
      "outputStreams": [2] },
    { "uid": "wide", "name": "Wide", "outputStreams": [64, 64] },
    { "uid": "mic", "name": "Mic", "inputStreams": [1] }
  ]
})";

// The error a start on the call queue throws, if any.
std::optional<CoreAudioError> startCatching(OutputDestination& destination, std::optional<uint32_t> frames) {
    return CoreAudioCall::sync([&]() -> std::optional<CoreAudioError> {
        try {
            destination.start(frames);
        } catch (const CoreAudioError& error) {
            return error;
        }
        return std::nullopt;
    });
}

class OutputDestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() /
               ("tandrel-destination-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
    }
    void TearDown() override {
        EXPECT_TRUE(waitFor([] { return AudioServer::runningIOCount() == 0; }))
            << "a device callback outlived its destination";
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};

TEST_F(OutputDestinationTest, IsAProducerNamedAfterItsDeviceWithAtMost64ChannelsAndNeedsOutputs) {
    OutputDestination wide(*AudioDeviceCatalog::device("wide"));
    EXPECT_EQ(wide.producerName(), "Wide");
    EXPECT_EQ(wide.id(), "wide");
    EXPECT_EQ(wide.channelCount(), 64u) << "128 output channels";
    EXPECT_FALSE(wide.isRunning());

    try {
        OutputDestination mic(*AudioDeviceCatalog::device("mic"));
        ADD_FAILURE() << "a device without outputs became a destination";
    } catch (const CoreAudioError& error) {
        EXPECT_EQ(error.operation(), "TDDestinationCreate (Mic)");
        EXPECT_EQ(error.status(), -1);
    }
}

// The rate is the device's until the start reads the nominal rate; the buffer size asked for is set.
TEST_F(OutputDestinationTest, StartingReadsTheNominalRateSetsTheBufferSizeAndInstallsOneCallback) {
    AudioDeviceInfo stale = *AudioDeviceCatalog::device("speakers");
    stale.sampleRate = 48000;
    auto destination = std::make_shared<OutputDestination>(stale);
    EXPECT_EQ(destination->sampleRate(), 48000);

    ASSERT_EQ(startCatching(*destination, 256), std::nullopt);
    EXPECT_TRUE(destination->isRunning());
    EXPECT_EQ(destination->sampleRate(), 44100);
    EXPECT_EQ(CoreAudioProperty::read<uint32_t>(stale.id, kAudioDevicePropertyBufferFrameSize, 0u), 256u);
    ASSERT_TRUE(waitFor([&] { return TDFanoutWriteCount(destination->fanout().raw()) > 2; }))
        << "the device does not render the destination";

    // A second start changes nothing: the same callback, the same buffer size.
    ASSERT_EQ(startCatching(*destination, 1024), std::nullopt);
    EXPECT_EQ(CoreAudioProperty::read<uint32_t>(stale.id, kAudioDevicePropertyBufferFrameSize, 0u), 256u);
    destination.reset();
    // TearDown: with a second callback left behind the device would keep running.
}

TEST_F(OutputDestinationTest, AFailedStartInstallsNothingAndCanBeRetried) {
    const auto speakers = *AudioDeviceCatalog::device("speakers");
    auto destination = std::make_shared<OutputDestination>(speakers);
    server->refuseDeviceStart(speakers.id, kAudioHardwareIllegalOperationError);
    const auto error = startCatching(*destination, std::nullopt);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->operation(), "AudioDeviceStart (Speakers)");
    EXPECT_EQ(error->status(), kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(destination->isRunning());

    server->refuseDeviceStart(speakers.id, kAudioHardwareNoError);
    ASSERT_EQ(startCatching(*destination, std::nullopt), std::nullopt);
    EXPECT_TRUE(destination->isRunning());
    ASSERT_TRUE(waitFor([&] { return TDFanoutWriteCount(destination->fanout().raw()) > 2; }));
}

} // namespace
