// Self-tests whose runners are not in this build yet. Each answers in the report's error form and fails,
// so nothing that asks for one mistakes it for a pass.
#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/EngineTestRunner.h"
#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void refuse(int argc, char** argv, const char* flag, bool toStandardOutput) {
    const std::string report = std::string("{\n  \"error\": \"") + flag +
                               " is not available in this build\",\n"
                               "  \"ok\": false\n}\n";
    const char* path = nullptr;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--report") == 0) {
            path = argv[i + 1];
            break;
        }
    }
    if (path != nullptr) {
        if (std::FILE* file = std::fopen(path, "w")) {
            std::fputs(report.c_str(), file);
            std::fclose(file);
        }
    } else if (toStandardOutput) {
        std::fputs(report.c_str(), stdout);
    }
    std::fflush(stdout);
    std::_Exit(1);
}

} // namespace

void CaptureTestRunner::run(int& argc, char** argv) {
    refuse(argc, argv, "--capture-test", true);
}
void EngineTestRunner::run(int& argc, char** argv) {
    refuse(argc, argv, "--engine-test", true);
}
void RoutingTestRunner::run(int& argc, char** argv) {
    refuse(argc, argv, "--routing-test", false);
}
void ResponsivenessTestRunner::run(int& argc, char** argv) {
    refuse(argc, argv, "--responsiveness-test", false);
}
