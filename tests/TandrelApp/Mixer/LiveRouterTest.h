// A fixture for the mixer window over a real controller on the emulated server, with or without the
// real driver: it starts the server from a profile, shows the window's content once the device list is
// in, and takes everything down in the order the audio needs (window and controller, then the device
// callbacks, then the server). Each case runs in a child process of its own (the driver keeps
// process-wide state), so a test begins with `if (ranInChild()) return;`.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "Support/DeviceCallbacksStopped.h"
#include "Support/DriverTestProcess.h"
#include "Support/ScriptedAlerts.h"
#include "Support/TemporaryXdgHome.h"
#include "TandrelApp/Engine/CaptureTestSupport.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Mixer/RouterView.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Routing/TemporaryDataHome.h"
#include "TandrelApp/Support/UserDefaults.h"

class LiveRouterTest : public ::testing::Test {
protected:
    // `childVariable` names the environment variable that marks the child run of a case.
    explicit LiveRouterTest(const char* childVariable)
        : childVariable_(childVariable) {}

    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << DriverTestProcess::driverBundle();
        }
    }

    void TearDown() override {
        if (!server) {
            return;
        }
        CoreAudioCall::simulatedDelay = 0;
        view.reset();
        controller.reset();
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        CoreAudioCall::sync([] {});
        CaptureTestSupport::freeRings(detached);
        server.reset();
        AudioServer::stop();
        DeferredWork::runPendingNow();
        std::filesystem::remove_all(home);
    }

    bool ranInChild() { return DriverTestProcess::ranInChild(childVariable_); }

    void startServer(const char* profile, bool withDriver = true) {
        home = std::filesystem::temp_directory_path() / ("tandrel-router-" + std::to_string(::getpid()));
        std::optional<std::vector<std::filesystem::path>> plugIns;
        if (withDriver) {
            plugIns = std::vector{DriverTestProcess::driverBundle()};
        }
        server =
            AudioServer::start({.profile = nlohmann::json::parse(profile), .home = home, .plugIns = plugIns});
    }

    // The controller with `config` and the window's content, `size` large, on screen once the device
    // list with `lines` lines is in.
    void start(RoutingConfig config, QSize size, std::size_t lines = 2,
               RoutingController::Timings timings = {.saveDelay = std::chrono::milliseconds(100)}) {
        config.latency = LatencyPreset::safe; // a busy machine's scheduling cannot starve a route
        controller = RoutingController::create(std::move(config), false, false, timings);
        view =
            std::make_unique<RouterView>(controller, controller->meters(), UserDefaults::standard(), nullptr);
        view->resize(size);
        view->show();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return controller->devicesLoaded() && controller->lines().size() == lines; }, 5000));
        settle();
    }

    // Lets the passes an edit caused finish and the window follow.
    void settle() {
        QCoreApplication::processEvents();
        QCoro::waitFor(controller->waitForReconcile());
        QCoreApplication::processEvents();
    }

    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    TemporaryDataHome dataHome;
    TemporaryXdgHome configHome{"XDG_CONFIG_HOME"};
    // A message box would wait for a click that never comes.
    ScriptedAlerts alerts;
    std::shared_ptr<RoutingController> controller;
    std::unique_ptr<RouterView> view;
    // Rings detached from fan-outs that a running callback may still write once.
    std::vector<TDRingBuffer*> detached;

private:
    const char* childVariable_;
};
