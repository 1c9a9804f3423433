// Application icons: a running application's own icon first, then the installed application's (an
// image path or a theme name in its desktop entry, else the generic icon), else nothing.
#include <fstream>
#include <vector>

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Mixer/AppIcon.h"

namespace {

QImage square(int side, QColor color) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

std::vector<std::uint8_t> png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return {bytes.begin(), bytes.end()};
}

class AppIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(data.isValid());
        QDir(data.path()).mkpath("applications");
        QDir(data.path()).mkpath("icons/hicolor/48x48/apps");
        QDir(data.path()).mkpath("icons/hicolor/128x128/apps");
        Workspace::shared().setApplicationDirectories({(data.path() + "/applications").toStdString()});
    }
    void TearDown() override {
        for (int pid : pids) {
            Workspace::shared().terminate(pid);
        }
        Workspace::shared().setApplicationDirectories({});
    }

    void install(const std::string& bundleID, const std::string& iconLine) {
        std::ofstream entry((data.path() + "/applications/").toStdString() + bundleID + ".desktop");
        entry << "[Desktop Entry]\nType=Application\nName=" << bundleID << "\nExec=true\n"
              << iconLine << "\n";
    }
    int launch(const std::string& bundleID, ApplicationIcon icon = {}) {
        RunningApplication app;
        app.bundleIdentifier = bundleID;
        app.localizedName = bundleID;
        app.icon = std::move(icon);
        pids.push_back(Workspace::shared().launch(app));
        return pids.back();
    }

    QTemporaryDir data;
    std::vector<int> pids;
};

TEST_F(AppIconTest, ARunningApplicationsOwnIconComesFirst) {
    install("org.example.player", "Icon=player");
    square(48, Qt::blue).save(data.path() + "/icons/hicolor/48x48/apps/player.png");
    launch("org.example.player", {png(square(32, Qt::red)), {}});
    const auto icon = AppIcon::image("org.example.player");
    ASSERT_TRUE(icon.has_value());
    EXPECT_EQ(icon->size(), QSize(32, 32));
    EXPECT_EQ(icon->pixelColor(4, 4), QColor(Qt::red));
}

TEST_F(AppIconTest, ARunningApplicationWithoutAnIconFallsBackToTheInstalledOne) {
    install("org.example.player", "Icon=player");
    square(48, Qt::blue).save(data.path() + "/icons/hicolor/48x48/apps/player.png");
    square(128, Qt::green).save(data.path() + "/icons/hicolor/128x128/apps/player.png");
    launch("org.example.player");
    const auto icon = AppIcon::image("org.example.player");
    ASSERT_TRUE(icon.has_value());
    EXPECT_EQ(icon->size(), QSize(128, 128)) << "the largest size of the theme";

    // An icon named by its path, and one whose data cannot be decoded (the installed one then serves).
    const QString path = data.path() + "/editor.png";
    square(24, Qt::yellow).save(path);
    install("org.example.editor", "Icon=" + path.toStdString());
    launch("org.example.editor", {{'n', 'o', 't'}, {}});
    const auto editor = AppIcon::image("org.example.editor");
    ASSERT_TRUE(editor.has_value());
    EXPECT_EQ(editor->size(), QSize(24, 24));
}

TEST_F(AppIconTest, AnInstalledApplicationWithoutAnIconGetsTheGenericOneAndAnUnknownOneNothing) {
    install("org.example.bare", "");
    install("org.example.missing", "Icon=nowhere");
    const auto bare = AppIcon::image("org.example.bare");
    ASSERT_TRUE(bare.has_value());
    EXPECT_FALSE(bare->isNull());
    EXPECT_EQ(AppIcon::image("org.example.missing")->size(), bare->size());

    EXPECT_FALSE(AppIcon::image("org.example.unknown").has_value());
    EXPECT_FALSE(AppIcon::image("../../etc/passwd").has_value());
}

} // namespace
