#include <gtest/gtest.h>

#include <unordered_set>

#include "TandrelApp/Engine/CaptureModel.h"

namespace {

constexpr OperatingSystemVersion kSonoma141{14, 1, 0};
constexpr OperatingSystemVersion kSonoma142{14, 2, 0};
constexpr OperatingSystemVersion kSequoia{15, 0, 1};
constexpr OperatingSystemVersion kVentura{13, 6, 9};

TEST(CaptureBackendRule, FollowsModeSystemVersionAndBrowserExceptions) {
    const auto safari = CaptureTarget::application("com.apple.Safari", "Safari");
    const auto preview = CaptureTarget::application("com.apple.SafariTechnologyPreview", "STP");
    const auto safariOtherCase = CaptureTarget::application("com.apple.safari", "Safari");
    const auto music = CaptureTarget::application("com.example.music", "Music");
    const auto system = CaptureTarget::systemAudio();
    using enum CaptureBackend;
    struct Case {
        CaptureMode mode;
        CaptureTarget target;
        OperatingSystemVersion os;
        bool responsibility;
        CaptureBackend expected;
    };
    const Case cases[] = {
        {CaptureMode::screenCaptureKit, music, kSequoia, true, screenCaptureKit},
        {CaptureMode::screenCaptureKit, system, kSonoma142, true, screenCaptureKit},
        {CaptureMode::processTap, music, kSonoma141, true, screenCaptureKit},
        {CaptureMode::processTap, safari, kSonoma142, false, processTap},
        {CaptureMode::processTap, system, kVentura, true, screenCaptureKit},
        {CaptureMode::automatic, system, kSonoma142, false, processTap},
        {CaptureMode::automatic, system, kSonoma141, true, screenCaptureKit},
        {CaptureMode::automatic, music, kSequoia, false, processTap},
        {CaptureMode::automatic, safari, kSonoma142, true, processTap},
        {CaptureMode::automatic, safari, kSonoma142, false, screenCaptureKit},
        {CaptureMode::automatic, preview, kSequoia, false, screenCaptureKit},
        {CaptureMode::automatic, preview, kSequoia, true, processTap},
        {CaptureMode::automatic, safari, kVentura, true, screenCaptureKit},
        {CaptureMode::automatic, safariOtherCase, kSonoma142, false, processTap},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(backend(c.mode, c.target, c.os, c.responsibility), c.expected)
            << rawValue(c.mode) << " " << (c.target.app() ? c.target.app()->bundleID : "system") << " "
            << c.os.text() << " responsibility " << c.responsibility;
    }
}

TEST(CaptureModeRawValues, AreExactAndCaseSensitive) {
    for (CaptureMode mode : allCaptureModes) {
        EXPECT_EQ(captureModeFromRawValue(rawValue(mode)), mode);
    }
    EXPECT_EQ(captureModeFromRawValue("screenCaptureKit"), CaptureMode::screenCaptureKit);
    EXPECT_EQ(captureModeFromRawValue(""), std::nullopt);
    EXPECT_EQ(captureModeFromRawValue("ProcessTap"), std::nullopt);
    EXPECT_EQ(captureBackendFromRawValue("processTap"), CaptureBackend::processTap);
    EXPECT_EQ(captureBackendFromRawValue("automatic"), std::nullopt);
    EXPECT_EQ(label(CaptureMode::automatic), "自動");
}

TEST(CaptureTarget, ApplicationsDifferByBundleAndName) {
    const auto a = CaptureTarget::application("com.example.app", "App");
    const auto renamed = CaptureTarget::application("com.example.app", "App 2");
    EXPECT_NE(a, renamed);
    EXPECT_EQ(a, CaptureTarget::application("com.example.app", "App"));
    EXPECT_NE(a, CaptureTarget::systemAudio());
    EXPECT_EQ(CaptureTarget::systemAudio(), CaptureTarget::systemAudio());
    std::unordered_set<CaptureTarget> table{a, renamed, CaptureTarget::systemAudio(), a};
    EXPECT_EQ(table.size(), 3u);
}

} // namespace
