#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "TandrelApp/Engine/LineConfigurator.h"

namespace {

std::string invalidMessage(const std::vector<LineSpec>& lines) {
    try {
        LineConfigurator::validate(lines);
    } catch (const LineConfigurator::ConfiguratorError& error) {
        EXPECT_EQ(error.kind(), LineConfigurator::ConfiguratorError::Kind::invalid);
        return error.what();
    }
    return {};
}

TEST(LineConfiguratorValidate, ReportsTheFirstProblemInTheFixedOrder) {
    struct Case {
        std::vector<LineSpec> lines;
        std::string message;
    };
    std::vector<LineSpec> seventeen;
    for (int n = 1; n <= 17; ++n) {
        seventeen.push_back({n, 2, "Line " + std::to_string(n)});
    }
    const Case cases[] = {
        {{}, "ラインは1本以上必要です"},
        {seventeen, "ラインは最大 16 本です"},
        {{{5, 2, "A"}, {5, 3, "B"}}, "ライン番号が重複しています"},
        {{{0, 3, ""}}, "ライン番号は 1〜99 です"},
        {{{100, 2, "A"}}, "ライン番号は 1〜99 です"},
        {{{1, 3, ""}}, "チャンネル数は 2〜64 の偶数です"},
        {{{1, 66, "A"}}, "チャンネル数は 2〜64 の偶数です"},
        {{{1, 0, "A"}}, "チャンネル数は 2〜64 の偶数です"},
        {{{1, 2, "  "}}, "ライン 1 の名前が空です"},
        {{{1, 2, "\t\u3000"}}, "ライン 1 の名前が空です"},
        // The first faulty line in list order decides.
        {{{1, 2, "ok"}, {2, 2, ""}, {0, 2, "x"}}, "ライン 2 の名前が空です"},
        {{{1, 2, "\n"}}, ""},
        {{{99, 64, "Main"}, {1, 2, "Aux"}}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(invalidMessage(c.lines), c.message) << (c.lines.empty() ? "empty" : c.lines[0].name);
    }
}

TEST(LineConfiguratorValidate, TrimsSpacesAndTabsButNotLineBreaks) {
    using LineConfigurator::trimmingBlanks;
    EXPECT_EQ(trimmingBlanks("  Line 1\t"), "Line 1");
    EXPECT_EQ(trimmingBlanks("\u00a0名前\u3000"), "名前");
    EXPECT_EQ(trimmingBlanks("\nA\n"), "\nA\n");
    EXPECT_EQ(trimmingBlanks("a b"), "a b");
    EXPECT_EQ(trimmingBlanks(" \t "), "");
    EXPECT_EQ(trimmingBlanks("é"), "é") << "a multibyte letter is not mistaken for a blank";
}

class LineConfiguratorWithoutDriver : public ::testing::Test {
protected:
    void SetUp() override {
        home = std::filesystem::temp_directory_path() / ("tandrel-lines-test-" + std::to_string(::getpid()));
        AudioServer::start({.profile = std::nullopt, .home = home});
    }
    void TearDown() override {
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }
    std::filesystem::path home;
};

TEST_F(LineConfiguratorWithoutDriver, ValidationComesBeforeLookingForTheDriver) {
    EXPECT_FALSE(LineConfigurator::pluginID().has_value());
    EXPECT_EQ(invalidMessage({}), "ラインは1本以上必要です");
    try {
        LineConfigurator::write({});
        FAIL();
    } catch (const LineConfigurator::ConfiguratorError& error) {
        EXPECT_EQ(error.kind(), LineConfigurator::ConfiguratorError::Kind::invalid);
    }
    try {
        LineConfigurator::write({{1, 2, "Line 1"}});
        FAIL();
    } catch (const LineConfigurator::ConfiguratorError& error) {
        EXPECT_EQ(error.kind(), LineConfigurator::ConfiguratorError::Kind::driverNotFound);
        EXPECT_STREQ(error.what(),
                     "ドライバが見つかりません（インストールされていないか、古いバージョンです）");
    }
    EXPECT_THROW(LineConfigurator::read(), LineConfigurator::ConfiguratorError);
}

} // namespace
