// The capture lab's model with fake sources: starting and stopping captures by toggle, by a mode change,
// by the system and by the model going away; the meters; and recordings, their file names and their
// failures.
#include <gtest/gtest.h>

#include <fstream>

#include <QTemporaryDir>
#include <qcoro/qcorotask.h>
#include <sndfile.h>

#include "CaptureLabTestSupport.h"
#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Diagnostics/CaptureLabModel.h"
#include "TandrelApp/Engine/CaptureTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using CaptureLabTestSupport::FakeSources;
using CaptureLabTestSupport::tonePlayer;
using CaptureTestSupport::waitFor;

// 2025-03-04T05:06:07Z
const auto kMarch4 = std::chrono::system_clock::from_time_t(1741064767);

class CaptureLabModelTest : public ::testing::Test {
protected:
    std::shared_ptr<CaptureLabModel> makeModel() {
        return std::make_shared<CaptureLabModel>(CaptureLabModel::Environment{
            .makeSource = sources.maker(),
            .musicFolder = [this] { return musicFolder; },
            .now = [this] { return now; },
            .reveal =
                [this](const fs::path& path, std::function<void(bool)> done) {
                    revealed.push_back(path);
                    done(fileManagerAnswers);
                },
            .meterInterval = 1h, // the tests refresh by hand
        });
    }

    void toggle(CaptureLabModel& model, const CaptureTarget& target) { QCoro::waitFor(model.toggle(target)); }

    QTemporaryDir temporary;
    FakeSources sources;
    std::optional<fs::path> musicFolder = fs::path(temporary.path().toStdString()) / "Music";
    std::chrono::system_clock::time_point now = kMarch4;
    std::vector<fs::path> revealed;
    bool fileManagerAnswers = true;
    std::shared_ptr<CaptureLabModel> model = makeModel();
};

TEST_F(CaptureLabModelTest, ANewModelIsIdle) {
    EXPECT_EQ(model->mode(), CaptureMode::automatic);
    EXPECT_TRUE(model->apps().empty());
    EXPECT_TRUE(model->captures().empty());
    EXPECT_EQ(model->message(), std::nullopt);
    EXPECT_FALSE(model->isCapturing(CaptureTarget::systemAudio()));
    EXPECT_FALSE(model->isCapturing(tonePlayer));
}

TEST_F(CaptureLabModelTest, ToggleStartsACaptureAndToggleAgainStopsIt) {
    int changes = 0;
    QObject::connect(model.get(), &CaptureLabModel::capturesChanged, [&changes] { changes += 1; });
    toggle(*model, tonePlayer);
    ASSERT_TRUE(model->isCapturing(tonePlayer));
    EXPECT_FALSE(model->isCapturing(CaptureTarget::application("org.example.toneplayer", "Other name")));
    ASSERT_EQ(sources.made.size(), 1u);
    EXPECT_EQ(sources.made[0].backend, backend(CaptureMode::automatic, tonePlayer));
    EXPECT_EQ(sources.made[0].target, tonePlayer);
    auto capture = model->capture(tonePlayer);
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(capture->source(), sources.last());
    EXPECT_EQ(capture->analyzer()->producer(), sources.last())
        << "the analyzer listens to the capture's source";
    EXPECT_TRUE(capture->analyzer()->probeFrequencies().empty());
    EXPECT_EQ(changes, 1);

    // The analyzer is attached: what the source plays reaches its levels.
    sources.last()->play({0.25f, 0.5f}, 2400);
    ASSERT_TRUE(waitFor([&] { return capture->analyzer()->totalFramesConsumed() == 2400; }));

    toggle(*model, tonePlayer);
    EXPECT_FALSE(model->isCapturing(tonePlayer));
    EXPECT_EQ(sources.last()->stops, 1);
    EXPECT_FALSE(sources.last()->running);
    EXPECT_EQ(changes, 2);
    sources.last()->play({0.25f, 0.5f}, 2400);
    QCoreApplication::processEvents();
    EXPECT_EQ(capture->analyzer()->totalFramesConsumed(), 2400u) << "the analyzer let go of the source";
}

TEST_F(CaptureLabModelTest, AStartCountsOnlyOnceItHasSucceededAndASecondToggleMeanwhileIsIgnored) {
    sources.prepare = [](auto& source) {
        source.holdStart = true;
    };
    auto first = model->toggle(CaptureTarget::systemAudio());
    auto second = model->toggle(CaptureTarget::systemAudio());
    ASSERT_EQ(sources.made.size(), 1u) << "one source per target, however often the switch is flipped";
    ASSERT_TRUE(waitFor([&] { return sources.last()->starts == 1; }));
    EXPECT_FALSE(model->isCapturing(CaptureTarget::systemAudio()));
    EXPECT_TRUE(second.isReady());

    sources.last()->holdStart = false;
    QCoro::waitFor(std::move(first));
    EXPECT_TRUE(model->isCapturing(CaptureTarget::systemAudio()));
    EXPECT_EQ(sources.made.size(), 1u);
}

TEST_F(CaptureLabModelTest, AStartThatFailsLeavesTheTargetIdleAndSaysWhy) {
    sources.prepare = [](auto& source) {
        source.failStartWith = "アプリが見つかりません";
    };
    toggle(*model, tonePlayer);
    EXPECT_FALSE(model->isCapturing(tonePlayer));
    EXPECT_EQ(model->message(), "Tone Player: アプリが見つかりません");

    sources.prepare = [](auto& source) {
        source.failStartWith = "権限がありません";
    };
    toggle(*model, CaptureTarget::systemAudio());
    EXPECT_EQ(model->message(), "System Audio: 権限がありません") << "the newer failure replaces the older";

    sources.prepare = nullptr;
    toggle(*model, tonePlayer);
    EXPECT_TRUE(model->isCapturing(tonePlayer)) << "a failed start does not block the next one";
}

TEST_F(CaptureLabModelTest, ACaptureTheSystemStopsShowsItsErrorUntilItIsRemoved) {
    toggle(*model, tonePlayer);
    auto capture = model->capture(tonePlayer);
    auto source = sources.last();
    source->holdStop = true;
    source->stopBySystem(std::make_exception_ptr(AppError("ディスプレイが切断されました")));

    ASSERT_TRUE(waitFor([&] { return capture->error().has_value(); }));
    EXPECT_EQ(capture->error(), "ディスプレイが切断されました");
    EXPECT_TRUE(capture->isStopping());
    EXPECT_TRUE(model->isCapturing(tonePlayer)) << "the row stays while its source stops";
    EXPECT_EQ(model->message(), std::nullopt) << "shown in the row, not in an alert";

    source->holdStop = false;
    ASSERT_TRUE(waitFor([&] { return !model->isCapturing(tonePlayer); }));
    EXPECT_EQ(source->stops, 1);

    // A stop without an error shows none.
    toggle(*model, tonePlayer);
    capture = model->capture(tonePlayer);
    sources.last()->holdStop = true;
    sources.last()->stopBySystem(nullptr);
    ASSERT_TRUE(waitFor([&] { return capture->isStopping(); }));
    EXPECT_EQ(capture->error(), std::nullopt);
    sources.last()->holdStop = false;
    ASSERT_TRUE(waitFor([&] { return !model->isCapturing(tonePlayer); }));
}

TEST_F(CaptureLabModelTest, AToggleWhileTheCaptureStopsDoesNotStopItTwice) {
    toggle(*model, tonePlayer);
    sources.last()->holdStop = true;
    auto stopping = model->toggle(tonePlayer);
    auto again = model->toggle(tonePlayer);
    EXPECT_TRUE(again.isReady());
    sources.last()->holdStop = false;
    QCoro::waitFor(std::move(stopping));
    EXPECT_EQ(sources.last()->stops, 1);
    EXPECT_EQ(sources.made.size(), 1u);
}

TEST_F(CaptureLabModelTest, ChangingTheModeStopsEveryCaptureAndLaterOnesUseTheNewMode) {
    toggle(*model, tonePlayer);
    toggle(*model, CaptureTarget::systemAudio());
    int modeChanges = 0;
    QObject::connect(model.get(), &CaptureLabModel::modeChanged, [&modeChanges] { modeChanges += 1; });

    model->setMode(CaptureMode::automatic);
    QCoreApplication::processEvents();
    EXPECT_EQ(model->captures().size(), 2u) << "the mode already set stops nothing";
    EXPECT_EQ(modeChanges, 0);

    // A start under way when the mode changes does not survive it either.
    sources.prepare = [](auto& source) {
        source.holdStart = true;
    };
    const auto notes = CaptureTarget::application("org.example.notes", "Notes");
    auto starting = model->toggle(notes);
    model->setMode(CaptureMode::screenCaptureKit);
    EXPECT_EQ(model->mode(), CaptureMode::screenCaptureKit);
    EXPECT_EQ(modeChanges, 1);
    ASSERT_TRUE(waitFor([&] { return model->captures().empty(); }));
    sources.last()->holdStart = false;
    QCoro::waitFor(std::move(starting));
    EXPECT_FALSE(model->isCapturing(notes));
    for (const auto& made : sources.made) {
        EXPECT_EQ(made.source->stops, 1) << made.target.displayName();
    }

    sources.prepare = nullptr;
    toggle(*model, tonePlayer);
    EXPECT_EQ(sources.last()->backend(), CaptureBackend::screenCaptureKit);
    EXPECT_EQ(model->captures().size(), 1u) << "stopped captures are not restarted";
}

TEST_F(CaptureLabModelTest, ACaptureStartedInTheNewModeOutlivesTheStopOfTheOldOnes) {
    toggle(*model, tonePlayer);
    model->setMode(CaptureMode::screenCaptureKit);
    // Started before the main thread gets round to stopping the old mode's captures.
    const auto notes = CaptureTarget::application("org.example.notes", "Notes");
    toggle(*model, notes);
    ASSERT_TRUE(waitFor([&] { return !model->isCapturing(tonePlayer); }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(model->isCapturing(notes));
    EXPECT_EQ(sources.last()->backend(), CaptureBackend::screenCaptureKit);
    EXPECT_EQ(sources.last()->stops, 0);
}

TEST_F(CaptureLabModelTest, TheModelGoingAwayStopsItsCapturesAndAnyStartStillUnderWay) {
    toggle(*model, tonePlayer);
    auto running = sources.last();
    sources.prepare = [](auto& source) {
        source.holdStart = true;
    };
    auto starting = model->toggle(CaptureTarget::systemAudio());
    auto pending = sources.last();

    model.reset();
    ASSERT_TRUE(waitFor([&] { return running->stops == 1; }));
    EXPECT_FALSE(running->running);

    pending->holdStart = false;
    QCoro::waitFor(std::move(starting));
    EXPECT_EQ(pending->stops, 1) << "a source that started for a model no longer there is not left running";
    EXPECT_FALSE(pending->running);
}

TEST_F(CaptureLabModelTest, MetersShowNothingUntilTheFirstRefreshAfterABlock) {
    toggle(*model, CaptureTarget::systemAudio());
    auto capture = model->capture(CaptureTarget::systemAudio());
    auto source = sources.last();
    EXPECT_EQ(capture->peak(), (std::vector<float>{0.0f, 0.0f}));
    EXPECT_EQ(capture->statistics().sourceFormat, "-");
    EXPECT_EQ(capture->statistics().callbacks, 0u);
    EXPECT_EQ(capture->dropped(), 0u);

    source->setStatistics({.callbacks = 12,
                           .framesReceived = 6144,
                           .lastCallbackFrames = 512,
                           .sourceFormat = "48000 Hz, 2 ch, Float32 interleaved",
                           .tappedProcesses = 3});
    source->play({0.5f, 0.125f}, 1000);
    int changes = 0;
    QObject::connect(capture.get(), &CaptureLabActiveCapture::changed, [&changes] { changes += 1; });
    model->refreshMeters();
    EXPECT_EQ(changes, 1) << "every refresh publishes";
    EXPECT_EQ(capture->peak(), (std::vector<float>{0.0f, 0.0f})) << "half a block is not analysed yet";
    EXPECT_EQ(capture->statistics().callbacks, 12u);
    EXPECT_EQ(capture->statistics().sourceFormat, "48000 Hz, 2 ch, Float32 interleaved");
    EXPECT_EQ(capture->statistics().tappedProcesses, 3);

    source->play({0.5f, 0.125f}, 1400);
    ASSERT_TRUE(waitFor([&] { return capture->analyzer()->totalFramesConsumed() == 2400; }));
    model->refreshMeters();
    EXPECT_EQ(capture->peak(), (std::vector<float>{0.5f, 0.125f}));

    // A block larger than the analyzer's ring is cut to what fits; the rest counts as dropped.
    source->play({0.1f, 0.1f}, capture->analyzer()->ringCapacity() + 5000);
    model->refreshMeters();
    EXPECT_EQ(capture->dropped(), 5000u);
}

TEST_F(CaptureLabModelTest, RecordingFileNamesFollowTheTargetAndTheTimeInUTC) {
    EXPECT_EQ(CaptureLabModel::recordingBaseName("System Audio", kMarch4),
              "System Audio 2025-03-04T05-06-07Z");
    EXPECT_EQ(CaptureLabModel::recordingBaseName("AC/DC Player", kMarch4 + 999ms),
              "AC-DC Player 2025-03-04T05-06-07Z")
        << "a slash cannot be part of a file name; the time is cut to the second";
    EXPECT_EQ(CaptureLabModel::recordingBaseName("a//b/", kMarch4), "a--b- 2025-03-04T05-06-07Z");
    EXPECT_EQ(CaptureLabModel::recordingBaseName("Notes: 仕事", kMarch4), "Notes: 仕事 2025-03-04T05-06-07Z")
        << "only the time's colons are replaced; a name keeps its own";
    EXPECT_EQ(CaptureLabModel::recordingBaseName("..", kMarch4), ".. 2025-03-04T05-06-07Z");
}

TEST_F(CaptureLabModelTest, ATakenFileNameGetsTheNextFreeNumber) {
    const fs::path folder = "/music/Corvane Captures";
    std::set<fs::path> taken;
    auto isTaken = [&taken](const fs::path& path) {
        return taken.contains(path);
    };
    const std::string base = "System Audio 2025-03-04T05-06-07Z";
    EXPECT_EQ(CaptureLabModel::uniqueRecordingPath(folder, base, isTaken), folder / (base + ".wav"));
    taken = {folder / (base + ".wav")};
    EXPECT_EQ(CaptureLabModel::uniqueRecordingPath(folder, base, isTaken), folder / (base + " 2.wav"));
    taken = {folder / (base + ".wav"), folder / (base + " 2.wav"), folder / (base + " 3.wav")};
    EXPECT_EQ(CaptureLabModel::uniqueRecordingPath(folder, base, isTaken), folder / (base + " 4.wav"));
    taken = {folder / (base + " 2.wav")};
    EXPECT_EQ(CaptureLabModel::uniqueRecordingPath(folder, base, isTaken), folder / (base + ".wav"));
}

TEST_F(CaptureLabModelTest, RecordingsOfTheSameSecondAndNameGoToFilesOfTheirOwn) {
    const auto app = CaptureTarget::application("org.example.a", "Player/Pro");
    const auto twin = CaptureTarget::application("org.example.b", "Player/Pro");
    toggle(*model, app);
    toggle(*model, twin);
    auto first = model->capture(app);
    auto second = model->capture(twin);

    model->toggleRecording(*first);
    model->toggleRecording(*second);
    const fs::path folder = *musicFolder / "Corvane Captures";
    EXPECT_EQ(first->recordingPath(), folder / "Player-Pro 2025-03-04T05-06-07Z.wav");
    EXPECT_EQ(second->recordingPath(), folder / "Player-Pro 2025-03-04T05-06-07Z 2.wav");
    EXPECT_EQ(model->message(), std::nullopt);

    sources.made[0].source->play({0.5f, 0.5f}, 4800);
    sources.made[1].source->play({0.25f, 0.25f}, 2400);
    ASSERT_TRUE(waitFor([&] {
        return first->analyzer()->totalFramesConsumed() == 4800 &&
               second->analyzer()->totalFramesConsumed() == 2400;
    }));

    const fs::path firstFile = *first->recordingPath();
    model->toggleRecording(*first);
    EXPECT_EQ(first->recordingPath(), std::nullopt);
    EXPECT_EQ(revealed, std::vector<fs::path>{firstFile})
        << "a finished recording is shown in the file manager";

    // Stopping the capture closes its recording without showing it.
    toggle(*model, twin);
    EXPECT_EQ(revealed.size(), 1u);

    for (const auto& [file, frames] :
         {std::pair{firstFile, 4800}, std::pair{folder / "Player-Pro 2025-03-04T05-06-07Z 2.wav", 2400}}) {
        SF_INFO info{};
        SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
        ASSERT_NE(sound, nullptr) << file;
        sf_close(sound);
        EXPECT_EQ(info.frames, frames) << file;
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    }

    // A new recording in that same second takes the next number; the existing files stay as they are.
    model->toggleRecording(*first);
    EXPECT_EQ(first->recordingPath(), folder / "Player-Pro 2025-03-04T05-06-07Z 3.wav");

    // Where no file manager shows it, the window says where the recording is.
    EXPECT_EQ(model->message(), std::nullopt);
    fileManagerAnswers = false;
    model->toggleRecording(*first);
    EXPECT_EQ(model->message(), "ファイルマネージャで表示できませんでした。録音は次の場所にあります:\n" +
                                    (folder / "Player-Pro 2025-03-04T05-06-07Z 3.wav").string());
}

TEST_F(CaptureLabModelTest, ARecordingThatCannotStartSaysWhyAndTheCaptureRunsOn) {
    toggle(*model, tonePlayer);
    auto capture = model->capture(tonePlayer);

    musicFolder = std::nullopt;
    model->toggleRecording(*capture);
    EXPECT_EQ(model->message(), "録音を開始できません: 音楽フォルダが見つかりません");
    EXPECT_EQ(capture->recordingPath(), std::nullopt);

    // The music folder's place is taken by a file.
    const fs::path blocked = fs::path(temporary.path().toStdString()) / "blocked";
    std::ofstream(blocked) << "not a folder";
    musicFolder = blocked;
    model->setMessage(std::nullopt);
    model->toggleRecording(*capture);
    ASSERT_TRUE(model->message().has_value());
    EXPECT_TRUE(model->message()->starts_with("録音を開始できません: フォルダを作成できません（" +
                                              (blocked / "Corvane Captures").string() + "）: "))
        << *model->message();
    EXPECT_EQ(capture->recordingPath(), std::nullopt);

    // The file itself cannot be made: a name longer than any file system allows.
    musicFolder = fs::path(temporary.path().toStdString()) / "Music";
    const auto longName = CaptureTarget::application("org.example.long", std::string(300, 'x'));
    toggle(*model, longName);
    model->setMessage(std::nullopt);
    model->toggleRecording(*model->capture(longName));
    ASSERT_TRUE(model->message().has_value());
    EXPECT_TRUE(model->message()->starts_with("録音を開始できません: 録音ファイルを作成できません"))
        << *model->message();
    EXPECT_EQ(model->capture(longName)->recordingPath(), std::nullopt);

    EXPECT_TRUE(model->isCapturing(tonePlayer));
    EXPECT_TRUE(model->isCapturing(longName));
    model->toggleRecording(*capture);
    EXPECT_TRUE(capture->recordingPath().has_value()) << "the next try works once the folder is there";
}

TEST_F(CaptureLabModelTest, ACaptureThatIsStoppingIsNotRecorded) {
    toggle(*model, tonePlayer);
    auto capture = model->capture(tonePlayer);
    sources.last()->holdStop = true;
    auto stopping = model->toggle(tonePlayer);
    model->toggleRecording(*capture);
    EXPECT_EQ(capture->recordingPath(), std::nullopt);
    EXPECT_FALSE(fs::exists(*musicFolder / "Corvane Captures")) << "no empty file is left behind";
    sources.last()->holdStop = false;
    QCoro::waitFor(std::move(stopping));
}

} // namespace
