#include "TandrelApp/Shell/SourceMenusModel.h"

#include <algorithm>

#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/SettingsTab.h"

namespace SourceMenus {

namespace {

Item header(std::string title) {
    return {Item::Kind::header, std::move(title), false, std::nullopt};
}

Item action(std::string title, Action action) {
    return {Item::Kind::action, std::move(title), false, std::move(action)};
}

Item toggle(std::string title, AutoAddSwitch which, bool on) {
    return {Item::Kind::toggle, std::move(title), on, Action{Action::SetAutoAdd{which, !on}}};
}

Item divider() {
    return {Item::Kind::divider, {}, false, std::nullopt};
}

std::vector<Item> sourceItems(const State& state) {
    std::vector<Item> items{header("アプリケーションを追加")};
    for (const auto& app : state.runningApps) {
        items.push_back(
            action(app.name, {Action::AddSource{SourceKind::application(app.bundleID), app.name}}));
    }
    items.push_back(header("システム"));
    items.push_back(action("システム全体の音声を追加",
                           {Action::AddSource{SourceKind::systemAudio(), std::string(systemAudioName)}}));
    items.push_back(header("入力デバイスを追加"));
    for (const auto& device : state.inputDevices) {
        items.push_back(action(inputDeviceTitle(device),
                               {Action::AddSource{SourceKind::inputDevice(device.uid), device.name}}));
    }
    items.push_back(divider());
    items.push_back(
        toggle("起動しているアプリを自動で追加", AutoAddSwitch::runningApps, state.autoAddsRunningApps));
    items.push_back(toggle("音を出したアプリを自動で追加", AutoAddSwitch::apps, state.autoAddsApps));
    items.push_back(action("除外するアプリ…（" + std::to_string(state.excludedAppCount) + "）",
                           {Action::OpenExcludedApps{}}));
    return items;
}

std::vector<Item> monitorItems(const State& state) {
    std::vector<Item> items{header("モニター先を追加")};
    const std::size_t first = items.size();
    for (const auto& device : state.outputDevices) {
        // UIDs are compared exactly: one differing only in letter case is another device.
        if (std::ranges::find(state.monitorDeviceUIDs, device.uid) == state.monitorDeviceUIDs.end()) {
            items.push_back(action(device.name, {Action::AddMonitor{device.uid}}));
        }
    }
    if (items.size() == first) {
        items.push_back({Item::Kind::note, "追加できる出力デバイスはありません", false, std::nullopt});
    }
    items.push_back(divider());
    items.push_back(
        toggle("接続した出力デバイスを自動で追加", AutoAddSwitch::monitors, state.autoAddsMonitors));
    return items;
}

} // namespace

State State::of(const RoutingController& controller) {
    return {.runningApps = CaptureTargetProvider::runningApplications(),
            .inputDevices = controller.inputDevices(),
            .outputDevices = controller.outputDevices(),
            .monitorDeviceUIDs = controller.config().monitorDeviceUIDs,
            .autoAddsRunningApps = controller.autoAddsRunningApps(),
            .autoAddsApps = controller.autoAddsApps(),
            .autoAddsMonitors = controller.autoAddsMonitors(),
            .excludedAppCount = controller.excludedApps().size()};
}

std::vector<Item> buildMenuModel(Menu menu, const State& state) {
    return menu == Menu::sources ? sourceItems(state) : monitorItems(state);
}

std::string inputDeviceTitle(const AudioDeviceInfo& device) {
    return device.name + "（" + std::to_string(device.inputChannels) + "ch）";
}

void perform(const Action& action, RoutingController& controller) {
    std::visit(
        [&controller](const auto& step) {
            using Step = std::decay_t<decltype(step)>;
            if constexpr (std::is_same_v<Step, Action::AddSource>) {
                controller.addSource(step.kind, step.name);
            } else if constexpr (std::is_same_v<Step, Action::AddMonitor>) {
                controller.addMonitor(step.uid);
            } else if constexpr (std::is_same_v<Step, Action::SetAutoAdd>) {
                switch (step.which) {
                case AutoAddSwitch::runningApps:
                    controller.setAutoAddsRunningApps(step.on);
                    break;
                case AutoAddSwitch::apps:
                    controller.setAutoAddsApps(step.on);
                    break;
                case AutoAddSwitch::monitors:
                    controller.setAutoAddsMonitors(step.on);
                    break;
                }
            } else {
                openSettings(SettingsTab::excludedApps);
            }
        },
        action.value);
}

} // namespace SourceMenus
