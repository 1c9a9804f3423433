// What the routing controller tests share: awaiting a task that may throw, and listing device UIDs.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "TandrelApp/Engine/AudioDeviceInfo.h"

namespace ControllerTestSupport {

// The task's error text, or nothing when it succeeded. QCoro::waitFor never returns from a task that
// throws, so every error is caught inside one.
inline QCoro::Task<std::optional<std::string>> catching(QCoro::Task<> task) {
    try {
        co_await std::move(task);
    } catch (const std::exception& e) {
        co_return std::string(e.what());
    }
    co_return std::nullopt;
}

inline std::vector<std::string> uids(const std::vector<AudioDeviceInfo>& devices) {
    std::vector<std::string> out;
    for (const auto& device : devices) {
        out.push_back(device.uid);
    }
    return out;
}

} // namespace ControllerTestSupport
