#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include <QTest>
#include <qcoro/qcorotask.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/HostClock.h"
#include "Platform/System/MicrophonePermission.h"
#include "TandrelApp/Engine/AudioDeviceCatalog.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Engine/InputDeviceSource.h"

namespace {

// QCoro::waitFor never returns from a task that throws, so the error is caught inside one.
QCoro::Task<std::optional<std::string>> startCatching(std::shared_ptr<InputDeviceSource> source) {
    try {
        auto starting = source->start(std::nullopt);
        co_await std::move(starting);
    } catch (const AppError& e) {
        co_return std::string(e.what());
    }
    co_return std::nullopt;
}

class InputDeviceSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() / ("tandrel-input-test-" + std::to_string(::getpid()));
        AudioServer::start({.profile = nlohmann::json::parse(R"({"devices": [
          {"uid": "mic", "name": "Mic", "inputStreams": [1], "inputSignal": {"sine": 330, "level": -30}},
          {"uid": "speakers", "name": "Speakers", "outputStreams": [2]}]})"),
                            .home = home});
        mic = std::make_shared<InputDeviceSource>(*AudioDeviceCatalog::device("mic"));
    }
    void TearDown() override {
        // The last reference may be a finished start's, dropped a moment later on its worker thread.
        mic.reset();
        MicrophonePermission::setStatus(AuthorizationStatus::authorized);
        EXPECT_TRUE(QTest::qWaitFor([] { return AudioServer::runningIOCount() == 0; }, 2000));
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }
    std::filesystem::path home;
    std::shared_ptr<InputDeviceSource> mic;
};

TEST_F(InputDeviceSourceTest, StopAskedForWhileStartingWins) {
    auto starting = startCatching(mic);
    auto stopping = mic->stop();
    EXPECT_EQ(QCoro::waitFor(starting), std::nullopt);
    QCoro::waitFor(stopping);
    EXPECT_FALSE(mic->isRunning());
    CoreAudioCall::sync([] {});
    EXPECT_EQ(AudioServer::runningIOCount(), 0u) << "no callback left running after the stop";
}

TEST_F(InputDeviceSourceTest, SecondStartReplacesTheCallback) {
    EXPECT_EQ(QCoro::waitFor(startCatching(mic)), std::nullopt);
    EXPECT_EQ(QCoro::waitFor(startCatching(mic)), std::nullopt);
    EXPECT_TRUE(mic->isRunning());
    QCoro::waitFor(mic->stop());
    EXPECT_EQ(AudioServer::runningIOCount(), 0u) << "the first callback was not left behind";
}

// A device whose input is several mono streams delivers one buffer per channel: the source writes them
// as planar audio of that many channels in stream order, each block stamped with the host time of its
// callback.
TEST_F(InputDeviceSourceTest, SeveralMonoStreamsArriveAsPlanarChannelsStampedWithTheCallbackTime) {
    ASSERT_NE(AudioServer::shared()->addDevice([] {
        DeviceSpec mics;
        mics.uid = "mono3";
        mics.name = "Three Mics";
        mics.inputStreams = {1, 1, 1};
        mics.inputSignal = InputSignal::sinePerChannel({{1000, 0.1}, {1000, 0.2}, {1000, 0.3}});
        return mics;
    }()),
              kAudioObjectUnknown);
    auto three = std::make_shared<InputDeviceSource>(*AudioDeviceCatalog::device("mono3"));
    EXPECT_EQ(three->channelCount(), 3u);
    EXPECT_EQ(TDFanoutChannels(three->fanout().raw()), 3u);

    constexpr uint32_t kFrames = 9600;
    TDRingBuffer* ring = TDRingBufferCreate(3, kFrames * 4);
    TDFanoutAdd(three->fanout().raw(), ring);
    const uint64_t before = HostClockNow();
    ASSERT_EQ(QCoro::waitFor(startCatching(three)), std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return TDRingBufferAvailableToRead(ring) >= kFrames; }, 3000));
    const uint64_t firstStamp = TDRingBufferLastWriteTime(ring);
    const uint64_t after = HostClockNow();
    EXPECT_GE(firstStamp, before);
    EXPECT_LE(firstStamp, after);

    std::vector<float> frames(size_t(kFrames) * 3);
    ASSERT_EQ(TDRingBufferRead(ring, frames.data(), kFrames), kFrames);
    for (uint32_t channel = 0; channel < 3; ++channel) {
        float peak = 0;
        for (uint32_t f = 0; f < kFrames; ++f) {
            peak = std::max(peak, std::abs(frames[size_t(f) * 3 + channel]));
        }
        EXPECT_NEAR(peak, 0.1f * float(channel + 1), 0.01f) << "channel " << channel + 1;
    }
    // Later blocks carry later times: each is stamped when it arrives.
    ASSERT_TRUE(QTest::qWaitFor([&] { return TDRingBufferLastWriteTime(ring) > firstStamp; }, 2000));
    EXPECT_LE(TDRingBufferLastWriteTime(ring), HostClockNow());

    QCoro::waitFor(three->stop());
    TDFanoutRemove(three->fanout().raw(), ring);
    TDRingBufferDestroy(ring);
}

TEST_F(InputDeviceSourceTest, FailuresComeBeforeAnyServerWork) {
    AudioDeviceInfo outputOnly = *AudioDeviceCatalog::device("speakers");
    auto speakers = std::make_shared<InputDeviceSource>(outputOnly);
    const int asked = MicrophonePermission::requestCount();
    EXPECT_EQ(QCoro::waitFor(startCatching(speakers)), "Speakers には入力チャンネルがありません");
    EXPECT_EQ(MicrophonePermission::requestCount(), asked)
        << "no permission prompt for a device without inputs";
    EXPECT_EQ(speakers->channelCount(), 0u);
    EXPECT_EQ(TDFanoutChannels(speakers->fanout().raw()), 1u);

    MicrophonePermission::setStatus(AuthorizationStatus::denied);
    EXPECT_EQ(QCoro::waitFor(startCatching(mic)),
              "マイクへのアクセスが許可されていません（システム設定 > プライバシーとセキュリティ > マイク）");
    MicrophonePermission::setStatus(AuthorizationStatus::notDetermined);
    MicrophonePermission::setRequestAnswer(true);
    EXPECT_EQ(QCoro::waitFor(startCatching(mic)), std::nullopt) << "granted at the prompt";
    EXPECT_TRUE(mic->isRunning());
}

} // namespace
