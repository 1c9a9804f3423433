// The lines pane: its model (numbering, removals, enable rules, states), the pane on stand-in driver
// calls (every failure text as it reaches the user, a slow server timing out without holding up the GUI
// thread, the pictures under build/snapshots), and the pane against the real driver in the emulated
// server, where an applied edit comes back as the controller's lines and a refused one changes nothing.
#include "TandrelApp/Shell/LineManagerModel.h"
#include "TandrelApp/Shell/LineManagerView.h"

#include <algorithm>
#include <filesystem>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/AudioServer/AudioServer.h"
#include "ShellTestSupport.h"
#include "Support/DriverTestProcess.h"
#include "Support/GuiThreadGaps.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Engine/CoreAudioCall.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/SettingsTab.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Support/GlyphButton.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

using State = LineManagerModel::State;

std::vector<LineSpec> numbered(std::initializer_list<std::int64_t> numbers) {
    std::vector<LineSpec> lines;
    for (auto n : numbers) {
        lines.push_back({.number = n, .channels = 2, .name = "Line " + std::to_string(n)});
    }
    return lines;
}

std::vector<std::int64_t> numbersOf(const std::vector<LineSpec>& lines) {
    std::vector<std::int64_t> out;
    for (const auto& line : lines) {
        out.push_back(line.number);
    }
    return out;
}

LineManagerModel loadedWith(std::vector<LineSpec> lines) {
    LineManagerModel model;
    model.loadSucceeded(std::move(lines));
    return model;
}

// ---- The model

TEST(LineManagerModel, ANewLineTakesTheLowestFreeNumberInItsPlace) {
    LineManagerModel model = loadedWith(numbered({4, 1, 2}));
    EXPECT_EQ(numbersOf(model.lines()), (std::vector<std::int64_t>{1, 2, 4})) << "a read is sorted";
    model.addLine();
    EXPECT_EQ(numbersOf(model.lines()), (std::vector<std::int64_t>{1, 2, 3, 4}));
    EXPECT_EQ(model.lines()[2], (LineSpec{.number = 3, .channels = 2, .name = "Line 3"}));

    std::vector<LineSpec> all;
    for (std::int64_t n = 1; n <= 99; ++n) {
        all.push_back({.number = n, .channels = 2, .name = "x"});
    }
    LineManagerModel full = loadedWith(all);
    full.addLine();
    EXPECT_EQ(full.lines().size(), 99u) << "no number above 99";
}

TEST(LineManagerModel, AddingStopsAt16LinesAndDeletingAtOne) {
    std::vector<LineSpec> sixteen;
    for (std::int64_t n = 1; n <= 16; ++n) {
        sixteen.push_back({.number = n, .channels = 2, .name = "x"});
    }
    EXPECT_FALSE(loadedWith(sixteen).canAdd());
    EXPECT_TRUE(loadedWith(numbered({1, 2})).canAdd());
    EXPECT_TRUE(loadedWith(numbered({1, 2})).canDelete());
    EXPECT_FALSE(loadedWith(numbered({7})).canDelete());
}

TEST(LineManagerModel, RemovalsAreCountedByNumber) {
    LineManagerModel model = loadedWith(numbered({1, 2, 3}));
    EXPECT_FALSE(model.hasRemovals());
    model.setChannels(3, 8);
    model.removeLine(3);
    EXPECT_TRUE(model.hasRemovals());
    model.addLine();
    EXPECT_FALSE(model.hasRemovals()) << "the number is taken again, though by a new line";
    EXPECT_EQ(model.lines().back(), (LineSpec{.number = 3, .channels = 2, .name = "Line 3"}));
    EXPECT_FALSE(model.canApply()) << "the list is as it was read again";
}

TEST(LineManagerModel, RevertAndApplyFollowTheDifferenceFromTheLastReadList) {
    LineManagerModel model = loadedWith(numbered({1, 2}));
    EXPECT_FALSE(model.canApply());
    EXPECT_FALSE(model.canRevert());
    model.setName(2, "配信");
    EXPECT_TRUE(model.canApply());
    EXPECT_TRUE(model.canRevert());
    model.setName(2, "Line 2");
    EXPECT_FALSE(model.canApply()) << "changed and changed back";

    model.removeLine(1);
    model.applyFailed("ライン構成の書き込み に失敗しました (OSStatus -50)");
    model.revert();
    EXPECT_EQ(model.lines(), numbered({1, 2}));
    EXPECT_EQ(model.error(), std::nullopt) << "undoing clears the error text";
}

TEST(LineManagerModel, StatesFromReadingToWriting) {
    LineManagerModel model;
    EXPECT_EQ(model.state(), State::reading);
    EXPECT_FALSE(model.canApply());
    model.loadFailed("ドライバが見つかりません（インストールされていないか、古いバージョンです）");
    EXPECT_EQ(model.state(), State::unavailable);
    EXPECT_FALSE(model.editable());
    EXPECT_FALSE(model.canApply());

    model.loadSucceeded(numbered({2, 1}));
    EXPECT_EQ(model.state(), State::editing);
    EXPECT_TRUE(model.error().has_value()) << "an earlier error stays after a successful read";
    model.setName(1, "  Mic  ");
    const auto written = model.beginApply();
    EXPECT_EQ(model.state(), State::writing);
    EXPECT_EQ(model.applyTitle(), "適用中…");
    EXPECT_FALSE(model.canApply());
    model.setChannels(2, 64); // edited while the write runs
    model.applySucceeded(written, LineManagerModel::asApplied(written));
    EXPECT_EQ(model.state(), State::editing);
    EXPECT_EQ(model.applyTitle(), "適用");
    EXPECT_EQ(model.error(), std::nullopt);
    EXPECT_EQ(model.original()[0].name, "Mic") << "as the driver reports it";
    EXPECT_EQ(model.lines()[0].name, "  Mic  ") << "the rows edited during the write stay as they are";
    EXPECT_TRUE(model.canApply()) << "the edit made during the write is still to be applied";

    const auto again = model.beginApply();
    model.applyFailed("ライン 1 の名前が空です");
    EXPECT_EQ(model.state(), State::editing);
    EXPECT_EQ(model.lines(), again) << "a failed write keeps the rows";
    EXPECT_EQ(model.original(), LineManagerModel::asApplied(written));
}

TEST(LineManagerModel, ACountOutsideTheChoicesIsOfferedInItsPlace) {
    EXPECT_EQ(LineManagerModel::channelChoices(8), (std::vector<std::int64_t>{2, 4, 8, 16, 32, 64}));
    EXPECT_EQ(LineManagerModel::channelChoices(6), (std::vector<std::int64_t>{2, 4, 6, 8, 16, 32, 64}));
    EXPECT_EQ(LineManagerModel::channelTitle(16), "16 ch");
}

// ---- The pane on stand-in driver calls

class LinesPane : public ::testing::Test {
protected:
    void TearDown() override {
        CoreAudioCall::simulatedDelay = 0;
        pane.reset();
        CoreAudioCall::sync([] {});
    }

    void make() {
        pane = std::make_unique<LineManagerView>(driver);
        pane->resize(560, 460);
    }
    // Shows the pane and waits for its read.
    void showAndLoad() {
        QSignalSpy loaded(pane.get(), &LineManagerView::loadFinished);
        pane->show();
        ASSERT_TRUE(loaded.wait(5000));
    }
    void applyAndWait() {
        QSignalSpy applied(pane.get(), &LineManagerView::applyFinished);
        pane->applyButton().click();
        ASSERT_TRUE(applied.wait(5000));
    }
    QString errorText() const {
        return pane->errorLabel().isVisible() ? pane->errorLabel().text() : QString();
    }

    ShellEnvironment environment;
    // The stand-in driver keeps what it accepts with the names trimmed, and like the real one applies it
    // a moment later: `lagReads` reads after a write still return the list from before it.
    std::vector<LineSpec> driverLines = {{.number = 1, .channels = 2, .name = "Line 1"},
                                         {.number = 2, .channels = 64, .name = "Line 2"},
                                         {.number = 4, .channels = 6, .name = "Camera"}};
    std::vector<LineSpec> beforeWrite;
    int lagReads = 0;
    int staleReads = 0;
    std::vector<std::vector<LineSpec>> writes;
    LineManagerView::Driver driver{
        .read =
            [this] {
                if (staleReads > 0) {
                    --staleReads;
                    return beforeWrite;
                }
                return driverLines;
            },
        .write =
            [this](const std::vector<LineSpec>& lines) {
                LineConfigurator::validate(lines);
                writes.push_back(lines);
                beforeWrite = driverLines;
                driverLines = lines;
                for (auto& line : driverLines) {
                    line.name = LineConfigurator::trimmingBlanks(line.name);
                }
                staleReads = lagReads;
            },
        .timeout = 5.0,
    };
    std::unique_ptr<LineManagerView> pane;
};

TEST_F(LinesPane, ReadingShowsProgressThenTheTable) {
    make();
    pane->show();
    EXPECT_TRUE(pane->progress().isVisible());
    EXPECT_FALSE(pane->table().isVisible());
    EXPECT_FALSE(pane->applyButton().isEnabled());
    QSignalSpy loaded(pane.get(), &LineManagerView::loadFinished);
    ASSERT_TRUE(loaded.wait(5000));
    EXPECT_FALSE(pane->progress().isVisible());
    EXPECT_TRUE(pane->table().isVisible());
    ASSERT_EQ(pane->rows().size(), 3u);
    EXPECT_EQ(pane->row(4)->name().text(), QStringLiteral("Camera"));
    EXPECT_EQ(pane->row(4)->channels().currentText(), QStringLiteral("6 ch"))
        << "kept until another is picked";
    EXPECT_FALSE(pane->applyButton().isEnabled());
    EXPECT_FALSE(pane->revertButton().isEnabled());
    EXPECT_FALSE(pane->removalNote().isVisible());
}

TEST_F(LinesPane, EditsAreWrittenInOneStepAndMarkedUntilThen) {
    make();
    showAndLoad();
    pane->addLine();
    EXPECT_EQ(numbersOf(pane->model().lines()), (std::vector<std::int64_t>{1, 2, 3, 4}));
    pane->row(3)->channels().setCurrentIndex(1);
    emit pane->row(3)->channels().activated(1);
    QLineEdit& name = pane->row(2)->name();
    name.selectAll();
    QTest::keyClicks(&name, "Stream Out");
    pane->row(1)->deleteButton().click();
    EXPECT_EQ(pane->row(1), nullptr);
    EXPECT_TRUE(pane->removalNote().isVisible());
    EXPECT_TRUE(pane->applyButton().isEnabled());
    EXPECT_TRUE(pane->revertButton().isEnabled());
    EXPECT_TRUE(writeSnapshot(*pane, QStringLiteral("lines-pane-edit-pending")));

    pane->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(pane.get()));
    QSignalSpy applied(pane.get(), &LineManagerView::applyFinished);
    QTest::keyClick(&name, Qt::Key_Return);
    ASSERT_TRUE(applied.wait(5000)) << "Return applies";
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], (std::vector<LineSpec>{{.number = 2, .channels = 64, .name = "Stream Out"},
                                                {.number = 3, .channels = 4, .name = "Line 3"},
                                                {.number = 4, .channels = 6, .name = "Camera"}}));
    EXPECT_FALSE(pane->applyButton().isEnabled());
    EXPECT_FALSE(pane->removalNote().isVisible());
    EXPECT_EQ(pane->applyButton().text(), QStringLiteral("適用"));

    // With a single line left it cannot be deleted.
    pane->row(2)->deleteButton().click();
    pane->row(3)->deleteButton().click();
    EXPECT_FALSE(pane->row(4)->deleteButton().isEnabled());
}

// A read right after a write (the tab shown again at once) still gets the driver's old list: the pane
// waits until the driver has applied the write and then shows what it reports, so no old line comes
// back to be written again.
TEST_F(LinesPane, AfterAWriteThePaneShowsWhatTheDriverHasApplied) {
    lagReads = 3;
    make();
    showAndLoad();
    QLineEdit& name = pane->row(2)->name();
    name.selectAll();
    QTest::keyClicks(&name, " Stream Out ");
    QSignalSpy applied(pane.get(), &LineManagerView::applyFinished);
    QSignalSpy loaded(pane.get(), &LineManagerView::loadFinished);
    pane->applyButton().click();
    pane->load();
    ASSERT_TRUE(QTest::qWaitFor([&] { return applied.count() == 1 && loaded.count() == 1; }, 5000));

    const std::vector<LineSpec> reported{{.number = 1, .channels = 2, .name = "Line 1"},
                                         {.number = 2, .channels = 64, .name = "Stream Out"},
                                         {.number = 4, .channels = 6, .name = "Camera"}};
    EXPECT_EQ(pane->model().original(), reported);
    EXPECT_EQ(pane->model().lines(), reported);
    EXPECT_EQ(pane->row(2)->name().text(), QStringLiteral("Stream Out"));
    EXPECT_FALSE(pane->applyButton().isEnabled()) << "nothing is left to write back";
    EXPECT_EQ(writes.size(), 1u);
}

TEST_F(LinesPane, AddingIsRefusedAt16Lines) {
    driverLines.clear();
    for (std::int64_t n = 1; n <= 15; ++n) {
        driverLines.push_back({.number = n, .channels = 2, .name = "Line " + std::to_string(n)});
    }
    make();
    showAndLoad();
    EXPECT_TRUE(pane->addButton().isEnabled());
    pane->addButton().click();
    EXPECT_FALSE(pane->addButton().isEnabled());
    EXPECT_EQ(pane->rows().size(), 16u);
}

// Every failure reaches the pane as its text, unchanged.
TEST_F(LinesPane, EachFailureShowsItsText) {
    make();
    showAndLoad();
    // Names the pane lets through and the configurator refuses at the write.
    for (const char* blank : {"   ", ""}) {
        pane->revert();
        QLineEdit& name = pane->row(2)->name();
        name.selectAll();
        QTest::keyClick(&name, Qt::Key_Backspace);
        QTest::keyClicks(&name, blank);
        applyAndWait();
        EXPECT_EQ(errorText(), QStringLiteral("ライン 2 の名前が空です"));
        EXPECT_EQ(pane->model().original(), driverLines) << "nothing was written";
        EXPECT_TRUE(writes.empty());
    }
    pane->revert();
    EXPECT_EQ(errorText(), QString());

    // The list checks and the driver's refusals, raised by the write itself.
    const std::vector<std::pair<std::function<void()>, std::string>> refusals{
        {[] { LineConfigurator::validate({}); }, "ラインは1本以上必要です"},
        {[] { LineConfigurator::validate(std::vector<LineSpec>(17, LineSpec{})); }, "ラインは最大 16 本です"},
        {[] {
             LineConfigurator::validate({{5, 2, "a"}, {5, 3, "b"}});
         },
         "ライン番号が重複しています"},
        {[] {
             LineConfigurator::validate({{0, 3, ""}});
         },
         "ライン番号は 1〜99 です"},
        {[] {
             LineConfigurator::validate({{1, 3, ""}});
         },
         "チャンネル数は 2〜64 の偶数です"},
        {[] { throw LineConfigurator::ConfiguratorError::driverNotFound(); },
         "ドライバが見つかりません（インストールされていないか、古いバージョンです）"},
        {[] { throw LineConfigurator::ConfiguratorError::unsupported(); },
         "インストールされているドライバはラインの変更に対応していません。最新のインストーラで更新してくださ"
         "い。"},
        {[] { throw CoreAudioError::osStatus("ライン構成の書き込み", 1852797029); },
         "ライン構成の書き込み に失敗しました (OSStatus 1852797029)"},
    };
    for (const auto& [failure, text] : refusals) {
        driver.write = [failure](const std::vector<LineSpec>&) {
            failure();
        };
        make();
        showAndLoad();
        pane->addLine();
        applyAndWait();
        EXPECT_EQ(errorText(), QString::fromStdString(text));
        EXPECT_EQ(pane->rows().size(), 4u) << "the edited rows stay for another try";
    }

    driver.read = []() -> std::vector<LineSpec> {
        throw CoreAudioError::osStatus("ライン構成の読み込み", 0);
    };
    make();
    showAndLoad();
    EXPECT_EQ(errorText(), QStringLiteral("ライン構成の読み込み に失敗しました (OSStatus 0)"));
    EXPECT_FALSE(pane->table().isVisible());
    EXPECT_FALSE(pane->applyButton().isEnabled());
}

TEST_F(LinesPane, WithoutTheDriverThePaneExplainsAndOffersNothing) {
    driver = {}; // the real configurator; the emulated server has no driver
    make();
    showAndLoad();
    EXPECT_EQ(errorText(),
              QStringLiteral("ドライバが見つかりません（インストールされていないか、古いバージョンです）"));
    EXPECT_FALSE(pane->progress().isVisible());
    EXPECT_FALSE(pane->table().isVisible());
    EXPECT_FALSE(pane->addButton().isVisible());
    EXPECT_FALSE(pane->applyButton().isEnabled());
}

TEST_F(LinesPane, ASlowServerTimesOutWithoutHoldingUpTheGUIThread) {
    // The server answers after 3 s, the pane gives up after 1 s. A pane that waited for the answer would
    // take the 3 s; one that waited on the GUI thread would hold it still for the whole second, far longer
    // than a busy machine's scheduling ever does.
    constexpr double kServerDelay = 3.0;
    CoreAudioCall::simulatedDelay = kServerDelay;
    driver.timeout = 1.0;
    make();
    const GuiThreadGaps gaps;
    showAndLoad();
    EXPECT_LT(gaps.elapsedMs(), 3000) << "the pane waits only for its time-out";
    EXPECT_LT(gaps.longestMs(), 1000) << "the GUI thread kept running its events";
    EXPECT_EQ(errorText(),
              QStringLiteral("オーディオシステム（coreaudiod）が応答しません（ライン構成の読み込み）。"));
    EXPECT_FALSE(pane->table().isVisible());

    // Once it answers, showing the pane again reads the list; a write that times out keeps the rows.
    CoreAudioCall::simulatedDelay = 0;
    CoreAudioCall::sync([] {});
    pane->hide();
    showAndLoad();
    ASSERT_TRUE(pane->table().isVisible());
    EXPECT_EQ(errorText(),
              QStringLiteral("オーディオシステム（coreaudiod）が応答しません（ライン構成の読み込み）。"))
        << "the earlier error stays after a successful read";
    pane->addLine();
    CoreAudioCall::simulatedDelay = kServerDelay;
    applyAndWait();
    EXPECT_EQ(errorText(),
              QStringLiteral("オーディオシステム（coreaudiod）が応答しません（ライン構成の書き込み）。"));
    EXPECT_EQ(pane->rows().size(), 4u);
    EXPECT_TRUE(pane->applyButton().isEnabled());
}

TEST_F(LinesPane, AReadThatEndsAfterThePaneWasHiddenIsDropped) {
    CoreAudioCall::simulatedDelay = 0.3;
    make();
    QSignalSpy loaded(pane.get(), &LineManagerView::loadFinished);
    pane->show();
    QTest::qWait(50);
    pane->hide();
    EXPECT_FALSE(loaded.wait(700));
    EXPECT_EQ(pane->model().state(), State::reading);
}

// ---- Against the real driver

constexpr const char* kChildVariable = "TANDREL_LINES_PANE_TEST_CHILD";

class LinesPaneWithDriver : public ::testing::Test {
protected:
    void SetUp() override {
        if (!DriverTestProcess::driverBuilt()) {
            GTEST_SKIP() << "the driver bundle is not built: " << DriverTestProcess::driverBundle();
        }
        if (!DriverTestProcess::inChild(kChildVariable)) {
            return;
        }
        home = std::filesystem::temp_directory_path() /
               ("tandrel-lines-pane-test-" + std::to_string(::getpid()));
        server = AudioServer::start({.profile = nlohmann::json::parse(ShellEnvironment::speakersProfile),
                                     .home = home,
                                     .plugIns = std::vector{DriverTestProcess::driverBundle()}});
        controller = RoutingController::create(RoutingConfig{}, false, false);
        ASSERT_TRUE(QTest::qWaitFor([this] { return controller->lines().size() == 2; }, 5000));
        pane = std::make_unique<LineManagerView>();
        pane->resize(560, 460);
        QSignalSpy loaded(pane.get(), &LineManagerView::loadFinished);
        pane->show();
        ASSERT_TRUE(loaded.wait(5000));
    }
    void TearDown() override {
        if (!server) {
            return;
        }
        pane.reset();
        QCoro::waitFor(controller->waitForReconcile());
        controller.reset();
        CoreAudioCall::sync([] {});
        server.reset();
        AudioServer::stop();
        std::filesystem::remove_all(home);
    }

    std::vector<std::pair<std::string, std::uint32_t>> controllerLines() const {
        std::vector<std::pair<std::string, std::uint32_t>> out;
        for (const auto& line : controller->lines()) {
            out.emplace_back(line.name, line.outputChannels);
        }
        return out;
    }
    void applyAndWait() {
        QSignalSpy applied(pane.get(), &LineManagerView::applyFinished);
        pane->applyButton().click();
        ASSERT_TRUE(applied.wait(5000));
    }

    TemporaryXdgHome data{"XDG_DATA_HOME"};
    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    std::filesystem::path home;
    std::shared_ptr<AudioServer> server;
    std::shared_ptr<RoutingController> controller;
    std::unique_ptr<LineManagerView> pane;
};

TEST_F(LinesPaneWithDriver, AnAppliedEditComesBackAsTheControllersLines) {
    if (DriverTestProcess::ranInChild(kChildVariable)) {
        return;
    }
    ASSERT_EQ(pane->model().lines(),
              (std::vector<LineSpec>{{.number = 1, .channels = 2, .name = "Line 1"},
                                     {.number = 2, .channels = 64, .name = "Line 2"}}));
    pane->addLine();
    const int fourChannels = pane->row(3)->channels().findText(QStringLiteral("4 ch"));
    pane->row(3)->channels().setCurrentIndex(fourChannels);
    emit pane->row(3)->channels().activated(fourChannels);
    QLineEdit& name = pane->row(2)->name();
    name.selectAll();
    QTest::keyClicks(&name, "Stream Out");
    applyAndWait();
    EXPECT_EQ(pane->errorLabel().text(), QString());
    EXPECT_EQ(pane->model().original(), LineConfigurator::read()) << "the list the driver has applied";
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
            return controllerLines() == std::vector<std::pair<std::string, std::uint32_t>>{
                                            {"Line 1", 2}, {"Stream Out", 64}, {"Line 3", 4}};
        },
        5000))
        << "the driver republished its lines and the controller took them in";
    EXPECT_EQ(controller->lines()[2].uid, "qorvix.tandrel.device.line3");
    EXPECT_EQ(controller->lines()[2].inputChannels, 4u);
}

TEST_F(LinesPaneWithDriver, ARefusedListShowsTheDriversMessageAndChangesNothing) {
    if (DriverTestProcess::ranInChild(kChildVariable)) {
        return;
    }
    const auto before = controllerLines();
    server->refuseProperty(*LineConfigurator::pluginID(), kTandrelPropertyLines,
                           kAudioHardwareIllegalOperationError, AudioServer::set);
    QLineEdit& name = pane->row(1)->name();
    name.selectAll();
    QTest::keyClicks(&name, "Mic Feed");
    pane->addLine();
    applyAndWait();
    EXPECT_EQ(pane->errorLabel().text(),
              QStringLiteral("ライン構成の書き込み に失敗しました (OSStatus 1852797029)"));
    EXPECT_EQ(pane->model().original().size(), 2u);
    EXPECT_EQ(pane->model().lines().size(), 3u) << "the rows stay as edited";
    EXPECT_TRUE(pane->applyButton().isEnabled());
    EXPECT_TRUE(writeSnapshot(*pane, QStringLiteral("lines-pane-error")));

    QTest::qWait(300);
    EXPECT_EQ(controllerLines(), before);
    EXPECT_EQ(LineConfigurator::read(),
              (std::vector<LineSpec>{{.number = 1, .channels = 2, .name = "Line 1"},
                                     {.number = 2, .channels = 64, .name = "Line 2"}}));
}

} // namespace

namespace {

// The pane as the settings window shows it, on a system without the driver.
TEST(LinesPaneInSettings, TheLinesTabReadsAtOnceAndExplainsAMissingDriver) {
    ShellEnvironment environment;
    UserDefaults::standard().set(settingsTabKey, QStringLiteral("lines"));
    TandrelApp app{{"TandrelApp"}};
    app.launch();
    QWidget* window = app.windows().open(QStringLiteral("settings"));
    ASSERT_NE(window, nullptr);
    auto* pane = window->findChild<LineManagerView*>();
    ASSERT_NE(pane, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([pane] { return pane->model().loaded(); }, 5000));
    EXPECT_EQ(pane->errorLabel().text(),
              QStringLiteral("ドライバが見つかりません（インストールされていないか、古いバージョンです）"));
    EXPECT_TRUE(writeSnapshot(*window, QStringLiteral("settings-lines-unavailable")));
    QCoro::waitFor(app.controller()->waitForReconcile());
}

} // namespace
