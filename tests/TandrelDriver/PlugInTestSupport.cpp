#include "TandrelDriver/PlugInTestSupport.h"

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/TandrelDriverTesting.h"

namespace tandrel::driver::test {

Ref str(const char* text) {
    return Ref::adopt(PLStringCreate(text));
}

Ref num(int64_t value) {
    return Ref::adopt(PLNumberCreateInt64(value));
}

Ref real(double value) {
    return Ref::adopt(PLNumberCreateFloat64(value));
}

Ref array(std::vector<Ref> items) {
    std::vector<PLRef> raw;
    for (const Ref& item : items) {
        raw.push_back(item.get());
    }
    return Ref::adopt(PLArrayCreate(raw.data(), raw.size()));
}

Ref dict(std::vector<std::pair<std::string, Ref>> entries) {
    std::vector<const char*> keys;
    std::vector<PLRef> values;
    for (const auto& [key, value] : entries) {
        keys.push_back(key.c_str());
        values.push_back(value.get());
    }
    return Ref::adopt(PLDictionaryCreate(keys.data(), values.data(), values.size()));
}

Ref line(int64_t number, int64_t channels, const char* name) {
    std::vector<std::pair<std::string, Ref>> entries = {{"number", num(number)}, {"channels", num(channels)}};
    if (name) {
        entries.emplace_back("name", str(name));
    }
    return dict(std::move(entries));
}

std::string text(PLRef string) {
    const char* utf8 = PLStringGetUTF8(string);
    return utf8 ? utf8 : "<not a string>";
}

// ---- VirtualRuntime ----

uint64_t VirtualRuntime::hostNow() {
    std::lock_guard guard(mutex_);
    return now_;
}

void VirtualRuntime::setHostTime(uint64_t ticks) {
    std::lock_guard guard(mutex_);
    now_ = ticks;
}

void VirtualRuntime::schedule(Delay delay, Task task) {
    std::lock_guard guard(mutex_);
    const uint64_t due = now_ + static_cast<uint64_t>(std::chrono::nanoseconds(delay).count());
    tasks_.emplace(std::make_pair(due, sequence_++), std::move(task));
}

bool VirtualRuntime::runNext(uint64_t until) {
    Task task;
    {
        std::lock_guard guard(mutex_);
        if (tasks_.empty() || tasks_.begin()->first.first > until) {
            return false;
        }
        auto first = tasks_.begin();
        now_ = std::max(now_, first->first.first);
        task = std::move(first->second);
        tasks_.erase(first);
    }
    task();
    return true;
}

void VirtualRuntime::runDue() {
    while (runNext(hostNow())) {
    }
}

void VirtualRuntime::advance(Delay delay) {
    const uint64_t until = hostNow() + static_cast<uint64_t>(std::chrono::nanoseconds(delay).count());
    while (runNext(until)) {
    }
    std::lock_guard guard(mutex_);
    now_ = std::max(now_, until);
}

size_t VirtualRuntime::pendingCount() const {
    std::lock_guard guard(mutex_);
    return tasks_.size();
}

void VirtualRuntime::discardAll() {
    std::map<std::pair<uint64_t, uint64_t>, Task> dropped;
    {
        std::lock_guard guard(mutex_);
        dropped.swap(tasks_);
    }
}

// ---- DriverFixture ----

DriverFixture::DriverFixture()
    : host_(std::make_unique<FakeHost>()) {}

DriverFixture::~DriverFixture() {
    // Queued blocks hold the old plug-in state; dropping them lets it go before the host does.
    resetDriverForTesting(std::make_shared<VirtualRuntime>());
    if (runtime_) {
        runtime_->discardAll();
    }
}

void DriverFixture::startDriver() {
    if (runtime_) {
        runtime_->discardAll();
    }
    runtime_ = std::make_shared<VirtualRuntime>();
    resetDriverForTesting(runtime_);
    static const AudioServerPlugInUUID kType = kAudioServerPlugInTypeUUID_INIT;
    driver_ = static_cast<AudioServerPlugInDriverRef>(TandrelDriver_Create(nullptr, &kType));
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(table().Initialize(driver_, host_->ref()), kAudioHardwareNoError);
}

void DriverFixture::restartDriver() {
    auto previous = runtime_;
    resetDriverForTesting(std::make_shared<VirtualRuntime>());
    previous->discardAll();
    runtime_.reset();
    startDriver();
}

AudioObjectPropertyAddress DriverFixture::address(uint32_t selector, uint32_t scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

bool DriverFixture::has(AudioObjectID id, uint32_t selector, uint32_t scope) {
    const auto a = address(selector, scope);
    return table().HasProperty(driver_, id, 0, &a);
}

OSStatus DriverFixture::sizeOf(AudioObjectID id, uint32_t selector, uint32_t& size, uint32_t scope) {
    const auto a = address(selector, scope);
    return table().GetPropertyDataSize(driver_, id, 0, &a, 0, nullptr, &size);
}

OSStatus DriverFixture::get(AudioObjectID id, uint32_t selector, void* data, uint32_t capacity,
                            uint32_t& written, uint32_t scope) {
    const auto a = address(selector, scope);
    return table().GetPropertyData(driver_, id, 0, &a, 0, nullptr, capacity, &written, data);
}

std::vector<AudioObjectID> DriverFixture::getIDs(AudioObjectID id, uint32_t selector, uint32_t scope) {
    uint32_t size = 0;
    EXPECT_EQ(sizeOf(id, selector, size, scope), kAudioHardwareNoError);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID) + 1);
    uint32_t written = 0;
    EXPECT_EQ(get(id, selector, ids.data(), size, written, scope), kAudioHardwareNoError);
    ids.resize(written / sizeof(AudioObjectID));
    return ids;
}

Ref DriverFixture::getRef(AudioObjectID id, uint32_t selector) {
    PLRef value = nullptr;
    uint32_t written = 0;
    if (get(id, selector, &value, sizeof(value), written) != kAudioHardwareNoError) {
        return {};
    }
    return Ref::adopt(value);
}

OSStatus DriverFixture::set(AudioObjectID id, uint32_t selector, const void* data, uint32_t size,
                            uint32_t scope) {
    const auto a = address(selector, scope);
    return table().SetPropertyData(driver_, id, 0, &a, 0, nullptr, size, data);
}

bool DriverFixture::settable(AudioObjectID id, uint32_t selector, OSStatus* status) {
    const auto a = address(selector);
    bool result = false;
    const OSStatus s = table().IsPropertySettable(driver_, id, 0, &a, &result);
    if (status) {
        *status = s;
    }
    return result;
}

void DriverFixture::applyLines(const Ref& list) {
    ASSERT_EQ(writeLines(list), kAudioHardwareNoError);
    runtime_->runDue();
}

AudioObjectID DriverFixture::deviceOfLine(uint32_t number) {
    Ref uid = str(("qorvix.tandrel.device.line" + std::to_string(number)).c_str());
    PLRef qualifier = uid.get();
    const auto a = address(code("uidd"));
    AudioObjectID id = 0;
    uint32_t written = 0;
    EXPECT_EQ(
        table().GetPropertyData(driver_, 1, 0, &a, sizeof(qualifier), &qualifier, sizeof(id), &written, &id),
        kAudioHardwareNoError);
    return id;
}

namespace {

AudioServerPlugInIOCycleInfo cycleAt(int64_t inputTime, int64_t outputTime, uint32_t frames) {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = frames;
    cycle.mInputTime.mSampleTime = static_cast<double>(inputTime);
    cycle.mOutputTime.mSampleTime = static_cast<double>(outputTime);
    return cycle;
}

} // namespace

void DriverFixture::writeMix(AudioObjectID device, int64_t sampleTime, std::vector<float>& frames,
                             uint32_t frameCount) {
    const auto cycle = cycleAt(0, sampleTime, frameCount);
    ASSERT_EQ(table().DoIOOperation(driver_, device, device + 2, 0, kAudioServerPlugInIOOperationWriteMix,
                                    frameCount, &cycle, frames.data(), nullptr),
              kAudioHardwareNoError);
}

std::vector<float> DriverFixture::readInput(AudioObjectID device, int64_t sampleTime, uint32_t frameCount,
                                            uint32_t channels) {
    std::vector<float> out(size_t{frameCount} * channels, -99.0f);
    const auto cycle = cycleAt(sampleTime, 0, frameCount);
    EXPECT_EQ(table().DoIOOperation(driver_, device, device + 1, 0, kAudioServerPlugInIOOperationReadInput,
                                    frameCount, &cycle, out.data(), nullptr),
              kAudioHardwareNoError);
    return out;
}

} // namespace tandrel::driver::test
