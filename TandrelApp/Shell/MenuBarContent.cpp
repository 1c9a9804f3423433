#include "TandrelApp/Shell/MenuBarContent.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "Platform/System/Desktop/ApplicationActivation.h"
#include "TandrelApp/Mixer/MixerStyle.h"
#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/MenuBarContentModel.h"
#include "TandrelApp/Shell/MenuBarRows.h"
#include "TandrelApp/Shell/PaneWidgets.h"
#include "TandrelApp/Support/GlyphView.h"

namespace Model = MenuBarContentModel;

using PaneWidgets::label;
using PaneWidgets::text;

MenuBarContent::MenuBarContent(std::shared_ptr<RoutingController> controller, MeterStore& meters,
                               bool launchAtLogin, Environment environment, Theme::Metrics metrics)
    : controller_(std::move(controller))
    , meters_(meters)
    , environment_(std::move(environment))
    , metrics_(metrics) {
    setObjectName(QStringLiteral("menu-bar-content"));
    setFixedWidth(metrics.px(Model::width));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(MixerStyle::divider());
    layout->addWidget(buildScrollArea());
    layout->addWidget(MixerStyle::divider());
    layout->addWidget(buildFooter(launchAtLogin));
    connectController();
    refresh();
}

MenuBarContent::~MenuBarContent() = default;

QWidget* MenuBarContent::buildHeader() {
    auto* header = new QWidget;
    auto* layout = new QVBoxLayout(header);
    const int padding = metrics_.px(Model::padding);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(metrics_.px(2));
    layout->addWidget(label(Model::productName,
                            metrics_.font(TextStyle::body, {.weight = Theme::Weight::semibold}),
                            ColorRole::primary));

    warning_ = new QWidget;
    auto* warningLine = new QHBoxLayout(warning_);
    warningLine->setContentsMargins(0, 0, 0, 0);
    warningLine->setSpacing(metrics_.px(4));
    warningLine->addWidget(
        new GlyphView({"exclamationmark.triangle.fill", ColorRole::orange}, metrics_.size(12, 12)), 0,
        Qt::AlignVCenter);
    warningLine->addWidget(
        label(Model::unresponsiveText, metrics_.font(TextStyle::caption), ColorRole::orange), 0,
        Qt::AlignVCenter);
    warningLine->addStretch(1);
    layout->addWidget(warning_);

    summary_ = label("", metrics_.font(TextStyle::caption), ColorRole::secondary);
    layout->addWidget(summary_);
    if (environment_.updateNotice) {
        layout->addWidget(environment_.updateNotice.release());
    }
    return header;
}

QWidget* MenuBarContent::section(std::string_view title, QVBoxLayout*& rows) {
    auto* box = new QWidget;
    rows = new QVBoxLayout(box);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(metrics_.px(8));
    rows->addWidget(label(title, metrics_.font(TextStyle::caption, {.weight = Theme::Weight::semibold}),
                          ColorRole::secondary));
    return box;
}

QWidget* MenuBarContent::buildScrollArea() {
    content_ = new QWidget;
    auto* layout = new QVBoxLayout(content_);
    const int padding = metrics_.px(Model::padding);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(metrics_.px(14));
    QVBoxLayout* rows = nullptr;
    sourcesSection_ = section(Model::sourcesSection, rows);
    sources_ = std::make_unique<KeyedChildren<std::string, SourceRow>>(rows, 1);
    layout->addWidget(sourcesSection_);
    linesSection_ = section(Model::linesSection, rows);
    lines_ = std::make_unique<KeyedChildren<std::string, DeviceRow>>(rows, 1);
    layout->addWidget(linesSection_);
    monitorsSection_ = section(Model::monitorsSection, rows);
    monitors_ = std::make_unique<KeyedChildren<std::string, DeviceRow>>(rows, 1);
    layout->addWidget(monitorsSection_);
    layout->addStretch(1);

    scroll_ = new QScrollArea;
    scroll_->setObjectName(QStringLiteral("menu-bar-rows"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_->viewport()->setAutoFillBackground(false);
    content_->setAutoFillBackground(false);
    scroll_->setWidget(content_);
    scroll_->setFixedHeight(metrics_.px(Model::minimumScrollHeight));
    content_->installEventFilter(this);
    return scroll_;
}

QWidget* MenuBarContent::buildFooter(bool launchAtLogin) {
    auto* footer = new QWidget;
    footer->setToolTip(text(Model::footerHelp));
    auto* layout = new QHBoxLayout(footer);
    const int padding = metrics_.px(Model::padding);
    layout->setContentsMargins(padding, padding, padding, padding);
    openMixer_ = new QPushButton(text(Model::openMixerTitle));
    openMixer_->setFont(metrics_.controlFont(ControlSize::small));
    launchAtLogin_ = new QCheckBox(text(Model::launchAtLoginTitle));
    launchAtLogin_->setFont(metrics_.controlFont(ControlSize::small));
    launchAtLogin_->setChecked(launchAtLogin);
    layout->addWidget(openMixer_, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    layout->addWidget(launchAtLogin_, 0, Qt::AlignVCenter);
    connect(openMixer_, &QPushButton::clicked, this, &MenuBarContent::openMixer);
    connect(launchAtLogin_, &QCheckBox::clicked, this, &MenuBarContent::launchAtLoginClicked);
    return footer;
}

void MenuBarContent::connectController() {
    RoutingController* controller = controller_.get();
    for (auto signal : {&RoutingController::configChanged, &RoutingController::linesChanged,
                        &RoutingController::outputDevicesChanged, &RoutingController::sourceStatusChanged,
                        &RoutingController::audioSystemResponsiveChanged}) {
        connect(controller, signal, this, &MenuBarContent::refresh);
    }
}

void MenuBarContent::toggleExpanded(const std::string& key) {
    if (!expanded_.erase(key)) {
        expanded_.insert(key);
    }
    refresh();
}

void MenuBarContent::refresh() {
    warning_->setVisible(!controller_->audioSystemResponsive());
    summary_->setText(QString::fromStdString(
        Model::summary(controller_->sourceStatus(), controller_->config().connections)));
    refreshSources();
    refreshDevices();
    fitScrollArea();
}

void MenuBarContent::refreshSources() {
    const std::vector<SourceConfig>& sources = controller_->config().sources;
    std::vector<std::string> keys;
    for (const auto& source : sources) {
        keys.push_back(Model::rowKey(source));
    }
    sources_->sync(
        keys,
        [this](const std::string& key) {
            auto* row = new SourceRow(controller_, meters_, metrics_);
            row->setOnUnfold([this, key] { toggleExpanded(key); });
            return row;
        },
        [&](SourceRow& row, const std::string& key) {
            const auto& source = *std::ranges::find_if(
                sources, [&key](const SourceConfig& s) { return Model::rowKey(s) == key; });
            const auto status = controller_->sourceStatus().find(source.id);
            row.display(source,
                        Model::statusText(status == controller_->sourceStatus().end()
                                              ? std::nullopt
                                              : std::optional(status->second)),
                        controller_->sourceChannelCount(Endpoint::source(source.id)),
                        expanded_.contains(key));
        });
    sourcesSection_->setVisible(!sources.empty());
}

void MenuBarContent::refreshDevices() {
    const RoutingConfig& config = controller_->config();
    const auto show = [&](KeyedChildren<std::string, DeviceRow>& rows, QWidget& section,
                          const std::vector<AudioDeviceInfo>& devices, const std::string& symbol) {
        std::vector<std::string> keys;
        for (const auto& device : devices) {
            keys.push_back(Model::rowKey(device));
        }
        rows.sync(
            keys,
            [&](const std::string& key) {
                auto* row = new DeviceRow(controller_, meters_, metrics_, symbol);
                row->setOnUnfold([this, key] { toggleExpanded(key); });
                return row;
            },
            [&](DeviceRow& row, const std::string& key) {
                const auto& device = *std::ranges::find_if(
                    devices, [&key](const AudioDeviceInfo& d) { return Model::rowKey(d) == key; });
                row.display(device, config.volume(device.uid), expanded_.contains(key));
            });
        section.setVisible(!devices.empty());
        return keys;
    };
    show(*lines_, *linesSection_, controller_->lines(), "waveform.path");
    monitorKeys_ =
        show(*monitors_, *monitorsSection_,
             Model::monitors(controller_->outputDevices(), config.monitorDeviceUIDs), "speaker.wave.2");
}

bool MenuBarContent::eventFilter(QObject* watched, QEvent* event) {
    if (watched == content_ && event->type() == QEvent::LayoutRequest) {
        // After the layout has taken the change in.
        QTimer::singleShot(0, this, &MenuBarContent::fitScrollArea);
    }
    return QWidget::eventFilter(watched, event);
}

void MenuBarContent::fitScrollArea() {
    if (fitting_) {
        return;
    }
    fitting_ = true;
    const int content = content_->layout()->sizeHint().height();
    const int height = metrics_.px(Model::scrollHeight(content / metrics_.scale()));
    if (scroll_->minimumHeight() != height) {
        scroll_->setFixedHeight(height);
        // The panel or preview window takes the content's size.
        if (QWidget* top = window(); top != this) {
            top->adjustSize();
        }
    }
    fitting_ = false;
}

void MenuBarContent::openMixer() {
    ApplicationActivation::setPolicy(ActivationPolicy::regular);
    if (environment_.openMixer) {
        environment_.openMixer();
    }
    ApplicationActivation::activateIgnoringOtherApps();
    // The panel drops away as the mixer comes forward, as a panel does when another window is chosen.
    if (QWidget* top = window(); top != this && top->windowFlags().testFlag(Qt::Popup)) {
        top->hide();
    }
}

void MenuBarContent::launchAtLoginClicked(bool on) {
    if (environment_.setLaunchAtLogin) {
        environment_.setLaunchAtLogin(on);
    }
    // The box ends showing what the system now says, not what was clicked.
    launchAtLogin_->setChecked(environment_.launchAtLogin ? environment_.launchAtLogin() : on);
}

SourceRow* MenuBarContent::sourceRow(const std::string& key) const {
    return sources_->find(key);
}

DeviceRow* MenuBarContent::lineRow(const std::string& key) const {
    return lines_->find(key);
}

DeviceRow* MenuBarContent::monitorRow(const std::string& key) const {
    return monitors_->find(key);
}
