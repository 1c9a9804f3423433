// The tasks one owner starts on the GUI thread, counted until their coroutine frames are gone, so that
// the owner can wind them down: once it does, their sleeps end at once and they return at their next
// step. Whoever ends a run (the application at quit, a test program after its tests) waits for every
// group, so no coroutine is left suspended when the process exits. The routing controller starts all its
// tasks through one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include <QObject>
#include <qcoro/qcorotask.h>

class TaskGroup : public QObject, public std::enable_shared_from_this<TaskGroup> {
    Q_OBJECT

public:
    static std::shared_ptr<TaskGroup> create();
    ~TaskGroup() override;
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Starts `body` as spawnOnMain does (after the current event, on the GUI thread) and counts it until
    // its frame is gone; a task that never got to run is counted until the event that would start it is
    // dropped. Callable from any thread. A task may be spawned after the wind-down: it is to see
    // windingDown() and return.
    void spawn(std::function<QCoro::Task<>()> body);

    // Sleeps `duration`, or until the group winds down; false when the wind-down ended it (at once when
    // the group had wound down already). GUI thread.
    static QCoro::Task<bool> sleep(std::shared_ptr<TaskGroup> group, std::chrono::milliseconds duration);

    // Wakes every sleep of the group, and makes later ones return at once.
    void windDown();
    bool windingDown() const { return windingDown_.load(); }
    // The group's tasks whose frames still exist.
    std::size_t liveTasks() const { return live_.load(); }

    // Winds down every group there is.
    static void windDownAll();
    // Runs the GUI thread's event loop until no task of any group is left, or `limit` has passed; true
    // when none is left.
    static bool waitForAll(std::chrono::milliseconds limit);
    static std::size_t liveTasksOfAllGroups();

signals:
    void woundDown();

private:
    TaskGroup() = default;
    struct Member;

    std::atomic<bool> windingDown_{false};
    std::atomic<std::size_t> live_{0};
};
