#include "TandrelApp/Support/TaskGroup.h"

#include <mutex>
#include <set>
#include <vector>

#include <QEventLoop>
#include <QTimer>
#include <qcoro/qcorosignal.h>

#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

// Every group alive. Never destroyed, so a group released during the static destruction at exit still
// finds it.
struct Registry {
    std::mutex mutex;
    std::set<TaskGroup*> groups;
};

Registry& registry() {
    static auto* const instance = new Registry;
    return *instance;
}

std::atomic<std::size_t> liveTotal{0};

} // namespace

// One task of a group, from its spawn until its frame (which owns this) is gone.
struct TaskGroup::Member {
    explicit Member(std::shared_ptr<TaskGroup> owner)
        : group(std::move(owner)) {
        ++group->live_;
        ++liveTotal;
    }
    ~Member() {
        --group->live_;
        --liveTotal;
    }
    Member(const Member&) = delete;
    Member& operator=(const Member&) = delete;

    std::shared_ptr<TaskGroup> group;
};

std::shared_ptr<TaskGroup> TaskGroup::create() {
    std::shared_ptr<TaskGroup> group(new TaskGroup());
    std::lock_guard lock(registry().mutex);
    registry().groups.insert(group.get());
    return group;
}

TaskGroup::~TaskGroup() {
    std::lock_guard lock(registry().mutex);
    registry().groups.erase(this);
}

void TaskGroup::spawn(std::function<QCoro::Task<>()> body) {
    // Copyable for std::function; the last copy goes with the frame of the task.
    auto member = std::make_shared<Member>(shared_from_this());
    spawnOnMain([member, body = std::move(body)] { return body(); });
}

QCoro::Task<bool> TaskGroup::sleep(std::shared_ptr<TaskGroup> group, std::chrono::milliseconds duration) {
    if (group->windingDown()) {
        co_return false;
    }
    auto woken = qCoro(group.get(), &TaskGroup::woundDown, duration);
    const auto signalled = co_await std::move(woken);
    co_return !signalled.has_value();
}

void TaskGroup::windDown() {
    windingDown_ = true;
    emit woundDown();
}

void TaskGroup::windDownAll() {
    std::vector<std::shared_ptr<TaskGroup>> all;
    {
        std::lock_guard lock(registry().mutex);
        for (TaskGroup* group : registry().groups) {
            // One on its way out has nothing left to wake: its tasks held it.
            if (auto held = group->weak_from_this().lock()) {
                all.push_back(std::move(held));
            }
        }
    }
    for (const auto& group : all) {
        group->windDown();
    }
}

bool TaskGroup::waitForAll(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    while (liveTasksOfAllGroups() > 0 && Clock::now() < deadline) {
        QEventLoop loop;
        QTimer::singleShot(std::chrono::milliseconds(5), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return liveTasksOfAllGroups() == 0;
}

std::size_t TaskGroup::liveTasksOfAllGroups() {
    return liveTotal.load();
}
