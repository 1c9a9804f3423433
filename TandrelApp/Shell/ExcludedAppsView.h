// The settings window's excluded-apps pane: the applications never added as sources by themselves, each
// with a button that lifts its exclusion, and two ways to exclude more: a pull-down of the running
// applications and a file chooser over the installed applications' desktop entries. The list lives in
// the controller's configuration; the pane follows it in place. GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Support/KeyedChildren.h"
#include "TandrelApp/Support/Theme.h"

class ElidedLabel;
class GlyphView;
class QFileDialog;
class QLabel;
class QMenu;
class QPushButton;
class RoutingController;

class ExcludedAppsView : public QWidget {
    Q_OBJECT

public:
    // Asks the user for application files and returns their paths, none when cancelled.
    using ChooseFiles = std::function<std::vector<std::string>(QWidget& parent)>;

    explicit ExcludedAppsView(std::shared_ptr<RoutingController> controller, ChooseFiles chooseFiles = {},
                              Theme::Metrics metrics = Theme::Metrics(1.0));
    ~ExcludedAppsView() override;

    // Lets the user choose applications and excludes each one that is an application entry.
    void chooseApps();

    class Row;
    // The rows shown, in order; empty when nothing is excluded.
    std::vector<Row*> rows() const;
    QLabel& emptyLabel() const { return *empty_; }
    QPushButton& addRunningButton() const { return *addRunning_; }
    QPushButton& chooseButton() const { return *choose_; }
    // The pull-down's entries, built as it opens.
    QMenu& runningMenu() const { return *runningMenu_; }
    void fillRunningMenu();

    // The file dialog on the installed applications' folders, run modally.
    static std::vector<std::string> chooseApplicationFiles(QWidget& parent);
    // That dialog, not yet shown.
    static std::unique_ptr<QFileDialog> makeChooser(QWidget& parent);

private:
    QWidget* buildList();
    QWidget* buildButtons();
    void refresh();

    std::shared_ptr<RoutingController> controller_;
    ChooseFiles chooseFiles_;
    Theme::Metrics metrics_;
    QLabel* empty_ = nullptr;
    std::unique_ptr<KeyedChildren<std::string, Row>> rows_;
    QPushButton* addRunning_ = nullptr;
    QMenu* runningMenu_ = nullptr;
    QPushButton* choose_ = nullptr;
    std::vector<Workspace::ObserverToken> observers_;
};

// One excluded application: its icon, name and bundle identifier, and "除外を解除".
class ExcludedAppsView::Row : public QWidget {
    Q_OBJECT

public:
    Row(std::weak_ptr<RoutingController> controller, const std::string& bundleID, Theme::Metrics metrics);

    void display(const std::string& name);

    const std::string& bundleID() const { return bundleID_; }
    QString name() const;
    // The symbol shown when the application has no icon; none while its icon is shown.
    std::optional<std::string> iconSymbol() const;
    QPushButton& includeButton() const { return *include_; }

private:
    std::string bundleID_;
    QLabel* icon_;
    GlyphView* symbol_;
    ElidedLabel* name_;
    QPushButton* include_;
};
