// Starting main-thread tasks: spawnOnMain posts a coroutine to start on the GUI thread after the current
// event, the way a new main-actor task starts only after the running job; registerMainQueue makes the
// GUI thread the dispatch main queue. Called by every component that starts a task.
#pragma once

#include <functional>

#include <qcoro/qcorotask.h>

// Starts `body` on the GUI thread from its event loop, never inline; callable from any thread. `body`
// is kept alive until its task finishes, so a capturing lambda that is itself a coroutine is safe here.
// An exception escaping the task is logged, never lost.
void spawnOnMain(std::function<QCoro::Task<>()> body);

// Registers the calling thread (the GUI thread, with a QCoreApplication) as the dispatch main queue.
void registerMainQueue();
