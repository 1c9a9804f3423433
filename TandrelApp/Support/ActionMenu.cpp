#include "TandrelApp/Support/ActionMenu.h"

#include <QStyleOptionMenuItem>
#include <QVariant>

#include "TandrelApp/Support/Theme.h"

namespace {

constexpr const char* destructiveProperty = "tandrelDestructive";

} // namespace

ActionMenu::ActionMenu(QWidget* parent)
    : QMenu(parent) {}

QAction* ActionMenu::addItem(const std::string& title, bool destructive) {
    return addItem(*this, title, destructive);
}

QAction* ActionMenu::addItem(QMenu& menu, const std::string& title, bool destructive) {
    QAction* action = menu.addAction(literal(QString::fromStdString(title)));
    if (destructive) {
        action->setProperty(destructiveProperty, true);
    }
    return action;
}

QString ActionMenu::literal(const QString& title) {
    QString escaped = title;
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

bool ActionMenu::isDestructive(const QAction& action) {
    return action.property(destructiveProperty).toBool();
}

QColor ActionMenu::titleColor(const QAction& action) const {
    QStyleOptionMenuItem option;
    initStyleOption(&option, &action);
    return option.palette.color(QPalette::Active, QPalette::Text);
}

void ActionMenu::initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const {
    QMenu::initStyleOption(option, action);
    if (action == nullptr || !action->isEnabled() || !isDestructive(*action)) {
        return;
    }
    // Styles draw a title in one of these roles; a highlighted one keeps the highlight's own colour.
    const QColor red = Theme::color(ColorRole::red, option->palette);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        for (const auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText}) {
            option->palette.setColor(group, role, red);
        }
    }
}
