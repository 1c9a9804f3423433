#include "Platform/System/Desktop/StatusItem.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace {

StatusBarButton::Click clickOf(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier)
                   ? StatusBarButton::Click::leftUpWithControl
                   : StatusBarButton::Click::leftUp;
    case QSystemTrayIcon::Context:
        return StatusBarButton::Click::rightUp;
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
    return StatusBarButton::Click::other;
}

} // namespace

bool StatusItem::isAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

StatusItem::StatusItem(const QIcon& icon, const QString& toolTip)
    : icon_(std::make_unique<QSystemTrayIcon>(icon)) {
    icon_->setToolTip(toolTip);
    // No context menu of the tray's own: every click goes to the action, which decides.
    connect(icon_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (action_) {
            action_(clickOf(reason));
        }
    });
}

StatusItem::~StatusItem() = default;

void StatusItem::show() {
    icon_->show();
}

void StatusItem::popUpMenu(QMenu& menu) {
    const QRect at = screenGeometry();
    menu.exec(at.isEmpty() ? QCursor::pos() : at.bottomLeft());
}

QRect StatusItem::screenGeometry() const {
    return icon_->geometry();
}
