// What every self-test shares: reading options from the command line, strict number parsing, and the
// report's text, destination and exit status.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <unistd.h>

#include "TandrelApp/Diagnostics/SelfTestArguments.h"
#include "TandrelApp/Diagnostics/SelfTestReport.h"

namespace {

using SelfTestReport::Report;

SelfTestArguments commandLine(std::vector<std::string> elements) {
    elements.insert(elements.begin(), "/opt/corvane/TandrelApp");
    return SelfTestArguments(std::move(elements));
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string contents(std::FILE* file) {
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(char(c));
    }
    return text;
}

TEST(SelfTestArguments, AnOptionsValueIsTheElementAfterItsFirstOccurrence) {
    const auto arguments = commandLine(
        {"--capture-test", "--target", "org.example.toneplayer", "--seconds", "2", "--target", "x"});
    EXPECT_TRUE(arguments.contains("--capture-test"));
    EXPECT_FALSE(arguments.contains("--capture"));
    EXPECT_EQ(arguments.value("--target"), "org.example.toneplayer");
    EXPECT_EQ(arguments.doubleValue("--seconds"), 2.0);
    EXPECT_EQ(arguments.value("--freqs"), std::nullopt);
    // An option given last has no value.
    EXPECT_EQ(commandLine({"--capture-test", "--report"}).value("--report"), std::nullopt);
    // A value that does not parse counts as absent.
    EXPECT_EQ(commandLine({"--seconds", "five"}).doubleValue("--seconds"), std::nullopt);
    EXPECT_EQ(commandLine({"--buffer", "256"}).uint32Value("--buffer"), 256u);
    EXPECT_EQ(commandLine({"--monitor-gain", "0.5"}).floatValue("--monitor-gain"), 0.5f);
}

TEST(SelfTestNumbers, DecimalsParseOnlyAsAWhole) {
    using SelfTestNumbers::parseDouble;
    EXPECT_EQ(parseDouble("5"), 5.0);
    EXPECT_EQ(parseDouble("2.5"), 2.5);
    EXPECT_EQ(parseDouble("-1"), -1.0);
    EXPECT_EQ(parseDouble("+3"), 3.0);
    EXPECT_EQ(parseDouble("1e3"), 1000.0);
    EXPECT_EQ(parseDouble(".5"), 0.5);
    EXPECT_TRUE(std::isnan(*parseDouble("nan")));
    EXPECT_EQ(parseDouble("inf"), std::numeric_limits<double>::infinity());
    for (const char* text : {"", " 5", "5 ", "5s", "0x10", "abc", "1,5", "+", "++5", "+-5"}) {
        EXPECT_EQ(parseDouble(text), std::nullopt) << '"' << text << '"';
    }
    EXPECT_EQ(SelfTestNumbers::parseFloat("0.2"), 0.2f);
    EXPECT_EQ(SelfTestNumbers::parseFloat("1e40"), std::nullopt) << "beyond single precision";
}

TEST(SelfTestNumbers, UnsignedValuesAreDecimalDigitsWithinRange) {
    using SelfTestNumbers::parseUInt32;
    EXPECT_EQ(parseUInt32("512"), 512u);
    EXPECT_EQ(parseUInt32("0"), 0u);
    EXPECT_EQ(parseUInt32("4294967295"), 4294967295u);
    for (const char* text : {"4294967296", "-1", "+5", "5.0", "", " 5", "1e3", "0x10"}) {
        EXPECT_EQ(parseUInt32(text), std::nullopt) << '"' << text << '"';
    }
}

TEST(SelfTestNumbers, ListsKeepTheFiniteNumbersInOrder) {
    using SelfTestNumbers::parseList;
    EXPECT_EQ(parseList("440,,abc,1000"), (std::vector<double>{440, 1000}));
    EXPECT_EQ(parseList("1000,440"), (std::vector<double>{1000, 440}));
    EXPECT_EQ(parseList("nan,inf,-inf,60"), (std::vector<double>{60}));
    EXPECT_TRUE(parseList("").empty());
    EXPECT_TRUE(parseList(",,").empty());
}

TEST(SelfTestReport, ReportIsPrettyWithSortedKeysAndNonFiniteValuesAsNull) {
    Report report = Report::object();
    report["target"] = "system";
    report["ok"] = true;
    report["probe"] = {{"440", std::nan("")}, {"1000", 0.1}};
    report["elapsedSeconds"] = std::numeric_limits<double>::infinity();
    report["format"] = std::string("bad \xff byte");
    const std::string text = SelfTestReport::serialize(report);
    EXPECT_EQ(text, "{\n"
                    "  \"elapsedSeconds\": null,\n"
                    "  \"format\": \"bad \xEF\xBF\xBD byte\",\n"
                    "  \"ok\": true,\n"
                    "  \"probe\": {\n"
                    "    \"1000\": 0.1,\n"
                    "    \"440\": null\n"
                    "  },\n"
                    "  \"target\": \"system\"\n"
                    "}\n");
}

TEST(SelfTestReport, ExitStatusIsZeroOnlyForABooleanTrueOk) {
    EXPECT_EQ(SelfTestReport::exitStatus({{"ok", true}}), 0);
    EXPECT_EQ(SelfTestReport::exitStatus({{"ok", false}}), 1);
    EXPECT_EQ(SelfTestReport::exitStatus(Report::object()), 1);
    EXPECT_EQ(SelfTestReport::exitStatus({{"ok", "true"}}), 1);
    EXPECT_EQ(SelfTestReport::exitStatus({{"ok", 1}}), 1);
    EXPECT_EQ(SelfTestReport::exitStatus(Report::array()), 1);
}

TEST(SelfTestReport, ErrorFormKeepsWhatTheReportAlreadyHeld) {
    Report report = {{"target", "org.example.absent"}, {"backend", "screenCaptureKit"}, {"ok", true}};
    SelfTestReport::recordFailure(report, "アプリが見つかりません: org.example.absent（起動していますか？）");
    EXPECT_EQ(report,
              (Report{{"target", "org.example.absent"},
                      {"backend", "screenCaptureKit"},
                      {"ok", false},
                      {"error", "アプリが見つかりません: org.example.absent（起動していますか？）"}}));
    EXPECT_EQ(SelfTestReport::exitStatus(report), 1);
}

TEST(SelfTestReport, GoesToTheReportPathOrElseWhereTheTestSends) {
    const Report report = {{"ok", true}};
    const auto path =
        std::filesystem::temp_directory_path() / ("tandrel-report-" + std::to_string(::getpid()) + ".json");
    std::ofstream(path) << "an older, longer report that is replaced";
    std::FILE* standardOutput = std::tmpfile();
    SelfTestReport::write(report, commandLine({"--report", path.string()}),
                          SelfTestReport::Fallback::standardOutput, standardOutput);
    EXPECT_EQ(contents(path), "{\n  \"ok\": true\n}\n");
    EXPECT_EQ(contents(standardOutput), "");

    SelfTestReport::write(report, commandLine({"--capture-test", "--report"}),
                          SelfTestReport::Fallback::standardOutput, standardOutput);
    EXPECT_EQ(contents(standardOutput), "{\n  \"ok\": true\n}\n")
        << "\"--report\" given last counts as absent";

    std::FILE* untouched = std::tmpfile();
    SelfTestReport::write(report, commandLine({"--responsiveness-test"}), SelfTestReport::Fallback::nowhere,
                          untouched);
    EXPECT_EQ(contents(untouched), "");

    // A passing run whose report cannot be written fails: its outcome is lost.
    EXPECT_EQ(SelfTestReport::finish(report, commandLine({"--report", "/nonexistent-folder/r.json"}),
                                     SelfTestReport::Fallback::standardOutput, untouched),
              1);
    EXPECT_EQ(contents(untouched), "");
    EXPECT_EQ(SelfTestReport::finish(report, commandLine({"--report", path.string()}),
                                     SelfTestReport::Fallback::standardOutput, untouched),
              0);
    std::fclose(standardOutput);
    std::fclose(untouched);
    std::filesystem::remove(path);
}

} // namespace
