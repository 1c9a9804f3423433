// What the tests that load the real driver share: where the build put the driver bundle, and running a
// test case again in a fresh copy of the test program. The driver keeps process-wide state and is never
// unloaded (and a restart of the audio server is a new process), so a case that needs a pristine driver
// runs in a child of its own.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace DriverTestProcess {

// The bundle the build made beside the tests folder (or TANDREL_DRIVER_BUNDLE).
inline std::filesystem::path driverBundle() {
    if (const char* given = std::getenv("TANDREL_DRIVER_BUNDLE"); given != nullptr && *given != '\0') {
        return given;
    }
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
           "TandrelDriver.driver";
}

inline bool driverBuilt() {
    return std::filesystem::exists(driverBundle() / "Contents" / "Info.json");
}

// Whether this process is the child that runs the case (the marker variable is set).
inline bool inChild(const char* childVariable) {
    return std::getenv(childVariable) != nullptr;
}

// Runs the current test case in a child with the marker variable and `extraEnvironment` set; true when
// the child passed. Its output goes to the parent's.
inline bool runChild(const char* childVariable, const std::vector<std::string>& extraEnvironment = {}) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> env{std::string(childVariable) + "=1"};
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<char*> envp, argv{const_cast<char*>(exe.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// True in the parent, which has run the case in a child and checked its result; false in the child,
// which goes on with the case.
inline bool ranInChild(const char* childVariable) {
    if (inChild(childVariable)) {
        return false;
    }
    EXPECT_TRUE(runChild(childVariable)) << "the child run failed; see its output above";
    return true;
}

} // namespace DriverTestProcess
