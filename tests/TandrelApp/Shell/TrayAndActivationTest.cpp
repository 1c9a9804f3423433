// The tray menu's click table and its patient attach, and the taskbar presence that follows the windows.
#include "TandrelApp/Shell/AppActivation.h"
#include "TandrelApp/Shell/AppDelegate.h"
#include "TandrelApp/Shell/StatusItemMenu.h"

#include <gtest/gtest.h>

#include "ShellTestSupport.h"

namespace {

using Click = StatusBarButton::Click;
using namespace std::chrono_literals;

// A timer that runs nothing by itself: the test fires each scheduled block.
struct ManualTimer {
    std::vector<std::chrono::milliseconds> delays;
    std::vector<std::function<void()>> pending;

    void fireNext() {
        auto next = std::move(pending.front());
        pending.erase(pending.begin());
        next();
    }
};

StatusItemMenu::Environment environment(ManualTimer& timer, std::function<StatusBarButton*()> find) {
    return {.findButton = std::move(find),
            .after =
                [&timer](std::chrono::milliseconds delay, std::function<void()> work) {
                    timer.delays.push_back(delay);
                    timer.pending.push_back(std::move(work));
                },
            .checkForUpdates = {}};
}

TEST(StatusItemMenuClicks, RightClicksAndControlClicksShowTheMenuEveryOtherClickOpensThePanel) {
    EXPECT_TRUE(StatusItemMenu::showsMenu(Click::rightUp));
    EXPECT_TRUE(StatusItemMenu::showsMenu(Click::rightDown));
    EXPECT_TRUE(StatusItemMenu::showsMenu(Click::leftUpWithControl));
    EXPECT_FALSE(StatusItemMenu::showsMenu(Click::leftUp));
    EXPECT_FALSE(StatusItemMenu::showsMenu(Click::other));

    FakeButton button;
    std::vector<Click> panelToggles;
    button.setAction([&](Click click) { panelToggles.push_back(click); });
    ManualTimer timer;
    StatusItemMenu menu({}, environment(timer, [&] { return &button; }));
    menu.attach(0);
    ASSERT_EQ(menu.state(), StatusItemMenu::State::attached);

    button.click(Click::leftUp);
    button.click(Click::other);
    button.click(Click::rightUp);
    button.click(Click::leftUpWithControl);
    button.click(Click::rightDown);

    EXPECT_EQ(panelToggles, (std::vector<Click>{Click::leftUp, Click::other}))
        << "plain clicks still reach the panel's own action";
    const std::vector<QString> items{QStringLiteral("設定…"), QStringLiteral("設定を初期化…"),
                                     QStringLiteral("-"), QStringLiteral("Corvane を終了")};
    EXPECT_EQ(button.menus, (std::vector<std::vector<QString>>(3, items)))
        << "the update check is left out while there is no updater";
}

TEST(StatusItemMenuClicks, TheMenuListsTheUpdateCheckWhenThereIsOneAndQuitHasItsShortcut) {
    ManualTimer timer;
    auto env = environment(timer, [] { return nullptr; });
    int checks = 0;
    env.checkForUpdates = [&] {
        ++checks;
    };
    StatusItemMenu menu({}, env);
    auto items = menu.menuItems();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[1].title, QStringLiteral("アップデートを確認…"));
    items[1].action();
    EXPECT_EQ(checks, 1);
    EXPECT_TRUE(items[3].title.isEmpty()) << "a separator before quitting";
    EXPECT_EQ(items[4].shortcut, QKeySequence(Qt::CTRL | Qt::Key_Q));
    items[2].action(); // the controller is gone: the reset does nothing, and asks nothing
}

TEST(StatusItemMenuAttach, RetriesEveryQuarterSecondAndAttachesToALateButton) {
    FakeButton button;
    int lookups = 0;
    ManualTimer timer;
    StatusItemMenu menu(
        {}, environment(timer, [&]() -> StatusBarButton* { return ++lookups > 12 ? &button : nullptr; }));
    menu.attach(0);
    while (menu.state() == StatusItemMenu::State::unattached && !timer.pending.empty()) {
        timer.fireNext();
    }
    EXPECT_EQ(menu.state(), StatusItemMenu::State::attached);
    EXPECT_EQ(lookups, 13);
    EXPECT_EQ(timer.delays, std::vector<std::chrono::milliseconds>(12, 250ms));
    EXPECT_TRUE(timer.pending.empty());
}

TEST(StatusItemMenuAttach, GivesUpAfterTwentyRetriesAndSaysSo) {
    int lookups = 0;
    ManualTimer timer;
    StatusItemMenu menu({}, environment(timer, [&]() -> StatusBarButton* {
                            ++lookups;
                            return nullptr;
                        }));
    int gaveUp = 0;
    QObject::connect(&menu, &StatusItemMenu::gaveUp, [&] { ++gaveUp; });
    menu.attach(0);
    while (!timer.pending.empty()) {
        timer.fireNext();
    }
    EXPECT_EQ(lookups, 21) << "attempt 0 and 20 retries, within 5 s";
    EXPECT_EQ(timer.delays.size(), 20u);
    EXPECT_EQ(menu.state(), StatusItemMenu::State::gaveUp);
    EXPECT_EQ(gaveUp, 1);
}

TEST(StatusItemMenuAttach, ARetryAfterTheMenuIsGoneDoesNothing) {
    ManualTimer timer;
    int lookups = 0;
    {
        StatusItemMenu menu({}, environment(timer, [&]() -> StatusBarButton* {
                                ++lookups;
                                return nullptr;
                            }));
        menu.attach(0);
    }
    timer.fireNext();
    EXPECT_EQ(lookups, 1);
}

TEST(Activation, RegularWhileAWindowThatCanBecomeMainIsVisible) {
    using State = AppActivation::WindowState;
    EXPECT_EQ(AppActivation::policyFor({}), ActivationPolicy::accessory);
    EXPECT_EQ(AppActivation::policyFor({{.visible = true, .canBecomeMain = false}}),
              ActivationPolicy::accessory)
        << "a popup panel or an alert keeps no taskbar entry";
    EXPECT_EQ(AppActivation::policyFor({{.visible = false, .canBecomeMain = true}}),
              ActivationPolicy::accessory);
    EXPECT_EQ(AppActivation::policyFor({State{false, true}, State{true, false}, State{true, true}}),
              ActivationPolicy::regular);
    EXPECT_EQ(AppActivation::policyFor({State{true, true}, State{false, false}}), ActivationPolicy::regular);
}

TEST(Activation, AutomaticUpdateChecksAreLeftOutOfTestAndPreviewRuns) {
    EXPECT_TRUE(AppDelegate::schedulesUpdateChecks({"/usr/bin/TandrelApp"}));
    EXPECT_TRUE(AppDelegate::schedulesUpdateChecks({"/usr/bin/TandrelApp", "--reset-settings", "--test-x"}));
    EXPECT_FALSE(AppDelegate::schedulesUpdateChecks({"/usr/bin/TandrelApp", "--my-test"}));
    EXPECT_FALSE(AppDelegate::schedulesUpdateChecks({"/usr/bin/TandrelApp", "--preview-menubar"}));
    EXPECT_FALSE(AppDelegate::schedulesUpdateChecks({"/opt/self-test"})) << "the program path counts too";
}

} // namespace
