// The application: its delegate, the one routing controller of the run, its windows (the mixer window
// "router", the settings window "settings" and, once it is in the build, the capture lab
// "capture-lab"), the menu-bar extra in the tray, and the quit-time save. run() is a whole application
// run from main(); tests make one to drive its windows. GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QObject>
#include <QStringList>

#include "TandrelApp/Shell/SettingsTab.h"
#include "TandrelApp/Shell/WindowRegistry.h"

class AppDelegate;
class MenuBarExtra;
class RoutingController;
class StatusItemMenu;

class TandrelApp : public QObject {
public:
    explicit TandrelApp(QStringList arguments);
    ~TandrelApp() override;

    // Starts the audio server and the application, runs its event loop and returns the exit status.
    static int run(int& argc, char** argv);

    // Declares the windows and the tray icon, opens the mixer window and finishes the launch.
    void launch();

    // The run's controller, made from routing.json the first time it is asked for.
    std::shared_ptr<RoutingController> controller();
    AppDelegate& delegate() { return *delegate_; }
    WindowRegistry& windows() { return windows_; }
    MenuBarExtra* menuBarExtra() { return menuBarExtra_.get(); }

    // The closure the delegate runs at quit (and the updater before it installs): the controller's
    // pending save is dropped and its configuration written at once.
    std::function<void()> saveOnTerminate();

private:
    void declareScenes();
    std::unique_ptr<QWidget> makeRouterWindow();
    std::unique_ptr<QWidget> makeMenuBarContent();
    std::unique_ptr<QWidget> makeSettingsWindow();
    std::unique_ptr<QWidget> makeSettingsPane(SettingsTab tab);
    std::unique_ptr<StatusItemMenu> makeStatusItemMenu(std::shared_ptr<RoutingController> controller);
    void mixerWindowAppeared();
    void panelAppeared();

    QStringList arguments_;
    std::shared_ptr<RoutingController> controller_;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<MenuBarExtra> menuBarExtra_;
    WindowRegistry windows_;
};
