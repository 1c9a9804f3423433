#include "Platform/Workspace/Workspace.h"

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/SystemInfo.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

// Waits until every notice already queued for the main queue has been delivered.
void flushMain() {
    DispatchQueue::main()->sync([] {});
}

RunningApplication app(std::string bundleID, std::string name,
                       ActivationPolicy policy = ActivationPolicy::regular) {
    RunningApplication a;
    a.bundleIdentifier = std::move(bundleID);
    a.localizedName = std::move(name);
    a.activationPolicy = policy;
    return a;
}

TEST(WorkspaceRegistry, LaunchOrderLookupsAndTermination) {
    Workspace workspace;
    auto helper = app("com.example.editor.helper", "Editor Helper", ActivationPolicy::prohibited);
    const int editor = workspace.launch(app("com.example.editor", "Editor"));
    const int player = workspace.launch(app("com.example.player", "Player"));
    helper.responsiblePid = editor;
    helper.executablePath = "/opt/Editor/helper";
    const int helperPid = workspace.launch(helper);
    const int second = workspace.launch(app("com.example.editor", "Editor 2"));

    // Assigned pids are distinct and clear of every real process.
    EXPECT_EQ(std::set<int>({editor, player, helperPid, second}).size(), 4u);
    EXPECT_GT(editor, 4'194'304);

    std::vector<int> order;
    for (const auto& a : workspace.runningApplications()) {
        order.push_back(a.pid);
    }
    EXPECT_EQ(order, (std::vector<int>{editor, player, helperPid, second}));

    const auto editors = workspace.runningApplications("com.example.editor");
    ASSERT_EQ(editors.size(), 2u);
    EXPECT_EQ(editors[0].localizedName, "Editor");
    EXPECT_EQ(editors[1].pid, second);
    EXPECT_TRUE(workspace.runningApplications("com.example").empty());

    auto expectedHelper = helper;
    expectedHelper.pid = helperPid;
    EXPECT_EQ(workspace.runningApplication(helperPid), expectedHelper);
    EXPECT_EQ(workspace.processPath(helperPid), "/opt/Editor/helper");
    EXPECT_EQ(workspace.processPath(editor), std::nullopt);
    EXPECT_EQ(workspace.responsiblePid(helperPid), editor);
    EXPECT_EQ(workspace.responsiblePid(editor), editor);
    EXPECT_EQ(workspace.responsiblePid(12345), 12345);

    EXPECT_TRUE(workspace.terminate(editor));
    EXPECT_FALSE(workspace.terminate(editor));
    EXPECT_EQ(workspace.runningApplication(editor), std::nullopt);
    EXPECT_EQ(workspace.runningApplications("com.example.editor").size(), 1u);
    EXPECT_EQ(workspace.processPath(99), std::nullopt);
}

TEST(WorkspaceRegistry, RefusesTakenOrNegativePidsAndTreatsEmptyTextAsAbsent) {
    Workspace workspace;
    auto first = app("com.example.a", "A");
    first.pid = 4242;
    EXPECT_EQ(workspace.launch(first), 4242);

    auto clash = app("com.example.b", "B");
    clash.pid = 4242;
    EXPECT_THROW(workspace.launch(clash), std::invalid_argument);
    clash.pid = -1;
    EXPECT_THROW(workspace.launch(clash), std::invalid_argument);
    ASSERT_EQ(workspace.runningApplications().size(), 1u);
    EXPECT_EQ(workspace.runningApplications()[0].bundleIdentifier, "com.example.a");

    const int blank = workspace.launch(app("", ""));
    const auto stored = workspace.runningApplication(blank);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->bundleIdentifier, std::nullopt);
    EXPECT_EQ(stored->localizedName, std::nullopt);
}

TEST(WorkspaceRegistry, SharedRegistryBacksTheResponsibilityLookup) {
    auto& shared = Workspace::shared();
    const int parent = shared.launch(app("com.example.host", "Host"));
    auto helper = app("com.example.host.renderer", "Renderer", ActivationPolicy::prohibited);
    helper.responsiblePid = parent;
    const int child = shared.launch(helper);

    SystemInfo::setResponsibilityFunction(&Workspace::sharedResponsiblePid);
    ResponsibilityFunction lookup = SystemInfo::responsibilityFunction();
    ASSERT_NE(lookup, nullptr);
    EXPECT_EQ(lookup(child), parent);
    EXPECT_EQ(lookup(parent), parent);
    SystemInfo::setResponsibilityFunction(nullptr);

    shared.terminate(child);
    shared.terminate(parent);
}

TEST(WorkspaceOwnIdentity, BundleIdentifierIsAbsentUntilSet) {
    EXPECT_EQ(Workspace::ownPid(), static_cast<int>(::getpid()));
    EXPECT_EQ(Workspace::ownBundleIdentifier(), std::nullopt);
    Workspace::setOwnBundleIdentifier("qorvix.tandrel.app");
    EXPECT_EQ(Workspace::ownBundleIdentifier(), "qorvix.tandrel.app");
    Workspace::setOwnBundleIdentifier("");
    EXPECT_EQ(Workspace::ownBundleIdentifier(), std::nullopt);
}

// ---- Notifications ----

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<std::string, int>> events;
    bool allOnMain = true;

    Workspace::Observer observer(std::string tag) {
        return [this, tag](const RunningApplication& a) {
            std::lock_guard lock(mutex);
            allOnMain = allOnMain && DispatchQueue::main()->isCurrent();
            events.emplace_back(tag, a.pid);
        };
    }
};

TEST(WorkspaceNotifications, ArriveOnTheMainQueueInOrderWithTheApplication) {
    Workspace workspace;
    Recorder recorder;
    std::optional<RunningApplication> terminated;
    workspace.addObserver(Workspace::Event::didLaunchApplication, recorder.observer("launch"));
    workspace.addObserver(Workspace::Event::didTerminateApplication, recorder.observer("terminate"));
    workspace.addObserver(Workspace::Event::didTerminateApplication,
                          [&](const RunningApplication& a) { terminated = a; });

    const int a = workspace.launch(app("com.example.a", "A"));
    const int b = workspace.launch(app("com.example.b", "B"));
    workspace.terminate(a);
    workspace.terminate(b);
    flushMain();

    std::lock_guard lock(recorder.mutex);
    EXPECT_TRUE(recorder.allOnMain);
    EXPECT_EQ(recorder.events, (std::vector<std::pair<std::string, int>>{
                                   {"launch", a}, {"launch", b}, {"terminate", a}, {"terminate", b}}));
    // The terminated application is reported as it was while running.
    ASSERT_TRUE(terminated);
    EXPECT_EQ(terminated->bundleIdentifier, "com.example.b");
}

TEST(WorkspaceNotifications, RemovedObserverMissesEvenNoticesAlreadyQueued) {
    Workspace workspace;
    Recorder recorder;
    const auto token = workspace.addObserver(Workspace::Event::didLaunchApplication, recorder.observer("x"));

    // Hold the main queue so the launch notice is queued but not yet delivered when the observer goes.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    DispatchQueue::main()->async([released] { released.wait(); });
    workspace.launch(app("com.example.a", "A"));
    workspace.removeObserver(token);
    release.set_value();
    flushMain();

    workspace.launch(app("com.example.b", "B"));
    workspace.removeObserver(token); // a second removal is harmless
    flushMain();
    std::lock_guard lock(recorder.mutex);
    EXPECT_TRUE(recorder.events.empty());
}

TEST(WorkspaceRegistry, ConcurrentLaunchesTerminationsAndReadsStayConsistent) {
    Workspace workspace;
    std::atomic<int> launched{0};
    workspace.addObserver(Workspace::Event::didLaunchApplication,
                          [&](const RunningApplication&) { launched.fetch_add(1); });
    std::atomic<bool> stop{false};
    std::atomic<bool> duplicateSeen{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                std::set<int> pids;
                for (const auto& a : workspace.runningApplications()) {
                    if (!pids.insert(a.pid).second) {
                        duplicateSeen = true;
                    }
                    (void)workspace.responsiblePid(a.pid);
                    (void)workspace.processPath(a.pid);
                }
                (void)workspace.runningApplications("com.example.w0");
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 200; ++i) {
                const int pid = workspace.launch(app("com.example.w" + std::to_string(w), "W"));
                if (i % 2 == 0) {
                    workspace.terminate(pid);
                }
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
    flushMain();
    EXPECT_FALSE(duplicateSeen);
    EXPECT_EQ(workspace.runningApplications().size(), 400u);
    EXPECT_EQ(launched.load(), 800);
}

// ---- Installed applications ----

class WorkspaceInstalled : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("workspace-test-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "home");
        fs::create_directories(root / "system");
        workspace.setApplicationDirectories({(root / "home").string(), (root / "system").string()});
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path write(const std::string& dir, const std::string& file, const std::string& text) {
        const fs::path path = root / dir / file;
        std::ofstream(path) << text;
        return path;
    }

    fs::path root;
    Workspace workspace;
};

TEST_F(WorkspaceInstalled, FirstEntryFoundDecidesAndHiddenOrNonApplicationsAreNotInstalled) {
    const auto user =
        write("home", "com.example.Player.desktop", "[Desktop Entry]\nType=Application\nName=Player\n");
    write("system", "com.example.Player.desktop", "[Desktop Entry]\nType=Application\nName=System Player\n");
    const auto sys =
        write("system", "com.example.Viewer.desktop", "[Desktop Entry]\nType=Application\nName=V\n");
    write("home", "com.example.Gone.desktop", "[Desktop Entry]\nType=Application\nHidden=true\n");
    write("system", "com.example.Gone.desktop", "[Desktop Entry]\nType=Application\nName=Gone\n");
    write("system", "com.example.Link.desktop", "[Desktop Entry]\nType=Link\nURL=https://example.com\n");
    write("system", "com.example.Junk.desktop", "Type=Application\nName=No group\n");

    EXPECT_EQ(workspace.urlForApplication("com.example.Player"), user.string());
    EXPECT_EQ(workspace.urlForApplication("com.example.Viewer"), sys.string());
    EXPECT_EQ(workspace.urlForApplication("com.example.Gone"), std::nullopt);
    EXPECT_EQ(workspace.urlForApplication("com.example.Link"), std::nullopt);
    EXPECT_EQ(workspace.urlForApplication("com.example.Junk"), std::nullopt);
    EXPECT_EQ(workspace.urlForApplication("com.example.Missing"), std::nullopt);
}

TEST_F(WorkspaceInstalled, IdentifiersThatWouldLeaveTheFolderFindNothing) {
    write("home", "secret.desktop", "[Desktop Entry]\nType=Application\nName=Secret\n");
    fs::create_directories(root / "home" / "sub");
    for (const char* id : {"../home/secret", "sub/../secret", ".hidden", ""}) {
        EXPECT_EQ(workspace.urlForApplication(id), std::nullopt) << id;
    }
    EXPECT_TRUE(workspace.urlForApplication("secret"));
}

TEST_F(WorkspaceInstalled, DisplayNameFollowsTheMessageLocaleThenTheFileName) {
    const auto entry = write("home", "com.example.Music.desktop",
                             "# comment\n[Desktop Entry]\nType=Application\nName=Music\\sBox.app\n"
                             "Name[ja]=ミュージック\nName[de_DE]=Musik\n[Desktop Action New]\nName=Other\n");
    const char* saved = std::getenv("LC_ALL");
    const std::string savedText = saved ? saved : "";
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(Workspace::displayName(entry.string()), "ミュージック");
    ::setenv("LC_ALL", "de_DE@euro", 1);
    EXPECT_EQ(Workspace::displayName(entry.string()), "Musik");
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(Workspace::displayName(entry.string()), "Music Box.app");
    if (saved) {
        ::setenv("LC_ALL", savedText.c_str(), 1);
    } else {
        ::unsetenv("LC_ALL");
    }

    EXPECT_EQ(Workspace::displayName("/Applications/Music.app"), "Music.app");
    EXPECT_EQ(Workspace::displayName("/Applications/Music.app/"), "Music.app");
    EXPECT_EQ(Workspace::displayName("/"), "/");
}

// ---- Opening ----

TEST(WorkspaceOpening, HandsOnlyWellFormedTargetsToTheLauncher) {
    Workspace workspace;
    std::vector<std::vector<std::string>> launches;
    workspace.setLauncher([&](const std::vector<std::string>& argv) {
        launches.push_back(argv);
        return true;
    });

    EXPECT_TRUE(workspace.openURL("https://example.com/a b"));
    EXPECT_TRUE(workspace.openURL("x-scheme+1.a:thing"));
    for (const char* bad : {"", "--help", "example.com", ":x", "1http://x", "https://x\n--y", "ht tp://x"}) {
        EXPECT_FALSE(workspace.openURL(bad)) << bad;
    }

    EXPECT_EQ(launches, (std::vector<std::vector<std::string>>{{"xdg-open", "https://example.com/a b"},
                                                               {"xdg-open", "x-scheme+1.a:thing"}}));

    workspace.setLauncher([](const std::vector<std::string>&) { return false; });
    EXPECT_FALSE(workspace.openURL("https://example.com"));
}

} // namespace
