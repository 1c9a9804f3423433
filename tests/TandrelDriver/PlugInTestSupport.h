// Shared helpers of the driver tests: owned property-list references and builders, a runtime with
// virtual time, and a fixture that starts a fresh driver on a recording fake host and talks to it only
// through the driver's interface table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/AudioServer/AudioServerPlugIn.h"
#include "Platform/AudioServer/PropertyList/PLOwner.h"
#include "TandrelDriver/DriverRuntime.h"

namespace tandrel::driver::test {

constexpr uint32_t code(const char* s) {
    return TD_FOURCC(s[0], s[1], s[2], s[3]);
}

// Owns one reference.
using Ref = PLOwner;

Ref str(const char* text);
Ref num(int64_t value);
Ref real(double value);
Ref array(std::vector<Ref> items);
Ref dict(std::vector<std::pair<std::string, Ref>> entries);
// One 'lnes' entry; name null leaves the key out.
Ref line(int64_t number, int64_t channels, const char* name = nullptr);
std::string text(PLRef string);

// Virtual time: nothing runs until the test advances the clock or runs what is due. Thread-safe, so a
// test thread can drive it while others call the driver.
class VirtualRuntime final : public DriverRuntime {
public:
    void config(Task task) override { schedule(Delay{0}, std::move(task)); }
    void configAfter(Delay delay, Task task) override { schedule(delay, std::move(task)); }
    void global(QualityOfService, Task task) override { schedule(Delay{0}, std::move(task)); }
    void globalAfter(QualityOfService, Delay delay, Task task) override { schedule(delay, std::move(task)); }
    uint64_t hostNow() override;

    // Runs everything due now, including what those blocks queue for now.
    void runDue();
    // Moves the clock forward, running each block at its due time in order.
    void advance(Delay delay);
    void setHostTime(uint64_t ticks);
    size_t pendingCount() const;
    // Drops every queued block unrun.
    void discardAll();

private:
    void schedule(Delay delay, Task task);
    bool runNext(uint64_t until);

    mutable std::mutex mutex_;
    uint64_t now_ = 1'000'000'000; // host ticks (nanoseconds)
    uint64_t sequence_ = 0;
    std::map<std::pair<uint64_t, uint64_t>, Task> tasks_;
};

class FakeHost;

class DriverFixture : public ::testing::Test {
protected:
    DriverFixture();
    ~DriverFixture() override;

    // Starts the driver on this fixture's host (whose storage survives, like a restarted server's).
    void startDriver();
    void restartDriver();

    AudioServerPlugInDriverInterface& table() const { return **driver_; }
    AudioServerPlugInDriverRef driver() const { return driver_; }

    static AudioObjectPropertyAddress address(uint32_t selector, uint32_t scope = code("glob"));
    bool has(AudioObjectID id, uint32_t selector, uint32_t scope = code("glob"));
    OSStatus sizeOf(AudioObjectID id, uint32_t selector, uint32_t& size, uint32_t scope = code("glob"));
    OSStatus get(AudioObjectID id, uint32_t selector, void* data, uint32_t capacity, uint32_t& written,
                 uint32_t scope = code("glob"));
    template <typename T>
    T getValue(AudioObjectID id, uint32_t selector, uint32_t scope = code("glob")) {
        T value{};
        uint32_t written = 0;
        EXPECT_EQ(get(id, selector, &value, sizeof(T), written, scope), kAudioHardwareNoError)
            << "selector " << selector;
        EXPECT_EQ(written, sizeof(T));
        return value;
    }
    std::vector<AudioObjectID> getIDs(AudioObjectID id, uint32_t selector, uint32_t scope = code("glob"));
    // A +1 property-list value, empty on failure.
    Ref getRef(AudioObjectID id, uint32_t selector);
    OSStatus set(AudioObjectID id, uint32_t selector, const void* data, uint32_t size,
                 uint32_t scope = code("glob"));
    template <typename T>
    OSStatus setValue(AudioObjectID id, uint32_t selector, T value) {
        return set(id, selector, &value, sizeof(T));
    }
    OSStatus setRef(AudioObjectID id, uint32_t selector, const Ref& value) {
        PLRef raw = value.get();
        return set(id, selector, &raw, sizeof(raw));
    }
    bool settable(AudioObjectID id, uint32_t selector, OSStatus* status = nullptr);

    OSStatus writeLines(const Ref& list) { return setRef(1, code("lnes"), list); }
    // Writes and applies a line list (the application runs on the configuration queue).
    void applyLines(const Ref& list);
    std::vector<AudioObjectID> devices() { return getIDs(1, code("dev#")); }
    // The device id of a live line, 0 when it has none.
    AudioObjectID deviceOfLine(uint32_t number);

    // IO through the table: writes or reads interleaved frames at a sample time.
    void writeMix(AudioObjectID device, int64_t sampleTime, std::vector<float>& frames, uint32_t frameCount);
    std::vector<float> readInput(AudioObjectID device, int64_t sampleTime, uint32_t frameCount,
                                 uint32_t channels);

    std::shared_ptr<VirtualRuntime> runtime_;
    std::unique_ptr<FakeHost> host_;
    AudioServerPlugInDriverRef driver_ = nullptr;
};

} // namespace tandrel::driver::test
