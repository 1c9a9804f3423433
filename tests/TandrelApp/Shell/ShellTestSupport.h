// What the shell's tests share: temporary configuration and data folders, a quiet emulated audio server
// (one output device, no applications) and the application's own bundle identifier, for as long as the
// fixture lives; and a tray button that records what is done with it.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include <QMenu>

#include <nlohmann/json.hpp>

#include "Platform/AudioServer/AudioServer.h"
#include "Platform/System/Desktop/StatusItem.h"
#include "Platform/Workspace/Workspace.h"
#include "Support/TemporaryXdgHome.h"

class ShellEnvironment {
public:
    static constexpr const char* bundleID = "qorvix.tandrel.shell-test";

    static constexpr const char* speakersProfile = R"({"devices": [
        {"uid": "shell.speakers", "name": "Speakers", "outputStreams": [2]}]})";

    // `profile` is the emulated hardware; no driver is loaded.
    explicit ShellEnvironment(const char* profile = speakersProfile) {
        server_ = AudioServer::start({.profile = nlohmann::json::parse(profile),
                                      .home = std::filesystem::path(data.path().toStdString()) / "server",
                                      .plugIns = std::vector<std::filesystem::path>{}});
        Workspace::setOwnBundleIdentifier(bundleID);
    }
    ~ShellEnvironment() {
        Workspace::setOwnBundleIdentifier(std::nullopt);
        AudioServer::stop();
    }
    ShellEnvironment(const ShellEnvironment&) = delete;
    ShellEnvironment& operator=(const ShellEnvironment&) = delete;

    AudioServer& server() { return *server_; }

    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    TemporaryXdgHome data{"XDG_DATA_HOME"};

private:
    std::shared_ptr<AudioServer> server_;
};

// A tray button that records what is done with it.
class FakeButton : public StatusBarButton {
public:
    Action action() const override { return action_; }
    void setAction(Action action) override { action_ = std::move(action); }
    void popUpMenu(QMenu& menu) override {
        std::vector<QString> titles;
        for (QAction* action : menu.actions()) {
            titles.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
        }
        menus.push_back(titles);
    }
    QRect screenGeometry() const override { return {}; }

    void click(Click click) { action_(click); }

    std::vector<std::vector<QString>> menus;

private:
    Action action_;
};
