#include "TandrelApp/Shell/AboutSettings.h"

#include <QDir>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSysInfo>
#include <QVBoxLayout>

#include "Platform/System/Desktop/BundleInfo.h"
#include "Platform/System/SystemInfo.h"
#include "Platform/Workspace/Workspace.h"
#include "TandrelApp/Mixer/ElidedLabel.h"
#include "TandrelApp/Routing/RoutingConfigStore.h"
#include "TandrelApp/Shell/AboutModel.h"
#include "TandrelApp/Shell/PaneWidgets.h"
#include "TandrelApp/Shell/ProductIcon.h"
#include "TandrelApp/Support/TandrelVersion.h"
#include "TandrelApp/Updater/UpdateChecker.h"
#include "TandrelApp/Updater/UpdateCommands.h"

namespace {

QString text(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// A value from outside on one line: shortened where it does not fit, whole on hover.
ElidedLabel* valueLabel(const std::string& value, const QFont& font, ColorRole role,
                        Qt::TextElideMode mode = Qt::ElideMiddle) {
    auto* label = new ElidedLabel(mode);
    label->setFont(font);
    label->setText(text(value));
    label->setColorRole(role);
    label->setShowsFullTextWhenElided(true);
    return label;
}

QLabel* linkLabel(const std::string& title, const char* url) {
    auto* label = new QLabel(
        QStringLiteral("<a href=\"%1\">%2</a>").arg(QString::fromUtf8(url), text(title).toHtmlEscaped()));
    label->setTextFormat(Qt::RichText);
    QObject::connect(label, &QLabel::linkActivated, label,
                     [](const QString& address) { Workspace::shared().openURL(address.toStdString()); });
    return label;
}

} // namespace

AboutSettings::Facts AboutSettings::Facts::standard() {
    return {
        .shortVersion = TandrelVersion::shortVersion(),
        .build = TandrelVersion::build(),
        .bundleIdentifier = BundleInfo::bundleIdentifier(),
        .copyright = BundleInfo::string("NSHumanReadableCopyright"),
        .systemName = QSysInfo::prettyProductName().toStdString(),
        .chip = AboutModel::chipText(SystemInfo::processorBrand(),
                                     QSysInfo::buildCpuArchitecture().toStdString()),
        .settingsFolder = AboutModel::settingsFolder(RoutingConfigStore::url().toStdString(),
                                                     QDir::homePath().toStdString()),
        .driverPath = DriverInfo::installPath(),
        .readDriver = [] { return DriverInfo::read(); },
    };
}

AboutSettings::AboutSettings(UpdateChecker& checker, Facts facts, QWidget* parent)
    : QWidget(parent)
    , checker_(checker)
    , facts_(std::move(facts)) {
    setFixedHeight(metrics_.px(height));
    driver_ = facts_.readDriver ? facts_.readDriver() : std::nullopt;

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(header());

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(metrics_.px(20), metrics_.px(8), metrics_.px(20), metrics_.px(20));
    layout->setSpacing(metrics_.px(10));
    scroll->setWidget(body);
    outer->addWidget(scroll, 1);

    const std::string version = AboutModel::versionLine(facts_.shortVersion, facts_.build);
    QFormLayout* app = section(*layout, "このアプリ");
    addRow(*app, "バージョン", version);
    addRow(*app, "バンドル ID", facts_.bundleIdentifier.value_or("-"));
    auto* updateRow = new QWidget;
    auto* updateLayout = new QHBoxLayout(updateRow);
    updateLayout->setContentsMargins(0, 0, 0, 0);
    updateLayout->setSpacing(metrics_.px(8));
    status_ = valueLabel("", metrics_.font(TextStyle::body), ColorRole::secondary);
    status_->setAlignment(Qt::AlignRight);
    check_ = PaneWidgets::button("確認", metrics_);
    check_->setFont(metrics_.controlFont(ControlSize::small));
    updateLayout->addWidget(status_, 1);
    updateLayout->addWidget(check_);
    app->addRow(PaneWidgets::label("アップデート", metrics_.font(TextStyle::body)), updateRow);
    connect(check_, &QPushButton::clicked, this, [this] { UpdateCommands::checkNow(checker_); });
    connect(&checker_, &UpdateChecker::stateChanged, this, &AboutSettings::refreshUpdateRow);
    connect(&checker_, &UpdateChecker::lastCheckedChanged, this, &AboutSettings::refreshUpdateRow);
    refreshUpdateRow();

    driverForm_ = section(*layout, "オーディオドライバ（仮想ライン）");
    buildDriverSection();

    QFormLayout* system = section(*layout, "動作環境");
    addRow(*system, "OS", facts_.systemName);
    addRow(*system, "CPU", facts_.chip);
    addRow(*system, "設定の保存先", facts_.settingsFolder);

    QFormLayout* links = section(*layout, "リンク");
    for (auto* link : {linkLabel(AboutModel::websiteTitle(), AboutModel::website),
                       linkLabel("リリースノート（GitHub）", AboutModel::releaseNotes)}) {
        link->setFont(metrics_.font(TextStyle::body));
        links->addRow(link);
    }

    QFormLayout* rights = section(*layout, "著作権");
    auto* notice =
        PaneWidgets::label(AboutModel::copyright(facts_.copyright), metrics_.font(TextStyle::body));
    notice->setWordWrap(true);
    rights->addRow(notice);
    layout->addStretch(1);
}

QWidget* AboutSettings::header() {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(metrics_.px(20), metrics_.px(20), metrics_.px(20), metrics_.px(4));
    row->setSpacing(metrics_.px(14));
    auto* icon = new QLabel;
    const int side = metrics_.px(64);
    QPixmap picture = QPixmap::fromImage(ProductIcon::image(int(side * devicePixelRatioF())));
    picture.setDevicePixelRatio(devicePixelRatioF());
    icon->setPixmap(picture);
    icon->setFixedSize(side, side);
    row->addWidget(icon);

    auto* column = new QVBoxLayout;
    column->setSpacing(metrics_.px(3));
    QFont title = metrics_.font(TextStyle::body, {.weight = Theme::Weight::semibold});
    title.setPointSizeF(metrics_.length(22) * 0.75);
    column->addWidget(PaneWidgets::label("Corvane", title));
    column->addWidget(valueLabel("バージョン " + AboutModel::versionLine(facts_.shortVersion, facts_.build),
                                 metrics_.font(TextStyle::callout), ColorRole::secondary, Qt::ElideRight));
    column->addWidget(valueLabel(AboutModel::copyright(facts_.copyright), metrics_.font(TextStyle::caption),
                                 ColorRole::secondary, Qt::ElideRight));
    row->addLayout(column, 1);
    return header;
}

QFormLayout* AboutSettings::section(QVBoxLayout& layout, const char* title) {
    auto* box = new QGroupBox(QString::fromUtf8(title));
    box->setFont(metrics_.font(TextStyle::callout, {.weight = Theme::Weight::semibold}));
    auto* form = new QFormLayout(box);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignLeft);
    layout.addWidget(box);
    return form;
}

ElidedLabel* AboutSettings::addRow(QFormLayout& form, const std::string& rowLabel, const std::string& value) {
    auto* field = valueLabel(value, metrics_.font(TextStyle::body), ColorRole::primary);
    field->setAlignment(Qt::AlignRight);
    field->setObjectName(text(rowLabel));
    form.addRow(PaneWidgets::label(rowLabel, metrics_.font(TextStyle::body)), field);
    return field;
}

void AboutSettings::buildDriverSection() {
    while (driverForm_->rowCount() > 0) {
        driverForm_->removeRow(0);
    }
    const auto rows = AboutModel::driverRows(driver_, facts_.driverPath);
    for (const auto& [rowLabel, value] : rows) {
        if (rowLabel.empty()) {
            auto* line = valueLabel(value, metrics_.font(TextStyle::body), ColorRole::secondary);
            line->setObjectName(QStringLiteral("driver"));
            driverForm_->addRow(line);
        } else {
            addRow(*driverForm_, rowLabel, value);
        }
    }
}

QStringList AboutSettings::driverTexts() const {
    QStringList texts;
    for (int row = 0; row < driverForm_->rowCount(); ++row) {
        QLayoutItem* item = driverForm_->itemAt(row, QFormLayout::SpanningRole);
        if (item == nullptr) {
            item = driverForm_->itemAt(row, QFormLayout::FieldRole);
        }
        if (auto* label = item ? qobject_cast<ElidedLabel*>(item->widget()) : nullptr) {
            texts << label->text();
        }
    }
    return texts;
}

QString AboutSettings::value(const QString& rowLabel) const {
    const auto fields = findChildren<ElidedLabel*>(rowLabel);
    return fields.isEmpty() ? QString() : fields.front()->text();
}

void AboutSettings::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    driver_ = facts_.readDriver ? facts_.readDriver() : std::nullopt;
    buildDriverSection();
}

void AboutSettings::refreshUpdateRow() {
    status_->setText(text(AboutModel::updateStatus(checker_.state(), checker_.lastChecked())));
    check_->setEnabled(checker_.state().kind != UpdateChecker::State::Kind::checking);
}
