// The application audio monitor and the capture-target list against the emulated server's simulated
// applications.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <qcoro/qcorotask.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/SystemInfo.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/AudioAppMonitor.h"
#include "TandrelApp/Engine/CaptureTargetProvider.h"

namespace {

using namespace std::chrono_literals;
using App = AudioAppMonitor::App;

constexpr const char* kProfile = R"({
  "devices": [ { "uid": "out", "sampleRate": 48000, "outputStreams": [2] } ],
  "applications": [
    { "pid": 7301, "bundleID": "org.example.editor", "name": "Editor" },
    { "pid": 7302, "bundleID": "org.example.editor.helper", "name": "Helper", "activationPolicy": "prohibited",
      "responsiblePid": 7301 },
    { "pid": 7303, "bundleID": "org.example.agent", "name": "agent", "activationPolicy": "accessory" },
    { "pid": 7304, "bundleID": "org.example.editor", "name": "Editor" },
    { "pid": 7305, "bundleID": "qorvix.tandrel.app", "name": "Corvane" },
    { "pid": 7306, "bundleID": "org.example.browser", "name": "browser" },
    { "pid": 7307, "bundleID": "org.example.browsers", "name": "Other", "activationPolicy": "prohibited" }
  ]
})";

void processEventsFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
}

class AudioAppMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        home =
            std::filesystem::temp_directory_path() / ("tandrel-monitor-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(kProfile), .home = home});
        Workspace::setOwnBundleIdentifier("qorvix.tandrel.app");
    }
    void TearDown() override {
        monitor.reset();
        server.reset();
        AudioServer::stop();
        Workspace::setOwnBundleIdentifier(std::nullopt);
        std::filesystem::remove_all(home);
    }

    void startMonitor() {
        monitor = std::make_shared<AudioAppMonitor>();
        monitor->onActiveAppsChanged = [this](std::vector<App> apps) {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            std::sort(apps.begin(), apps.end());
            reports.push_back(std::move(apps));
        };
        QCoro::waitFor(monitor->start());
        QCoro::waitFor(monitor->start());
    }

    bool waitForReports(size_t count) {
        const auto until = std::chrono::steady_clock::now() + 3s;
        while (reports.size() < count && std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(2ms);
        }
        return reports.size() >= count;
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<AudioAppMonitor> monitor;
    std::vector<std::vector<App>> reports;
};

TEST_F(AudioAppMonitorTest, ReportsAnApplicationWhenItStartsAndAgainWhenItStopsPlaying) {
    startMonitor();
    processEventsFor(100ms);
    EXPECT_TRUE(reports.empty()) << "nothing plays yet";

    server->setApplicationSignal(7301, InputSignal::sine(440, -20));
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(reports[0], (std::vector<App>{{"org.example.editor", "Editor"}}));

    // A second process of the same application changes nothing.
    server->setApplicationSignal(7304, InputSignal::sine(440, -20));
    processEventsFor(100ms);
    EXPECT_EQ(reports.size(), 1u);
    server->setApplicationSignal(7301, InputSignal::silence());
    server->setApplicationSignal(7304, InputSignal::silence());
    ASSERT_TRUE(waitForReports(2));
    EXPECT_TRUE(reports.back().empty());
}

TEST_F(AudioAppMonitorTest, PlayingProcessesAreAttributedToTheRegularApplicationThatOwnsThem) {
    startMonitor();
    server->setApplicationSignal(7302, InputSignal::sine(440, -20)); // helper, responsible: the editor
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(reports.back(), (std::vector<App>{{"org.example.editor", "Editor"}}));
    server->setApplicationSignal(7302, InputSignal::silence());
    ASSERT_TRUE(waitForReports(2));

    // Never reported: an agent, this program's bundle, this program's own process, and a process whose
    // bundle identifier only shares letters with an application's.
    server->setApplicationSignal(7303, InputSignal::sine(440, -20));
    server->setApplicationSignal(7305, InputSignal::sine(440, -20));
    server->setApplicationSignal(7307, InputSignal::sine(440, -20));
    server->addProcess({::getpid(), "qorvix.tandrel.app", false});
    server->setApplicationSignal(::getpid(), InputSignal::sine(440, -20));
    processEventsFor(200ms);
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(AudioAppMonitorTest, WithoutTheResponsibilityLookupHelpersCountByBundleIdentifierPrefix) {
    SystemInfo::setResponsibilityFunction(nullptr);
    ApplicationSpec helper;
    helper.bundleID = "com.vendor.renderer"; // responsible for it: the editor, but nobody can tell
    helper.responsiblePid = 7301;
    helper.activationPolicy = ActivationPolicy::prohibited;
    helper.signal = InputSignal::sine(440, -20);
    server->addApplication(helper);
    startMonitor();
    processEventsFor(100ms);
    EXPECT_TRUE(reports.empty());

    server->setApplicationSignal(7302, InputSignal::sine(440, -20)); // "org.example.editor.helper"
    ASSERT_TRUE(waitForReports(1));
    EXPECT_EQ(reports.back(), (std::vector<App>{{"org.example.editor", "Editor"}}));
}

TEST_F(AudioAppMonitorTest, CaptureTargetsAreRegularApplicationsOnceEachByNameWithoutThisProgram) {
    ApplicationSpec second;
    second.bundleID = "org.example.editor";
    second.name = "Editor (second)";
    server->addApplication(second);
    const auto targets = CaptureTargetProvider::runningApplications();
    std::vector<std::string> names;
    for (const auto& t : targets) {
        names.push_back(t.bundleID + "=" + t.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"org.example.browser=browser", "org.example.editor=Editor"}));
}

} // namespace
