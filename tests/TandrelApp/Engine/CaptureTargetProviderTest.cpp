#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Engine/CaptureTargetProvider.h"

namespace {

using AppInfo = CaptureTargetProvider::AppInfo;

// Launches into the shared workspace and terminates everything it launched afterwards, so tests do not
// see each other's applications.
class CaptureTargetProviderTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int pid : launched) {
            Workspace::shared().terminate(pid);
        }
        Workspace::setOwnBundleIdentifier(std::nullopt);
    }

    int launch(std::optional<std::string> bundleID, std::optional<std::string> name,
               ActivationPolicy policy = ActivationPolicy::regular, ApplicationIcon icon = {}) {
        RunningApplication app;
        app.bundleIdentifier = std::move(bundleID);
        app.localizedName = std::move(name);
        app.activationPolicy = policy;
        app.icon = std::move(icon);
        launched.push_back(Workspace::shared().launch(std::move(app)));
        return launched.back();
    }

    std::vector<int> launched;
};

std::vector<uint8_t> png(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

TEST_F(CaptureTargetProviderTest, OnlyThisProgramAndNonRegularApplicationsGiveAnEmptyList) {
    Workspace::setOwnBundleIdentifier("qorvix.tandrel.app");
    launch("qorvix.tandrel.app", "Corvane");
    launch("com.example.agent", "Agent", ActivationPolicy::accessory);
    launch("com.example.daemon", "Daemon", ActivationPolicy::prohibited);
    launch(std::nullopt, "No Bundle");
    EXPECT_TRUE(CaptureTargetProvider::runningApplications().empty());
}

TEST_F(CaptureTargetProviderTest, OneEntryPerBundleNamedAfterTheFirstInstance) {
    // Without an own bundle identifier, nothing is left out for being this program.
    launch("qorvix.tandrel.app", "Corvane");
    launch("com.example.player", "Player");
    launch("com.example.player", "Player (second window)");
    launch("com.example.nameless", std::nullopt);
    const std::vector<AppInfo> expected{{"com.example.nameless", "com.example.nameless"},
                                        {"qorvix.tandrel.app", "Corvane"},
                                        {"com.example.player", "Player"}};
    EXPECT_EQ(CaptureTargetProvider::runningApplications(), expected);
}

TEST_F(CaptureTargetProviderTest, SortIsLocaleAwareIgnoresCaseAndKeepsWorkspaceOrderForTies) {
    launch("com.example.b1", "beta");
    launch("com.example.a1", "Alpha");
    launch("com.example.b2", "BETA");
    launch("com.example.e2", "Émile");
    launch("com.example.a2", "alpha");
    launch("com.example.f", "Fox");
    launch("com.example.e1", "echo");
    // Enough equal names that an unstable sort would reorder them.
    std::vector<std::string> zeds;
    for (int i = 0; i < 40; ++i) {
        zeds.push_back("com.example.z" + std::to_string(i));
        launch(zeds.back(), i % 2 == 0 ? "zed" : "Zed");
    }
    std::vector<std::string> ids;
    for (const auto& info : CaptureTargetProvider::runningApplications()) {
        ids.push_back(info.bundleID);
    }
    std::vector<std::string> expected{"com.example.a1", "com.example.a2", "com.example.b1", "com.example.b2",
                                      "com.example.e1", "com.example.e2", "com.example.f"};
    expected.insert(expected.end(), zeds.begin(), zeds.end());
    EXPECT_EQ(ids, expected);
}

TEST_F(CaptureTargetProviderTest, IconComesFromTheFirstRunningInstanceAndGoesWhenItQuits) {
    QTemporaryDir dir;
    const QString iconFile = dir.filePath("viewer.png");
    QImage(16, 8, QImage::Format_ARGB32).save(iconFile);

    const int first = launch("com.example.paint", "Paint", ActivationPolicy::regular, {png(32, 24), ""});
    launch("com.example.paint", "Paint", ActivationPolicy::regular, {png(64, 64), ""});
    launch("com.example.viewer", "Viewer", ActivationPolicy::regular, {{}, iconFile.toStdString()});
    launch("com.example.broken", "Broken", ActivationPolicy::regular, {{1, 2, 3}, ""});

    const AppInfo paint{"com.example.paint", "Paint"};
    auto icon = paint.icon();
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->size(), QSize(32, 24));
    ASSERT_TRUE(AppInfo({"com.example.viewer", "Viewer"}).icon());
    EXPECT_EQ(AppInfo({"com.example.viewer", "Viewer"}).icon()->size(), QSize(16, 8));
    EXPECT_FALSE(AppInfo({"com.example.broken", "Broken"}).icon());

    Workspace::shared().terminate(first);
    ASSERT_TRUE(paint.icon());
    EXPECT_EQ(paint.icon()->size(), QSize(64, 64));
    for (int pid : launched) {
        Workspace::shared().terminate(pid);
    }
    EXPECT_FALSE(paint.icon());
}

} // namespace
