// The excluded-apps pane: which running applications it offers, which chosen files name applications
// (desktop entries that are valid, hidden, of another type, unreadable), and the pane on a live
// controller: excluding from the pull-down and from the file chooser, lifting an exclusion, the order
// and look of the rows (pictured under build/snapshots).
#include "TandrelApp/Shell/ExcludedAppsModel.h"
#include "TandrelApp/Shell/ExcludedAppsView.h"

#include <filesystem>
#include <fstream>

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

#include "ShellTestSupport.h"
#include "Support/Snapshots.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/QtTranslations.h"
#include "TandrelApp/Shell/SettingsTab.h"
#include "TandrelApp/Shell/TandrelApp.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace {

namespace fs = std::filesystem;
namespace Model = ExcludedAppsModel;

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

std::string entry(const std::string& name, const std::string& extra = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=/usr/bin/true\n" + extra;
}

TEST(ExcludedAppsModel, CandidatesAreTheRunningAppsNotYetExcludedInTheirOrder) {
    const std::vector<CaptureTargetProvider::AppInfo> running{
        {"org.example.a", "Alpha"}, {"org.example.b", "Beta"}, {"org.example.c", "Gamma"}};
    EXPECT_EQ(Model::candidates(running, {}), running);
    EXPECT_EQ(Model::candidates(running, {"org.example.b", "org.example.zzz"}),
              (std::vector<CaptureTargetProvider::AppInfo>{{"org.example.a", "Alpha"},
                                                           {"org.example.c", "Gamma"}}));
    EXPECT_TRUE(Model::candidates(running, {"org.example.c", "org.example.a", "org.example.b"}).empty());
}

TEST(ExcludedAppsModel, OnlyReadableVisibleApplicationEntriesNameAnApplication) {
    QTemporaryDir folder;
    const fs::path dir = folder.path().toStdString();
    write(dir / "org.example.editor.desktop", entry("Editor"));
    write(dir / "hidden.desktop", entry("Hidden", "Hidden=true\n"));
    write(dir / "link.desktop", "[Desktop Entry]\nType=Link\nName=Site\nURL=https://example.org\n");
    write(dir / "untyped.desktop", "[Desktop Entry]\nName=Untyped\n");
    write(dir / "nogroup.desktop", "Type=Application\nName=No group\n");
    write(dir / "notes.txt", entry("Notes"));
    fs::create_directories(dir / "folder.desktop");
    fs::create_directories(dir / "Games");
    write(dir / "sub dir" / "org.example.mail.desktop", entry("Mail", "NoDisplay=true\n"));
    fs::create_symlink(dir / "gone.desktop", dir / "dangling.desktop");

    const auto path = [&dir](const char* name) {
        return (dir / name).string();
    };
    EXPECT_EQ(Workspace::applicationIdentifier(path("org.example.editor.desktop")), "org.example.editor");
    EXPECT_EQ(Workspace::applicationIdentifier((dir / "sub dir" / "org.example.mail.desktop").string()),
              "org.example.mail")
        << "an entry kept out of menus is still an application";
    for (const char* other :
         {"hidden.desktop", "link.desktop", "untyped.desktop", "nogroup.desktop", "notes.txt",
          "folder.desktop", "Games", "dangling.desktop", "missing.desktop"}) {
        EXPECT_EQ(Workspace::applicationIdentifier(path(other)), std::nullopt) << other;
    }

    EXPECT_EQ(Model::chosenIdentifiers(
                  {path("link.desktop"), path("org.example.editor.desktop"), path("Games"),
                   (dir / "sub dir" / "org.example.mail.desktop").string(), path("dangling.desktop")}),
              (std::vector<std::string>{"org.example.editor", "org.example.mail"}));
}

// Running applications, and a folder of installed ones the workspace reads names and icons from.
constexpr const char* kAppsProfile = R"({"devices": [
    {"uid": "shell.speakers", "name": "Speakers", "outputStreams": [2]}],
  "applications": [
    {"bundleID": "org.example.browser", "name": "Browser"},
    {"bundleID": "org.example.player", "name": "Music Player"},
    {"bundleID": "qorvix.tandrel.shell-test", "name": "Corvane"}]})";

class ExcludedAppsPane : public ::testing::Test {
protected:
    void SetUp() override {
        applications = fs::path(installed.path().toStdString()) / "applications";
        Workspace::shared().setApplicationDirectories({applications.string()});
        // An installed application with an icon of its own.
        QImage icon(64, 64, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        QPainter painter(&icon);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(0x30, 0x7a, 0xf0));
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(4, 4, 56, 56, 14, 14);
        painter.setBrush(Qt::white);
        painter.drawEllipse(20, 20, 24, 24);
        painter.end();
        const fs::path iconPath = fs::path(installed.path().toStdString()) / "recorder.png";
        icon.save(QString::fromStdString(iconPath.string()));
        write(applications / "org.example.recorder.desktop",
              entry("Voice Recorder", "Icon=" + iconPath.string() + "\n"));
        write(applications / "org.example.editor.desktop", entry("Editor"));
    }
    void start(bool autoDiscovers) {
        controller = RoutingController::create(RoutingConfig{}, false, autoDiscovers);
        QCoro::waitFor(controller->waitForReconcile());
        pane = std::make_unique<ExcludedAppsView>(controller, [this](QWidget&) { return chosen; });
        pane->resize(520, pane->height());
        pane->show();
    }
    void TearDown() override {
        pane.reset();
        if (controller) {
            QCoro::waitFor(controller->waitForReconcile());
        }
        controller.reset();
        Workspace::shared().setApplicationDirectories({});
    }

    std::vector<QString> rowNames() const {
        std::vector<QString> out;
        for (const auto* row : pane->rows()) {
            out.push_back(row->name());
        }
        return out;
    }
    std::vector<QString> runningMenuTitles() const {
        pane->fillRunningMenu();
        std::vector<QString> out;
        for (const QAction* action : pane->runningMenu().actions()) {
            out.push_back(action->text());
        }
        return out;
    }

    ShellEnvironment environment{kAppsProfile};
    QTemporaryDir installed;
    fs::path applications;
    std::shared_ptr<RoutingController> controller;
    std::unique_ptr<ExcludedAppsView> pane;
    std::vector<std::string> chosen;
};

TEST_F(ExcludedAppsPane, NothingExcludedShowsThePlaceholderAndOffersEveryRunningApp) {
    start(false);
    EXPECT_EQ(pane->height(), 440);
    EXPECT_TRUE(pane->emptyLabel().isVisible());
    EXPECT_EQ(pane->emptyLabel().text(), QStringLiteral("除外しているアプリはありません"));
    EXPECT_TRUE(pane->rows().empty());
    EXPECT_EQ(runningMenuTitles(), (std::vector<QString>{"Browser", "Music Player"}))
        << "this program is no candidate";
}

TEST_F(ExcludedAppsPane, ExcludingFromThePullDownUntilNoCandidateIsLeft) {
    start(false);
    pane->fillRunningMenu();
    pane->runningMenu().actions().at(1)->trigger();
    EXPECT_EQ(controller->excludedApps(), std::vector<std::string>{"org.example.player"});
    EXPECT_FALSE(pane->emptyLabel().isVisible());
    EXPECT_EQ(rowNames(), std::vector<QString>{"Music Player"});
    EXPECT_EQ(runningMenuTitles(), std::vector<QString>{"Browser"});

    pane->runningMenu().actions().at(0)->trigger();
    EXPECT_EQ(runningMenuTitles(), std::vector<QString>{"追加できるアプリはありません"});
    EXPECT_FALSE(pane->runningMenu().actions().at(0)->isEnabled());
}

TEST_F(ExcludedAppsPane, AnAmpersandInANameShowsInThePullDown) {
    start(false);
    ApplicationSpec duo;
    duo.bundleID = "org.example.duo";
    duo.name = "Tom & Jerry";
    environment.server().addApplication(duo);
    pane->fillRunningMenu();
    QStringList shown;
    for (const QAction* action : pane->runningMenu().actions()) {
        shown << action->iconText();
    }
    EXPECT_TRUE(shown.contains(QStringLiteral("Tom & Jerry"))) << shown.join(u'|').toStdString();
}

TEST_F(ExcludedAppsPane, RowsAreOrderedByNameAndNameUnknownAppsByTheirIdentifier) {
    start(false);
    for (const char* id :
         {"org.example.recorder", "org.example.zzz-unknown", "org.example.browser", "org.example.editor"}) {
        controller->excludeApp(id);
    }
    EXPECT_EQ(rowNames(),
              (std::vector<QString>{"Browser", "Editor", "org.example.zzz-unknown", "Voice Recorder"}));
    const auto rows = pane->rows();
    EXPECT_EQ(rows[2]->bundleID(), "org.example.zzz-unknown");
    EXPECT_EQ(rows[2]->iconSymbol(), "app.dashed");
    EXPECT_EQ(rows[3]->iconSymbol(), std::nullopt) << "the installed application's own icon";
    EXPECT_TRUE(writeSnapshot(*pane, QStringLiteral("excluded-apps-pane")));
}

TEST_F(ExcludedAppsPane, ARowTakesTheNameOfTheApplicationOnceItRuns) {
    start(false);
    controller->excludeApp("org.example.camera");
    ASSERT_EQ(rowNames(), std::vector<QString>{"org.example.camera"});
    ApplicationSpec camera;
    camera.bundleID = "org.example.camera";
    camera.name = "Camera";
    const int pid = environment.server().addApplication(camera);
    ASSERT_TRUE(QTest::qWaitFor([this] { return rowNames() == std::vector<QString>{"Camera"}; }, 2000));
    environment.server().removeApplication(pid);
    EXPECT_TRUE(
        QTest::qWaitFor([this] { return rowNames() == std::vector<QString>{"org.example.camera"}; }, 2000));
}

TEST_F(ExcludedAppsPane, TheChooserOpensOnTheApplicationFoldersForApplicationEntries) {
    start(false);
    const auto chooser = ExcludedAppsView::makeChooser(*pane);
    EXPECT_EQ(chooser->fileMode(), QFileDialog::ExistingFiles) << "several at once";
    EXPECT_EQ(chooser->labelText(QFileDialog::Accept), QStringLiteral("除外に追加"));
    EXPECT_EQ(chooser->directory().absolutePath(), QString::fromStdString(applications.string()));
    EXPECT_EQ(chooser->nameFilters(), QStringList{QStringLiteral("アプリケーション (*.desktop)")});
    chooser->setOption(QFileDialog::DontUseNativeDialog);
    chooser->resize(640, 400);
    chooser->show();
    EXPECT_TRUE(writeSnapshot(*chooser, QStringLiteral("excluded-apps-chooser")));
    chooser->reject();
}

// With Qt's translations, what Qt itself writes in the chooser, in the standard buttons and in an edit
// field's context menu is Japanese too.
TEST_F(ExcludedAppsPane, QtsOwnTextsAreJapanese) {
    // Installed before any window, as the application does.
    const QtTranslations japanese;
    ASSERT_TRUE(japanese.installed()) << "qt6-translations-l10n is installed by Scripts/setup";
    start(false);
    const auto chooser = ExcludedAppsView::makeChooser(*pane);
    chooser->show();
    QApplication::processEvents();
    QStringList buttonTitles;
    for (const QPushButton* button : chooser->findChildren<QPushButton*>()) {
        buttonTitles << button->text();
    }
    EXPECT_EQ(buttonTitles, (QStringList{QStringLiteral("除外に追加"), QStringLiteral("キャンセル")}));
    auto* files = chooser->findChild<QTreeView*>();
    ASSERT_NE(files, nullptr);
    QStringList columns;
    for (int column = 0; column < files->model()->columnCount(); ++column) {
        columns << files->model()->headerData(column, Qt::Horizontal).toString();
    }
    EXPECT_FALSE(columns.contains(QStringLiteral("Name")) || columns.contains(QStringLiteral("Size")))
        << columns.join(u'|').toStdString();
    EXPECT_TRUE(writeSnapshot(*chooser, QStringLiteral("excluded-apps-chooser-japanese")));
    chooser->reject();

    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
    QLineEdit field;
    std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList items;
    for (const QAction* action : menu->actions()) {
        items << action->iconText();
    }
    EXPECT_FALSE(items.contains(QStringLiteral("Copy")) || items.contains(QStringLiteral("Paste")))
        << items.join(u'|').toStdString();
}

TEST_F(ExcludedAppsPane, ChosenFilesExcludeEveryApplicationAmongThem) {
    start(false);
    chosen = {(applications / "org.example.recorder.desktop").string(),
              (applications / "org.example.editor.desktop").string(), applications.string(),
              (applications / "org.example.editor.desktop").string()};
    pane->chooseButton().click();
    EXPECT_EQ(controller->excludedApps(),
              (std::vector<std::string>{"org.example.editor", "org.example.recorder"}))
        << "the folder is passed over, the repeated entry changes nothing";

    chosen.clear();
    pane->chooseApps();
    EXPECT_EQ(controller->excludedApps().size(), 2u) << "a cancelled chooser changes nothing";
}

TEST_F(ExcludedAppsPane, ExcludingRemovesTheSourceAndLiftingItBringsARunningAppBack) {
    start(true);
    const auto hasSource = [this](const std::string& bundleID) {
        return std::ranges::any_of(controller->config().sources, [&bundleID](const SourceConfig& s) {
            return s.kind == SourceKind::application(bundleID);
        });
    };
    ASSERT_TRUE(hasSource("org.example.browser")) << "running applications are added by themselves";
    pane->fillRunningMenu();
    pane->runningMenu().actions().at(0)->trigger();
    EXPECT_FALSE(hasSource("org.example.browser"));
    ASSERT_EQ(pane->rows().size(), 1u);

    pane->rows().front()->includeButton().click();
    EXPECT_TRUE(pane->rows().empty());
    EXPECT_TRUE(hasSource("org.example.browser")) << "added again at once while running apps are added";

    controller->setAutoAddsRunningApps(false);
    controller->excludeApp("org.example.browser");
    pane->rows().front()->includeButton().click();
    EXPECT_FALSE(hasSource("org.example.browser")) << "with the switch off the row does not come back";
}

} // namespace

namespace {

TEST(ExcludedAppsInSettings, TheTabShowsTheExcludedApplications) {
    ShellEnvironment environment{kAppsProfile};
    UserDefaults::standard().set(settingsTabKey, QStringLiteral("excludedApps"));
    TandrelApp app{{"TandrelApp"}};
    app.launch();
    app.controller()->excludeApp("org.example.player");
    QWidget* window = app.windows().open(QStringLiteral("settings"));
    ASSERT_NE(window, nullptr);
    auto* pane = window->findChild<ExcludedAppsView*>();
    ASSERT_NE(pane, nullptr);
    ASSERT_EQ(pane->rows().size(), 1u);
    EXPECT_EQ(pane->rows().front()->name(), QStringLiteral("Music Player"));
    EXPECT_EQ(pane->height(), 440);
    EXPECT_TRUE(writeSnapshot(*window, QStringLiteral("settings-excluded-apps")));
    QCoro::waitFor(app.controller()->waitForReconcile());
}

} // namespace
