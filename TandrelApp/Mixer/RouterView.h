// The mixer window's content: the update notice (when the updater gives one), the banner of an audio
// system that does not answer or of a missing driver, the routing matrix, a divider and the status
// bar. It shows the controller's messages in the "お知らせ" alert while the window is on screen and
// clears each message once the user has seen it. It holds no routing state: every part follows the
// controller's signals. GUI thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QWidget>

#include "TandrelApp/Mixer/RouterViewModel.h"

class MatrixGrid;
class MeterStore;
class RouterBanner;
class RouterStatusBar;
class RoutingController;
class UserDefaults;

class RouterView : public QWidget {
    Q_OBJECT

public:
    // `updateNotice` is the updater's notice for the top of the window; null leaves no room for it.
    RouterView(std::shared_ptr<RoutingController> controller, MeterStore& meters, UserDefaults& defaults,
               std::unique_ptr<QWidget> updateNotice, QWidget* parent = nullptr);
    ~RouterView() override;

    RouterViewModel::Banner banner() const { return banner_; }
    QWidget* updateNotice() const { return updateNotice_; }
    RouterBanner* audioSystemBanner() const { return audioSystemBanner_; }
    RouterBanner* driverMissingBanner() const { return driverMissingBanner_; }
    MatrixGrid* grid() const { return grid_; }
    RouterStatusBar* statusBar() const { return statusBar_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refreshBanner();
    void refreshStatus();
    // Shows the controller's message, once the current event is over, unless an alert is up.
    void scheduleAlert();
    void showAlert();

    std::shared_ptr<RoutingController> controller_;
    QWidget* updateNotice_ = nullptr;
    RouterBanner* audioSystemBanner_;
    RouterBanner* driverMissingBanner_;
    MatrixGrid* grid_;
    RouterStatusBar* statusBar_;
    RouterViewModel::Banner banner_ = RouterViewModel::Banner::none;
    bool alertPending_ = false;
    bool alertShowing_ = false;
};
