// Self-tests whose runners are not in this build yet. Each answers in the report's error form and fails,
// so nothing that asks for one mistakes it for a pass.
#include "TandrelApp/Diagnostics/EngineTestRunner.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"
#include "TandrelApp/Diagnostics/SelfTestHarness.h"

#include <string>

namespace {

[[noreturn]] void refuse(int argc, char** argv, const char* flag, SelfTestReport::Fallback fallback) {
    SelfTestReport::Report report = SelfTestReport::Report::object();
    SelfTestReport::recordFailure(report, std::string(flag) + " is not available in this build");
    SelfTestReport::write(report, SelfTestArguments::fromCommandLine(argc, argv), fallback);
    SelfTestHarness::exitProcess(1);
}

} // namespace

void EngineTestRunner::run(int& argc, char** argv) {
    refuse(argc, argv, "--engine-test", SelfTestReport::Fallback::standardOutput);
}
void RoutingTestRunner::run(int& argc, char** argv) {
    refuse(argc, argv, "--routing-test", SelfTestReport::Fallback::nowhere);
}
