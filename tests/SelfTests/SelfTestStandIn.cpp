// A stand-in for the application's entry point while it is not part of the build: it hands the self-test
// flags to their runners exactly as the entry point does (first present flag wins, in the same order),
// so the self-test cases of ctest can run the runners as a program.
#include <cstdio>
#include <cstring>

#include "TandrelApp/Diagnostics/CaptureTestRunner.h"
#include "TandrelApp/Diagnostics/EngineTestRunner.h"
#include "TandrelApp/Diagnostics/ResponsivenessTestRunner.h"
#include "TandrelApp/Diagnostics/RoutingTestRunner.h"

namespace {

bool has(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (has(argc, argv, "--capture-test")) {
        CaptureTestRunner::run(argc, argv);
    }
    if (has(argc, argv, "--engine-test") || has(argc, argv, "--latency-test")) {
        EngineTestRunner::run(argc, argv);
    }
    if (has(argc, argv, "--routing-test")) {
        RoutingTestRunner::run(argc, argv);
    }
    if (has(argc, argv, "--responsiveness-test")) {
        ResponsivenessTestRunner::run(argc, argv);
    }
    std::fprintf(stderr, "SelfTestStandIn: no self-test flag given\n");
    return 2;
}
