#include "TandrelApp/Mixer/RouterView.h"

#include <QPointer>
#include <QVBoxLayout>

#include "Platform/System/Desktop/Alerts.h"
#include "TandrelApp/Mixer/MatrixGrid.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Mixer/RouterBanner.h"
#include "TandrelApp/Mixer/RouterStatusBar.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Support/TandrelVersion.h"

namespace {

constexpr int kMinimumWidth = 760;
constexpr int kMinimumHeight = 420;

} // namespace

RouterView::RouterView(std::shared_ptr<RoutingController> controller, MeterStore& meters,
                       UserDefaults& defaults, std::unique_ptr<QWidget> updateNotice, QWidget* parent)
    : QWidget(parent)
    , controller_(std::move(controller)) {
    const Theme::Metrics metrics;
    RoutingController* routing = controller_.get();
    audioSystemBanner_ = RouterBanner::audioSystem(metrics, [routing] {
        routing->requestRebuild();
        routing->retrySources();
    });
    driverMissingBanner_ = RouterBanner::driverMissing(metrics);
    grid_ = new MatrixGrid(*routing, meters, defaults);
    statusBar_ = new RouterStatusBar(metrics, TandrelVersion::shortVersion(), TandrelVersion::build());

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (updateNotice) {
        updateNotice_ = updateNotice.release();
        layout->addWidget(updateNotice_);
    }
    layout->addWidget(audioSystemBanner_);
    layout->addWidget(driverMissingBanner_);
    layout->addWidget(grid_, 1);
    layout->addWidget(MixerStyle::divider());
    layout->addWidget(statusBar_);
    setMinimumSize(kMinimumWidth, kMinimumHeight);

    connect(routing, &RoutingController::audioSystemResponsiveChanged, this, &RouterView::refreshBanner);
    connect(routing, &RoutingController::devicesLoadedChanged, this, &RouterView::refreshBanner);
    connect(routing, &RoutingController::linesChanged, this, &RouterView::refreshBanner);
    connect(routing, &RoutingController::configChanged, this, &RouterView::refreshStatus);
    connect(routing, &RoutingController::messageChanged, this, &RouterView::scheduleAlert);
    refreshBanner();
    refreshStatus();
}

RouterView::~RouterView() = default;

void RouterView::refreshBanner() {
    banner_ = RouterViewModel::banner(controller_->audioSystemResponsive(), controller_->devicesLoaded(),
                                      !controller_->lines().empty());
    audioSystemBanner_->setVisible(banner_ == RouterViewModel::Banner::audioSystem);
    driverMissingBanner_->setVisible(banner_ == RouterViewModel::Banner::driverMissing);
}

void RouterView::refreshStatus() {
    statusBar_->setConnectionCount(controller_->config().connections.size());
}

void RouterView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    scheduleAlert();
}

void RouterView::scheduleAlert() {
    if (alertPending_ || alertShowing_ || !controller_->message()) {
        return;
    }
    alertPending_ = true;
    QMetaObject::invokeMethod(this, &RouterView::showAlert, Qt::QueuedConnection);
}

// The alert runs modally; the view may go while it is up. A message that changed while the alert
// was up has not been seen yet, so it gets an alert of its own instead of being cleared.
void RouterView::showAlert() {
    alertPending_ = false;
    const std::optional<std::string> message = controller_->message();
    if (!message || !isVisible()) {
        return;
    }
    AlertSpec alert;
    alert.message = RouterViewModel::alertTitle;
    alert.informativeText = *message;
    alert.buttons = {{.title = RouterViewModel::alertButton, .cancels = true}};
    const QPointer<RouterView> self(this);
    const std::shared_ptr<RoutingController> controller = controller_;
    alertShowing_ = true;
    Alerts::shared().run(alert);
    if (controller->message() == message) {
        controller->clearMessage();
    }
    if (self) {
        self->alertShowing_ = false;
        self->scheduleAlert();
    }
}
