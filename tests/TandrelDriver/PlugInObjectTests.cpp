// The driver's factory, reference counting and the plug-in object's properties.
#include <gtest/gtest.h>

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/PlugInTestSupport.h"
#include "TandrelDriver/TandrelDriverTesting.h"

namespace tandrel::driver::test {
namespace {

class DriverPlugInObject : public DriverFixture {
protected:
    void SetUp() override { startDriver(); }
};

TEST_F(DriverPlugInObject, FactoryAnswersOnlyThePlugInType) {
    const AudioServerPlugInUUID other = kAudioServerPlugInDriverInterfaceUUID_INIT;
    EXPECT_EQ(TandrelDriver_Create(nullptr, &other), nullptr);
    EXPECT_EQ(TandrelDriver_Create(nullptr, nullptr), nullptr);
    const AudioServerPlugInUUID type = kAudioServerPlugInTypeUUID_INIT;
    EXPECT_EQ(TandrelDriver_Create(nullptr, &type), driver());
    EXPECT_EQ(driverRefCountForTesting(), 0u) << "the factory adds no reference";
}

TEST_F(DriverPlugInObject, QueryInterfaceCountsOnlyKnownInterfaces) {
    const AudioServerPlugInUUID unknown = kIUnknownUUID_INIT;
    const AudioServerPlugInUUID driverInterface = kAudioServerPlugInDriverInterfaceUUID_INIT;
    const AudioServerPlugInUUID other = kAudioServerPlugInTypeUUID_INIT;
    void* out = nullptr;
    EXPECT_EQ(table().QueryInterface(driver(), unknown, &out), TD_S_OK);
    EXPECT_EQ(out, driver());
    EXPECT_EQ(table().QueryInterface(driver(), driverInterface, &out), TD_S_OK);
    EXPECT_EQ(driverRefCountForTesting(), 2u);

    void* untouched = &out;
    EXPECT_EQ(table().QueryInterface(driver(), other, &untouched), TD_E_NOINTERFACE);
    EXPECT_EQ(untouched, &out);
    EXPECT_EQ(driverRefCountForTesting(), 2u);

    AudioServerPlugInDriverInterface* foreignPtr = &table();
    EXPECT_EQ(table().QueryInterface(&foreignPtr, unknown, &out),
              static_cast<HRESULT>(kAudioHardwareBadObjectError));
    EXPECT_EQ(table().QueryInterface(driver(), unknown, nullptr),
              static_cast<HRESULT>(kAudioHardwareBadObjectError));
}

TEST_F(DriverPlugInObject, ReferenceCountStopsAtZeroAndIgnoresForeignReferences) {
    EXPECT_EQ(table().AddRef(driver()), 1u);
    EXPECT_EQ(table().AddRef(driver()), 2u);
    EXPECT_EQ(table().Release(driver()), 1u);
    EXPECT_EQ(table().Release(driver()), 0u);
    EXPECT_EQ(table().Release(driver()), 0u);
    EXPECT_EQ(driverRefCountForTesting(), 0u);

    AudioServerPlugInDriverInterface* foreignPtr = &table();
    EXPECT_EQ(table().AddRef(&foreignPtr), 0u);
    EXPECT_EQ(table().Release(&foreignPtr), 0u);
    EXPECT_EQ(driverRefCountForTesting(), 0u);
    // The driver keeps working at a count of 0.
    EXPECT_EQ(devices().size(), 2u);
}

TEST_F(DriverPlugInObject, UnknownObjectIsBadObjectAtEveryEntryPoint) {
    const AudioObjectID none = 999;
    const auto a = address(code("bcls"));
    uint32_t u32 = 0;
    bool flag = false;
    double sample = 0;
    uint64_t host = 0, seed = 0;
    const AudioServerPlugInIOCycleInfo cycle{};
    EXPECT_EQ(table().AddDeviceClient(driver(), none, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(table().RemoveDeviceClient(driver(), none, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(table().PerformDeviceConfigurationChange(driver(), none, 48000, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table().AbortDeviceConfigurationChange(driver(), none, 48000, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_FALSE(table().HasProperty(driver(), none, 0, &a));
    EXPECT_EQ(table().IsPropertySettable(driver(), none, 0, &a, &flag), kAudioHardwareBadObjectError);
    EXPECT_EQ(table().GetPropertyDataSize(driver(), none, 0, &a, 0, nullptr, &u32),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table().GetPropertyData(driver(), none, 0, &a, 0, nullptr, 4, &u32, &u32),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table().SetPropertyData(driver(), none, 0, &a, 0, nullptr, 4, &u32),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table().StartIO(driver(), none, 0), kAudioHardwareBadObjectError);
    EXPECT_EQ(table().StopIO(driver(), none, 0), kAudioHardwareBadObjectError);
    EXPECT_EQ(table().GetZeroTimeStamp(driver(), none, 0, &sample, &host, &seed),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table().WillDoIOOperation(driver(), none, 0, code("read"), &flag, &flag),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(table().DoIOOperation(driver(), none, none, 0, code("read"), 4, &cycle, &u32, nullptr),
              kAudioHardwareBadObjectError);

    const AudioObjectID device = devices()[0];
    EXPECT_EQ(table().AddDeviceClient(driver(), device + 4, nullptr), kAudioHardwareNoError);
    EXPECT_EQ(table().AbortDeviceConfigurationChange(driver(), device, 0, nullptr), kAudioHardwareNoError);
}

TEST_F(DriverPlugInObject, MissingAddressOrOutPointerIsIllegal) {
    const auto a = address(code("bcls"));
    uint32_t u32 = 0;
    bool flag = false;
    EXPECT_FALSE(table().HasProperty(driver(), 1, 0, nullptr));
    EXPECT_EQ(table().IsPropertySettable(driver(), 1, 0, nullptr, &flag),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().IsPropertySettable(driver(), 1, 0, &a, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().GetPropertyDataSize(driver(), 1, 0, nullptr, 0, nullptr, &u32),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().GetPropertyDataSize(driver(), 1, 0, &a, 0, nullptr, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 0, nullptr, 4, nullptr, &u32),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 0, nullptr, 4, &u32, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().SetPropertyData(driver(), 1, 0, &a, 0, nullptr, 4, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().SetPropertyData(driver(), 1, 0, nullptr, 0, nullptr, 4, &u32),
              kAudioHardwareIllegalOperationError);
}

struct FixedRow {
    const char* selector;
    uint32_t size;
    uint32_t value;
};

TEST_F(DriverPlugInObject, FixedSizePropertiesAnswerTheirValueAndRefuseShortBuffers) {
    const FixedRow rows[] = {
        {"bcls", 4, code("aobj")}, {"clas", 4, code("aplg")}, {"stdv", 4, 0}, {"uidb", 4, 0}, {"uidd", 4, 0},
    };
    for (const FixedRow& row : rows) {
        SCOPED_TRACE(row.selector);
        const uint32_t selector = code(row.selector);
        uint32_t size = 0;
        ASSERT_EQ(sizeOf(1, selector, size), kAudioHardwareNoError);
        EXPECT_EQ(size, row.size);
        EXPECT_TRUE(has(1, selector));
        uint32_t value = 0xFFFFFFFF, written = 0;
        if (selector != code("uidd")) {
            ASSERT_EQ(get(1, selector, &value, 4, written), kAudioHardwareNoError);
            EXPECT_EQ(written, 4u);
            EXPECT_EQ(value, row.value);
            EXPECT_EQ(get(1, selector, &value, 3, written), kAudioHardwareBadPropertySizeError);
        }
    }
    for (const char* selector : {"lmak", "rsrc", "lnes"}) {
        SCOPED_TRACE(selector);
        uint32_t size = 0;
        ASSERT_EQ(sizeOf(1, code(selector), size), kAudioHardwareNoError);
        EXPECT_EQ(size, 8u);
        uint64_t small = 0;
        uint32_t written = 0;
        EXPECT_EQ(get(1, code(selector), &small, 7, written), kAudioHardwareBadPropertySizeError);
    }
    EXPECT_EQ(text(getRef(1, code("lmak")).get()), "qorvix");
    EXPECT_EQ(text(getRef(1, code("rsrc")).get()), "");

    uint32_t size = 99;
    ASSERT_EQ(sizeOf(1, code("box#"), size), kAudioHardwareNoError);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(has(1, code("lnam")));
    EXPECT_EQ(sizeOf(1, code("lnam"), size), kAudioHardwareUnknownPropertyError);
}

TEST_F(DriverPlugInObject, DeviceListIsOrderedByLineNumberAndFillsShortBuffersPartially) {
    applyLines(array({line(5, 2), line(3, 2), line(9, 2)}));
    const AudioObjectID line3 = deviceOfLine(3), line5 = deviceOfLine(5), line9 = deviceOfLine(9);
    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{line3, line5, line9}));
    EXPECT_EQ(getIDs(1, code("ownd")), devices());

    AudioObjectID ids[3] = {};
    uint32_t written = 0;
    ASSERT_EQ(get(1, code("dev#"), ids, 4, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(ids[0], line3);
    ASSERT_EQ(get(1, code("dev#"), ids, 9, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 8u);
}

TEST_F(DriverPlugInObject, CustomPropertyListNamesTheLineList) {
    AudioServerPlugInCustomPropertyInfo info{};
    uint32_t written = 99;
    ASSERT_EQ(get(1, code("cust"), &info, 8, written), kAudioHardwareNoError);
    EXPECT_EQ(written, 0u) << "a short buffer gets nothing, without an error";
    ASSERT_EQ(get(1, code("cust"), &info, sizeof(info), written), kAudioHardwareNoError);
    EXPECT_EQ(written, 12u);
    EXPECT_EQ(info.mSelector, code("lnes"));
    EXPECT_EQ(info.mPropertyDataType, code("plst"));
    EXPECT_EQ(info.mQualifierDataType, 0u);
}

TEST_F(DriverPlugInObject, TranslatesDeviceUIDsThroughTheQualifier) {
    const auto a = address(code("uidd"));
    Ref uid = str("qorvix.tandrel.device.line2");
    PLRef qualifier = uid.get();
    AudioObjectID id = 0;
    uint32_t written = 0;

    uint32_t size = 0;
    ASSERT_EQ(table().GetPropertyDataSize(driver(), 1, 0, &a, 4, nullptr, &size), kAudioHardwareNoError);
    EXPECT_EQ(size, 4u) << "a size query does not look at the qualifier";
    EXPECT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 4, &qualifier, 4, &written, &id),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 8, nullptr, 4, &written, &id),
              kAudioHardwareBadPropertySizeError);

    ASSERT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 8, &qualifier, 4, &written, &id),
              kAudioHardwareNoError);
    EXPECT_EQ(id, devices()[1]);

    Ref unknown = str("qorvix.tandrel.device.line7");
    qualifier = unknown.get();
    ASSERT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 8, &qualifier, 4, &written, &id),
              kAudioHardwareNoError);
    EXPECT_EQ(id, 0u);
    qualifier = nullptr;
    ASSERT_EQ(table().GetPropertyData(driver(), 1, 0, &a, 8, &qualifier, 4, &written, &id),
              kAudioHardwareNoError);
    EXPECT_EQ(id, 0u);
}

TEST_F(DriverPlugInObject, OnlyTheLineListIsSettable) {
    OSStatus status = 0;
    EXPECT_TRUE(settable(1, code("lnes"), &status));
    EXPECT_EQ(status, kAudioHardwareNoError);
    EXPECT_FALSE(settable(1, code("dev#"), &status));
    EXPECT_EQ(status, kAudioHardwareNoError);
    settable(1, code("zzzz"), &status);
    EXPECT_EQ(status, kAudioHardwareUnknownPropertyError);

    uint32_t value = 0;
    EXPECT_EQ(set(1, code("dev#"), &value, 4), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set(1, code("lnes"), &value, 4), kAudioHardwareBadPropertySizeError);
}

} // namespace
} // namespace tandrel::driver::test
