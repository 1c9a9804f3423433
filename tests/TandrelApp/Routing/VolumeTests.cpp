#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "TandrelApp/Routing/Volume.h"

namespace {

struct ParseCase {
    std::string text;
    std::optional<float> expected;
};

} // namespace

TEST(VolumeParsing, DecibelsTable) {
    const ParseCase cases[] = {
        {"-6", -6.0f},
        {"\u2212"
         "6 dB",
         -6.0f}, // minus sign
        {"-6db", -6.0f},
        {"\uFF0D\uFF16", -6.0f}, // full-width minus and digit
        {"  -6.04\t", -6.0f},
        {"\u3000-6\u00A0dB\u3000", -6.0f}, // ideographic and no-break spaces
        {"-6.25", -6.3f},                  // halves away from zero
        {"6.25", 6.3f},
        {"-6.24", -6.2f},
        {"+3", 3.0f},
        {"\uFF0B\uFF13", 3.0f},
        {"\uFF13\uFF0E\uFF15", 3.5f}, // full-width decimal point
        {"-6DB", -6.0f},
        {"dB-6dB", -6.0f}, // "db" is removed wherever it stands
        {"20", 12.0f},
        {"12.04", 12.0f},
        {"-100", -60.0f},
        {"-59.96", -60.0f},
        {"3e38", 12.0f},
        {"-3e38", -60.0f},
        {"-INF", -60.0f},
        {"inf", -60.0f},
        {"-infinity", -60.0f},
        {"\u2212\u221E", -60.0f},
        {"\u221E", -60.0f},
        {"infinity", std::nullopt},
        {"+inf", std::nullopt},
        {"nan", std::nullopt},
        {"1e39", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"abc", std::nullopt},
        {"dB", std::nullopt},
        {"1d b", std::nullopt},
        {"-6\n", std::nullopt}, // line breaks are not trimmed
        {"- 6", std::nullopt},
        {"-6,5", std::nullopt},
        {"++6", 6.0f},
        {"\xFF-6", std::nullopt}, // malformed UTF-8
        {std::string("-6\0", 3), std::nullopt},
    };
    for (const auto& c : cases) {
        auto parsed = Volume::parseDB(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << "\"" << c.text << "\"";
        if (parsed) {
            EXPECT_FLOAT_EQ(*parsed, *c.expected) << "\"" << c.text << "\"";
        }
    }
}

TEST(VolumeParsing, PercentTable) {
    const ParseCase cases[] = {
        {"50", 0.5f},          {"50 %", 0.5f},        {"\uFF15\uFF10\u3000\uFF05", 0.5f},
        {" 12.5% ", 0.125f},   {"%75", 0.75f},        {"150", 1.0f},
        {"-5", 0.0f},          {"0", 0.0f},           {"100.5", 1.0f},
        {"", std::nullopt},    {"%", std::nullopt},   {"fifty", std::nullopt},
        {"inf", std::nullopt}, {"nan", std::nullopt}, {"50 dB", std::nullopt},
    };
    for (const auto& c : cases) {
        auto parsed = Volume::parsePercent(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << "\"" << c.text << "\"";
        if (parsed) {
            EXPECT_FLOAT_EQ(*parsed, *c.expected) << "\"" << c.text << "\"";
        }
    }
}

TEST(VolumeLaw, GainAndClamp) {
    EXPECT_EQ(Volume::linearGain(-60.0f), 0.0f);
    EXPECT_EQ(Volume::linearGain(-200.0f), 0.0f);
    EXPECT_EQ(Volume::linearGain(0.0f), 1.0f);
    EXPECT_NEAR(Volume::linearGain(-20.0f), 0.1f, 1e-7f);
    EXPECT_NEAR(Volume::linearGain(-59.9f), std::pow(10.0f, -59.9f / 20.0f), 1e-9f);

    EXPECT_EQ(Volume::clampDB(-61.0f), -60.0f);
    EXPECT_EQ(Volume::clampDB(12.5f), 12.0f);
    EXPECT_EQ(Volume::clampDB(-3.0f), -3.0f);
    EXPECT_FALSE(Volume::clampDB(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(Volume::clampDB(std::numeric_limits<float>::infinity()));
    EXPECT_FALSE(Volume::clampDB(-std::numeric_limits<float>::infinity()));
}
