// The menus the views build from their models' items: every title is shown as it is written (an "&" in
// a name from outside stays an "&" rather than marking a shortcut letter), and an item that removes
// something is drawn in red, as the desktop shows destructive items. The context menus of the mixer and
// the pull-down and main-menu lists of names use it. GUI thread only.
#pragma once

#include <string>

#include <QMenu>

class ActionMenu : public QMenu {
    Q_OBJECT

public:
    explicit ActionMenu(QWidget* parent = nullptr);

    // Adds an item titled `title` taken literally; `destructive` draws it in red.
    QAction* addItem(const std::string& title, bool destructive = false);
    // The same for a menu built elsewhere (a menu of the menu bar); its destructive marks show only in
    // an ActionMenu.
    static QAction* addItem(QMenu& menu, const std::string& title, bool destructive = false);

    // `title` with every "&" doubled, so that Qt shows it instead of reading a shortcut mark.
    static QString literal(const QString& title);
    static bool isDestructive(const QAction& action);

    // The colour this menu draws an item's title in when it is not highlighted.
    QColor titleColor(const QAction& action) const;

protected:
    void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override;
};
