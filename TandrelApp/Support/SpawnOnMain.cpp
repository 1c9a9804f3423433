#include "TandrelApp/Support/SpawnOnMain.h"

#include <exception>

#include <QCoreApplication>
#include <QMetaObject>

#include "Platform/Dispatch/DispatchQueue.h"
#include "TandrelApp/Support/Log.h"

namespace {

// The frame owns `body`, so whatever the body captures lives as long as the task.
QCoro::Task<> runLogged(std::function<QCoro::Task<>()> body) {
    try {
        co_await body();
    } catch (const std::exception& e) {
        Log::app("Task")->error("Task failed: {}", e.what());
    } catch (...) {
        Log::app("Task")->error("Task failed with an unknown exception");
    }
}

} // namespace

void spawnOnMain(std::function<QCoro::Task<>()> body) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [body = std::move(body)]() mutable { runLogged(std::move(body)); },
        Qt::QueuedConnection);
}

void registerMainQueue() {
    DispatchQueue::registerMainThread([](DispatchQueue::Work work) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
    });
}
