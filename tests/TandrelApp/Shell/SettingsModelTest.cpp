// The settings window's model: its tabs and the remembered one, the general pane's rows, and the
// program's version constants.
#include "TandrelApp/Shell/GeneralSettingsModel.h"
#include "TandrelApp/Shell/SettingsTab.h"
#include "TandrelApp/Support/TandrelVersion.h"

#include <gtest/gtest.h>

#include "Platform/System/Desktop/BundleInfo.h"
#include "ShellTestSupport.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

namespace Model = GeneralSettingsModel;

template <class Value>
std::vector<std::string> titles(const std::vector<Model::Row<Value>>& rows) {
    std::vector<std::string> out;
    for (const auto& row : rows) {
        out.push_back(row.title);
    }
    return out;
}

TEST(SettingsTabs, RawValuesTitlesAndSymbolsInTheirOrder) {
    const std::vector<std::tuple<SettingsTab, std::string, std::string, std::string>> expected{
        {SettingsTab::general, "general", "一般", "gearshape"},
        {SettingsTab::lines, "lines", "ライン", "waveform.path"},
        {SettingsTab::excludedApps, "excludedApps", "除外するアプリ", "nosign"},
        {SettingsTab::about, "about", "情報", "info.circle"},
    };
    ASSERT_EQ(allSettingsTabs.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [tab, raw, name, symbol] = expected[i];
        EXPECT_EQ(allSettingsTabs[i], tab);
        EXPECT_EQ(rawValue(tab), raw);
        EXPECT_EQ(settingsTabFromRawValue(raw), tab);
        EXPECT_EQ(title(tab), name);
        EXPECT_EQ(symbolName(tab), symbol);
    }
    for (const char* none : {"", "General", "excluded", "about ", "lines\n"}) {
        EXPECT_EQ(settingsTabFromRawValue(none), std::nullopt) << none;
    }
}

TEST(SettingsTabs, TheRememberedTabFallsBackToGeneralAndOpeningStoresAndOpens) {
    ShellEnvironment environment;
    UserDefaults& defaults = UserDefaults::standard();
    EXPECT_EQ(storedSettingsTab(defaults), SettingsTab::general) << "nothing stored";
    defaults.set(settingsTabKey, QStringLiteral("lines"));
    EXPECT_EQ(storedSettingsTab(defaults), SettingsTab::lines);
    defaults.set(settingsTabKey, QStringLiteral("network"));
    EXPECT_EQ(storedSettingsTab(defaults), SettingsTab::general);
    defaults.set(settingsTabKey, 3);
    EXPECT_EQ(storedSettingsTab(defaults), SettingsTab::general);

    int opened = 0;
    SettingsOpener::open() = [&] {
        ++opened;
    };
    openSettings(SettingsTab::excludedApps);
    SettingsOpener::open() = nullptr;
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(defaults.string(settingsTabKey), QStringLiteral("excludedApps"));
    EXPECT_EQ(storedSettingsTab(defaults), SettingsTab::excludedApps);

    openSettings(SettingsTab::about);
    EXPECT_EQ(storedSettingsTab(defaults), SettingsTab::about) << "without an opener the tab is still stored";
}

TEST(GeneralSettingsRows, TheProcessTapRowOnlyFromSystem14Point2On) {
    const std::vector<std::string> all{"自動", "Process Tap", "ScreenCaptureKit"};
    const std::vector<std::string> withoutTaps{"自動", "ScreenCaptureKit"};
    EXPECT_EQ(titles(Model::captureModeRows({14, 2, 0})), all);
    EXPECT_EQ(titles(Model::captureModeRows({15, 0, 0})), all);
    EXPECT_EQ(titles(Model::captureModeRows({14, 1, 9})), withoutTaps);
    EXPECT_EQ(titles(Model::captureModeRows({14, 0, 0})), withoutTaps);
    EXPECT_EQ(titles(Model::captureModeRows({13, 6, 1})), withoutTaps);

    const auto old = Model::captureModeRows({14, 1, 0});
    EXPECT_EQ(Model::rowIndex(old, CaptureMode::processTap), std::nullopt)
        << "a stored process tap matches no row there";
    EXPECT_EQ(Model::rowIndex(old, CaptureMode::screenCaptureKit), 1u);
}

TEST(GeneralSettingsRows, BufferAndDisplaySizeRowsReadAsTheyShouldAndKeepTheirValues) {
    EXPECT_EQ(titles(Model::latencyRows()),
              (std::vector<std::string>{"低遅延（64 フレーム）", "標準（128 フレーム）",
                                        "安定優先（512 フレーム）"}));
    EXPECT_EQ(Model::rowIndex(Model::latencyRows(), LatencyPreset::safe), 2u);

    const auto scales = Model::uiScaleRows();
    EXPECT_EQ(titles(scales), (std::vector<std::string>{"小（85%）", "標準（100%）", "大（115%）",
                                                        "特大（130%）", "最大（150%）"}));
    std::vector<double> values;
    for (const auto& row : scales) {
        values.push_back(row.value);
    }
    EXPECT_EQ(values, (std::vector<double>{0.85, 1.0, 1.15, 1.3, 1.5}));
    EXPECT_EQ(Model::rowIndex(scales, 1.15), 2u);
    EXPECT_EQ(Model::rowIndex(scales, 1.2), std::nullopt);
}

TEST(TandrelVersionText, ShortVersionIsTheTextOrZero) {
    using nlohmann::json;
    EXPECT_EQ(TandrelVersion::shortVersion(json{{"CFBundleShortVersionString", "1.4.2"}}), "1.4.2");
    EXPECT_EQ(TandrelVersion::shortVersion(json{{"CFBundleShortVersionString", 14}}), "0");
    EXPECT_EQ(TandrelVersion::shortVersion(json::object()), "0");
    EXPECT_EQ(TandrelVersion::shortVersion(json::array()), "0");
}

TEST(TandrelVersionText, BuildParsesOnlyWholeDecimalIntegers) {
    using nlohmann::json;
    const std::vector<std::pair<json, std::int64_t>> cases{
        {"27", 27},
        {"+27", 27},
        {"-3", -3},
        {"0042", 42},
        {"9223372036854775807", 9223372036854775807},
        {"9223372036854775808", 0},
        {"-9223372036854775809", 0},
        {"1.2", 0},
        {"12a", 0},
        {" 12", 0},
        {"12 ", 0},
        {"", 0},
        {"+", 0},
        {"-", 0},
        {"+-1", 0},
        {"--1", 0},
        {"0x10", 0},
        {27, 0},
        {nullptr, 0},
    };
    for (const auto& [value, build] : cases) {
        EXPECT_EQ(TandrelVersion::build(json{{"CFBundleVersion", value}}), build) << value.dump();
    }
    EXPECT_EQ(TandrelVersion::build(json::object()), 0);
}

TEST(TandrelVersionText, TheProgramsOwnInformationIsCompiledIn) {
    EXPECT_EQ(BundleInfo::bundleIdentifier(), "qorvix.tandrel.app");
    EXPECT_NE(TandrelVersion::shortVersion(), "0");
    EXPECT_GT(TandrelVersion::build(), 0);
}

} // namespace
