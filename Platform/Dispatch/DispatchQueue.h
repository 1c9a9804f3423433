// Dispatch queues: serial queues with labels, target queues and queue-specific values, concurrent global
// queues by quality of service, and the main queue; every component that hands work to another thread
// (the audio-server call queue, capture sources, the emulated server's listeners) goes through them.
//
// Execution model: a serial queue drains its items one at a time as a single work item submitted to its
// target (a global queue when none is given). Because a queue's drain runs inside its target's context,
// "am I on this queue" and queue-specific lookups follow the chain of target queues. Global queues run on
// one elastic thread pool that grows whenever all its threads are busy, so a blocked item (a hung audio
// server) never starves unrelated work. No Qt: the application registers its GUI thread as the main queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

enum class DispatchQoS { background, utility, standard, userInitiated, userInteractive };

// A key for queue-specific values; its address is its identity, so keep it static.
template <typename T>
class DispatchSpecificKey {
public:
    DispatchSpecificKey() = default;
    DispatchSpecificKey(const DispatchSpecificKey&) = delete;
    DispatchSpecificKey& operator=(const DispatchSpecificKey&) = delete;
};

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    using Work = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    // A serial queue. Without a target its drains run on the global queue of its quality of service.
    static std::shared_ptr<DispatchQueue> serial(std::string label, DispatchQoS qos = DispatchQoS::standard,
                                                 std::shared_ptr<DispatchQueue> target = nullptr);
    // The process-wide concurrent queue of one quality of service.
    static std::shared_ptr<DispatchQueue> global(DispatchQoS qos = DispatchQoS::standard);
    // The serial main queue. Until a main thread is registered its items run on pool threads.
    static std::shared_ptr<DispatchQueue> main();
    // Makes the calling thread the main thread: main-queue drains are handed to `post`, which must run
    // them on this thread (the application passes a queued call to its GUI thread).
    static void registerMainThread(std::function<void(Work)> post);
    // True on the registered main thread, or inside a main-queue item.
    static bool isMainThread();

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;
    ~DispatchQueue();

    const std::string& label() const { return label_; }
    DispatchQoS qos() const { return qos_; }
    bool isSerial() const { return kind_ != Kind::concurrent; }
    const std::shared_ptr<DispatchQueue>& target() const { return target_; }

    // Enqueues work; never runs it inline. An exception escaping the work is logged and dropped.
    void async(Work work);
    // Enqueues work once the delay (monotonic) has passed.
    void asyncAfter(Clock::duration delay, Work work);
    void asyncAt(Clock::time_point deadline, Work work);

    // Runs `fn` on this queue and waits for it; returns its value or rethrows its exception. Waiting
    // on a serial queue whose context the caller already holds (this queue, or one it targets, is
    // running the caller) would never finish: that throws std::logic_error instead.
    template <typename F>
    std::invoke_result_t<F> sync(F&& fn);

    // True while the calling thread runs an item of this queue or of a queue that targets it.
    bool isCurrent() const;

    template <typename T>
    void setSpecific(const DispatchSpecificKey<T>& key, T value);
    template <typename T>
    std::optional<T> specific(const DispatchSpecificKey<T>& key) const;
    // The value under `key` on the current queue or, failing that, on its target queues.
    template <typename T>
    static std::optional<T> currentSpecific(const DispatchSpecificKey<T>& key);

private:
    enum class Kind { serial, concurrent, main };
    struct Private;
    DispatchQueue(std::string label, DispatchQoS qos, Kind kind, std::shared_ptr<DispatchQueue> target);

    void throwIfSyncWouldDeadlock() const;
    void setSpecificValue(const void* key, std::shared_ptr<const void> value);
    std::shared_ptr<const void> specificValue(const void* key) const;
    static std::shared_ptr<const void> currentSpecificValue(const void* key);

    void submitDrain();
    void drain();

    const std::string label_;
    const DispatchQoS qos_;
    const Kind kind_;
    const std::shared_ptr<DispatchQueue> target_;
    std::unique_ptr<Private> d_;
};

template <typename F>
std::invoke_result_t<F> DispatchQueue::sync(F&& fn) {
    using R = std::invoke_result_t<F>;
    throwIfSyncWouldDeadlock();
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<R>, int, R>> result;
    async([&] {
        try {
            if constexpr (std::is_void_v<R>) {
                fn();
            } else {
                result.emplace(fn());
            }
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    if (error) {
        std::rethrow_exception(error);
    }
    if constexpr (!std::is_void_v<R>) {
        return std::move(*result);
    }
}

template <typename T>
void DispatchQueue::setSpecific(const DispatchSpecificKey<T>& key, T value) {
    setSpecificValue(&key, std::make_shared<const T>(std::move(value)));
}

template <typename T>
std::optional<T> DispatchQueue::specific(const DispatchSpecificKey<T>& key) const {
    auto value = specificValue(&key);
    return value ? std::optional<T>(*static_cast<const T*>(value.get())) : std::nullopt;
}

template <typename T>
std::optional<T> DispatchQueue::currentSpecific(const DispatchSpecificKey<T>& key) {
    auto value = currentSpecificValue(&key);
    return value ? std::optional<T>(*static_cast<const T*>(value.get())) : std::nullopt;
}
