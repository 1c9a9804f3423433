// The mixer window's frame: the top-level window "Corvane" (id "router") with the application's menu
// bar (the application menu, "音源", "モニター先" and the Window menu) around the mixer content. Its
// appearances drive the application's appear action. GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QMainWindow>

class QMenu;

class RouterWindow : public QMainWindow {
    Q_OBJECT

public:
    // What the menu bar's commands do. Empty ones leave their item out.
    struct Commands {
        std::function<void()> openSettings;
        std::function<void()> resetSettings;
        std::function<void()> quit;
        std::function<void()> openCaptureLab;
        // Adds the updater's commands to the application menu.
        std::function<void(QMenu&)> addUpdateCommands;
        // Fill the two menus of their own each time they open.
        std::function<void(QMenu&)> addSourceItems;
        std::function<void(QMenu&)> addMonitorItems;
    };

    RouterWindow(std::unique_ptr<QWidget> content, Commands commands);

    QMenu* applicationMenu() const { return applicationMenu_; }
    QMenu* sourceMenu() const { return sourceMenu_; }
    QMenu* monitorMenu() const { return monitorMenu_; }
    QMenu* windowMenu() const { return windowMenu_; }

    // Takes the size that shows the whole matrix, within the available part of its screen (a little
    // left for the desktop's window frame), and never less than the content's minimum.
    void fitToContent();
    // Fits now and again each time the content's size changes (the device list and the sources arrive
    // a moment after the window), until told to stop or until the user resizes the window.
    void followContentSize();
    void stopFollowingContentSize() { followsContent_ = false; }
    bool followsContentSize() const { return followsContent_; }

signals:
    // Each time the window comes on screen.
    void appeared();

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildApplicationMenu();
    void buildWindowMenu();
    QMenu* addRebuiltMenu(const QString& title, std::function<void(QMenu&)> fill);

    Commands commands_;
    QMenu* applicationMenu_ = nullptr;
    QMenu* sourceMenu_ = nullptr;
    QMenu* monitorMenu_ = nullptr;
    QMenu* windowMenu_ = nullptr;
    bool followsContent_ = false;
    bool fitPending_ = false;
};
