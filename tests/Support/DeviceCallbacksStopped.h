// The first step of every audio test's teardown: waiting until the device callbacks have stopped.
#pragma once

#include <QTest>

#include "Platform/AudioServer/AudioServer.h"

// True once no device callback runs, within `limitMs`. A source stopped in the background resumes on the
// GUI thread just after its callback has stopped, and holds the source until then; the events are served
// a moment longer, so that no suspended stop is left holding its source when the process exits.
inline bool waitForDeviceCallbacksToStop(int limitMs = 3000) {
    const bool stopped = QTest::qWaitFor([] { return AudioServer::runningIOCount() == 0; }, limitMs);
    QTest::qWait(100);
    return stopped;
}
