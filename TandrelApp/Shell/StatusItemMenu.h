// The tray icon's second menu: it takes the icon's click action over once the icon is there (trying
// again every 0.25 s for 5 s), pops a small menu up on a right click or a Control-click (settings,
// update check, reset, quit) and passes every other click on, so the menu-bar panel still opens. The
// application delegate makes it when it is first handed the controller. GUI thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include <QKeySequence>
#include <QObject>
#include <QPointer>
#include <QString>

#include "Platform/System/Desktop/StatusItem.h"

class QMenu;
class RoutingController;

class StatusItemMenu : public QObject {
    Q_OBJECT

public:
    // How it finds the button, waits between attempts, and what its menu's actions do. Actions left
    // empty leave their item out of the menu.
    struct Environment {
        std::function<StatusBarButton*()> findButton;
        std::function<void(std::chrono::milliseconds, std::function<void()>)> after;
        std::function<void()> checkForUpdates;
    };

    enum class State { unattached, attached, gaveUp };

    // One entry of the menu; an empty title is a separator.
    struct Item {
        QString title;
        QKeySequence shortcut;
        std::function<void()> action;
    };

    static constexpr int lastAttempt = 20;
    static constexpr std::chrono::milliseconds retryInterval{250};

    // Holds the controller weakly: the reset item does nothing once it is gone.
    StatusItemMenu(std::weak_ptr<RoutingController> controller, Environment environment);

    // Takes the button over, or tries again later while attempts are left.
    void attach(int attempt);
    State state() const { return state_; }

    // The button's action once taken over.
    void handleClick(StatusBarButton::Click click);
    // Whether a click shows the menu (right button, or left with Control) rather than the panel.
    static bool showsMenu(StatusBarButton::Click click);

    // The menu as it is built on every show.
    std::vector<Item> menuItems();
    void showMenu();

    void openSettings();
    void resetSettings();
    void quit();

signals:
    // The button was not found within the attempts; the tray icon, if it ever comes, only opens the panel.
    void gaveUp();

private:
    std::weak_ptr<RoutingController> controller_;
    Environment environment_;
    QPointer<StatusBarButton> button_;
    StatusBarButton::Action originalAction_;
    State state_ = State::unattached;
};
