#include "TandrelApp/Shell/GeneralSettings.h"

#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "TandrelApp/Routing/RoutingController.h"
#include "TandrelApp/Shell/GeneralSettingsModel.h"
#include "TandrelApp/Support/UserDefaults.h"

namespace Model = GeneralSettingsModel;

namespace {

QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

template <class Value>
QComboBox* picker(const std::vector<Model::Row<Value>>& rows) {
    auto* combo = new QComboBox;
    for (const auto& row : rows) {
        combo->addItem(QString::fromStdString(row.title));
    }
    return combo;
}

// Selects the row of `value`, or none when no row holds it.
template <class Value>
void select(QComboBox& combo, const std::vector<Model::Row<Value>>& rows, const Value& value) {
    const QSignalBlocker quiet(combo);
    const auto index = Model::rowIndex(rows, value);
    combo.setCurrentIndex(index ? static_cast<int>(*index) : -1);
}

QLabel* caption(std::string_view utf8) {
    auto* label = new QLabel(text(utf8));
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    return label;
}

QFormLayout* section(QVBoxLayout& layout, std::string_view title) {
    auto* box = new QGroupBox(text(title));
    auto* form = new QFormLayout(box);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    layout.addWidget(box);
    return form;
}

} // namespace

GeneralSettings::GeneralSettings(std::shared_ptr<RoutingController> controller, UserDefaults& defaults,
                                 OperatingSystemVersion system)
    : controller_(std::move(controller))
    , defaults_(defaults)
    , system_(system) {
    setMinimumHeight(320);
    auto* layout = new QVBoxLayout(this);
    buildCaptureSection(*layout);
    buildDisplaySection(*layout);
    buildAutoAddSection(*layout);
    layout->addStretch();
    alignRowLabels();
    refresh();
    connectControls();
}

QLabel* GeneralSettings::rowLabel(std::string_view title) {
    auto* label = new QLabel(text(title));
    rowLabels_.push_back(label);
    return label;
}

// The pickers of all sections start at one line, past the widest label.
void GeneralSettings::alignRowLabels() {
    int widest = 0;
    for (const QLabel* label : rowLabels_) {
        widest = std::max(widest, label->sizeHint().width());
    }
    for (QLabel* label : rowLabels_) {
        label->setMinimumWidth(widest);
    }
}

void GeneralSettings::buildCaptureSection(QVBoxLayout& layout) {
    QFormLayout* form = section(layout, Model::captureSection);
    captureMode_ = picker(Model::captureModeRows(system_));
    form->addRow(rowLabel(Model::captureModeLabel), captureMode_);
    latency_ = picker(Model::latencyRows());
    form->addRow(rowLabel(Model::bufferLabel), latency_);
    form->addRow(caption(Model::bufferCaption));
}

void GeneralSettings::buildDisplaySection(QVBoxLayout& layout) {
    QFormLayout* form = section(layout, Model::displaySection);
    uiScale_ = picker(Model::uiScaleRows());
    form->addRow(rowLabel(Model::uiScaleLabel), uiScale_);
    form->addRow(caption(Model::uiScaleCaption));
}

void GeneralSettings::buildAutoAddSection(QVBoxLayout& layout) {
    QFormLayout* form = section(layout, Model::autoAddSection);
    runningApps_ = new QCheckBox(text(Model::autoAddsRunningAppsTitle));
    apps_ = new QCheckBox(text(Model::autoAddsAppsTitle));
    monitors_ = new QCheckBox(text(Model::autoAddsMonitorsTitle));
    for (QCheckBox* box : {runningApps_, apps_, monitors_}) {
        form->addRow(box);
    }
}

void GeneralSettings::connectControls() {
    // Only the user's own choices write: `activated` and `clicked` do not fire for refresh().
    connect(captureMode_, &QComboBox::activated, this, [this](int index) {
        RoutingConfig config = controller_->config();
        config.captureMode = Model::captureModeRows(system_).at(static_cast<std::size_t>(index)).value;
        controller_->setConfig(std::move(config));
    });
    connect(latency_, &QComboBox::activated, this, [this](int index) {
        RoutingConfig config = controller_->config();
        config.latency = Model::latencyRows().at(static_cast<std::size_t>(index)).value;
        controller_->setConfig(std::move(config));
    });
    connect(uiScale_, &QComboBox::activated, this, [this](int index) {
        defaults_.set(Model::uiScaleKey, Model::uiScaleRows().at(static_cast<std::size_t>(index)).value);
    });
    connect(runningApps_, &QCheckBox::clicked, this,
            [this](bool on) { controller_->setAutoAddsRunningApps(on); });
    connect(apps_, &QCheckBox::clicked, this, [this](bool on) { controller_->setAutoAddsApps(on); });
    connect(monitors_, &QCheckBox::clicked, this, [this](bool on) { controller_->setAutoAddsMonitors(on); });

    connect(controller_.get(), &RoutingController::configChanged, this, &GeneralSettings::refresh);
    connect(&defaults_, &UserDefaults::changed, this, [this](const QString& key) {
        if (key == Model::uiScaleKey) {
            refresh();
        }
    });
}

void GeneralSettings::refresh() {
    const RoutingConfig& config = controller_->config();
    select(*captureMode_, Model::captureModeRows(system_), config.captureMode);
    select(*latency_, Model::latencyRows(), config.latency);
    select(*uiScale_, Model::uiScaleRows(),
           defaults_.doubleValue(Model::uiScaleKey).value_or(Model::defaultUIScale));
    const std::pair<QCheckBox*, bool> switches[] = {{runningApps_, controller_->autoAddsRunningApps()},
                                                    {apps_, controller_->autoAddsApps()},
                                                    {monitors_, controller_->autoAddsMonitors()}};
    for (const auto& [box, on] : switches) {
        const QSignalBlocker quiet(box);
        box->setChecked(on);
    }
}
