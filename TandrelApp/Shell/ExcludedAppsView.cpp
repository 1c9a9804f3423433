#include "TandrelApp/Shell/ExcludedAppsView.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include "TandrelApp/Mixer/AppIcon.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/ExcludedAppsModel.h"
#include "TandrelApp/Shell/PaneWidgets.h"
#include "TandrelApp/Support/ActionMenu.h"
#include "TandrelApp/Support/GlyphView.h"

namespace Model = ExcludedAppsModel;

namespace {

constexpr double kIconSize = 20;

using PaneWidgets::text;

} // namespace

// ---- Row

ExcludedAppsView::Row::Row(std::weak_ptr<RoutingController> controller, const std::string& bundleID,
                           Theme::Metrics metrics)
    : bundleID_(bundleID)
    , icon_(new QLabel)
    , symbol_(new GlyphView({"app.dashed", ColorRole::secondary}, metrics.size(kIconSize, kIconSize)))
    , name_(new ElidedLabel)
    , include_(PaneWidgets::button(Model::includeTitle, metrics)) {
    auto* layout = new QHBoxLayout(this);
    const int inset = metrics.px(4);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->setSpacing(metrics.px(8));
    icon_->setFixedSize(metrics.size(kIconSize, kIconSize));
    icon_->setScaledContents(true);
    layout->addWidget(icon_, 0, Qt::AlignVCenter);
    layout->addWidget(symbol_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    name_->setFont(metrics.font(TextStyle::body));
    texts->addWidget(name_);
    auto* identifier = new ElidedLabel;
    identifier->setFont(metrics.font(TextStyle::caption2));
    identifier->setText(QString::fromStdString(bundleID));
    identifier->setColorRole(ColorRole::secondary);
    texts->addWidget(identifier);
    layout->addLayout(texts, 1);
    layout->addWidget(include_, 0, Qt::AlignVCenter);

    connect(include_, &QPushButton::clicked, this, [controller, bundleID] {
        if (auto live = controller.lock()) {
            live->includeApp(bundleID);
        }
    });
}

void ExcludedAppsView::Row::display(const std::string& name) {
    name_->setText(QString::fromStdString(name));
    const std::optional<QImage> icon = AppIcon::image(bundleID_);
    if (icon) {
        icon_->setPixmap(QPixmap::fromImage(*icon));
    }
    icon_->setVisible(icon.has_value());
    symbol_->setVisible(!icon.has_value());
}

QString ExcludedAppsView::Row::name() const {
    return name_->text();
}

std::optional<std::string> ExcludedAppsView::Row::iconSymbol() const {
    return symbol_->isHidden() ? std::nullopt : std::optional(symbol_->glyph().name);
}

// ---- ExcludedAppsView

ExcludedAppsView::ExcludedAppsView(std::shared_ptr<RoutingController> controller, ChooseFiles chooseFiles,
                                   Theme::Metrics metrics)
    : controller_(std::move(controller))
    , chooseFiles_(chooseFiles ? std::move(chooseFiles) : &ExcludedAppsView::chooseApplicationFiles)
    , metrics_(metrics) {
    setFixedHeight(metrics.px(Model::height));
    QVBoxLayout* layout = PaneWidgets::paneColumn(*this, metrics, Model::explanation);
    layout->addWidget(buildList(), 1);
    layout->addWidget(buildButtons());

    connect(controller_.get(), &RoutingController::configChanged, this, &ExcludedAppsView::refresh);
    // Names and icons come from the running applications first.
    for (auto event : {Workspace::Event::didLaunchApplication, Workspace::Event::didTerminateApplication}) {
        observers_.push_back(Workspace::shared().addObserver(
            event, [view = QPointer<ExcludedAppsView>(this)](const RunningApplication&) {
                if (view) {
                    view->refresh();
                }
            }));
    }
    refresh();
}

ExcludedAppsView::~ExcludedAppsView() {
    for (auto token : observers_) {
        Workspace::shared().removeObserver(token);
    }
}

QWidget* ExcludedAppsView::buildList() {
    auto* list = new QWidget;
    list->setAutoFillBackground(true);
    list->setBackgroundRole(QPalette::Base);
    auto* layout = new QVBoxLayout(list);
    const int inset = metrics_.px(6);
    layout->setContentsMargins(inset, inset, inset, inset);
    layout->setSpacing(metrics_.px(2));
    empty_ = PaneWidgets::label(Model::emptyList, metrics_.font(TextStyle::body), ColorRole::secondary);
    empty_->setContentsMargins(inset, inset, inset, inset);
    layout->addWidget(empty_);
    rows_ = std::make_unique<KeyedChildren<std::string, Row>>(layout, 1);
    layout->addStretch(1);

    auto* scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("excluded-apps-list"));
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setMinimumHeight(metrics_.px(Model::minimumListHeight));
    scroll->setWidget(list);
    return scroll;
}

QWidget* ExcludedAppsView::buildButtons() {
    auto* line = new QWidget;
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    addRunning_ = PaneWidgets::button(Model::addRunningTitle, metrics_);
    runningMenu_ = new QMenu(addRunning_);
    addRunning_->setMenu(runningMenu_);
    addRunning_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(runningMenu_, &QMenu::aboutToShow, this, &ExcludedAppsView::fillRunningMenu);
    choose_ = PaneWidgets::button(Model::chooseTitle, metrics_);
    connect(choose_, &QPushButton::clicked, this, &ExcludedAppsView::chooseApps);
    layout->addWidget(addRunning_);
    layout->addWidget(choose_);
    layout->addStretch(1);
    return line;
}

void ExcludedAppsView::refresh() {
    const std::vector<Model::Row> rows = Model::rows(controller_->excludedApps());
    std::vector<std::string> keys;
    for (const auto& row : rows) {
        keys.push_back(row.bundleID);
    }
    rows_->sync(
        keys, [this](const std::string& bundleID) { return new Row(controller_, bundleID, metrics_); },
        [&rows](Row& widget, const std::string& bundleID) {
            widget.display(std::ranges::find(rows, bundleID, &Model::Row::bundleID)->name);
        });
    empty_->setVisible(rows.empty());
}

void ExcludedAppsView::fillRunningMenu() {
    runningMenu_->clear();
    const auto candidates =
        Model::candidates(CaptureTargetProvider::runningApplications(), controller_->excludedApps());
    if (candidates.empty()) {
        runningMenu_->addAction(text(Model::noCandidates))->setEnabled(false);
        return;
    }
    for (const auto& app : candidates) {
        connect(ActionMenu::addItem(*runningMenu_, app.name), &QAction::triggered, this,
                [this, bundleID = app.bundleID] { controller_->excludeApp(bundleID); });
    }
}

void ExcludedAppsView::chooseApps() {
    for (const auto& bundleID : Model::chosenIdentifiers(chooseFiles_(*this))) {
        controller_->excludeApp(bundleID);
    }
}

std::unique_ptr<QFileDialog> ExcludedAppsView::makeChooser(QWidget& parent) {
    auto dialog = std::make_unique<QFileDialog>(&parent);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilter(text(Model::chooserFilter));
    dialog->setWindowTitle(text(Model::chooserTitle));
    dialog->setLabelText(QFileDialog::Accept, text(Model::chooserPrompt));
    dialog->setLabelText(QFileDialog::Reject, text(Model::chooserCancel));
    dialog->setLabelText(QFileDialog::LookIn, text(Model::chooserFolder));
    dialog->setLabelText(QFileDialog::FileName, text(Model::chooserFileName));
    dialog->setLabelText(QFileDialog::FileType, text(Model::chooserFileType));
    QList<QUrl> folders;
    for (const auto& folder : Workspace::shared().applicationDirectories()) {
        if (QDir(QString::fromStdString(folder)).exists()) {
            folders.push_back(QUrl::fromLocalFile(QString::fromStdString(folder)));
        }
    }
    // The system's folder, the last one searched, holds most installed applications.
    if (!folders.isEmpty()) {
        dialog->setDirectoryUrl(folders.back());
        dialog->setSidebarUrls(folders);
    }
    return dialog;
}

std::vector<std::string> ExcludedAppsView::chooseApplicationFiles(QWidget& parent) {
    const auto dialog = makeChooser(parent);
    if (dialog->exec() != QDialog::Accepted) {
        return {};
    }
    std::vector<std::string> paths;
    for (const QString& file : dialog->selectedFiles()) {
        paths.push_back(file.toStdString());
    }
    return paths;
}

std::vector<ExcludedAppsView::Row*> ExcludedAppsView::rows() const {
    return rows_->widgets();
}
