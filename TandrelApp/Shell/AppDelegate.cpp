#include "TandrelApp/Shell/AppDelegate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <QVBoxLayout>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/AppActivation.h"
#include "TandrelApp/Shell/LoginItem.h"
#include "TandrelApp/Shell/WindowRegistry.h"
#include "TandrelApp/Support/Log.h"
#include "TandrelApp/Support/SpawnOnMain.h"

namespace {

// "--reset-settings": the outcome is of no interest here.
QCoro::Task<> resetQuietly(std::shared_ptr<RoutingController> controller, bool resetLines) {
    try {
        co_await controller->resetSettings(resetLines);
    } catch (const std::exception&) {
    }
}

} // namespace

AppDelegate::AppDelegate(Environment environment)
    : environment_(std::move(environment)) {
    if (!environment_.quit) {
        environment_.quit = [] {
            QCoreApplication::quit();
        };
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, &AppDelegate::applicationWillTerminate);
    }
}

AppDelegate::~AppDelegate() {
    if (qApp != nullptr) {
        qApp->removeEventFilter(this);
    }
}

void AppDelegate::setController(std::shared_ptr<RoutingController> controller) {
    const auto previous = std::exchange(controller_, std::move(controller));
    if (previous) {
        return;
    }
    if (controller_ && environment_.makeStatusItemMenu) {
        statusItemMenu_ = environment_.makeStatusItemMenu(controller_);
        if (statusItemMenu_) {
            connect(statusItemMenu_.get(), &StatusItemMenu::gaveUp, this,
                    &AppDelegate::quitIfNothingIsLeftToReopen);
        }
    }
    showMenuBarPreviewIfRequested();
    if (environment_.arguments.contains(QStringLiteral("--reset-settings")) && controller_) {
        const bool resetLines = environment_.arguments.contains(QStringLiteral("--reset-lines"));
        spawnOnMain([controller = controller_, resetLines] { return resetQuietly(controller, resetLines); });
    }
}

void AppDelegate::showMenuBarPreviewIfRequested() {
    if (!environment_.arguments.contains(QStringLiteral("--preview-menubar")) || !controller_ ||
        !environment_.makeMenuBarContent) {
        return;
    }
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Menu Bar Preview"));
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(environment_.makeMenuBarContent(controller_).release());
    WindowRegistry::markMainCapable(*window);
    window->move(80, 200);
    window->show();
    window->raise();
    window->activateWindow();
    previewWindow_ = std::move(window);
}

void AppDelegate::applicationDidFinishLaunching() {
    if (launchedAsLoginItem()) {
        QTimer::singleShot(0, this, [] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (WindowRegistry::isMainCapable(*window)) {
                    window->close();
                }
            }
            ApplicationActivation::setPolicy(ActivationPolicy::accessory);
        });
    }
    qApp->installEventFilter(this);
    if (!schedulesUpdateChecks(environment_.arguments)) {
        return;
    }
    if (environment_.scheduleAutomaticUpdateChecks) {
        environment_.scheduleAutomaticUpdateChecks();
    }
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const {
    return statusItemMenu_ && statusItemMenu_->state() == StatusItemMenu::State::gaveUp &&
           !launchedAsLoginItem();
}

void AppDelegate::applicationWillTerminate() {
    if (onTerminate) {
        onTerminate();
    }
}

bool AppDelegate::launchedAsLoginItem() const {
    return LoginItem::launchedAsLoginItem(environment_.arguments);
}

bool AppDelegate::schedulesUpdateChecks(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (argument.endsWith(QStringLiteral("-test")) || argument == QStringLiteral("--preview-menubar")) {
            return false;
        }
    }
    return true;
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Close && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->isWindow()) {
        windowWillClose();
    }
    return false;
}

void AppDelegate::windowWillClose() {
    AppActivation::updatePolicy();
    QTimer::singleShot(0, this, &AppDelegate::quitIfNothingIsLeftToReopen);
}

void AppDelegate::quitIfNothingIsLeftToReopen() {
    if (!applicationShouldTerminateAfterLastWindowClosed() || AppActivation::hasVisibleMainWindow()) {
        return;
    }
    Log::app("App")->info(
        "No system tray and no window on screen: quitting, since nothing could reopen a window");
    environment_.quit();
}
