// The settings window: one tab each for the general options, the virtual lines, the excluded
// applications and the program's information, 560 wide with the height of the pane shown. It shows the
// tab remembered under "TDSettingsTab", switches in place when that changes, and remembers the user's
// own choice of tab. GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QWidget>

#include "TandrelApp/Shell/SettingsTab.h"

class QTabWidget;
class UserDefaults;

class SettingsWindow : public QWidget {
    Q_OBJECT

public:
    // Makes the pane of one tab.
    using PaneFactory = std::function<std::unique_ptr<QWidget>(SettingsTab)>;

    static constexpr int fixedWidth = 560;

    SettingsWindow(PaneFactory panes, UserDefaults& defaults);

    SettingsTab currentTab() const;
    QTabWidget& tabs() const { return *tabs_; }

private:
    void showStoredTab();
    void tabChosen(int index);
    // The window takes the height of the shown pane only.
    void fitToCurrentPane();

    UserDefaults& defaults_;
    QTabWidget* tabs_ = nullptr;
};
