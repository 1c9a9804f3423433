// The built bundle loaded the way the audio server loads it: its own copy of the driver behind the one
// exported factory. Skipped where the bundle is not built (the sanitizer runs build only test programs).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/PlugInTestSupport.h"
#include "TandrelDriver/TandrelDriverTesting.h"

namespace tandrel::driver::test {
namespace {

std::filesystem::path bundleModule() {
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    return exe.parent_path().parent_path() / "TandrelDriver.driver" / "Contents" / "Linux" /
           "TandrelDriver.so";
}

TEST(DriverBundle, LoadedModuleServesItsLinesThroughTheFactoryAlone) {
    const auto path = bundleModule();
    if (!std::filesystem::exists(path)) {
        GTEST_SKIP() << "no bundle at " << path;
    }
    // Never closed, like the server: the driver has queues and threads of its own.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto factory = reinterpret_cast<AudioServerPlugInFactoryFunction>(dlsym(module, "TandrelDriver_Create"));
    ASSERT_NE(factory, nullptr);
    // Values cross between server and driver, so both use the one shared property-list library: the
    // bundle's functions are the process's own, not a copy of its own.
    EXPECT_EQ(dlsym(module, "PLRetain"), reinterpret_cast<void*>(&PLRetain));
    EXPECT_EQ(dlsym(module, "PLDictionaryGetValue"), reinterpret_cast<void*>(&PLDictionaryGetValue));

    const AudioServerPlugInUUID type = kAudioServerPlugInTypeUUID_INIT;
    auto driver = static_cast<AudioServerPlugInDriverRef>(factory(nullptr, &type));
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(static_cast<void*>(driver), TandrelDriver_Create(nullptr, &type)) << "a separate copy";

    // The loaded driver keeps its host for good.
    static FakeHost* host = new FakeHost;
    host->store("lines", array({line(7, 4, "Loaded")}));
    ASSERT_EQ((*driver)->Initialize(driver, host->ref()), kAudioHardwareNoError);

    const AudioObjectPropertyAddress lines = {code("lnes"), code("glob"), 0};
    PLRef list = nullptr;
    uint32_t written = 0;
    ASSERT_EQ((*driver)->GetPropertyData(driver, 1, 0, &lines, 0, nullptr, sizeof(list), &written, &list),
              kAudioHardwareNoError);
    Ref owned = Ref::adopt(list);
    ASSERT_EQ(PLArrayGetCount(list), 1u);
    EXPECT_EQ(text(PLDictionaryGetValue(PLArrayGetValueAtIndex(list, 0), "name")), "Loaded");
}

} // namespace
} // namespace tandrel::driver::test
