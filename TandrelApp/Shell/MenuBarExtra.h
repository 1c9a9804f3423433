// The menu-bar extra: the application's icon in the system tray and the panel that drops down from it
// when it is clicked. The panel's content comes from the menu-bar content of the scenes; each time the
// panel appears it runs its appear action. The tray menu takes the icon's clicks over once attached.
// GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QElapsedTimer>
#include <QObject>
#include <QWidget>

#include "Platform/System/Desktop/StatusItem.h"

class MenuBarExtra : public QObject {
    Q_OBJECT

public:
    using ContentFactory = std::function<std::unique_ptr<QWidget>()>;

    MenuBarExtra(ContentFactory content, std::function<void()> onPanelAppear);
    ~MenuBarExtra() override;

    // The tray icon's button, once the desktop has a tray; null before.
    StatusBarButton* button();

    // Opens the panel at the icon, or closes it when it is open.
    void togglePanel();
    // The panel, made on first use.
    QWidget& panel();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placePanel();

    ContentFactory content_;
    std::function<void()> onPanelAppear_;
    std::unique_ptr<StatusItem> item_;
    std::unique_ptr<QWidget> panel_;
    QElapsedTimer sinceHidden_;
};
