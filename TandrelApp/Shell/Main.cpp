#include "TandrelApp/Shell/Main.h"

#include <algorithm>
#include <array>
#include <utility>

#include "Platform/System/LoginItemService.h"
#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/EngineTestRunner.h"
#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Diagnostics/SelfTestArguments.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Support/HeapSettings.h"
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

std::vector<std::string> applicationArgumentWarnings(const std::vector<std::string>& arguments) {
    static const std::vector<SelfTestOption> flags = [] {
        std::vector<SelfTestOption> known;
        for (const char* flag : {"--preview-menubar", "--reset-settings", "--reset-lines", "--no-meters",
                                 "--update-dry-run", LoginItemService::launchArgument}) {
            known.push_back({.name = flag, .kind = SelfTestOption::Kind::flag});
        }
        return known;
    }();
    return SelfTestArguments(arguments).check(flags).warnings;
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
    HeapSettings::returnLargeBlocksToTheSystem();
    Log::keepStandardOutputForReports();
    if (const auto test = selfTest(std::vector<std::string>(argv, argv + argc))) {
        runnerFor (*test)(argc, argv);
        // The runners end the process; an event loop that returned all the same ends it well.
        return 0;
    }
    return TandrelApp::run(argc, argv);
}

} // namespace Main
