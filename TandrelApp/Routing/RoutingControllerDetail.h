// What the routing controller's source files share: the UID prefixes of the program's own devices, the
// time-out of its audio-server calls, and the stop of a producer that was taken out of service.
#pragma once

#include <cassert>
#include <functional>
#include <memory>
#include <string_view>

#include <QCoreApplication>
#include <QThread>
#include <qcoro/qcorotask.h>

#include "TandrelApp/Engine/AudioProducer.h"
#include "TandrelApp/Routing/RoutingConfig.h"
#include "TandrelApp/Support/TaskGroup.h"

namespace RoutingControllerDetail {

inline constexpr std::string_view linePrefix = "qorvix.tandrel.device.line";
// No trailing dot: it covers the process-tap aggregates and the device-list announcement alike.
inline constexpr std::string_view ownAggregatePrefix = "qorvix.tandrel.tap";

inline bool isLine(std::string_view uid) {
    return uid.starts_with(linePrefix);
}

inline void assertMainThread() {
    assert(QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread());
}

// The status text of an application source whose application does not run.
inline constexpr const char* applicationNotRunningText = "アプリが起動していません";

// Whether a connection starts from the configured source `sourceID`.
inline bool startsFrom(const Connection& connection, const UUID& sourceID) {
    return connection.from == Endpoint::source(sourceID);
}

// Stops a capture source or an input device source; anything else (an injected producer) is left alone.
QCoro::Task<> stopRunning(std::shared_ptr<AudioProducer> producer);

// Starts a task of the controller's group from a callback of the server or the workspace (any thread);
// nothing once the controller, and with it the group, is gone.
inline void spawnIn(const std::weak_ptr<TaskGroup>& tasks, std::function<QCoro::Task<>()> body) {
    if (auto group = tasks.lock()) {
        group->spawn(std::move(body));
    }
}

} // namespace RoutingControllerDetail
