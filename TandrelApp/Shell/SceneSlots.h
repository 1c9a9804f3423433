// Where the parts still to come plug into the application's windows and menus. Each function builds
// what its part shows: until that part is in the build, a window's content is an empty placeholder of
// the window's size, and a menu entry or action is left out rather than shown doing nothing.
#pragma once

#include <functional>
#include <memory>

#include <QWidget>

class MeterStore;
class QMenu;
class RoutingController;
class UserDefaults;

// The mixer window's content (the routing matrix), at least 760 × 420. It reads the display scale from
// `defaults` ("TDUIScale").
std::unique_ptr<QWidget> createRouterContent(std::shared_ptr<RoutingController> controller,
                                             MeterStore& meters, UserDefaults& defaults);

// The menu-bar panel's content; `launchAtLogin` is the login item's state when it is built, and
// `openMixer` opens the mixer window.
std::unique_ptr<QWidget> createMenuBarContent(std::shared_ptr<RoutingController> controller,
                                              MeterStore& meters, bool launchAtLogin,
                                              std::function<void()> openMixer);

// The settings window's panes after the general one.
std::unique_ptr<QWidget> createLinesPane();
std::unique_ptr<QWidget> createExcludedAppsPane(std::shared_ptr<RoutingController> controller);
std::unique_ptr<QWidget> createAboutPane();

// The capture lab window's content; empty while the capture lab is not in the build (the Window menu
// then has no item for it).
std::function<std::unique_ptr<QWidget>()> captureLabContent();

// The update notice: the full banner or progress row at the top of the mixer window (`compact` false),
// the compact one in the menu-bar panel. Null while the updater is not in the build; the slot then takes
// no space.
std::unique_ptr<QWidget> createUpdateNotice(bool compact);

// The application menu's update commands, added where they belong; none yet.
void addUpdateCommands(QMenu& applicationMenu);
// The tray menu's update check; empty while the updater is not in the build (no item then).
std::function<void()> checkForUpdatesAction();
// The updater's automatic checks, scheduled after launch; nothing while the updater is not in the build.
void scheduleAutomaticUpdateChecks();

// The items of the "音源" and "モニター先" menus, built afresh each time the menu opens.
void addSourceMenuItems(QMenu& menu, std::shared_ptr<RoutingController> controller);
void addMonitorMenuItems(QMenu& menu, std::shared_ptr<RoutingController> controller);
