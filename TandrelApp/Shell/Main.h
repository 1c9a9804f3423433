// The process entry: the command line alone decides whether the process runs one of the headless
// self-tests or the application. main() in TandrelApp.cpp calls Main::main().
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Main {

enum class SelfTest { capture, engine, routing, responsiveness };

// The self-test the arguments ask for. Flags count only as whole arguments, wherever they stand, and
// are looked for in a fixed order: "--capture-test", "--engine-test" or "--latency-test" (both run the
// engine runner, which tells them apart), "--routing-test", "--responsiveness-test".
std::optional<SelfTest> selfTest(const std::vector<std::string>& arguments);

// The warnings about arguments the application (not a self-test) does not know, once Qt has taken its
// own options out: they are ignored, an unknown option's value with it.
std::vector<std::string> applicationArgumentWarnings(const std::vector<std::string>& arguments);

// The runner of a self-test; it ends the process itself.
using Runner = void (*)(int& argc, char** argv);
Runner runnerFor(SelfTest test);

// Runs the self-test the command line names, else the application; returns the exit status.
int main(int& argc, char** argv);

} // namespace Main
