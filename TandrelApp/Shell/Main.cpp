#include "TandrelApp/Shell/Main.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "Platform/System/LoginItemService.h"
#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/EngineTestRunner.h"
#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Support/Log.h"

namespace Main {

std::optional<SelfTest> selfTest(const std::vector<std::string>& arguments) {
    static constexpr std::array<std::pair<const char*, SelfTest>, 5> flags{{
        {"--capture-test", SelfTest::capture},
        {"--engine-test", SelfTest::engine},
        {"--latency-test", SelfTest::engine},
        {"--routing-test", SelfTest::routing},
        {"--responsiveness-test", SelfTest::responsiveness},
    }};
    for (const auto& [flag, test] : flags) {
        if (std::find(arguments.begin(), arguments.end(), flag) != arguments.end()) {
            return test;
        }
    }
    return std::nullopt;
}

std::vector<std::string> unknownApplicationArguments(const std::vector<std::string>& arguments) {
    static const std::array<std::string_view, 6> known{"--preview-menubar", "--reset-settings",
                                                       "--reset-lines",     "--no-meters",
                                                       "--update-dry-run",  LoginItemService::launchArgument};
    std::vector<std::string> unknown;
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (std::find(known.begin(), known.end(), arguments[i]) == known.end()) {
            unknown.push_back(arguments[i]);
        }
    }
    return unknown;
}

Runner runnerFor(SelfTest test) {
    switch (test) {
    case SelfTest::capture:
        return &CaptureTestRunner::run;
    case SelfTest::engine:
        return &EngineTestRunner::run;
    case SelfTest::routing:
        return &RoutingTestRunner::run;
    case SelfTest::responsiveness:
        return &ResponsivenessTestRunner::run;
    }
    return nullptr;
}

int main(int& argc, char** argv) {
    Log::keepStandardOutputForReports();
    if (const auto test = selfTest(std::vector<std::string>(argv, argv + argc))) {
        runnerFor (*test)(argc, argv);
        // The runners end the process; an event loop that returned all the same ends it well.
        return 0;
    }
    return TandrelApp::run(argc, argv);
}

} // namespace Main
