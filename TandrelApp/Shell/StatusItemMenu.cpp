#include "TandrelApp/Shell/StatusItemMenu.h"

#include <QCoreApplication>
#include <QMenu>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Shell/ResetSettings.h"
#include "TandrelApp/Shell/SettingsTab.h"

StatusItemMenu::StatusItemMenu(std::weak_ptr<RoutingController> controller, Environment environment)
    : controller_(std::move(controller))
    , environment_(std::move(environment)) {}

void StatusItemMenu::attach(int attempt) {
    if (StatusBarButton* button = environment_.findButton ? environment_.findButton() : nullptr) {
        button_ = button;
        originalAction_ = button->action();
        button->setAction([self = QPointer(this)](StatusBarButton::Click click) {
            if (self) {
                self->handleClick(click);
            }
        });
        state_ = State::attached;
        return;
    }
    if (attempt < lastAttempt) {
        environment_.after(retryInterval, [self = QPointer(this), attempt] {
            if (self) {
                self->attach(attempt + 1);
            }
        });
        return;
    }
    state_ = State::gaveUp;
    emit gaveUp();
}

bool StatusItemMenu::showsMenu(StatusBarButton::Click click) {
    switch (click) {
    case StatusBarButton::Click::rightUp:
    case StatusBarButton::Click::rightDown:
    case StatusBarButton::Click::leftUpWithControl:
        return true;
    case StatusBarButton::Click::leftUp:
    case StatusBarButton::Click::other:
        break;
    }
    return false;
}

void StatusItemMenu::handleClick(StatusBarButton::Click click) {
    if (showsMenu(click)) {
        showMenu();
    } else if (originalAction_) {
        originalAction_(click);
    }
}

std::vector<StatusItemMenu::Item> StatusItemMenu::menuItems() {
    const QPointer self(this);
    auto call = [self](void (StatusItemMenu::*action)()) {
        return [self, action] {
            if (self) {
                (self.data()->*action)();
            }
        };
    };
    std::vector<Item> items;
    items.push_back({QStringLiteral("設定…"), {}, call(&StatusItemMenu::openSettings)});
    if (environment_.checkForUpdates) {
        items.push_back({QStringLiteral("アップデートを確認…"), {}, environment_.checkForUpdates});
    }
    items.push_back({QStringLiteral("設定を初期化…"), {}, call(&StatusItemMenu::resetSettings)});
    items.push_back({});
    items.push_back(
        {QStringLiteral("Corvane を終了"), QKeySequence(Qt::CTRL | Qt::Key_Q), call(&StatusItemMenu::quit)});
    return items;
}

void StatusItemMenu::showMenu() {
    if (!button_) {
        return;
    }
    QMenu menu;
    for (const Item& item : menuItems()) {
        if (item.title.isEmpty()) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(item.title);
        action->setShortcut(item.shortcut);
        QObject::connect(action, &QAction::triggered, action, item.action);
    }
    button_->popUpMenu(menu);
}

void StatusItemMenu::openSettings() {
    ::openSettings(SettingsTab::general);
}

void StatusItemMenu::resetSettings() {
    auto controller = controller_.lock();
    if (!controller) {
        return;
    }
    ApplicationActivation::activateIgnoringOtherApps();
    ResetSettings::confirmAndReset(std::move(controller));
}

void StatusItemMenu::quit() {
    QCoreApplication::quit();
}
