// Test entry point for the programs that need Qt's event loop: the GUI thread is the main queue.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QThreadPool>
#include <gtest/gtest.h>

#include "TandrelApp/Support/SpawnOnMain.h"
#include "TandrelApp/Support/TaskGroup.h"

namespace {

bool pooledThreadLeft() {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "Thread (pooled)") {
            return true;
        }
    }
    return false;
}

// Painting hands work to Qt's pooled threads. Ended only by the application's teardown, one of them can
// still be on its way out when the leak check runs at exit, and its thread record is then reported as
// leaked. They are ended here, and the process waits (a second at most) until they have left.
void endPooledThreads() {
    QThreadPool::globalInstance()->waitForDone();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (pooledThreadLeft() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    // One CJK font for every widget test, so texts and snapshots do not depend on the machine's fallback.
    if (QFontDatabase::families().contains(QStringLiteral("Noto Sans CJK JP"))) {
        QApplication::setFont(QFont(QStringLiteral("Noto Sans CJK JP")));
    }
    registerMainQueue();
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    // The tests' controllers are gone or go now; their tasks return before the process ends, so no
    // coroutine is left suspended (what leak checks at exit would find).
    TaskGroup::windDownAll();
    if (!TaskGroup::waitForAll(std::chrono::seconds(30))) {
        std::fprintf(stderr, "%zu tasks were still running at the end\n", TaskGroup::liveTasksOfAllGroups());
        result = 1;
    }
    endPooledThreads();
    return result;
}
