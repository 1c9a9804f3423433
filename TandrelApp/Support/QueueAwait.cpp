#include "TandrelApp/Support/QueueAwait.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace QueueAwaitDetail {

std::function<void(std::function<void()>)> posterForCurrentThread() {
    QObject* context = QCoreApplication::instance();
    if (context == nullptr || context->thread() != QThread::currentThread()) {
        // One object per awaiting thread, living there, so queued calls run on its event loop.
        thread_local QObject threadContext;
        context = &threadContext;
    }
    return [context](std::function<void()> resume) {
        QMetaObject::invokeMethod(context, std::move(resume), Qt::QueuedConnection);
    };
}

} // namespace QueueAwaitDetail
