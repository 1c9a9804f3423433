// The application's delegate: it keeps the taskbar presence in step with the windows, hides the windows
// of a start at login, never quits when the last window closes (unless the desktop has no tray to come
// back through and this is no start at login), schedules the update checks, runs the quit-time save, and on
// its first hand-over of the controller attaches the tray menu and carries out "--preview-menubar",
// "--reset-settings" and
// "--reset-lines". The application makes one for the process. GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QObject>
#include <QStringList>
#include <QWidget>

#include "TandrelApp/Shell/StatusItemMenu.h"

class RoutingController;

class AppDelegate : public QObject {
    Q_OBJECT

public:
    // What the delegate makes and starts; the application passes the real ones, tests their own.
    struct Environment {
        QStringList arguments;
        // Makes the tray menu for the controller and starts attaching it.
        std::function<std::unique_ptr<StatusItemMenu>(std::shared_ptr<RoutingController>)> makeStatusItemMenu;
        // The menu-bar panel's content, for the preview window.
        std::function<std::unique_ptr<QWidget>(std::shared_ptr<RoutingController>)> makeMenuBarContent;
        // Starts the updater's automatic checks.
        std::function<void()> scheduleAutomaticUpdateChecks;
        // The application's normal quit; QCoreApplication::quit when empty.
        std::function<void()> quit;
    };

    explicit AppDelegate(Environment environment);
    ~AppDelegate() override;

    // The quit-time save; set at each appearance of the mixer window or the menu-bar panel.
    std::function<void()> onTerminate;

    const std::shared_ptr<RoutingController>& controller() const { return controller_; }
    // Stores the controller; only the first assignment after none has side effects (tray menu, preview
    // window, reset).
    void setController(std::shared_ptr<RoutingController> controller);

    StatusItemMenu* statusItemMenu() const { return statusItemMenu_.get(); }
    QWidget* previewWindow() const { return previewWindow_.get(); }

    // After the application has started: hides the windows of a start at login, starts observing window
    // closes and schedules the update checks unless this is a self-test or preview run.
    void applicationDidFinishLaunching();
    // Closing the last window quits only when the tray never came, so nothing would be left to reopen;
    // never after a start at login, whose routing must run without a window (starting the program
    // again shows the mixer).
    bool applicationShouldTerminateAfterLastWindowClosed() const;
    // Runs the quit-time save; the application calls it as it quits.
    void applicationWillTerminate();

    bool launchedAsLoginItem() const;
    // Opens the "Menu Bar Preview" window when the command line asks for it and the controller is set.
    void showMenuBarPreviewIfRequested();

    // Whether a run with these arguments schedules automatic update checks: not when any argument ends
    // in "-test" or is "--preview-menubar".
    static bool schedulesUpdateChecks(const QStringList& arguments);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowWillClose();
    // Quits through the normal quit path when no window is on screen and the tray is not there.
    void quitIfNothingIsLeftToReopen();

    Environment environment_;
    std::shared_ptr<RoutingController> controller_;
    std::unique_ptr<QWidget> previewWindow_;
    std::unique_ptr<StatusItemMenu> statusItemMenu_;
};
