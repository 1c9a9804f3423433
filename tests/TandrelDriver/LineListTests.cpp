// The line list: 'lnes' reads and writes, their application with its notifications and configuration
// requests, retiring and reclaiming removed lines, and the "lines" and "volumes" storage.
#include <gtest/gtest.h>

#include <cmath>

#include "TandrelDriver/FakeHost.h"
#include "TandrelDriver/PlugInTestSupport.h"

namespace tandrel::driver::test {
namespace {

using namespace std::chrono_literals;

struct LineView {
    int32_t number;
    int32_t channels;
    std::string name;
    bool operator==(const LineView&) const = default;
};

std::ostream& operator<<(std::ostream& os, const LineView& l) {
    return os << "{" << l.number << ", " << l.channels << ", " << l.name << "}";
}

class DriverLineList : public DriverFixture {
protected:
    void SetUp() override { startDriver(); }

    std::vector<LineView> lines() {
        Ref list = getRef(1, code("lnes"));
        std::vector<LineView> result;
        for (size_t i = 0; i < PLArrayGetCount(list.get()); ++i) {
            PLRef entry = PLArrayGetValueAtIndex(list.get(), i);
            EXPECT_EQ(PLDictionaryGetCount(entry), 3u);
            LineView view{};
            EXPECT_TRUE(PLNumberGetInt32(PLDictionaryGetValue(entry, "number"), &view.number));
            EXPECT_TRUE(PLNumberGetInt32(PLDictionaryGetValue(entry, "channels"), &view.channels));
            view.name = text(PLDictionaryGetValue(entry, "name"));
            result.push_back(view);
        }
        return result;
    }

    float scalarOf(uint32_t lineNumber) {
        return getValue<float>(deviceOfLine(lineNumber) + 3, code("lcsv"));
    }
    uint32_t mutedOf(uint32_t lineNumber) {
        return getValue<uint32_t>(deviceOfLine(lineNumber) + 4, code("bcvl"));
    }
};

TEST_F(DriverLineList, StartsWithTheDefaultLines) {
    EXPECT_EQ(lines(), (std::vector<LineView>{{1, 2, "Line 1"}, {2, 64, "Line 2"}}));
    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{2, 7}));
    EXPECT_TRUE(host_->notifications().empty()) << "start-up announces nothing";
}

TEST_F(DriverLineList, InvalidListsAreRefusedWhole) {
    std::vector<Ref> seventeen;
    for (int i = 1; i <= 17; ++i) {
        seventeen.push_back(line(i, 2));
    }
    const std::pair<const char*, Ref> cases[] = {
        {"17 lines", array(seventeen)},
        {"empty array", array({})},
        {"not an array", line(1, 2)},
        {"null", Ref()},
        {"number 0", array({line(0, 2)})},
        {"number 100", array({line(100, 2)})},
        {"channels 1", array({line(3, 1)})},
        {"channels 3", array({line(3, 3)})},
        {"channels 66", array({line(3, 66)})},
        {"channels 0", array({line(3, 0)})},
        {"repeated number", array({line(3, 2), line(3, 4)})},
        {"element not a dictionary", array({line(3, 2), num(4)})},
        {"number missing", array({dict({{"channels", num(2)}})})},
        {"number not a number", array({dict({{"number", str("3")}, {"channels", num(2)}})})},
    };
    for (const auto& [label, list] : cases) {
        SCOPED_TRACE(label);
        EXPECT_EQ(writeLines(list), kAudioHardwareIllegalOperationError);
    }
    EXPECT_EQ(runtime_->pendingCount(), 0u) << "a refused list schedules nothing";
    EXPECT_EQ(lines(), (std::vector<LineView>{{1, 2, "Line 1"}, {2, 64, "Line 2"}}));
}

TEST_F(DriverLineList, AddingALineNotifiesTheListAndSavesItASecondLater) {
    Ref list = array({line(1, 2), line(2, 64), line(3, 8, "Stream")});
    ASSERT_EQ(writeLines(list), kAudioHardwareNoError);
    EXPECT_EQ(lines().size(), 2u) << "the list is applied asynchronously";
    runtime_->runDue();

    EXPECT_EQ(lines(), (std::vector<LineView>{{1, 2, "Line 1"}, {2, 64, "Line 2"}, {3, 8, "Stream"}}));
    EXPECT_EQ(deviceOfLine(3), 12u);
    EXPECT_EQ(host_->notifications(),
              (std::vector<Notification>{{1, {code("dev#"), code("ownd"), code("lnes")}}}));
    EXPECT_EQ(host_->writeCount("lines"), 0u);
    runtime_->advance(999ms);
    EXPECT_EQ(host_->writeCount("lines"), 0u);
    runtime_->advance(1ms);
    ASSERT_EQ(host_->writeCount("lines"), 1u);
    EXPECT_TRUE(PLEqual(host_->stored("lines").get(), list.get()));
}

TEST_F(DriverLineList, StoredListKeepsWhatTheClientWrote) {
    Ref list = array({dict({{"number", num(1)}, {"channels", real(2.5)}, {"extra", str("kept")}})});
    applyLines(list);
    EXPECT_EQ(lines(), (std::vector<LineView>{{1, 2, "Line 1"}})) << "2.5 channels read as 2";
    runtime_->advance(1s);
    EXPECT_TRUE(PLEqual(host_->stored("lines").get(), list.get()));
}

// The queued application and the delayed save each own the list they carry: work dropped unrun (as a
// stopping queue drops it) releases it, and so does work that ran.
TEST_F(DriverLineList, QueuedWorkReleasesTheListItCarriesWhetherItRunsOrIsDropped) {
    Ref list = array({line(1, 2), line(3, 4)});
    ASSERT_EQ(writeLines(list), kAudioHardwareNoError);
    EXPECT_EQ(PLGetRetainCount(list.get()), 2u);
    runtime_->discardAll();
    EXPECT_EQ(PLGetRetainCount(list.get()), 1u) << "the dropped application kept the list";

    ASSERT_EQ(writeLines(list), kAudioHardwareNoError);
    runtime_->runDue();
    EXPECT_EQ(PLGetRetainCount(list.get()), 2u) << "the save a second later holds it";
    runtime_->discardAll();
    EXPECT_EQ(PLGetRetainCount(list.get()), 1u) << "the dropped save kept the list";

    ASSERT_EQ(writeLines(list), kAudioHardwareNoError);
    runtime_->advance(1s);
    ASSERT_EQ(host_->writeCount("lines"), 1u);
    host_->clearRecords();
    EXPECT_EQ(PLGetRetainCount(list.get()), 2u) << "only the host's storage holds it now";
}

// A list nested as deep as values may be is applied and saved whole; a deeper one cannot be made, so it
// never reaches the driver as anything but a refused null list.
TEST_F(DriverLineList, AnExtraValueAsDeepAsValuesMayBeIsAppliedAndSaved) {
    const auto nested = [](size_t depth) {
        Ref value = num(1);
        for (size_t level = 1; level < depth && value; ++level) {
            value = array({value});
        }
        return value;
    };
    // The list and its entry take two levels.
    Ref deepest =
        array({dict({{"number", num(1)}, {"channels", num(2)}, {"extra", nested(PL_MAX_DEPTH - 2)}})});
    ASSERT_NE(deepest.get(), nullptr);
    applyLines(deepest);
    runtime_->advance(1s);
    EXPECT_TRUE(PLEqual(host_->stored("lines").get(), deepest.get()));

    EXPECT_EQ(nested(PL_MAX_DEPTH - 1 + 40000).get(), nullptr);
    Ref tooDeep =
        array({dict({{"number", num(1)}, {"channels", num(2)}, {"extra", nested(PL_MAX_DEPTH - 1)}})});
    EXPECT_EQ(tooDeep.get(), nullptr);
    EXPECT_EQ(writeLines(tooDeep), kAudioHardwareIllegalOperationError);
}

TEST_F(DriverLineList, RenamingOnlyAnnouncesTheName) {
    applyLines(array({line(1, 2, "Mic"), line(2, 64)}));
    EXPECT_EQ(host_->notifications(), (std::vector<Notification>{{2, {code("lnam")}}}));
    EXPECT_EQ(lines()[0].name, "Mic");

    host_->clearRecords();
    applyLines(array({line(1, 2, ""), dict({{"number", num(2)}, {"channels", num(64)}, {"name", num(7)}})}));
    EXPECT_TRUE(host_->notifications().empty()) << "empty and non-string names keep the current name";
    EXPECT_EQ(lines()[0].name, "Mic");

    applyLines(array({line(1, 2), dict({{"number", num(4)}, {"channels", num(2)}, {"name", num(7)}})}));
    EXPECT_EQ(lines()[1], (LineView{4, 2, "Line 4"}));
}

TEST_F(DriverLineList, ChangingOnlyChannelsRequestsAConfigurationChange) {
    applyLines(array({line(1, 2), line(2, 16)}));
    EXPECT_TRUE(host_->notifications().empty());
    EXPECT_EQ(host_->configurationRequests(), (std::vector<ConfigurationRequest>{{7, (1ull << 32) + 16}}));
    EXPECT_EQ(lines()[1].channels, 64) << "the count changes only when the host performs it";

    ASSERT_EQ(table().PerformDeviceConfigurationChange(driver(), 7, (1ull << 32) + 16, nullptr),
              kAudioHardwareNoError);
    EXPECT_EQ(lines()[1].channels, 16);
    EXPECT_EQ(getValue<AudioStreamBasicDescription>(8, code("sfmt")).mChannelsPerFrame, 16u);
    EXPECT_EQ(table().PerformDeviceConfigurationChange(driver(), 7, (1ull << 32) + 66, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(table().PerformDeviceConfigurationChange(driver(), 7, (1ull << 32) + 1, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(lines()[1].channels, 16);
}

TEST_F(DriverLineList, SameListTwiceChangesNothingButStillSaves) {
    Ref list = array({line(1, 2), line(2, 64)});
    applyLines(list);
    applyLines(list);
    EXPECT_TRUE(host_->notifications().empty());
    EXPECT_TRUE(host_->configurationRequests().empty());
    runtime_->advance(1s);
    EXPECT_EQ(host_->writeCount("lines"), 2u);
}

TEST_F(DriverLineList, RemovedLineComesBackWithNewIdsAndItsVolume) {
    ASSERT_EQ(setValue(8 + 2, code("lcsv"), 0.25f), kAudioHardwareNoError);
    ASSERT_EQ(setValue(8 + 3, code("bcvl"), uint32_t{1}), kAudioHardwareNoError);
    runtime_->runDue();

    applyLines(array({line(1, 2)}));
    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{2}));
    applyLines(array({line(1, 2), line(2, 64)}));
    EXPECT_EQ(deviceOfLine(2), 12u) << "ids are never reused";
    EXPECT_EQ(scalarOf(2), 0.25f);
    EXPECT_EQ(mutedOf(2), 1u);
}

TEST_F(DriverLineList, RetiredLineStaysReachableUntilReclaimedAfterItsIOStops) {
    ASSERT_EQ(table().StartIO(driver(), 7, 0), kAudioHardwareNoError);
    applyLines(array({line(1, 2)}));
    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{2}));
    EXPECT_TRUE(has(7, code("lnam")));
    EXPECT_TRUE(has(11, code("bcvl")));

    runtime_->advance(60s);
    EXPECT_TRUE(has(7, code("lnam"))) << "a device with running IO is not reclaimed";

    ASSERT_EQ(table().StopIO(driver(), 7, 0), kAudioHardwareNoError);
    runtime_->advance(29s);
    EXPECT_TRUE(has(7, code("lnam")));
    runtime_->advance(1s);
    EXPECT_FALSE(has(7, code("lnam")));
    EXPECT_EQ(table().StopIO(driver(), 7, 0), kAudioHardwareBadObjectError);
    runtime_->advance(5s);
    EXPECT_EQ(runtime_->pendingCount(), 0u) << "the device was deleted";
}

TEST_F(DriverLineList, IdleRetiredLineIsReclaimedAtTheFirstCheck) {
    applyLines(array({line(2, 64)}));
    runtime_->advance(29s);
    EXPECT_TRUE(has(2, code("lnam")));
    runtime_->advance(1s);
    EXPECT_FALSE(has(2, code("lnam")));
}

TEST_F(DriverLineList, VolumeChangesWithinASecondAreSavedOnceWithEveryLineEverSeen) {
    applyLines(array({line(1, 2), line(2, 64), line(3, 2)}));
    runtime_->advance(1s);
    ASSERT_EQ(setValue(deviceOfLine(1) + 3, code("lcsv"), 0.5f), kAudioHardwareNoError);
    ASSERT_EQ(setValue(deviceOfLine(2) + 4, code("bcvl"), uint32_t{1}), kAudioHardwareNoError);
    ASSERT_EQ(setValue(deviceOfLine(3) + 3, code("lcdv"), -0.75f), kAudioHardwareNoError);
    runtime_->advance(999ms);
    EXPECT_EQ(host_->writeCount("volumes"), 0u);
    runtime_->advance(1ms);
    ASSERT_EQ(host_->writeCount("volumes"), 1u);

    Ref volumes = host_->stored("volumes");
    ASSERT_EQ(PLDictionaryGetCount(volumes.get()), 3u);
    const auto entry = [&](const char* key) {
        PLRef pair = PLDictionaryGetValue(volumes.get(), key);
        float scalar = -1;
        int32_t muted = -1;
        EXPECT_EQ(PLArrayGetCount(pair), 2u);
        EXPECT_TRUE(PLNumberGetFloat32(PLArrayGetValueAtIndex(pair, 0), &scalar));
        EXPECT_TRUE(PLNumberGetInt32(PLArrayGetValueAtIndex(pair, 1), &muted));
        return std::make_pair(scalar, muted);
    };
    EXPECT_EQ(entry("1"), std::make_pair(0.5f, 0));
    EXPECT_EQ(entry("2"), std::make_pair(1.0f, 1));
    EXPECT_EQ(entry("3"), std::make_pair(0.25f, 0));

    // A later change is saved in a new window, and a removed line stays in the stored volumes.
    applyLines(array({line(1, 2)}));
    ASSERT_EQ(setValue(deviceOfLine(1) + 3, code("lcsv"), 0.75f), kAudioHardwareNoError);
    runtime_->advance(1s);
    EXPECT_EQ(host_->writeCount("volumes"), 2u);
    volumes = host_->stored("volumes");
    EXPECT_EQ(PLDictionaryGetCount(volumes.get()), 3u);
    EXPECT_EQ(entry("1"), std::make_pair(0.75f, 0));
}

TEST_F(DriverLineList, RestartRestoresLinesAndVolumesFromStorage) {
    applyLines(array({line(4, 8, "Podcast"), line(9, 2)}));
    ASSERT_EQ(setValue(deviceOfLine(4) + 3, code("lcsv"), 0.4f), kAudioHardwareNoError);
    ASSERT_EQ(setValue(deviceOfLine(9) + 4, code("bcvl"), uint32_t{1}), kAudioHardwareNoError);
    runtime_->runDue();
    runtime_->advance(1s);

    restartDriver();
    EXPECT_EQ(lines(), (std::vector<LineView>{{4, 8, "Podcast"}, {9, 2, "Line 9"}}));
    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{2, 7}));
    EXPECT_EQ(scalarOf(4), 0.4f);
    EXPECT_EQ(mutedOf(4), 0u);
    EXPECT_EQ(scalarOf(9), 1.0f);
    EXPECT_EQ(mutedOf(9), 1u);
}

TEST_F(DriverLineList, InvalidStoredLinesGiveTheDefaults) {
    const std::pair<const char*, Ref> stored[] = {
        {"not an array", str("lines")},
        {"empty", array({})},
        {"bad entry", array({line(1, 2), line(2, 5)})},
    };
    for (const auto& [label, value] : stored) {
        SCOPED_TRACE(label);
        host_->store("lines", value);
        restartDriver();
        EXPECT_EQ(lines(), (std::vector<LineView>{{1, 2, "Line 1"}, {2, 64, "Line 2"}}));
    }
}

TEST_F(DriverLineList, MalformedStoredVolumesAreSkippedAndClamped) {
    host_->store("volumes", dict({
                                {"1", array({real(0.3), num(1)})},
                                {"2", array({real(7.0), str("yes")})},
                                {"3", array({real(0.5)})},
                                {"x", array({real(0.2), num(1)})},
                                {"4", num(1)},
                                {"5", array({real(std::nan("")), num(0)})},
                            }));
    host_->store("lines", array({line(1, 2), line(2, 2), line(3, 2), line(4, 2), line(5, 2)}));
    restartDriver();
    EXPECT_EQ(scalarOf(1), 0.3f);
    EXPECT_EQ(mutedOf(1), 1u);
    EXPECT_EQ(scalarOf(2), 1.0f) << "clamped to 1";
    EXPECT_EQ(mutedOf(2), 0u) << "an item that is not a number keeps its default";
    EXPECT_EQ(scalarOf(3), 1.0f);
    EXPECT_EQ(scalarOf(4), 1.0f);
    EXPECT_EQ(scalarOf(5), 1.0f) << "a non-finite stored scalar keeps the default";

    host_->store("volumes", str("garbage"));
    restartDriver();
    EXPECT_EQ(scalarOf(1), 1.0f);
}

} // namespace
} // namespace tandrel::driver::test
