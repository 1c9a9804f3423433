// The desktop's status area (the system tray): StatusBarButton is what an icon there offers the program
// (its click action, a menu popped up at it), and StatusItem is the real one over QSystemTrayIcon. The
// shell's menu-bar extra owns the icon and its status-item menu takes its action over. GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QIcon>
#include <QObject>
#include <QRect>
#include <QString>

class QMenu;
class QSystemTrayIcon;

class StatusBarButton : public QObject {
    Q_OBJECT

public:
    // What made a click, as far as the tray tells it apart.
    enum class Click { leftUp, leftUpWithControl, rightDown, rightUp, other };
    using Action = std::function<void(Click)>;

    // Called for every click; replacing it takes the button over.
    virtual Action action() const = 0;
    virtual void setAction(Action action) = 0;
    // Shows `menu` at the button and returns once it closes.
    virtual void popUpMenu(QMenu& menu) = 0;
    // Where the button is on the screen; empty when the tray does not say.
    virtual QRect screenGeometry() const = 0;
};

class StatusItem : public StatusBarButton {
    Q_OBJECT

public:
    // Whether the desktop has a tray to put icons in.
    static bool isAvailable();

    StatusItem(const QIcon& icon, const QString& toolTip);
    ~StatusItem() override;

    // Puts the icon into the tray; it appears once the tray is there.
    void show();

    Action action() const override { return action_; }
    void setAction(Action action) override { action_ = std::move(action); }
    void popUpMenu(QMenu& menu) override;
    QRect screenGeometry() const override;

private:
    std::unique_ptr<QSystemTrayIcon> icon_;
    Action action_;
};
