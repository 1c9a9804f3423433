// The entry's choice between the self-tests and the application, from the command line alone.
#include "TandrelApp/Shell/Main.h"

#include <gtest/gtest.h>

#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/EngineTestRunner.h"
#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"

namespace {

using Main::SelfTest;

std::optional<SelfTest> choose(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/TandrelApp");
    return Main::selfTest(arguments);
}

TEST(EntryDispatch, EachFlagSelectsItsRunner) {
    EXPECT_EQ(choose({"--capture-test"}), SelfTest::capture);
    EXPECT_EQ(choose({"--engine-test"}), SelfTest::engine);
    EXPECT_EQ(choose({"--latency-test"}), SelfTest::engine) << "the engine runner tells latency apart itself";
    EXPECT_EQ(choose({"--routing-test"}), SelfTest::routing);
    EXPECT_EQ(choose({"--responsiveness-test"}), SelfTest::responsiveness);
    EXPECT_EQ(choose({}), std::nullopt);
    EXPECT_EQ(choose({"--preview-menubar", "--reset-settings", "--reset-lines"}), std::nullopt);

    EXPECT_EQ(Main::runnerFor(SelfTest::capture), &CaptureTestRunner::run);
    EXPECT_EQ(Main::runnerFor(SelfTest::engine), &EngineTestRunner::run);
    EXPECT_EQ(Main::runnerFor(SelfTest::routing), &RoutingTestRunner::run);
    EXPECT_EQ(Main::runnerFor(SelfTest::responsiveness), &ResponsivenessTestRunner::run);
}

TEST(EntryDispatch, TheFixedOrderOfChecksDecidesNotTheOrderOfArguments) {
    EXPECT_EQ(choose({"--routing-test", "--capture-test"}), SelfTest::capture);
    EXPECT_EQ(choose({"--responsiveness-test", "--engine-test"}), SelfTest::engine);
    EXPECT_EQ(choose({"--latency-test", "--engine-test"}), SelfTest::engine);
    EXPECT_EQ(choose({"--responsiveness-test", "--routing-test"}), SelfTest::routing);
    EXPECT_EQ(choose({"--report", "/tmp/r.json", "--seconds", "3", "--responsiveness-test"}),
              SelfTest::responsiveness)
        << "the flag counts wherever it stands";
}

TEST(EntryDispatch, OnlyWholeArgumentsCount) {
    for (const char* near : {"--capture-test=1", "x--capture-test", "--capture-tests", "capture-test",
                             "--Capture-Test", " --engine-test", "--latency-test ", "-routing-test"}) {
        EXPECT_EQ(choose({near}), std::nullopt) << near;
    }
    EXPECT_EQ(choose({"--target", "--routing-test=x", "--routing-test"}), SelfTest::routing);
}

} // namespace
