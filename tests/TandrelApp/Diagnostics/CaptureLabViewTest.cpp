// The capture lab window: its texts and bars as plain functions, the user's flows through the window with
// fake sources (choosing a method, switching captures, recording, a capture the system ends, a failure
// in the alert, applications coming and going), and pictures of two real captures running on the
// emulated platform.
#include <gtest/gtest.h>

#include <cmath>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <qcoro/qcorotask.h>
#include <sndfile.h>

#include "CaptureLabTestSupport.h"
#include "Platform/AudioServer/AudioServer.h"
#include "Platform/Workspace/Workspace.h"
#include "Support/ScriptedAlerts.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Diagnostics/CaptureAnalyzer.h"
#include "TandrelApp/Diagnostics/CaptureLabDetail.h"
#include "TandrelApp/Diagnostics/CaptureLabTargetRow.h"
#include "TandrelApp/Diagnostics/CaptureLabView.h"
#include "TandrelApp/Diagnostics/CaptureLabViewModel.h"
#include "TandrelApp/Diagnostics/SegmentedPicker.h"
#include "TandrelApp/Diagnostics/ToggleSwitch.h"
#include "TandrelApp/Engine/CaptureTestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace ViewModel = CaptureLabViewModel;
using namespace std::chrono_literals;
using CaptureLabTestSupport::FakeSources;
using CaptureLabTestSupport::tonePlayer;
using CaptureTestSupport::waitFor;

QStringList texts(const std::vector<QLabel*>& labels) {
    QStringList out;
    for (const QLabel* label : labels) {
        out << label->text();
    }
    return out;
}

// ---- Texts and bars

TEST(CaptureLabViewModel, TheNoteExplainsWhatTheChosenMethodNeeds) {
    EXPECT_EQ(ViewModel::modeNote(CaptureMode::automatic),
              "自動: 通常は Process Tap（システムオーディオ録音の許可）、Safari などは ScreenCaptureKit"
              "（画面と音声の収録の許可）を使います。");
    EXPECT_EQ(ViewModel::modeNote(CaptureMode::processTap),
              "Process Tap: 初回の取り込み開始時に「システムオーディオ録音」の許可を求められます。"
              "拒否すると無音になります。");
    EXPECT_EQ(ViewModel::modeNote(CaptureMode::screenCaptureKit),
              "ScreenCaptureKit: 「画面と音声の収録」の許可が必要です（システム設定 > "
              "プライバシーとセキュリティ）。");
}

TEST(CaptureLabViewModel, TheStatisticsLineNamesTheBackendAndItsCounters) {
    const CaptureStatistics fresh{.callbacks = 0,
                                  .framesReceived = 0,
                                  .lastCallbackFrames = 0,
                                  .sourceFormat = "-",
                                  .tappedProcesses = std::nullopt};
    EXPECT_EQ(ViewModel::statisticsLine(CaptureBackend::processTap, fresh, 0),
              "[Process Tap] - · 0 cb · 0 frames/cb · dropped 0");

    const CaptureStatistics tap{.callbacks = 1234567,
                                .framesReceived = 632098304,
                                .lastCallbackFrames = 512,
                                .sourceFormat = "48000 Hz, 2 ch, Float32 interleaved",
                                .tappedProcesses = 3};
    EXPECT_EQ(
        ViewModel::statisticsLine(CaptureBackend::processTap, tap, 4096),
        "[Process Tap] 48000 Hz, 2 ch, Float32 interleaved · 1234567 cb · 512 frames/cb · dropped 4096 · "
        "3 process(es)")
        << "plain numbers, no grouping";

    CaptureStatistics screen = tap;
    screen.tappedProcesses = std::nullopt;
    EXPECT_EQ(ViewModel::statisticsLine(CaptureBackend::screenCaptureKit, screen, 18446744073709551615u),
              "[ScreenCaptureKit] 48000 Hz, 2 ch, Float32 interleaved · 1234567 cb · 512 frames/cb · dropped "
              "18446744073709551615");
    screen.tappedProcesses = 0;
    EXPECT_TRUE(
        ViewModel::statisticsLine(CaptureBackend::processTap, screen, 0).ends_with(" · 0 process(es)"));
}

TEST(CaptureLabViewModel, TheRecordButtonAndTheChannelLabels) {
    EXPECT_EQ(ViewModel::recordButton(false),
              (ViewModel::RecordButtonFace{"録音", {"record.circle", ColorRole::primary}}));
    EXPECT_EQ(ViewModel::recordButton(true),
              (ViewModel::RecordButtonFace{"停止", {"stop.circle.fill", ColorRole::red}}));
    EXPECT_EQ(ViewModel::channelLabel(0), "L");
    EXPECT_EQ(ViewModel::channelLabel(1), "R");
    EXPECT_EQ(ViewModel::channelLabel(5), "R");
}

TEST(CaptureLabViewModel, ALevelBarFillsSixtyDecibelsAndTakesTheMetersColours) {
    struct Case {
        float peak;
        float fraction;
        ColorRole color;
    };
    const Case cases[] = {
        {0.0f, 0.0f, ColorRole::green},        // silence
        {1e-7f, 0.0f, ColorRole::green},       // below the -100 dB floor
        {0.001f, 0.0f, ColorRole::green},      // -60 dB
        {0.1f, 2.0f / 3.0f, ColorRole::green}, // -20 dB
        {0.25f, 0.79931f, ColorRole::green},   // -12.04 dB
        {0.26f, 0.80500f, ColorRole::yellow},  // -11.70 dB
        {0.5f, 0.89966f, ColorRole::yellow},   // about -6 dB
        {0.7f, 0.94837f, ColorRole::yellow},   // -3.10 dB
        {0.71f, 0.95042f, ColorRole::red},     // -2.97 dB
        {1.0f, 1.0f, ColorRole::red},          // full scale
        {4.0f, 1.0f, ColorRole::red},          // over full scale
        {std::nanf(""), 0.0f, ColorRole::green},
    };
    LevelBar bar{Theme::Metrics()};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peak);
        bar.setValue(c.peak);
        EXPECT_NEAR(bar.fraction(), c.fraction, 1e-4);
        EXPECT_EQ(bar.colorRole(), c.color);
    }
}

// ---- The window with fake sources

class CaptureLabViewTest : public ::testing::Test {
protected:
    std::shared_ptr<CaptureLabModel> makeModel() {
        return std::make_shared<CaptureLabModel>(CaptureLabModel::Environment{
            .makeSource = sources.maker(),
            .musicFolder = [this] { return std::optional(fs::path(music.path().toStdString())); },
            .now = {},
            .reveal = [](const fs::path&, std::function<void(bool)> done) { done(true); },
            .meterInterval = 1h,
        });
    }

    // The row's switch flipped by the user, and the events run until the model has followed.
    void flip(CaptureLabTargetRow& row, bool capturing) {
        QTest::mouseClick(&row.toggleSwitch(), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return view.model().isCapturing(row.target()) == capturing; }));
    }

    QTemporaryDir music;
    ScriptedAlerts alerts;
    FakeSources sources;
    CaptureLabView view{makeModel(), Theme::Metrics(), OperatingSystemVersion{15, 0, 0}};
};

TEST_F(CaptureLabViewTest, ThePickerOffersTheMethodsOfThisSystemAndChoosingOneChangesTheNote) {
    EXPECT_GE(view.minimumWidth(), 580);
    EXPECT_GE(view.minimumHeight(), 480);
    SegmentedPicker& picker = view.modePicker();
    EXPECT_EQ(picker.segments(), (QStringList{"自動", "Process Tap", "ScreenCaptureKit"}));
    EXPECT_EQ(picker.currentIndex(), 0);
    EXPECT_EQ(view.modeNote().text().toStdString(), ViewModel::modeNote(CaptureMode::automatic));

    view.show();
    QTest::mouseClick(&picker, Qt::LeftButton, {}, picker.segmentRect(2).center());
    EXPECT_EQ(view.model().mode(), CaptureMode::screenCaptureKit);
    EXPECT_EQ(picker.currentIndex(), 2);
    EXPECT_EQ(view.modeNote().text().toStdString(), ViewModel::modeNote(CaptureMode::screenCaptureKit));

    CaptureLabView older{makeModel(), Theme::Metrics(), OperatingSystemVersion{14, 1, 0}};
    EXPECT_EQ(older.modePicker().segments(), (QStringList{"自動", "ScreenCaptureKit"}));
    older.model().setMode(CaptureMode::screenCaptureKit);
    EXPECT_EQ(older.modePicker().currentIndex(), 1);
    view.hide();
}

TEST_F(CaptureLabViewTest, SwitchingACaptureOnShowsItsBarsStatisticsAndRecordButton) {
    CaptureLabTargetRow& row = view.systemRow();
    EXPECT_EQ(row.nameLabel().text(), QStringLiteral("System Audio"));
    EXPECT_TRUE(row.detail().isHidden());
    EXPECT_TRUE(row.recordButton().isHidden());
    EXPECT_FALSE(row.toggleSwitch().isOn());
    view.show();

    flip(row, true);
    EXPECT_TRUE(row.toggleSwitch().isOn());
    EXPECT_TRUE(row.recordButton().isVisible());
    EXPECT_EQ(row.recordButton().text(), QStringLiteral("録音"));
    ASSERT_TRUE(row.detail().isVisible());
    EXPECT_EQ(texts(row.detail().channelLabels()), (QStringList{"L", "R"}));
    EXPECT_EQ(row.detail().statisticsLabel().text(),
              QStringLiteral("[Process Tap] - · 0 cb · 0 frames/cb · dropped 0"));
    EXPECT_TRUE(row.detail().errorLabel().isHidden());

    auto capture = view.model().capture(CaptureTarget::systemAudio());
    sources.last()->play({0.5f, 0.1f}, 2400);
    ASSERT_TRUE(waitFor([&] { return capture->analyzer()->totalFramesConsumed() == 2400; }));
    view.model().refreshMeters();
    EXPECT_FLOAT_EQ(row.detail().levelBars()[0]->value(), 0.5f);
    EXPECT_EQ(row.detail().levelBars()[1]->colorRole(), ColorRole::green);

    QTest::mouseClick(&row.recordButton(), Qt::LeftButton);
    EXPECT_EQ(row.recordButton().text(), QStringLiteral("停止"));
    ASSERT_TRUE(capture->recordingPath().has_value());
    EXPECT_TRUE(fs::exists(*capture->recordingPath()));
    QTest::mouseClick(&row.recordButton(), Qt::LeftButton);
    EXPECT_EQ(row.recordButton().text(), QStringLiteral("録音"));

    flip(row, false);
    EXPECT_FALSE(row.toggleSwitch().isOn());
    EXPECT_TRUE(row.detail().isHidden());
    EXPECT_TRUE(row.recordButton().isHidden());
    view.hide();
}

TEST_F(CaptureLabViewTest, ClosingTheWindowEndsItsCapturesAndRecordings) {
    view.show();
    flip(view.systemRow(), true);
    auto capture = view.model().capture(CaptureTarget::systemAudio());
    view.model().toggleRecording(*capture);
    ASSERT_TRUE(capture->recordingPath().has_value());
    view.close();
    ASSERT_TRUE(waitFor([&] { return view.model().captures().empty(); }));
    EXPECT_EQ(sources.last()->stops, 1);
    SF_INFO info{};
    SNDFILE* file = sf_open(capture->recordingPath()->c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << "the recording is closed as a whole file";
    sf_close(file);
}

TEST_F(CaptureLabViewTest, ACaptureWithMoreChannelsLabelsTheFirstLeftAndAllOthersRight) {
    sources.channels = 4;
    view.show();
    flip(view.systemRow(), true);
    view.model().refreshMeters();
    EXPECT_EQ(texts(view.systemRow().detail().channelLabels()), (QStringList{"L", "R", "R", "R"}));
    view.hide();
}

TEST_F(CaptureLabViewTest, ACaptureTheSystemEndsShowsItsErrorInRedUntilItsRowClears) {
    view.show();
    CaptureLabTargetRow& row = view.systemRow();
    flip(row, true);
    auto source = sources.last();
    source->holdStop = true;
    source->stopBySystem(std::make_exception_ptr(AppError("画面収録が止まりました")));
    QLabel& error = row.detail().errorLabel();
    ASSERT_TRUE(waitFor([&] { return error.isVisible(); }));
    EXPECT_EQ(error.text(), QStringLiteral("画面収録が止まりました"));
    EXPECT_EQ(error.palette().color(QPalette::WindowText), Theme::color(ColorRole::red, error.palette()));
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(writeSnapshot(view, QStringLiteral("capture-lab-stopped-by-the-system")));

    source->holdStop = false;
    ASSERT_TRUE(waitFor([&] { return row.detail().isHidden(); }));
    EXPECT_FALSE(row.toggleSwitch().isOn());
    view.hide();
}

TEST_F(CaptureLabViewTest, AFailureIsShownInTheAlertOnceAndClearedWhenDismissed) {
    view.refreshApplications();
    sources.prepare = [](auto& source) {
        source.failStartWith = "アプリが見つかりません: org.example.toneplayer";
    };
    view.show();
    flip(view.systemRow(), false);
    ASSERT_TRUE(waitFor([&] { return !alerts.shown.empty() && !view.model().message(); }));
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "お知らせ");
    EXPECT_EQ(alerts.shown[0].informativeText,
              "System Audio: アプリが見つかりません: org.example.toneplayer");
    ASSERT_EQ(alerts.shown[0].buttons.size(), 1u);
    EXPECT_EQ(alerts.shown[0].buttons[0].title, "OK");
    // Pictured as the product shows it.
    auto box = MessageBoxAlerts::messageBox(alerts.shown[0]);
    box->show();
    QApplication::processEvents();
    EXPECT_TRUE(box->grab().save(snapshotPath(QStringLiteral("capture-lab-alert"))));
    box->hide();

    // Two failures in a row: each is shown, none is lost.
    view.model().setMessage("一つ目");
    view.model().setMessage("二つ目");
    ASSERT_TRUE(waitFor([&] { return alerts.shown.size() >= 2 && !view.model().message(); }));
    EXPECT_EQ(alerts.shown.size(), 2u) << "the newer message replaced the older before it was shown";
    EXPECT_EQ(alerts.shown.back().informativeText, "二つ目");
    view.hide();
}

TEST_F(CaptureLabViewTest, TheApplicationsFollowTheWorkspaceWhileTheWindowIsShown) {
    auto names = [this] {
        QStringList out;
        for (auto* row : view.applicationRows()) {
            out << row->nameLabel().text();
        }
        return out;
    };
    Workspace& workspace = Workspace::shared();
    auto application = [](const char* bundleID, const char* name, ActivationPolicy policy) {
        RunningApplication app;
        app.bundleIdentifier = bundleID;
        app.localizedName = name;
        app.activationPolicy = policy;
        return app;
    };
    const int zebra = workspace.launch(application("org.example.zebra", "zebra", ActivationPolicy::regular));
    const int agent =
        workspace.launch(application("org.example.agent", "Agent", ActivationPolicy::accessory));
    view.show();
    ASSERT_TRUE(waitFor([&] { return names().contains("zebra"); }));
    EXPECT_FALSE(names().contains("Agent")) << "only regular applications";

    const int apple = workspace.launch(application("org.example.apple", "Apple", ActivationPolicy::regular));
    ASSERT_TRUE(waitFor([&] { return names().contains("Apple"); }));
    EXPECT_LT(names().indexOf("Apple"), names().indexOf("zebra")) << "sorted by name, case ignored";
    CaptureLabTargetRow* appleRow = view.applicationRows()[static_cast<size_t>(names().indexOf("Apple"))];
    EXPECT_EQ(appleRow->target(), CaptureTarget::application("org.example.apple", "Apple"));
    EXPECT_FALSE(appleRow->showsPicture()) << "an application without an icon shows the generic symbol";

    // A captured application that quits loses its row; its capture stays until its source stops.
    flip(*appleRow, true);
    workspace.terminate(apple);
    ASSERT_TRUE(waitFor([&] { return !names().contains("Apple"); }));
    EXPECT_TRUE(view.model().isCapturing(CaptureTarget::application("org.example.apple", "Apple")));

    workspace.terminate(zebra);
    workspace.terminate(agent);
    ASSERT_TRUE(waitFor([&] { return !names().contains("zebra"); }));
    view.hide();
}

// ---- Two real captures, pictured

class CaptureLabWindowOnThePlatform : public ::testing::Test {
protected:
    void SetUp() override {
        server = AudioServer::start({.profile = std::nullopt,
                                     .home = fs::path(scratch.path().toStdString()) / "server",
                                     .plugIns = std::vector<fs::path>{}});
    }
    void TearDown() override {
        server.reset();
        AudioServer::stop();
    }

    std::shared_ptr<CaptureLabModel> makeModel() {
        return std::make_shared<CaptureLabModel>(CaptureLabModel::Environment{
            .makeSource = {},
            .musicFolder = [this] { return std::optional(fs::path(scratch.path().toStdString()) / "Music"); },
            .now = {},
            .reveal = [](const fs::path&, std::function<void(bool)> done) { done(true); },
        });
    }

    QTemporaryDir scratch;
    std::shared_ptr<AudioServer> server;
};

TEST_F(CaptureLabWindowOnThePlatform, TwoCapturesRunningOneOfThemRecording) {
    for (double scale : {1.0, 1.5}) {
        SCOPED_TRACE(scale);
        CaptureLabView view{makeModel(), Theme::Metrics(scale)};
        view.setWindowTitle(QStringLiteral("Capture Lab"));
        view.resize(view.minimumSize().width(), static_cast<int>(620 * scale));
        view.show();
        CaptureLabModel& model = view.model();
        ASSERT_FALSE(view.applicationRows().empty()) << "the profile's applications are listed when shown";

        QCoro::waitFor(model.toggle(CaptureTarget::systemAudio()));
        QCoro::waitFor(model.toggle(tonePlayer));
        ASSERT_TRUE(model.isCapturing(CaptureTarget::systemAudio())) << model.message().value_or("");
        ASSERT_TRUE(model.isCapturing(tonePlayer)) << model.message().value_or("");
        model.toggleRecording(*model.capture(tonePlayer));
        ASSERT_TRUE(waitFor([&] {
            return model.capture(tonePlayer)->statistics().callbacks > 10 &&
                   model.capture(tonePlayer)->peak()[0] > 0 &&
                   model.capture(CaptureTarget::systemAudio())->peak()[0] > 0;
        }));

        CaptureLabTargetRow* toneRow = nullptr;
        for (auto* row : view.applicationRows()) {
            if (row->target() == tonePlayer) {
                toneRow = row;
            }
        }
        ASSERT_NE(toneRow, nullptr);
        EXPECT_TRUE(toneRow->showsPicture()) << "the Tone Player has an icon of its own";
        EXPECT_FALSE(view.systemRow().showsPicture());
        EXPECT_EQ(view.systemRow().iconGeometry(), toneRow->iconGeometry()) << "icons and names line up";
        EXPECT_EQ(view.systemRow().nameLabel().x(), toneRow->nameLabel().x());
        EXPECT_EQ(view.systemRow().toggleSwitch().geometry(), toneRow->toggleSwitch().geometry());
        EXPECT_EQ(toneRow->recordButton().text(), QStringLiteral("停止"));
        EXPECT_EQ(view.systemRow().recordButton().text(), QStringLiteral("録音"));
        EXPECT_TRUE(
            toneRow->detail().statisticsLabel().text().startsWith(QStringLiteral("[Process Tap] 48000 Hz")))
            << toneRow->detail().statisticsLabel().text().toStdString();
        EXPECT_TRUE(toneRow->detail().statisticsLabel().text().endsWith(QStringLiteral(" · 1 process(es)")));
        EXPECT_EQ(toneRow->detail().levelBars()[0]->colorRole(), ColorRole::green) << "-20 dBFS";
        EXPECT_NEAR(toneRow->detail().levelBars()[0]->fraction(), 2.0 / 3.0, 0.01);

        const QString name = scale == 1.0 ? QStringLiteral("capture-lab-two-captures")
                                          : QStringLiteral("capture-lab-two-captures-scale150");
        QApplication::processEvents();
        EXPECT_TRUE(view.grab().save(snapshotPath(name)));
        QCoro::waitFor(model.stopAll());
        EXPECT_TRUE(model.captures().empty());
        view.hide();
    }
}

} // namespace
