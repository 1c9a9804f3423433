// An emulated audio server in a temporary home of its own for one Qt test that runs audio, and the
// teardown such a test needs: every device callback stopped, the call queue drained, the server stopped,
// the deferred frees done and the home removed.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "DeviceCallbacksStopped.h"
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Dispatch/DeferredWork.h"
#include "TandrelApp/Engine/CoreAudioCall.h"

class EmulatedServerRun {
public:
    // Starts the server from the profile in a home named after `name` and this process, loading the
    // driver bundles in `plugIns` (those of the home's plug-in folder, none, by default).
    EmulatedServerRun(const std::string& name, const char* profileJSON,
                      std::optional<std::vector<std::filesystem::path>> plugIns = std::nullopt)
        : home(std::filesystem::temp_directory_path() /
               ("tandrel-" + name + "-" + std::to_string(::getpid())))
        , server(AudioServer::start(
              {.profile = nlohmann::json::parse(profileJSON), .home = home, .plugIns = std::move(plugIns)})) {
    }

    // Whatever the test still holds that plays audio must be gone first.
    ~EmulatedServerRun() {
        EXPECT_TRUE(waitForDeviceCallbacksToStop());
        CoreAudioCall::sync([] {});
        server.reset();
        AudioServer::stop();
        DeferredWork::runPendingNow();
        std::filesystem::remove_all(home);
    }
    EmulatedServerRun(const EmulatedServerRun&) = delete;
    EmulatedServerRun& operator=(const EmulatedServerRun&) = delete;

    const std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
};
