// Launch at login as an XDG autostart entry: written, read back and removed under a temporary
// configuration folder, and a failure that only leaves a console line.
#include "TandrelApp/Shell/LoginItem.h"
#include "Platform/System/LoginItemService.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "Support/TemporaryXdgHome.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class LoginItemTest : public ::testing::Test {
protected:
    TemporaryXdgHome config{"XDG_CONFIG_HOME"};
    const std::string id = "qorvix.tandrel.login-test";
    const fs::path program = "/opt/Corvane 1.0/bin/TandrelApp";
};

TEST_F(LoginItemTest, RegisteringWritesAnAutostartEntryThatStartsTheProgramAtLogin) {
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::notRegistered);

    LoginItemService::registerItem(id, "Corvane", program);

    const fs::path entry = fs::path(config.path().toStdString()) / "autostart" / (id + ".desktop");
    EXPECT_EQ(LoginItemService::entryPath(id), entry);
    EXPECT_EQ(contents(entry), "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=Corvane\n"
                               "Exec=\"/opt/Corvane 1.0/bin/TandrelApp\" --launched-as-login-item\n"
                               "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::enabled);
    EXPECT_EQ(LoginItemService::status(id, "/usr/bin/TandrelApp"), LoginItemService::Status::notRegistered)
        << "an entry for another copy of the program is not this one's";

    LoginItemService::unregisterItem(id);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::notRegistered);
    EXPECT_NO_THROW(LoginItemService::unregisterItem(id)) << "removing what is not there is no failure";
}

TEST_F(LoginItemTest, AHiddenSwitchedOffOrBrokenEntryIsNotEnabled) {
    const fs::path entry = LoginItemService::entryPath(id);
    const std::string exec = "Exec=\"/opt/Corvane 1.0/bin/TandrelApp\" --launched-as-login-item\n";
    write(entry, "[Desktop Entry]\nType=Application\n" + exec + "Hidden=true\n");
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::notRegistered);
    write(entry, "[Desktop Entry]\nType=Application\n" + exec + "X-GNOME-Autostart-enabled=false\n");
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::notRegistered);
    write(entry, "Type=Application\n" + exec);
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::notRegistered);
    write(entry,
          "# edited by hand\n[Desktop Entry]\n Type = Application \n" + exec + "[Other]\nHidden=true\n");
    EXPECT_EQ(LoginItemService::status(id, program), LoginItemService::Status::enabled)
        << "only the [Desktop Entry] group counts";
}

TEST_F(LoginItemTest, ExecArgumentsAreQuotedAsDesktopEntriesWant) {
    EXPECT_EQ(LoginItemService::quoteExecArgument("/usr/bin/TandrelApp"), "/usr/bin/TandrelApp");
    EXPECT_EQ(LoginItemService::quoteExecArgument("/a b/c"), "\"/a b/c\"");
    EXPECT_EQ(LoginItemService::quoteExecArgument("/a\"b$c`d\\e"), "\"/a\\\"b\\$c\\`d\\\\e\"");
    EXPECT_EQ(LoginItemService::quoteExecArgument("/100%/x"), "/100%%/x");

    const fs::path odd = "/opt/100% \"odd\" $dir/TandrelApp";
    LoginItemService::registerItem(id, "Corvane", odd);
    EXPECT_EQ(LoginItemService::status(id, odd), LoginItemService::Status::enabled);
}

TEST_F(LoginItemTest, TheApplicationsSwitchFollowsTheEntryAndAFailureOnlyLeavesAConsoleLine) {
    LoginItem::setEnabled(true);
    EXPECT_TRUE(LoginItem::isEnabled());
    EXPECT_EQ(
        LoginItemService::status("qorvix.tandrel.app", QCoreApplication::applicationFilePath().toStdString()),
        LoginItemService::Status::enabled);
    LoginItem::setEnabled(false);
    EXPECT_FALSE(LoginItem::isEnabled());

    // A file where the autostart folder should be makes registering fail.
    const fs::path folder = fs::path(config.path().toStdString()) / "autostart";
    fs::remove_all(folder);
    write(folder, "not a folder");
    ::testing::internal::CaptureStderr();
    LoginItem::setEnabled(true);
    const std::string console = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(console.rfind("TandrelApp: login item update failed: ", 0), 0u) << console;
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 1) << console;
    EXPECT_FALSE(LoginItem::isEnabled());

    EXPECT_TRUE(LoginItem::launchedAsLoginItem({"/usr/bin/TandrelApp", "--launched-as-login-item"}));
    EXPECT_FALSE(LoginItem::launchedAsLoginItem({"/usr/bin/TandrelApp", "--launched-as-login-item=1"}));
}

} // namespace
